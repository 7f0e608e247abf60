#pragma once
#include <cstdint>
#include <limits>

#include "evaluate.hpp"
#include "samples.hpp"

// A network's cost on a map splits exactly into one term per node and one per
// enabled edge: trace_cost = (sum of node_cost + sum of edge_cost) / (rows + cols).
// Local search and the least-cost heuristics price their changes with these terms.
namespace weave {

// Cost of the cell a node sits on; nothing when the node lies outside the map.
inline double node_cost(Cell pos, const CostMap& map) {
  if (!detail::on_grid(pos, map.rows, map.cols)) return 0.0;
  return map.at(static_cast<uint64_t>(pos.row) * map.cols + static_cast<uint64_t>(pos.column));
}

namespace detail {
// A local aggregate rather than a captured reference, so that the running sum
// stays in a register instead of being stored after every sample.
template <class Value>
struct CostSum {
  const Value* data;
  double sum;
  void operator()(uint64_t cell, double weight, bool) { sum += weight * static_cast<double>(data[cell]); }
};

template <class Value>
double edge_cost_over(Cell a, Cell b, const CostMap& map, const Value* data) {
  CostSum<Value> sink{data, 0.0};
  for_each_edge_sample(a, b, map.rows, map.cols, sink);
  return sink.sum;
}
}  // namespace detail

// Sum of weight x cost over the in-shape samples of a straight edge, before the
// trace grid's 1 / (rows + cols) scale; +inf when its line passes through an
// impassable cell that no sample lands on.
inline double edge_cost(Cell a, Cell b, const CostMap& map) {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  const double sum = map.data32 ? detail::edge_cost_over(a, b, map, map.data32)
                                : detail::edge_cost_over(a, b, map, map.data);
  if (sum < kInfinity && crosses_impassable(a, b, map)) return kInfinity;
  return sum;
}

}  // namespace weave
