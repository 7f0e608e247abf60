#pragma once
#include <cstdint>
#include <utility>
#include <vector>

#include "../weave/evaluation/network_cost.hpp"

namespace routing {

using weave::Cell;
using weave::CostMap;

// A network of straight edges: nodes [0, fixed_count) are the terminals in the
// caller's order, the rest are bends and branch points.
struct Network {
  std::vector<Cell> nodes;
  size_t fixed_count = 0;
  std::vector<std::pair<uint32_t, uint32_t>> edges;
  double cost = 0.0;  // the trace cost the evaluation computes for this network
};

inline Cell cell_pos(const CostMap& map, uint64_t cell) {
  return Cell{static_cast<int32_t>(cell / map.cols), static_cast<int32_t>(cell % map.cols)};
}

inline uint64_t pos_cell(const CostMap& map, Cell pos) {
  return static_cast<uint64_t>(pos.row) * map.cols + static_cast<uint64_t>(pos.column);
}

// Sum of node and edge terms, scaled as the evaluation scales the trace grid.
inline double network_cost(const Network& network, const CostMap& map) {
  double sum = 0.0;
  for (const Cell& pos : network.nodes) sum += weave::node_cost(pos, map);
  for (const auto& [a, b] : network.edges) sum += weave::edge_cost(network.nodes[a], network.nodes[b], map);
  return sum * weave::detail::trace_scale(map.rows, map.cols);
}

}  // namespace routing
