#pragma once
#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "config.hpp"
#include "error.hpp"
#include "registry.hpp"
#include "shared_handle.hpp"

namespace evocore {

template <class NodeData>
struct Node {
  uint64_t id = 0;
  NodeData data{};
};

// Undirected; node1/node2 keep the order in which the edge was made.
struct Edge {
  uint64_t id = 0;
  uint64_t node1 = 0;
  uint64_t node2 = 0;
  bool enabled = true;
};

// std::hash of integers is the identity, so iteration order depends only on
// the history of inserts and erases (runs can be reproduced from a seed).
template <class NodeData>
using NodeMap = std::unordered_map<uint64_t, Node<NodeData>>;
using EdgeMap = std::unordered_map<uint64_t, Edge>;

// One candidate network. Copying is the deep clone: maps and objectives are
// copied; the registry handle and the settings (of the engine and, inside the
// specialization, of the domain) are shared with the population.
template <class S>
struct Genome {
  using NodeData = typename S::NodeData;
  using Config = NEATConfig<typename S::Config>;

  SharedSettings<Config> config;
  std::optional<double> adjusted_fitness;
  S specialization{};
  std::optional<std::vector<double>> objectives;
  StateHandle state;
  NodeMap<NodeData> nodes;
  EdgeMap edges;
  double fitness = 0.0;
  bool elite = false;

  static Genome create(SharedSettings<Config> config, S specialization, StateHandle state,
                       std::optional<EdgeMap> edges = std::nullopt,
                       std::optional<NodeMap<NodeData>> nodes = std::nullopt) {
    Genome genome;
    genome.config = std::move(config);
    genome.specialization = std::move(specialization);
    genome.state = std::move(state);
    if (edges) genome.edges = std::move(*edges);
    if (nodes) genome.nodes = std::move(*nodes);
    return genome;
  }

  Genome clone() const { return *this; }

  // All edges, enabled and disabled, in ascending id order.
  std::vector<const Edge*> sorted_edges() const {
    std::vector<const Edge*> sorted;
    sorted.reserve(edges.size());
    for (const auto& entry : edges) sorted.push_back(&entry.second);
    std::sort(sorted.begin(), sorted.end(), [](const Edge* a, const Edge* b) { return a->id < b->id; });
    return sorted;
  }

  std::vector<uint64_t> sorted_edge_ids() const {
    std::vector<uint64_t> ids;
    ids.reserve(edges.size());
    for (const auto& entry : edges) ids.push_back(entry.first);
    std::sort(ids.begin(), ids.end());
    return ids;
  }
};

template <class S>
using GenomeHandle = Shared<Genome<S>>;

// Registers a template genome's numbers: every edge's pair gets its id, and
// the counters are raised to the largest ids (never lowered).
template <class NodeData>
void seed_registry(PopulationState& state, const NodeMap<NodeData>& nodes, const EdgeMap& edges) {
  uint64_t max_node = 0, max_edge = 0;
  for (const auto& [id, edge] : edges) {
    state.set_edge_id(edge.node1, edge.node2, edge.id);
    max_edge = std::max(max_edge, id);
  }
  for (const auto& entry : nodes) max_node = std::max(max_node, entry.first);
  state.raise_node_counter(max_node);
  state.raise_edge_counter(max_edge);
}

}  // namespace evocore
