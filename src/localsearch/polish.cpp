#include "polish.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <unordered_set>
#include <vector>

#include "../evocore/interrupt.hpp"
#include "../weave/evaluation/connectivity.hpp"
#include "../weave/evaluation/edge_ends.hpp"
#include "../weave/evaluation/network_cost.hpp"
#include "../weave/genome_evaluation.hpp"
#include "edges.hpp"
#include "exchange.hpp"
#include "network_edit.hpp"

namespace localsearch {

namespace {

using weave::Cell;
using weave::CostMap;
using weave::Edge;
using weave::NodeType;

class Polisher : NetworkEdit {
 public:
  Polisher(weave::Genome& genome, const CostMap& map, const PolishOptions& options)
      : NetworkEdit(genome, map), options_(options) {}

  size_t run() {
    size_t changes = 0;
    for (size_t round = 0; round < options_.max_rounds; ++round) {
      // Each pass leaves a whole network: stopping between them keeps the moves made.
      evocore::check_interrupt();
      if (evocore::deadline_passed()) break;
      const size_t before = changes;
      if (options_.break_cycles) changes += break_cycles();
      changes += remove_leaves();
      changes += bypass_nodes();
      changes += move_nodes();
      if (options_.split_edges) changes += split_edges() + fork_nodes();
      if (changes == before) break;
    }
    return changes;
  }

 private:
  // Disables enabled edges that lie on a cycle, the most expensive first, as
  // long as that lowers the cost: what remains is a spanning tree of the
  // network's own edges (reverse deletion).
  size_t break_cycles() {
    std::vector<std::pair<double, uint64_t>> by_cost;
    for (const auto& [id, edge] : genome_.edges)
      if (edge.enabled) by_cost.emplace_back(edge.node1 == edge.node2 ? 0.0 : edge_cost(edge), id);
    std::sort(by_cost.begin(), by_cost.end(), [](const auto& a, const auto& b) {
      return a.first > b.first || (a.first == b.first && a.second < b.second);
    });
    size_t removed = 0;
    for (const auto& [cost, id] : by_cost) {
      if (!(cost >= 0.0) ||
          !weave::is_connected(genome_.nodes, genome_.edges, std::nullopt, id, map_.attachments))
        continue;
      genome_.edges.at(id).enabled = false;
      ++removed;
    }
    return removed;
  }

  size_t remove_leaves() {
    size_t removed = 0;
    for (bool again = true; again;) {
      again = false;
      for (uint64_t node : flexible_nodes(true)) {
        const auto edges = incident(node);
        if (edges.size() != 1) continue;
        // A leaf carries nothing: dropping it never raises the cost unless costs are negative.
        if (weave::node_cost(pos_of(node), map_) + edge_cost(*edges[0]) >= 0.0) {
          erase_node(node);
          ++removed, again = true;
        }
      }
    }
    return removed;
  }

  size_t bypass_nodes() {
    size_t removed = 0;
    for (uint64_t node : flexible_nodes(true)) {
      const auto edges = incident(node);
      if (edges.size() != 2) continue;
      const uint64_t a = other_end(*edges[0], node), b = other_end(*edges[1], node);
      if (a == b) continue;
      const double current =
          weave::node_cost(pos_of(node), map_) + edge_cost(*edges[0]) + edge_cost(*edges[1]);
      const bool already_linked = linked(genome_.edges, a, b);
      // Dropping a node of a triangle opens a cycle: only where cycles may go.
      if (already_linked && !options_.break_cycles) continue;
      const double proposed = already_linked ? 0.0 : weave::edge_cost(pos_of(a), pos_of(b), map_);
      if (already_linked ? !(current >= 0.0) : !cheaper(proposed, current)) continue;
      if (!already_linked && !join(genome_, a, b)) continue;
      erase_node(node);
      ++removed;
    }
    return removed;
  }

  // Candidate cells around `pos`: the square of the radius, then longer jumps
  // along the eight compass directions.
  // Appends the cell nearest to (x, y) when it lies inside the map.
  void offer_rounded(std::vector<Cell>& cells, double x, double y) const {
    const double row = std::round(x), col = std::round(y);
    if (row >= 0.0 && col >= 0.0 && row < static_cast<double>(map_.rows) &&
        col < static_cast<double>(map_.cols))
      cells.push_back({static_cast<int32_t>(row), static_cast<int32_t>(col)});
  }

