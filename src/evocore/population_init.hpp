#pragma once
#include <optional>
#include <type_traits>
#include <utility>

#include "error.hpp"
#include "genome.hpp"
#include "interrupt.hpp"
#include "mutation.hpp"
#include "population.hpp"
#include "rng.hpp"
#include "specialization.hpp"
#include "speciation.hpp"

namespace evocore {

namespace init_detail {

template <class S>
std::pair<NodeMap<typename S::NodeData>, EdgeMap> initial_structure(Population<S>& population,
                                                                    std::optional<Genome<S>>& start) {
  if (start) return {std::move(start->nodes), std::move(start->edges)};
  auto [node_list, edge_list] = population.specialization.initialize_genome(*population.state);
  NodeMap<typename S::NodeData> nodes;
  EdgeMap edges;
  for (auto& node : node_list) nodes.insert_or_assign(node.id, std::move(node));
  for (const auto& edge : edge_list) edges.insert_or_assign(edge.id, edge);
  return {std::move(nodes), std::move(edges)};
}

}  // namespace init_detail

// Replaces the members by population_size mutated copies of one initial genome
// (the start genome's structure, or the specialization's) and speciates them.
// Only the start genome's nodes and edges are used.
template <Specialization S>
void initialize(Population<S>& population, std::type_identity_t<std::optional<Genome<S>>> start, Rng& rng) {
  auto [nodes, edges] = init_detail::initial_structure(population, start);
  seed_registry(*population.state, nodes, edges);
  const Genome<S> initial = Genome<S>::create(population.config, population.specialization, population.state,
                                              std::move(edges), std::move(nodes));
  population.members.clear();
  reserve_or_refuse(population.members, population.config->population_size);
  for (uint64_t i = 0; i < population.config->population_size; ++i) {
    check_interrupt();
    Genome<S> member = initial.clone();
    mutate(member, rng);
    population.members.push_back(GenomeHandle<S>::make(std::move(member)));
  }
  respeciate(population, rng);
}

}  // namespace evocore
