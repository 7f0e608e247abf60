#include "evaluation/connectivity.hpp"
#include "evaluation/edge_ends.hpp"
#include "grid.hpp"
#include "rounding.hpp"
#include "specialization.hpp"

namespace weave {

namespace {

int32_t midpoint(int32_t a, int32_t b) {
  return static_cast<int32_t>((int64_t{a} + b) / 2);
}  // truncates toward 0

bool removable_node(const WeaveNode& node, const WeaveNodeMap& nodes, const EdgeMap& edges) {
  return node.data.type != NodeType::Fixed && is_connected(nodes, edges, node.id);
}

// A flexible node picked uniformly in map order, counted instead of listed.
WeaveNode* pick_flexible_node(WeaveNodeMap& nodes, evocore::Rng& rng) {
  const auto flexible = [](const WeaveNode& node) { return node.data.type == NodeType::Flexible; };
  size_t count = 0;
  for (const auto& entry : nodes) count += flexible(entry.second);
  if (count == 0) return nullptr;
  size_t r = rng.index(count);
  for (auto& entry : nodes)
    if (flexible(entry.second) && r-- == 0) return &entry.second;
  return nullptr;
}

bool occupied_by_other(const WeaveNodeMap& nodes, uint64_t self, Cell pos) {
  for (const auto& [id, node] : nodes)
    if (id != self && node.data.pos == pos) return true;
  return false;
}

}  // namespace

bool WeaveSpecialization::add_node(WeaveNode& new_node, const Edge& split, const Edge&, const Edge&,
                                   const WeaveNodeMap& nodes, const EdgeMap&, evocore::Rng& rng) const {
  const Cell a = edge_end(nodes, split, split.node1).data.pos;
  const Cell b = edge_end(nodes, split, split.node2).data.pos;
  const auto cell = Grid::of(config->grid_size)
                        .find_free_pos(midpoint(a.row, b.row), midpoint(a.column, b.column), nodes, rng);
  if (!cell) return false;
  new_node.data = {*cell, NodeType::Flexible};
  return true;
}

bool WeaveSpecialization::remove_edge(const Edge& edge, const WeaveNodeMap& nodes, const EdgeMap& edges,
                                      evocore::Rng&) const {
  return is_connected(nodes, edges, std::nullopt, edge.id);
}

bool WeaveSpecialization::remove_node(const WeaveNode& node, const Edge&, const Edge&, const Edge&,
                                      const WeaveNodeMap& nodes, const EdgeMap& edges, evocore::Rng&) const {
  return removable_node(node, nodes, edges);
}

bool WeaveSpecialization::remove_node_single(const WeaveNode& node, const Edge&, const WeaveNodeMap& nodes,
                                             const EdgeMap& edges) const {
  return removable_node(node, nodes, edges);
}

// Moves one flexible node by a rounded normal step per axis, clamped to the grid;
// a move onto another node's cell is abandoned.
void WeaveSpecialization::mutate_structure(WeaveNodeMap& nodes, EdgeMap&, evocore::Rng& rng) const {
  if (!rng.bernoulli(config->move_node_mutation_prob)) return;
  WeaveNode* picked = pick_flexible_node(nodes, rng);
  if (!picked) return;
  WeaveNode& node = *picked;
  const double z1 = rng.normal();
  const double z2 = rng.normal();
  const int32_t dx = round_to_i32(z1 * config->move_node_mutation_sigma);
  const int32_t dy = round_to_i32(z2 * config->move_node_mutation_sigma);
  const Grid grid = Grid::of(config->grid_size);
  const Cell target{grid.clamp_x(int64_t{node.data.pos.row} + dx),
                    grid.clamp_y(int64_t{node.data.pos.column} + dy)};
  if (!occupied_by_other(nodes, node.id, target)) node.data.pos = target;
}

}  // namespace weave