  // Only cells inside the map are listed (offsets are added in 64 bits: a node
  // may stand anywhere in the int32 range).
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
    for (uint64_t node : flexible_nodes()) {
      const auto edges = incident(node);
      const Cell here = pos_of(node);
      double best_cost = local_cost(edges, node, here);
      Cell best = here;
      for (const Cell& cell : neighbourhood(here)) {
        if (!inside_map(cell) || occupied_.contains(pos_key(cell)) || !keeps_joins(here, cell)) continue;
        const double cost = local_cost(edges, node, cell);
        if (cheaper(cost, best_cost)) best_cost = cost, best = cell;
      }
      if (best == here) continue;
      occupied_.erase(pos_key(here));
      occupied_.insert(pos_key(best));
      genome_.nodes.at(node).data.pos = best;
      ++moved;
    }
    return moved;
  }

  // Bend points tried for an edge: a quarter, half and three quarters along it,
  // pushed sideways by 1, 2, 4, ... cells up to half the edge's length.
  std::vector<Cell> bend_candidates(Cell a, Cell b) const {
    std::vector<Cell> cells;
    const double dx = b.row - a.row, dy = b.column - a.column, length = std::hypot(dx, dy);
    if (length < 2.0) return cells;
    const double nx = -dy / length, ny = dx / length;
    for (double t : {0.25, 0.5, 0.75})
      for (double offset = 1.0; offset <= length / 2; offset *= 2)
        for (double side : {-1.0, 1.0}) {
          const double x = a.row + t * dx + side * offset * nx, y = a.column + t * dy + side * offset * ny;
          offer_rounded(cells, x, y);
        }
    return cells;
  }

  size_t split_edges() {
    size_t split = 0;
    for (uint64_t id : genome_.sorted_edge_ids()) {
      const Edge edge = genome_.edges.at(id);
      if (!edge.enabled || edge.node1 == edge.node2) continue;
      const Cell a = pos_of(edge.node1), b = pos_of(edge.node2);
      double best_cost = edge_cost(edge);
      std::optional<Cell> best;
      for (const Cell& cell : bend_candidates(a, b)) {
        if (!inside_map(cell) || occupied_.contains(pos_key(cell))) continue;
        const double cost =
            weave::node_cost(cell, map_) + weave::edge_cost(a, cell, map_) + weave::edge_cost(cell, b, map_);
        if (cheaper(cost, best_cost)) best_cost = cost, best = cell;
      }
      if (best && insert_bend(edge, *best)) ++split;
    }
    return split;
  }

  // Steiner points tried next to node v for its edges to a and b: the square
  // of the radius around v, and points along the bisector of the angle a-v-b
  // at 1, 2, 4, ... cells up to half the shorter edge.
  std::vector<Cell> fork_candidates(Cell v, Cell a, Cell b) const {
    std::vector<Cell> cells = neighbourhood(v);
    const double ax = a.row - v.row, ay = a.column - v.column, bx = b.row - v.row, by = b.column - v.column;
    const double la = std::hypot(ax, ay), lb = std::hypot(bx, by);
    if (la < 1.0 || lb < 1.0) return cells;
    const double dx = ax / la + bx / lb, dy = ay / la + by / lb, norm = std::hypot(dx, dy);
    if (norm < 1e-9) return cells;
    for (double step = 1.0; step <= std::min(la, lb) / 2; step *= 2)
      offer_rounded(cells, v.row + step * dx / norm, v.column + step * dy / norm);
    return cells;
  }

  struct Fork {
    const Edge* first = nullptr;
    const Edge* second = nullptr;
    Cell cell{};
    double saving = 0.0;
  };

  // The cheapest Steiner point for any two edges of `node`.
  Fork best_fork(uint64_t node) const {
    Fork best;
    const auto edges = incident(node);
    const Cell v = pos_of(node);
    for (size_t i = 0; i < edges.size(); ++i)
      for (size_t j = i + 1; j < edges.size(); ++j) {
        const Cell a = pos_of(other_end(*edges[i], node)), b = pos_of(other_end(*edges[j], node));
        const double current = edge_cost(*edges[i]) + edge_cost(*edges[j]);
        for (const Cell& cell : fork_candidates(v, a, b)) {
          if (!inside_map(cell) || occupied_.contains(pos_key(cell))) continue;
          const double cost = weave::node_cost(cell, map_) + weave::edge_cost(v, cell, map_) +
                              weave::edge_cost(cell, a, map_) + weave::edge_cost(cell, b, map_);
          if (cheaper(cost, current) && current - cost > best.saving)
            best = {edges[i], edges[j], cell, current - cost};
        }
      }
    return best;
  }

