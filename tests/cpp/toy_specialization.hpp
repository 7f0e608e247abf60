#pragma once
#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "evocore/genome.hpp"
#include "evocore/population.hpp"
#include "evocore/specialization.hpp"

namespace toy {

using evocore::Edge;
using evocore::EdgeMap;
using NodeMap = evocore::NodeMap<int>;
using ToyNode = evocore::Node<int>;

struct ToyConfig {
  int unused = 0;
};

// Distances between genome labels (data of node 1), keyed by the smaller label first;
// equal labels are at distance 0, pairs missing from the table at `term`.
using DistanceTable = std::map<std::pair<int, int>, double>;

// Node data is an int; every decision is a plain switch, and no operation draws
// random numbers, so tests can count the engine's own draws.
struct ToySpecialization {
  using NodeData = int;
  using Config = ToyConfig;
  using GenomeT = evocore::Genome<ToySpecialization>;

  int path_length = 3;
  int new_node_data = 7;
  bool allow_add_node = true;
  bool allow_remove_edge = true;
  bool allow_remove_node = true;
  bool allow_remove_single = true;
  double term = 0.0;                               // compatibility term when no table applies
  std::shared_ptr<const DistanceTable> distances;  // label distances, when set

  // A path of path_length nodes whose data are 0, 1, 2, ...
  std::pair<std::vector<ToyNode>, std::vector<Edge>> initialize_genome(
      evocore::PopulationState& state) const {
    std::vector<ToyNode> nodes;
    std::vector<Edge> edges;
    for (int i = 0; i < path_length; ++i) {
      nodes.push_back({state.new_node_id(), i});
      if (i > 0) {
        const uint64_t a = nodes[i - 1].id, b = nodes[i].id;
        edges.push_back({state.get_edge_id(a, b), a, b, true});
      }
    }
    return {nodes, edges};
  }
  bool add_node(ToyNode& node, const Edge&, const Edge&, const Edge&, const NodeMap&, const EdgeMap&,
                evocore::Rng&) const {
    node.data = new_node_data;
    return allow_add_node;
  }
  bool remove_edge(const Edge&, const NodeMap&, const EdgeMap&, evocore::Rng&) const {
    return allow_remove_edge;
  }
  bool remove_node(const ToyNode&, const Edge&, const Edge&, const Edge&, const NodeMap&, const EdgeMap&,
                   evocore::Rng&) const {
    return allow_remove_node;
  }
  bool remove_node_single(const ToyNode&, const Edge&, const NodeMap&, const EdgeMap&) const {
    return allow_remove_single;
  }
  void mutate_structure(NodeMap&, EdgeMap&, evocore::Rng&) const {}

  double compatibility(const GenomeT& a, const GenomeT& b, std::span<const uint64_t>) const {
    return label_distance(label(a.nodes), label(b.nodes));
  }

  static int label(const NodeMap& nodes) {
    const auto found = nodes.find(1);
    return found == nodes.end() ? 0 : found->second.data;
  }
  double label_distance(int a, int b) const {
    if (!distances) return term;
    if (a == b) return 0.0;
    const auto found = distances->find(std::minmax(a, b));
    return found == distances->end() ? term : found->second;
  }
};

// Offers a signature: scale * (sum of node data). A signature is accepted only
// from a specialization of the same scale; calls are counted.
struct SignedToySpecialization : ToySpecialization {
  struct Signature {
    int scale = 1;
    double value = 0.0;
  };
  using GenomeT = evocore::Genome<SignedToySpecialization>;

  int scale = 1;
  std::shared_ptr<std::atomic<int>> signature_calls = std::make_shared<std::atomic<int>>(0);

  static double data_sum(const NodeMap& nodes) {
    double sum = 0.0;
    for (const auto& entry : nodes) sum += entry.second.data;
    return sum;
  }
  double compatibility(const GenomeT& a, const GenomeT& b, std::span<const uint64_t>) const {
    return std::abs(scale * data_sum(a.nodes) - scale * data_sum(b.nodes));
  }
  Signature signature(const GenomeT& genome) const {
    ++*signature_calls;
    return {scale, scale * data_sum(genome.nodes)};
  }
  bool accepts(const Signature& signature) const { return signature.scale == scale; }
  double compatibility(const Signature& a, const Signature& b) const { return std::abs(a.value - b.value); }
};

static_assert(evocore::Specialization<ToySpecialization>);
static_assert(!evocore::HasCompatibilitySignature<ToySpecialization>);
static_assert(evocore::HasCompatibilitySignature<SignedToySpecialization>);

using Genome = evocore::Genome<ToySpecialization>;
using Handle = evocore::GenomeHandle<ToySpecialization>;
using Population = evocore::Population<ToySpecialization>;
using Config = evocore::NEATConfig<ToyConfig>;

inline Config quiet_config() {
  Config config;
  config.population_size = 10;
  config.tournament_size = 2;
  config.species_threshold = 3.0;
  config.selection_share = 1.0;
  config.crossover_enabled = true;
  config.c1 = 1.0;
  config.c2 = 0.5;
  return config;
}

// A genome with the given node ids (data = label for node 1, else 0) and edges.
template <class S = ToySpecialization>
evocore::Genome<S> make_genome(const std::vector<uint64_t>& node_ids, const std::vector<Edge>& edges,
                               int label = 0, Config config = quiet_config(), S special = {},
                               evocore::StateHandle state = std::make_shared<evocore::PopulationState>()) {
  NodeMap nodes;
  for (uint64_t id : node_ids) nodes[id] = {id, id == 1 ? label : 0};
  EdgeMap edge_map;
  for (const Edge& edge : edges) edge_map[edge.id] = edge;
  evocore::seed_registry(*state, nodes, edge_map);
  return evocore::Genome<S>::create(std::move(config), std::move(special), std::move(state),
                                    std::move(edge_map), std::move(nodes));
}

inline Handle labelled(int label, double fitness = 0.0, Config config = quiet_config(),
                       ToySpecialization special = {}) {
  auto genome = make_genome({1}, {}, label, std::move(config), std::move(special));
  genome.fitness = fitness;
  return Handle::make(std::move(genome));
}

}  // namespace toy
