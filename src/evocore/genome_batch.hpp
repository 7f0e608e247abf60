#pragma once
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <numeric>
#include <utility>
#include <vector>

#include "batch_claims.hpp"
#include "genome.hpp"
#include "registry.hpp"
#include "thread_pool.hpp"

namespace evocore {

namespace batch_detail {

// Moves the entry under provisional number `from` (if the genome kept it) to `to`.
template <class Map, class Fix>
void rekey(Map& map, uint64_t from, uint64_t to, Fix&& fix) {
  auto handle = map.extract(from);
  if (!handle) return;
  handle.key() = to;
  fix(handle.mapped());
  if (!map.insert(std::move(handle)).inserted)
    fail("number " + std::to_string(to) + " appears twice in a genome");
}

// Only the genome's requests carry provisional numbers: a new node's edges are
// new pairs, so their numbers are provisional too.
template <class S>
void use_real_numbers(Genome<S>& genome, const NumberRequests& requests) {
  requests.for_each([&](uint64_t provisional, uint64_t real, bool edge) {
    if (!edge) return rekey(genome.nodes, provisional, real, [&](auto& node) { node.id = real; });
    rekey(genome.edges, provisional, real, [&](Edge& e) {
      e.id = real;
      e.node1 = requests.real(e.node1);
      e.node2 = requests.real(e.node2);
    });
  });
}

// Whether some genome is listed twice, by an open-addressing set of
// identities (the common case, every genome once, costs no sort).
template <class S>
bool lists_a_genome_twice(const std::vector<GenomeHandle<S>>& genomes) {
  size_t slots = 16;
  while (slots < 2 * genomes.size()) slots *= 2;
  std::vector<const void*> table(slots, nullptr);
  for (const auto& genome : genomes) {
    const void* identity = genome.identity();
    size_t slot = (reinterpret_cast<uintptr_t>(identity) * 0x9E3779B97F4A7C15ULL) >> 16 & (slots - 1);
    for (; table[slot]; slot = (slot + 1) & (slots - 1))
      if (table[slot] == identity) return true;
    table[slot] = identity;
  }
  return false;
}

// Positions of the genomes in rounds: a genome listed k times takes part in
// the first k rounds, so that no round holds one genome twice.
template <class S>
std::vector<std::vector<size_t>> rounds_of(const std::vector<GenomeHandle<S>>& genomes) {
  if (!lists_a_genome_twice(genomes)) {
    std::vector<std::vector<size_t>> single(genomes.empty() ? 0 : 1);
    if (!genomes.empty()) {
      single[0].resize(genomes.size());
      std::iota(single[0].begin(), single[0].end(), size_t{0});
    }
    return single;
  }
  std::vector<std::pair<const void*, size_t>> listed;
  listed.reserve(genomes.size());
  for (size_t i = 0; i < genomes.size(); ++i) listed.emplace_back(genomes[i].identity(), i);
  std::sort(listed.begin(), listed.end());
  std::vector<size_t> round_of(genomes.size(), 0);
  size_t rounds = genomes.empty() ? 0 : 1;
  for (size_t k = 1; k < listed.size(); ++k)
    if (listed[k].first == listed[k - 1].first) {
      round_of[listed[k].second] = round_of[listed[k - 1].second] + 1;
      rounds = std::max(rounds, round_of[listed[k].second] + 1);
    }
  std::vector<std::vector<size_t>> positions(rounds);
  if (rounds == 1) positions[0].reserve(genomes.size());
  for (size_t i = 0; i < genomes.size(); ++i) positions[round_of[i]].push_back(i);
  return positions;
}

// A registry counted up into the provisional range could not tell its own
// numbers from provisional ones; its genomes take numbers directly.
inline bool defers_numbers(const PopulationState* state) {
  return state && !NumberRequests::provisional(state->node_counter()) &&
         !NumberRequests::provisional(state->edge_counter());
}

// Hands out the real numbers genome by genome in list order, as soon as all
// genomes before one are done, so that this serial work overlaps the changes
// still under way on other threads. Only drawing the numbers is serial (the
// counters, and pairs the registry may already hold); entering a new node's
// pairs and writing the numbers into the genome is settling, done by the
// thread that changed the genome while it is still in its cache when the
// numbers are there in time, else on the pool after the changes.
// A pair counts as known when the registry numbered it before the call: the
// edge counter is read before anything changes. For the expected registry
// (the population's) that is one read; a genome of another registry reads
// its own counter when it is changed, and its numbers are drawn only after
// the pool returned, so that no other genome's numbers have moved that
// counter by then.
template <class S>
class NumberingQueue {
 public:
  NumberingQueue(const std::vector<GenomeHandle<S>>& genomes, const std::vector<size_t>& round,
                 PopulationState* expected)
      : genomes_(genomes),
        round_(round),
        requests_(round.size()),
        states_(round.size(), nullptr),
        foreign_(round.size(), 0),
        settled_(round.size(), 0),
        done_(round.size()),
        expected_(defers_numbers(expected) ? expected : nullptr),
        known_(expected_ ? expected_->edge_counter() : 0) {}

  // Runs change(genome, position) for item k with its requests deferred.
  template <class Change>
  void change(size_t k, Change& change) {
    {
      auto genome = genomes_[round_[k]].write();
      PopulationState* state = genome->state.get();
      if (!defers_numbers(state)) {
        change(*genome, round_[k]);
      } else {
        states_[k] = state;
        foreign_[k] = state != expected_;
        requests_[k] = NumberRequests(foreign_[k] ? state->edge_counter() : known_);
        const DeferredNumbers deferred(*state, requests_[k]);  // the genome keeps its registry alive
        change(*genome, round_[k]);
      }
    }  // the genome's lock is released before any other is taken
    done_[k].store(true);
    if (next_.load() == k) draw_ready();
    settle_own_drawn(k);
  }

