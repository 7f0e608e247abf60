#include <gtest/gtest.h>

#include <random>
#include <set>
#include <thread>
#include <unordered_map>
#include <vector>

#include "evocore/flat_index.hpp"
#include "evocore/genome.hpp"
#include "evocore/lock_pair.hpp"
#include "evocore/thread_pool.hpp"

using evocore::PopulationState;

// Against a hash map over ids that collide in the low bits, with growth past
// the reserved room and the extreme ids, over several resets of one index.
TEST(FlatIndex, NumbersIdsInFirstSeenOrderAcrossGrowthAndResets) {
  evocore::FlatIndex index;
  std::mt19937_64 draw(7);
  for (size_t round = 0; round < 4; ++round) {
    index.reset(round);  // too small on purpose: the index must grow
    std::unordered_map<uint64_t, size_t> expected;
    for (int i = 0; i < 3000; ++i) {
      const uint64_t id = i % 3 == 0   ? (draw() % 500) << 32
                          : i % 3 == 1 ? draw() % 700
                                       : ~uint64_t{0} - draw() % 3;
      const auto [entry, added] = expected.try_emplace(id, expected.size());
      ASSERT_EQ(index.add(id), entry->second) << "id " << id;
    }
    EXPECT_EQ(index.size(), expected.size());
    for (const auto& [id, number] : expected) EXPECT_EQ(index.find(id), number);
    EXPECT_EQ(index.find(123456789),
              expected.contains(123456789) ? expected[123456789] : evocore::FlatIndex::kAbsent);
  }
}

TEST(Registry, NumbersStartAtOneAndAreIndependent) {
  PopulationState state;
  EXPECT_EQ(state.new_node_id(), 1u);
  EXPECT_EQ(state.new_node_id(), 2u);
  EXPECT_EQ(state.get_edge_id(10, 20), 1u);
  EXPECT_EQ(state.get_edge_id(20, 10), 1u);
  EXPECT_EQ(state.get_edge_id(10, 30), 2u);
  EXPECT_EQ(state.get_edge_id(4, 4), 3u);
  EXPECT_EQ(state.node_counter(), 2u);
}

TEST(Registry, ConcurrentRequestsGetOneNumberPerPair) {
  PopulationState state;
  constexpr int kThreads = 8, kPairs = 500;
  std::vector<std::vector<uint64_t>> seen(kThreads, std::vector<uint64_t>(kPairs));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int p = 0; p < kPairs; ++p) {
        const int i = (p * 7 + t) % kPairs;  // different threads walk the pairs in different orders
        seen[t][i] = (t % 2) ? state.get_edge_id(i, i + 1000) : state.get_edge_id(i + 1000, i);
      }
    });
  for (auto& thread : threads) thread.join();
  std::set<uint64_t> distinct;
  for (int p = 0; p < kPairs; ++p) {
    for (int t = 1; t < kThreads; ++t) EXPECT_EQ(seen[t][p], seen[0][p]);
    distinct.insert(seen[0][p]);
  }
  EXPECT_EQ(distinct.size(), static_cast<size_t>(kPairs));
  EXPECT_EQ(state.edge_counter(), static_cast<uint64_t>(kPairs));
}

TEST(Registry, OneThreadNumbersPairsInCallOrderAndReadsThemBack) {
  PopulationState state;
  for (uint64_t i = 1; i <= 300; ++i) ASSERT_EQ(state.get_edge_id(i * 7919, i), i);  // pairs of many shards
  EXPECT_EQ(state.pair_of(5), std::make_pair(uint64_t{5}, uint64_t{5 * 7919}));
  state.set_edge_id(7919, 1, 500);  // replaces number 1, which then stands for nothing
  EXPECT_EQ(state.get_edge_id(1, 7919), 500u);
  EXPECT_EQ(state.pair_of(500), std::make_pair(uint64_t{1}, uint64_t{7919}));
  EXPECT_FALSE(state.pair_of(1).has_value());
  EXPECT_EQ(state.get_edge_id(1, 2), 301u);
}

TEST(Registry, ConcurrentNodeNumbersAreDistinctAndDense) {
  PopulationState state;
  constexpr int kThreads = 4, kEach = 2000;
  std::vector<std::vector<uint64_t>> drawn(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int k = 0; k < kEach; ++k) {
        drawn[t].push_back(state.new_node_id());
        state.get_edge_id(drawn[t].back(), 0);
      }
    });
  for (auto& thread : threads) thread.join();
  std::set<uint64_t> distinct;
  for (const auto& numbers : drawn) distinct.insert(numbers.begin(), numbers.end());
  EXPECT_EQ(distinct.size(), size_t{kThreads * kEach});
  EXPECT_EQ(*distinct.rbegin(), uint64_t{kThreads * kEach});
  EXPECT_EQ(state.edge_counter(), uint64_t{kThreads * kEach});
}

