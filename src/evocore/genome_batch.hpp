#pragma once
#include <cstdint>
#include <exception>
#include <unordered_map>
#include <utility>
#include <vector>

#include "genome.hpp"
#include "registry.hpp"
#include "thread_pool.hpp"

namespace evocore {

namespace batch_detail {

// Gives every provisional number in the genome its real one; entries are
// re-keyed in iteration order, so the result depends on the genome alone.
template <class Map, class Fix>
void renumber_table(Map& map, const NumberRequests& requests, Fix&& fix) {
  std::vector<uint64_t> keys;
  for (auto& [id, entry] : map) {
    fix(entry);
    if (NumberRequests::provisional(id)) keys.push_back(id);
  }
  for (uint64_t key : keys) {
    auto handle = map.extract(key);
    handle.key() = requests.real(key);
    if (!map.insert(std::move(handle)).inserted)
      fail("number " + std::to_string(requests.real(key)) + " appears twice in one genome");
  }
}

template <class S>
void use_real_numbers(Genome<S>& genome, const NumberRequests& requests) {
  renumber_table(genome.nodes, requests, [&](auto& node) { node.id = requests.real(node.id); });
  renumber_table(genome.edges, requests, [&](Edge& edge) {
    edge.id = requests.real(edge.id);
    edge.node1 = requests.real(edge.node1);
    edge.node2 = requests.real(edge.node2);
  });
}

// Positions of the genomes in rounds: a genome listed k times takes part in
// the first k rounds, so that no round holds one genome twice.
template <class S>
std::vector<std::vector<size_t>> rounds_of(const std::vector<GenomeHandle<S>>& genomes) {
  std::vector<std::vector<size_t>> rounds(1);
  std::unordered_map<const void*, size_t> seen;
  seen.reserve(genomes.size());
  for (size_t i = 0; i < genomes.size(); ++i) {
    const size_t round = seen[genomes[i].identity()]++;
    if (round == rounds.size()) rounds.emplace_back();
    rounds[round].push_back(i);
  }
  return rounds;
}

// A registry counted up into the provisional range could not tell its own
// numbers from provisional ones; its genomes take numbers directly.
template <class S>
bool defers_numbers(const Genome<S>& genome) {
  return genome.state && !NumberRequests::provisional(genome.state->node_counter()) &&
         !NumberRequests::provisional(genome.state->edge_counter());
}

// Real numbers for every genome that asked for some. Renumbering twice
// changes nothing, so an interruption of the pool is finished here in turn.
template <class S>
void hand_out_numbers(const std::vector<GenomeHandle<S>>& genomes, const std::vector<size_t>& round,
                      std::vector<NumberRequests>& requests, const std::vector<StateHandle>& states) {
  for (size_t k = 0; k < round.size(); ++k)
    if (!requests[k].empty()) requests[k].assign(*states[k]);
  const auto renumber = [&](size_t k) {
    if (requests[k].empty() || genomes[round[k]].is_broken()) return;
    use_real_numbers(*genomes[round[k]].write(), requests[k]);
  };
  try {
    parallel_for(round.size(), renumber);
  } catch (...) {
    for (size_t k = 0; k < round.size(); ++k) renumber(k);
    throw;
  }
}

template <class S, class Change>
void change_round(const std::vector<GenomeHandle<S>>& genomes, const std::vector<size_t>& round,
                  Change& change) {
  std::vector<NumberRequests> requests(round.size());
  std::vector<StateHandle> states(round.size());
  std::exception_ptr failure;
  try {
    parallel_for(round.size(), [&](size_t k) {
      auto genome = genomes[round[k]].write();
      if (!defers_numbers(*genome)) return change(*genome, round[k]);
      states[k] = genome->state;
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
