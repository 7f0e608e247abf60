#include "balanced_polish.hpp"

#include <algorithm>
#include <cmath>
#include <unordered_set>
#include <utility>
#include <vector>

#include "../evocore/interrupt.hpp"
#include "../weave/evaluation/connectivity.hpp"
#include "../weave/evaluation/network_cost.hpp"
#include "../weave/genome_evaluation.hpp"
#include "edges.hpp"
#include "network_edit.hpp"

namespace localsearch {

namespace {

using weave::Cell;
using weave::CostMap;
using weave::Edge;
using weave::NodeType;

// Node moves, bends and bypasses keep which edges are bridges (the new edges
// inherit the status of the ones they replace), so the bridge share after a
// move follows from the lengths it changes: bridge length B and total T. With
// a separation a move can also change which edges are protected: the estimate
// only ranks the moves, the exact share decides (confirm).
class BalancedPolisher : NetworkEdit {
 public:
  BalancedPolisher(weave::Genome& genome, const CostMap& map, const PolishOptions& options)
      : NetworkEdit(genome, map), options_(options) {}

  size_t run() {
    size_t changes = 0;
    for (size_t round = 0; round < options_.max_rounds; ++round) {
      evocore::check_interrupt();
      if (evocore::deadline_passed()) break;
      const size_t before = changes;
      changes += remove_leaves();
      changes += bypass_nodes();
      changes += move_nodes();
      if (options_.split_edges) changes += split_edges();
      if (changes == before) break;
    }
    return changes;
  }

 private:
  void measure() {
    bridges_ = weave::bridge_edge_ids(genome_.nodes, genome_.edges, weave::separation_of(genome_, map_));
    share_ = weave::calculate_bridge_share(genome_.nodes, genome_.edges, weave::separation_of(genome_, map_));
    bridge_length_ = total_length_ = 0.0;
    for (const auto& [id, edge] : genome_.edges) {
      if (!edge.enabled) continue;
      const double length = weave::distance(pos_of(edge.node1), pos_of(edge.node2));
      total_length_ += length;
      if (bridges_.contains(id)) bridge_length_ += length;
    }
  }

  // True when lengths changing by d_bridge (on bridges) and d_total (in all)
  // leave the share at most where it is, (B + dB) / (T + dT) <= B / T, up to
  // rounding: a move that passes is confirmed on the exact share.
  bool share_holds(double d_bridge, double d_total) const {
    if (total_length_ < 1e-9) return d_bridge <= 0.0;
    return d_bridge * total_length_ <= bridge_length_ * d_total + 1e-12 * total_length_ * total_length_;
  }

  // Keeps a move made on the genome when the exact share did not grow; otherwise undoes it.
  template <class Undo>
  bool confirm(Undo&& undo) {
    const double share =
        weave::calculate_bridge_share(genome_.nodes, genome_.edges, weave::separation_of(genome_, map_));
    if (share <= share_) {
      measure();
      return true;
    }
    undo();
    return false;
  }

  bool free_cell(Cell pos) const {
    return weave::detail::on_grid(pos, map_.rows, map_.cols) && !occupied_.contains(pos_key(pos));
  }

  // A leaf's edge is a bridge: dropping it lowers B and T alike, never the share's rise.
  size_t remove_leaves() {
    size_t removed = 0;
    for (bool again = true; again;) {
      again = false;
      measure();
      for (uint64_t node : flexible_nodes()) {
        const auto edges = incident(node);
        if (edges.size() != 1) continue;
        const Edge edge = *edges[0];
        if (weave::node_cost(pos_of(node), map_) + edge_cost(edge) < 0.0) continue;
        const double length = weave::distance(pos_of(edge.node1), pos_of(edge.node2));
        if (!share_holds(bridges_.contains(edge.id) ? -length : 0.0, -length)) continue;
        weave::Genome saved = genome_.clone();
        const auto saved_occupied = occupied_;
        erase_node(node);
        if (confirm([&] { genome_ = std::move(saved), occupied_ = saved_occupied; })) ++removed, again = true;
      }
    }
    return removed;
  }

  size_t bypass_nodes() {
    size_t removed = 0;
    measure();
    for (uint64_t node : flexible_nodes()) {
      const auto edges = incident(node);
      if (edges.size() != 2) continue;
      const uint64_t a = other_end(*edges[0], node), b = other_end(*edges[1], node);
      if (a == b || linked(genome_.edges, a, b)) continue;
      const double current =
          weave::node_cost(pos_of(node), map_) + edge_cost(*edges[0]) + edge_cost(*edges[1]);
      if (!cheaper(weave::edge_cost(pos_of(a), pos_of(b), map_), current)) continue;
      const double before =
          weave::distance(pos_of(a), pos_of(node)) + weave::distance(pos_of(node), pos_of(b));
      const double change = weave::distance(pos_of(a), pos_of(b)) - before;
      if (!share_holds(bridges_.contains(edges[0]->id) ? change : 0.0, change)) continue;
      weave::Genome saved = genome_.clone();
      const auto saved_occupied = occupied_;
      if (!join(genome_, a, b)) continue;
      erase_node(node);
      if (confirm([&] { genome_ = std::move(saved), occupied_ = saved_occupied; })) ++removed;
    }
    return removed;
  }

