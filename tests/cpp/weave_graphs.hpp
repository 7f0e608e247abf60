#pragma once
// Small builders shared by the grid-network tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <memory>
#include <ostream>

#include "evocore/rng.hpp"
#include "weave/specialization.hpp"

namespace weave {
inline void PrintTo(const Cell& pos, std::ostream* out) {
  *out << "(" << pos.row << ", " << pos.column << ")";
}
}  // namespace weave

namespace weave::testing {

struct NodeRow {
  uint64_t id;
  int32_t row;
  int32_t column;
  NodeType type = NodeType::Flexible;
};

struct EdgeRow {
  uint64_t id;
  uint64_t node1;
  uint64_t node2;
  bool enabled = true;
};

inline WeaveNodeMap nodes_of(std::initializer_list<NodeRow> rows) {
  WeaveNodeMap nodes;
  for (const auto& s : rows) nodes[s.id] = WeaveNode{s.id, {{s.row, s.column}, s.type}};
  return nodes;
}

inline EdgeMap edges_of(std::initializer_list<EdgeRow> rows) {
  EdgeMap edges;
  for (const auto& s : rows) edges[s.id] = Edge{s.id, s.node1, s.node2, s.enabled};
  return edges;
}

inline WeaveConfig config_of(uint64_t width, uint64_t height) {
  WeaveConfig config;
  config.grid_size = {width, height};
  config.compatibility_sigma = 1;
  config.c3 = 1.0;
  return config;
}

inline Genome genome_of(const WeaveConfig& config, WeaveNodeMap nodes, EdgeMap edges) {
  WeaveNEATConfig engine_config;
  engine_config.special = config;
  return Genome::create(engine_config, WeaveSpecialization{config},
                        std::make_shared<evocore::PopulationState>(), std::move(edges), std::move(nodes));
}

// Random network on a rows x cols shape; some nodes lie outside it and some
// edges are disabled. With `connected` every node is joined by a spanning tree.
inline std::pair<WeaveNodeMap, EdgeMap> random_network(evocore::Rng& rng, int32_t rows, int32_t cols,
                                                       int node_count, int extra_edges,
                                                       bool connected = true) {
  WeaveNodeMap nodes;
  for (int i = 1; i <= node_count; ++i) {
    const Cell pos{static_cast<int32_t>(rng.uniform_int(-2, rows + 2)),
                   static_cast<int32_t>(rng.uniform_int(-2, cols + 2))};
    nodes[i] = WeaveNode{static_cast<uint64_t>(i), {pos, NodeType::Flexible}};
  }
  EdgeMap edges;
  uint64_t next_id = 1;
  const auto add = [&](uint64_t a, uint64_t b, bool enabled) {
    edges[next_id] = Edge{next_id, a, b, enabled}, ++next_id;
  };
  if (connected)
    for (int i = 2; i <= node_count; ++i) add(static_cast<uint64_t>(rng.uniform_int(1, i - 1)), i, true);
  for (int e = 0; e < extra_edges; ++e)
    add(rng.uniform_int(1, node_count), rng.uniform_int(1, node_count), rng.bernoulli(0.8));
  return {std::move(nodes), std::move(edges)};
}

inline void expect_relative_near(double actual, double expected, double tolerance = 1e-12) {
  EXPECT_LE(std::abs(actual - expected), tolerance * std::max(std::abs(actual), std::abs(expected)))
      << "actual " << actual << " expected " << expected;
}

// True when `rng` has made exactly the same draws as `reference`.
inline bool same_stream(evocore::Rng rng, evocore::Rng reference) {
  return rng.next_u64() == reference.next_u64();
}

}  // namespace weave::testing