  // After the pool returned (or failed): every item, done or not. Neither an
  // interrupt nor a deadline stops this, since a genome left with provisional
  // numbers would be unusable.
  void finish() {
    {
      std::lock_guard lock(mutex_);
      sweep(true);
      for (size_t k : postponed_) requests_[k].draw(*states_[k]);
    }
    std::vector<size_t> unsettled;
    for (size_t k = 0; k < round_.size(); ++k)
      if (states_[k] && !requests_[k].empty() && !settled_[k]) unsettled.push_back(k);
    std::vector<std::exception_ptr> failures(unsettled.size());
    const InterruptRequestScope uninterrupted(nullptr);
    const DeadlineScope unlimited(kNoDeadline);
    parallel_for(unsettled.size(), [&](size_t i) {
      try {
        settle(unsettled[i]);
      } catch (...) {
        failures[i] = std::current_exception();
      }
    });
    for (const auto& failure : failures)
      if (failure) std::rethrow_exception(failure);  // the first in list order
  }

 private:
  // Only the thread that finished the first undrawn genome sweeps, so that
  // the others never touch the queue's lock. A sweep that stopped just before
  // this genome was done is resumed by its holder; one missed in a race only
  // waits for the end.
  void draw_ready() {
    for (;;) {
      std::unique_lock lock(mutex_, std::try_to_lock);
      if (!lock) return;
      sweep(false);
      lock.unlock();
      const size_t next = next_.load();
      if (next >= round_.size() || !done_[next].load()) return;
    }
  }

  void sweep(bool all) {
    size_t k = next_.load();
    for (; k < round_.size() && (all || done_[k].load()); ++k) {
      if (requests_[k].empty() || !states_[k]) continue;
      if (foreign_[k])
        postponed_.push_back(k);
      else
        requests_[k].draw(*states_[k]);
    }
    next_.store(k);  // once per sweep: the other threads read it after every genome
  }

  // The items this thread changed in this call and has not settled, in list
  // order (a thread claims its items in increasing order).
  struct Own {
    uint64_t call = 0;
    size_t first = 0;
    std::vector<size_t> items;
  };

  // Settles this thread's items that have their numbers, item k among them:
  // nobody else settles them before the pool returns.
  void settle_own_drawn(size_t k) {
    thread_local Own own;
    if (own.call != call_) own = {call_, 0, {}};
    if (states_[k] && !foreign_[k] && !requests_[k].empty()) own.items.push_back(k);
    const size_t drawn = next_.load();
    for (; own.first < own.items.size() && own.items[own.first] < drawn; ++own.first) {
      settle(own.items[own.first]);
      settled_[own.items[own.first]] = 1;
    }
  }

  static uint64_t new_call() {
    static std::atomic<uint64_t> calls{0};
    return ++calls;
  }

  void settle(size_t k) {
    requests_[k].adopt(*states_[k]);
    const auto& genome = genomes_[round_[k]];
    if (!genome.is_broken()) use_real_numbers(*genome.write(), requests_[k]);
    requests_[k] = NumberRequests();  // freed on this thread, not one by one at the end
  }

  const std::vector<GenomeHandle<S>>& genomes_;
  const std::vector<size_t>& round_;
  std::vector<NumberRequests> requests_;
  std::vector<PopulationState*> states_;  // null: the genome took its numbers directly
  std::vector<char> foreign_;             // of another registry than the expected one
  std::vector<char> settled_;             // written by the item's own thread
  std::vector<std::atomic<bool>> done_;
  PopulationState* const expected_;
  const uint64_t known_;
  std::mutex mutex_;
  std::atomic<size_t> next_{0};       // the first genome not drawn; moved only under mutex_
  std::vector<size_t> postponed_;     // guarded by mutex_
  const uint64_t call_ = new_call();  // tells this call's own items from an earlier call's
};

template <class S, class Change>
void change_round(const std::vector<GenomeHandle<S>>& genomes, const std::vector<size_t>& round,
                  Change& change, PopulationState* expected) {
  NumberingQueue<S> queue(genomes, round, expected);
  try {
    parallel_for(round.size(), [&](size_t k) { queue.change(k, change); });
  } catch (...) {
    queue.finish();  // the genomes changed so far still get their numbers
    throw;
  }
  queue.finish();
}

}  // namespace batch_detail

// Runs change(genome, position) for every genome on the worker pool. The new
// numbers the changes ask their registries for are handed out afterwards,
// genome by genome in list order (a pair asked for by several genomes gets one
// number), so genomes and registries do not depend on the thread count or on
// scheduling. A genome listed twice is changed once per listing, in list order.
// `registry` is the one most genomes draw from (null: the first genome's).
template <class S, class Change>
void change_genomes(const std::vector<GenomeHandle<S>>& genomes, Change&& change, StateHandle registry = {}) {
  std::vector<const void*> identities;
  identities.reserve(genomes.size());
  for (const auto& genome : genomes) identities.push_back(genome.identity());
  const BatchClaim claim(std::move(identities));  // no other batch changes them until all are numbered
  if (!registry && !genomes.empty() && !genomes.front().is_broken()) registry = genomes.front().read()->state;
  for (const auto& round : batch_detail::rounds_of(genomes))
    batch_detail::change_round(genomes, round, change, registry.get());
}

}  // namespace evocore
