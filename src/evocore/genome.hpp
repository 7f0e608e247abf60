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

struct NodePairHash {
  size_t operator()(const std::pair<uint64_t, uint64_t>& key) const noexcept {
    return std::hash<uint64_t>{}(key.first * 0x9E3779B97F4A7C15ULL ^ key.second);
  }
};

// Innovation registry of one population. Lock order: edge table, then edge
// counter; the node counter is locked alone.
class PopulationState {
 public:
  uint64_t new_node_id() {
    std::lock_guard lock(node_mutex_);
    return next_number(node_counter_, "node");
  }

  uint64_t get_edge_id(uint64_t a, uint64_t b) {
    const auto key = std::minmax(a, b);
    std::lock_guard table_lock(table_mutex_);
    if (auto found = table_.find(key); found != table_.end()) return found->second;
    std::lock_guard counter_lock(edge_mutex_);
    const uint64_t id = next_number(edge_counter_, "edge");
    table_.emplace(key, id);
    pairs_.insert_or_assign(id, key);
    return id;
  }

  // Registers `id` for the unordered pair, replacing any earlier number.
  void set_edge_id(uint64_t a, uint64_t b, uint64_t id) {
    const NodePair key = std::minmax(a, b);
    std::lock_guard table_lock(table_mutex_);
    auto [entry, added] = table_.try_emplace(key, id);
    if (!added) {
      if (auto old = pairs_.find(entry->second); old != pairs_.end() && old->second == key) pairs_.erase(old);
      entry->second = id;
    }
    pairs_.insert_or_assign(id, key);
  }

  // The unordered pair (smaller id first) that edge number `id` stands for, if any.
  std::optional<std::pair<uint64_t, uint64_t>> pair_of(uint64_t id) const {
    std::lock_guard table_lock(table_mutex_);
    if (auto found = pairs_.find(id); found != pairs_.end()) return found->second;
    return std::nullopt;
  }

  void raise_node_counter(uint64_t at_least) {
    std::lock_guard lock(node_mutex_);
    node_counter_ = std::max(node_counter_, at_least);
  }

  void raise_edge_counter(uint64_t at_least) {
    std::lock_guard lock(edge_mutex_);
    edge_counter_ = std::max(edge_counter_, at_least);
  }

  // Everything the registry holds, for saving it; restore() takes it back.
  struct Contents {
    uint64_t node_counter = 0;
    uint64_t edge_counter = 0;
    std::vector<std::pair<std::pair<uint64_t, uint64_t>, uint64_t>> table;  // pair -> number
    std::vector<std::pair<uint64_t, std::pair<uint64_t, uint64_t>>> pairs;  // number -> pair
  };

  Contents contents() const {
    Contents contents;
    {
      std::lock_guard table_lock(table_mutex_);
      contents.table.assign(table_.begin(), table_.end());
      contents.pairs.assign(pairs_.begin(), pairs_.end());
      std::lock_guard counter_lock(edge_mutex_);
      contents.edge_counter = edge_counter_;
    }
    contents.node_counter = node_counter();
    return contents;
  }

  // Replaces everything by `contents` (for a registry nobody else uses yet).
  void restore(const Contents& contents) {
    {
      std::lock_guard table_lock(table_mutex_);
      table_ = {contents.table.begin(), contents.table.end()};
      pairs_ = {contents.pairs.begin(), contents.pairs.end()};
      std::lock_guard counter_lock(edge_mutex_);
      edge_counter_ = contents.edge_counter;
    }
    std::lock_guard node_lock(node_mutex_);
    node_counter_ = contents.node_counter;
  }

  uint64_t node_counter() const {
    std::lock_guard lock(node_mutex_);
    return node_counter_;
  }

  uint64_t edge_counter() const {
    std::lock_guard lock(edge_mutex_);
    return edge_counter_;
  }

 private:
  // A counter at the top of the range would wrap to numbers already in use.
  static uint64_t next_number(uint64_t& counter, const char* kind) {
    if (counter == std::numeric_limits<uint64_t>::max()) fail(std::string(kind) + " numbers are exhausted");
    return ++counter;
  }

  mutable std::mutex table_mutex_;
  mutable std::mutex edge_mutex_;
  mutable std::mutex node_mutex_;
  using NodePair = std::pair<uint64_t, uint64_t>;
  std::unordered_map<NodePair, uint64_t, NodePairHash> table_;
  std::unordered_map<uint64_t, NodePair> pairs_;  // edge number -> pair, the table read backwards
  uint64_t edge_counter_ = 0;
  uint64_t node_counter_ = 0;
};

using StateHandle = std::shared_ptr<PopulationState>;

// One candidate network. Copying is the deep clone: maps, configuration,
// specialization and objectives are copied, the registry handle is shared.
template <class S>
struct Genome {
  using NodeData = typename S::NodeData;
  using Config = NEATConfig<typename S::Config>;

  Config config{};
  std::optional<double> adjusted_fitness;
  S specialization{};
  std::optional<std::vector<double>> objectives;
  StateHandle state;
  NodeMap<NodeData> nodes;
  EdgeMap edges;
  double fitness = 0.0;
  bool elite = false;

  static Genome create(Config config, S specialization, StateHandle state,
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