TEST(Registry, ExhaustedNumbersFailInsteadOfWrapping) {
  PopulationState state;
  state.raise_node_counter(UINT64_MAX);
  state.raise_edge_counter(UINT64_MAX);
  EXPECT_THROW(state.new_node_id(), evocore::InternalError);
  EXPECT_THROW(state.get_edge_id(1, 2), evocore::InternalError);
  state.set_edge_id(1, 2, 7);
  EXPECT_EQ(state.get_edge_id(2, 1), 7u);  // registered pairs still answer
}

TEST(ThreadPool, StoresResultsByPositionAndReportsFirstFailure) {
  auto squares = evocore::parallel_map<size_t>(1000, [](size_t i) { return i * i; });
  for (size_t i = 0; i < squares.size(); ++i) EXPECT_EQ(squares[i], i * i);
  EXPECT_THROW(evocore::parallel_for(100,
                                     [](size_t i) {
                                       if (i == 37) throw std::runtime_error("boom 37");
                                     }),
               evocore::InternalError);
  // The pool keeps working after a failed loop.
  EXPECT_EQ(evocore::parallel_map<int>(3, [](size_t i) { return static_cast<int>(i); })[2], 2);
}

template <class E>
void throw_at_element_3(size_t i) {
  if (i == 3) throw E("refused");
}

TEST(ThreadPool, FailuresKeepTheirKindAndInterruptionsStopLoops) {
  EXPECT_THROW(evocore::parallel_for(8,
                                     [](size_t i) {
                                       if (i == 3) throw std::bad_alloc();
                                     }),
               std::bad_alloc);
  EXPECT_THROW(evocore::parallel_for(8, throw_at_element_3<evocore::InvalidInput>), evocore::InvalidInput);
  EXPECT_THROW(evocore::parallel_for(8, throw_at_element_3<std::out_of_range>), evocore::InternalError);
  std::atomic<bool> interrupt{true};
  const evocore::InterruptRequestScope request(&interrupt);
  std::atomic<size_t> ran{0};
  EXPECT_THROW(evocore::parallel_for(1000, [&](size_t) { ++ran; }), evocore::Interrupted);
  EXPECT_EQ(ran.load(), 0u);
}

TEST(ThreadPool, WorkersSeeTheSubmittersDeadlineAndNoOther) {
  std::atomic<size_t> passed{0};
  {
    const evocore::DeadlineScope expired(evocore::Clock::now());
    evocore::parallel_for(64, [&](size_t) { passed += evocore::deadline_passed(); });
    EXPECT_EQ(passed.load(), 64u);
  }
  EXPECT_FALSE(evocore::deadline_passed());
  passed = 0;
  evocore::parallel_for(64, [&](size_t) { passed += evocore::deadline_passed(); });
  EXPECT_EQ(passed.load(), 0u);
  // A poll throws once the deadline has passed, and only every `period` steps.
  const evocore::DeadlineScope expired(evocore::Clock::now());
  evocore::StopPoll poll(3);
  poll();
  poll();
  EXPECT_THROW(poll(), evocore::DeadlinePassed);
  // A deadline that escapes a parallel loop keeps its kind.
  EXPECT_THROW(evocore::parallel_for(8, [](size_t) { throw evocore::DeadlinePassed(); }),
               evocore::DeadlinePassed);
}

TEST(SharedHandle, RefusalBeforeAnyChangeLeavesTheValueUsable) {
  auto handle = evocore::Shared<int>::make(1);
  EXPECT_THROW(handle.update([](int&) { evocore::refuse("no"); }), evocore::InvalidInput);
  EXPECT_THROW(handle.update([](int&) -> int { throw evocore::OutOfMemory(); }), std::bad_alloc);
  EXPECT_FALSE(handle.is_broken());
  EXPECT_THROW(handle.update([](int& v) { v = 2, evocore::fail("half done"); }), evocore::InternalError);
  EXPECT_TRUE(handle.is_broken());
}

TEST(SharedHandle, FailureUnderWriteLockBreaksTheValue) {
  auto handle = evocore::Shared<int>::make(5);
  EXPECT_EQ(*handle.read(), 5);
  try {
    auto guard = handle.write();
    *guard = 6;
    throw std::runtime_error("fail while writing");
  } catch (const std::runtime_error&) {
  }
  EXPECT_TRUE(handle.is_broken());
  EXPECT_THROW(handle.read(), evocore::InternalError);
  EXPECT_THROW(handle.write(), evocore::InternalError);
  // A failure under a read lock leaves the value intact.
  auto other = evocore::Shared<int>::make(1);
  try {
    auto guard = other.read();
    throw std::runtime_error("fail while reading");
  } catch (const std::runtime_error&) {
  }
  EXPECT_FALSE(other.is_broken());
}

TEST(ReadPair, RolesFollowTheArgumentsWhateverTheLockOrder) {
  auto a = evocore::Shared<int>::make(1), b = evocore::Shared<int>::make(2);
  for (int round = 0; round < 2; ++round) {
    const evocore::ReadPair<int> pair(a, b);
    EXPECT_EQ(pair.first(), round == 0 ? 1 : 2);
    EXPECT_EQ(pair.second(), round == 0 ? 2 : 1);
    std::swap(a, b);
  }
  const evocore::ReadPair<int> same(a, a);
  EXPECT_EQ(&same.first(), &same.second());
}
