#pragma once
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <numeric>
#include <utility>
#include <vector>

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
// still under way on other threads.
template <class S>
class NumberingQueue {
 public:
  // Reads every genome's registry and its edge counter before anything changes.
  NumberingQueue(const std::vector<GenomeHandle<S>>& genomes, const std::vector<size_t>& round)
      : genomes_(genomes),
        round_(round),
        requests_(round.size()),
        states_(round.size(), nullptr),
        done_(round.size()) {
    parallel_for(round.size(), [&](size_t k) {  // each read waits for a cold genome: spread them
      if (!genomes[round[k]].is_broken()) states_[k] = genomes[round[k]].read()->state.get();
      if (!defers_numbers(states_[k])) states_[k] = nullptr;
      requests_[k] = NumberRequests(states_[k] ? states_[k]->edge_counter() : 0);
    });
  }

  // Runs change(genome, position) for item k with its requests deferred.
  template <class Change>
  void change(size_t k, Change& change) {
    {
      auto genome = genomes_[round_[k]].write();
      if (!states_[k] || genome->state.get() != states_[k]) {
        states_[k] = nullptr;
        change(*genome, round_[k]);
      } else {
        const DeferredNumbers deferred(*states_[k], requests_[k]);  // the genomes keep their registries alive
        change(*genome, round_[k]);
      }
    }  // the genome's lock is released before any other is taken
    done_[k].store(true, std::memory_order_release);
    std::unique_lock lock(mutex_, std::try_to_lock);  // a busy queue is swept by its holder or at the end
    if (lock) sweep(false);
  }

  // After the pool returned (or failed): every item, done or not.
  void finish() {
    std::lock_guard lock(mutex_);
    sweep(true);
  }

 private:
  void sweep(bool all) {
    for (; next_ < round_.size() && (all || done_[next_].load(std::memory_order_acquire)); ++next_) {
      NumberRequests& requests = requests_[next_];
      if (requests.empty() || !states_[next_]) continue;
      requests.assign(*states_[next_]);
      const auto& genome = genomes_[round_[next_]];
      if (!genome.is_broken()) use_real_numbers(*genome.write(), requests);
    }
  }

  const std::vector<GenomeHandle<S>>& genomes_;
  const std::vector<size_t>& round_;
  std::vector<NumberRequests> requests_;
  std::vector<PopulationState*> states_;
  std::vector<std::atomic<bool>> done_;
  std::mutex mutex_;
  size_t next_ = 0;  // guarded by mutex_
};

template <class S, class Change>
void change_round(const std::vector<GenomeHandle<S>>& genomes, const std::vector<size_t>& round,
                  Change& change) {
  NumberingQueue<S> queue(genomes, round);
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
template <class S, class Change>
void change_genomes(const std::vector<GenomeHandle<S>>& genomes, Change&& change) {
  for (const auto& round : batch_detail::rounds_of(genomes))
    batch_detail::change_round(genomes, round, change);
}

}  // namespace evocore
