#include "evaluate.hpp"

#include <cmath>

#include "connectivity.hpp"
#include "network_cost.hpp"

namespace weave {

namespace {

constexpr double kMinCost = 1e-7;

// A cost that is not a number comes from a NaN cell on the network (or +inf and
// -inf cells together): impassable, like an infinite cost.
double fitness_from_cost(double cost) {
  if (std::isnan(cost)) return 0.0;
  return 1.0 / (cost > kMinCost ? cost : kMinCost);
}

}  // namespace

double trace_cost(const WeaveNodeMap& nodes, const EdgeMap& edges, const CostMap& cost_map) {
  return map_units_cost(nodes, edges, cost_map) * detail::trace_scale(cost_map.rows, cost_map.cols);
}

double map_units_cost(const WeaveNodeMap& nodes, const EdgeMap& edges, const CostMap& cost_map) {
  detail::check_grid_shape(cost_map.rows, cost_map.cols);
  double cost = 0.0;
  for (const auto& entry : nodes) cost += node_cost(entry.second.data.pos, cost_map);
  for (const auto& [id, edge] : edges) {
    if (!edge.enabled) continue;
    cost += edge_cost(edge_end(nodes, edge, edge.node1).data.pos, edge_end(nodes, edge, edge.node2).data.pos,
                      cost_map);
  }
  return cost;
}

Evaluation evaluate_genome(const WeaveNodeMap& nodes, const EdgeMap& edges, EvaluationStrategy strategy,
                           const CostMap& cost_map, uint64_t min_separation) {
  const bool multi_objective = strategy == EvaluationStrategy::MultiObjectiveBridge;
  if (!is_connected(nodes, edges, {}, {}, cost_map.attachments)) {
    Evaluation worthless{0.0, {}};
    if (multi_objective) worthless.objectives = std::vector<double>{0.0, 0.0};
    return worthless;
  }
  Evaluation evaluation{fitness_from_cost(trace_cost(nodes, edges, cost_map)), {}};
  if (multi_objective)
    evaluation.objectives = std::vector<double>{
        evaluation.fitness,
        1.0 - calculate_bridge_share(nodes, edges, {min_separation, cost_map.rows, cost_map.cols})};
  return evaluation;
}

}  // namespace weave