  size_t fork_nodes() {
    size_t forked = 0;
    std::vector<uint64_t> ids;
    for (const auto& entry : genome_.nodes) ids.push_back(entry.first);
    std::sort(ids.begin(), ids.end());
    for (uint64_t node : ids) {
      const Fork fork = best_fork(node);
      if (!fork.first) continue;
      // Under the bridge objective a fork may turn cycle edges into a bridge
      // (node - Steiner point); it is kept only when the bridge share does not grow.
      const double share = options_.break_cycles ? 0.0 : bridge_share();
      const uint64_t first_id = fork.first->id, second_id = fork.second->id;
      const auto steiner = insert_fork(node, fork);
      if (!steiner) continue;
      if (!options_.break_cycles && bridge_share() > share + 1e-12) {
        erase_node(*steiner);
        genome_.edges.at(first_id).enabled = true;
        genome_.edges.at(second_id).enabled = true;
        continue;
      }
      ++forked;
    }
    return forked;
  }

  double bridge_share() const {
    return weave::calculate_bridge_share(genome_.nodes, genome_.edges, weave::separation_of(genome_, map_));
  }

  // The new Steiner point, or nullopt (nothing changed) when an edge number is taken.
  std::optional<uint64_t> insert_fork(uint64_t node, const Fork& fork) {
    const uint64_t a = other_end(*fork.first, node), b = other_end(*fork.second, node);
    const uint64_t first_id = fork.first->id, second_id = fork.second->id;
    const uint64_t steiner = genome_.state->new_node_id();
    genome_.nodes.emplace(steiner, weave::WeaveNode{steiner, {fork.cell, NodeType::Flexible}});
    occupied_.insert(pos_key(fork.cell));
    if (!join(genome_, node, steiner) || !join(genome_, steiner, a) || !join(genome_, steiner, b)) {
      erase_node(steiner);
      return std::nullopt;
    }
    genome_.edges.at(first_id).enabled = false;
    genome_.edges.at(second_id).enabled = false;
    return steiner;
  }

  bool insert_bend(const Edge& edge, Cell cell) {
    const uint64_t node = genome_.state->new_node_id();
    genome_.nodes.emplace(node, weave::WeaveNode{node, {cell, NodeType::Flexible}});
    occupied_.insert(pos_key(cell));
    if (!join(genome_, edge.node1, node) || !join(genome_, node, edge.node2)) {
      erase_node(node);
      return false;
    }
    genome_.edges.at(edge.id).enabled = false;
    return true;
  }

  const PolishOptions& options_;
};

}  // namespace

PolishOutcome polish_genome(weave::Genome& genome, const CostMap& map, const PolishOptions& options) {
  PolishOutcome outcome;
  outcome.cost_before = weave::trace_cost(genome.nodes, genome.edges, map);
  PolishOptions chosen = options;
  chosen.break_cycles =
      genome.config->special.evaluation_strategy == weave::EvaluationStrategy::SingleObjective;
  // Key-path exchange re-routes paths between the tree's own nodes; a network
  // joined through an existing one is not such a tree.
  if (map.attachments && !map.attachments->empty()) chosen.exchange_paths = false;
  if (weave::is_connected(genome.nodes, genome.edges, {}, {}, map.attachments)) {
    for (size_t round = 0; round < options.max_rounds && !evocore::deadline_passed(); ++round) {
      outcome.changes += Polisher(genome, map, chosen).run();
      const size_t exchanged = chosen.exchange_paths ? exchange_key_paths(genome, map, options.lookahead) : 0;
      if (exchanged == 0) break;
      outcome.changes += exchanged;
    }
  }
  weave::evaluate_genome(genome, map);
  outcome.cost_after = weave::trace_cost(genome.nodes, genome.edges, map);
  return outcome;
}

}  // namespace localsearch
