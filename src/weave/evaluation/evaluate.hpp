#pragma once
#include <cstdint>
#include <optional>
#include <vector>

#include "../types.hpp"
#include "attachments.hpp"
#include "cost_map.hpp"
#include "impassable.hpp"

namespace weave {

struct Evaluation {
  double fitness = 0.0;
  std::optional<std::vector<double>> objectives;  // set only under MultiObjectiveBridge
};

// Fitness (and under MultiObjectiveBridge the objectives [fitness, 1 - bridge
// share]) of a network: 0 when it is not connected, otherwise 1 / max(cost, 1e-7)
// where cost sums trace x cost over the cells the network touches. A NaN cell
// on the network makes it impassable like +inf: fitness 0, and so does an edge
// whose line passes through an impassable cell between its samples. The
// bridge share counts protection at `min_separation` cells (see Separation).
Evaluation evaluate_genome(const WeaveNodeMap& nodes, const EdgeMap& edges, EvaluationStrategy strategy,
                           const CostMap& cost_map, uint64_t min_separation = 0);

// Sum over the touched cells of trace value x cost; untouched cells never enter.
double trace_cost(const WeaveNodeMap& nodes, const EdgeMap& edges, const CostMap& cost_map);

// The same sum in map units, without the trace grid's 1 / (rows + cols) scale:
// node cells plus every edge sample's cost times its step length.
double map_units_cost(const WeaveNodeMap& nodes, const EdgeMap& edges, const CostMap& cost_map);

}  // namespace weave