  std::vector<Cell> neighbourhood(Cell pos) const {
    std::vector<Cell> cells;
    auto offer = [&](int64_t dx, int64_t dy) {
      const int64_t x = int64_t{pos.row} + dx, y = int64_t{pos.column} + dy;
      if (x >= 0 && y >= 0 && static_cast<uint64_t>(x) < map_.rows && static_cast<uint64_t>(y) < map_.cols)
        cells.push_back({static_cast<int32_t>(x), static_cast<int32_t>(y)});
    };
    const int64_t r = options_.radius;
    for (int64_t dx = -r; dx <= r; ++dx)
      for (int64_t dy = -r; dy <= r; ++dy)
        if (dx || dy) offer(dx, dy);
    for (int64_t jump = 2 * r; jump <= 8 * r; jump *= 2)
      for (int64_t dx = -1; dx <= 1; ++dx)
        for (int64_t dy = -1; dy <= 1; ++dy)
          if (dx || dy) offer(dx * jump, dy * jump);
    return cells;
  }

  size_t move_nodes() {
    size_t moved = 0;
    measure();
    for (uint64_t node : flexible_nodes()) {
      const auto edges = incident(node);
      const Cell here = pos_of(node);
      const auto local = [&](Cell pos, double& d_bridge, double& d_total) {
        double cost = weave::node_cost(pos, map_);
        d_bridge = d_total = 0.0;
        for (const Edge* edge : edges) {
          const Cell other = pos_of(other_end(*edge, node));
          cost += weave::edge_cost(pos, other, map_);
          const double change = weave::distance(pos, other) - weave::distance(here, other);
          d_total += change;
          if (bridges_.contains(edge->id)) d_bridge += change;
        }
        return cost;
      };
      double d_bridge = 0.0, d_total = 0.0;
      double best_cost = local(here, d_bridge, d_total);
      Cell best = here;
      for (const Cell& cell : neighbourhood(here)) {
        if (!free_cell(cell)) continue;
        const double cost = local(cell, d_bridge, d_total);
        if (cheaper(cost, best_cost) && share_holds(d_bridge, d_total)) best_cost = cost, best = cell;
      }
      if (best == here) continue;
      const auto place = [&](Cell from, Cell to) {
        occupied_.erase(pos_key(from));
        occupied_.insert(pos_key(to));
        genome_.nodes.at(node).data.pos = to;
      };
      place(here, best);
      if (confirm([&] { place(best, here); })) ++moved;
    }
    return moved;
  }

  // Bend points for an edge: a quarter, half and three quarters along it,
  // pushed sideways by 1, 2, 4, ... cells up to half the edge's length.
  std::vector<Cell> bend_candidates(Cell a, Cell b) const {
    std::vector<Cell> cells;
    const double dx = b.row - a.row, dy = b.column - a.column, length = std::hypot(dx, dy);
    if (length < 2.0) return cells;
    const double nx = -dy / length, ny = dx / length;
    for (double t : {0.25, 0.5, 0.75})
      for (double offset = 1.0; offset <= length / 2; offset *= 2)
        for (double side : {-1.0, 1.0}) {
          const double row = std::round(a.row + t * dx + side * offset * nx);
          const double col = std::round(a.column + t * dy + side * offset * ny);
          if (row >= 0.0 && col >= 0.0 && row < static_cast<double>(map_.rows) &&
              col < static_cast<double>(map_.cols))
            cells.push_back({static_cast<int32_t>(row), static_cast<int32_t>(col)});
        }
    return cells;
  }

  size_t split_edges() {
    size_t split = 0;
    measure();
    for (uint64_t id : genome_.sorted_edge_ids()) {
      const Edge edge = genome_.edges.at(id);
      if (!edge.enabled || edge.node1 == edge.node2) continue;
      const Cell a = pos_of(edge.node1), b = pos_of(edge.node2);
      double best_cost = edge_cost(edge);
      std::optional<Cell> best;
      for (const Cell& cell : bend_candidates(a, b)) {
        if (!free_cell(cell)) continue;
        const double cost =
            weave::node_cost(cell, map_) + weave::edge_cost(a, cell, map_) + weave::edge_cost(cell, b, map_);
        const double change = weave::distance(a, cell) + weave::distance(cell, b) - weave::distance(a, b);
        if (cheaper(cost, best_cost) && share_holds(bridges_.contains(id) ? change : 0.0, change))
          best_cost = cost, best = cell;
      }
      if (!best) continue;
      weave::Genome saved = genome_.clone();
      const auto saved_occupied = occupied_;
      const uint64_t node = genome_.state->new_node_id();
      genome_.nodes.emplace(node, weave::WeaveNode{node, {*best, NodeType::Flexible}});
      occupied_.insert(pos_key(*best));
      if (!join(genome_, edge.node1, node) || !join(genome_, node, edge.node2)) {
        genome_ = std::move(saved), occupied_ = saved_occupied;
        continue;
      }
      genome_.edges.at(id).enabled = false;
      if (confirm([&] { genome_ = std::move(saved), occupied_ = saved_occupied; })) ++split;
    }
    return split;
  }

  const PolishOptions& options_;
  std::unordered_set<uint64_t> bridges_;
  double share_ = 0.0, bridge_length_ = 0.0, total_length_ = 0.0;
};

}  // namespace

PolishOutcome polish_keeping_redundancy(weave::Genome& genome, const CostMap& map,
                                        const PolishOptions& options) {
  PolishOutcome outcome;
  outcome.cost_before = weave::trace_cost(genome.nodes, genome.edges, map);
  if (weave::is_connected(genome.nodes, genome.edges))
    outcome.changes = BalancedPolisher(genome, map, options).run();
  weave::evaluate_genome(genome, map);
  outcome.cost_after = weave::trace_cost(genome.nodes, genome.edges, map);
  return outcome;
}

}  // namespace localsearch
