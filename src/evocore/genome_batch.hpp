#pragma once
#include <algorithm>
#include <cstdint>
#include <exception>
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

// Positions of the genomes in rounds: a genome listed k times takes part in
// the first k rounds, so that no round holds one genome twice.
template <class S>
std::vector<std::vector<size_t>> rounds_of(const std::vector<GenomeHandle<S>>& genomes) {
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
template <class S>
bool defers_numbers(const Genome<S>& genome) {
  return genome.state && !NumberRequests::provisional(genome.state->node_counter()) &&
         !NumberRequests::provisional(genome.state->edge_counter());
}

// Real numbers for every genome that asked for some, genome by genome.
template <class S>
void hand_out_numbers(const std::vector<GenomeHandle<S>>& genomes, const std::vector<size_t>& round,
                      std::vector<NumberRequests>& requests, const std::vector<PopulationState*>& states) {
  for (size_t k = 0; k < round.size(); ++k) {
    if (requests[k].empty()) continue;
    requests[k].assign(*states[k]);
    if (!genomes[round[k]].is_broken()) use_real_numbers(*genomes[round[k]].write(), requests[k]);
  }
}

template <class S, class Change>
void change_round(const std::vector<GenomeHandle<S>>& genomes, const std::vector<size_t>& round,
                  Change& change) {
  std::vector<NumberRequests> requests(round.size());
  std::vector<PopulationState*> states(round.size());  // the genomes keep their registries alive
  std::exception_ptr failure;
  try {
    parallel_for(round.size(), [&](size_t k) {
      auto genome = genomes[round[k]].write();
      if (!defers_numbers(*genome)) return change(*genome, round[k]);
      states[k] = genome->state.get();
      const DeferredNumbers deferred(*states[k], requests[k]);
      change(*genome, round[k]);
    });
  } catch (...) {
    failure = std::current_exception();  // the genomes changed so far still get their numbers
  }
  hand_out_numbers(genomes, round, requests, states);
  if (failure) std::rethrow_exception(failure);
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
