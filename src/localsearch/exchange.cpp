#include "exchange.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <optional>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "../evocore/interrupt.hpp"
#include "../routing/least_cost.hpp"
#include "../routing/network.hpp"
#include "../routing/straighten.hpp"
#include "../weave/evaluation/edge_ends.hpp"
#include "../weave/evaluation/network_cost.hpp"
#include "edges.hpp"

namespace localsearch {

namespace {

using weave::Cell;
using weave::CostMap;
using weave::Edge;
using weave::NodeType;

struct KeyPath {
  std::vector<uint64_t> nodes;  // key node, inner nodes, key node
  std::vector<uint64_t> edges;  // edges[i] joins nodes[i] and nodes[i + 1]
};

// Where a new connection meets a part of the tree: a node, or a cell on an edge.
struct Attachment {
  uint64_t node = 0;  // 0: on `edge`
  uint64_t edge = 0;
};

struct Neighbour {
  uint64_t node;
  uint64_t edge;
};

class Exchanger {
 public:
  Exchanger(weave::Genome& genome, const CostMap& map, size_t lookahead)
      : genome_(genome), map_(map), lookahead_(lookahead) {}

  // One exchange at most; true when one was made. Stops trying once the
  // thread's deadline has passed (the genome is changed only by whole exchanges).
  // A key path that found no cheaper reconnection is not tried again in this
  // call (the next round of polish tries every path afresh), so an exchange
  // costs the tries of the paths not yet tried, not those of the whole tree.
  bool exchange_once() {
    if (!build_adjacency()) return false;
    for (const KeyPath& path : key_paths()) {
      evocore::check_interrupt();
      if (evocore::deadline_passed()) return false;
      if (failed_.contains(path_key(path))) continue;
      if (try_exchange(path)) return true;
      failed_.insert(path_key(path));
    }
    return false;
  }

 private:
  // Enabled edges between distinct nodes; false unless they form a tree.
  bool build_adjacency() {
    adjacency_.clear();
    size_t edge_count = 0;
    for (const auto& entry : genome_.nodes) adjacency_[entry.first];
    for (const auto& [id, edge] : genome_.edges) {
      if (!edge.enabled) continue;
      if (edge.node1 == edge.node2 || !genome_.nodes.contains(edge.node1) ||
          !genome_.nodes.contains(edge.node2))
        return false;
      adjacency_[edge.node1].push_back({edge.node2, id});
      adjacency_[edge.node2].push_back({edge.node1, id});
      ++edge_count;
    }
    if (edge_count + 1 != genome_.nodes.size()) return false;
    for (auto& entry : adjacency_)
      std::sort(entry.second.begin(), entry.second.end(),
                [](const Neighbour& a, const Neighbour& b) { return a.edge < b.edge; });
    return reached_from(adjacency_.begin()->first, {}).size() == genome_.nodes.size();
  }

  // Names a key path by its edges.
  static std::vector<uint64_t> path_key(const KeyPath& path) { return path.edges; }

  bool is_key(uint64_t node) const {
    return genome_.nodes.at(node).data.type == NodeType::Fixed || adjacency_.at(node).size() != 2;
  }

  std::vector<KeyPath> key_paths() const {
    std::vector<KeyPath> paths;
    std::set<uint64_t> walked;
    std::vector<uint64_t> ids;
    for (const auto& entry : adjacency_) ids.push_back(entry.first);
    std::sort(ids.begin(), ids.end());
    for (uint64_t start : ids) {
      if (!is_key(start)) continue;
      for (const Neighbour& first : adjacency_.at(start)) {
        if (walked.contains(first.edge)) continue;
        KeyPath path{{start, first.node}, {first.edge}};
        walked.insert(first.edge);
        while (!is_key(path.nodes.back())) {
          const auto& around = adjacency_.at(path.nodes.back());
          const Neighbour& next = around[0].edge == path.edges.back() ? around[1] : around[0];
          path.nodes.push_back(next.node);
          path.edges.push_back(next.edge);
          walked.insert(next.edge);
        }
        paths.push_back(std::move(path));
      }
    }
    return paths;
  }

  // Nodes reached from `start` without crossing the `blocked` edges.
  std::unordered_set<uint64_t> reached_from(uint64_t start,
                                            const std::unordered_set<uint64_t>& blocked) const {
    std::unordered_set<uint64_t> seen{start};
    std::vector<uint64_t> stack{start};
    while (!stack.empty()) {
      const uint64_t node = stack.back();
      stack.pop_back();
      for (const Neighbour& next : adjacency_.at(node))
        if (!blocked.contains(next.edge) && seen.insert(next.node).second) stack.push_back(next.node);
    }
    return seen;
  }

  Cell pos_of(uint64_t node) const { return genome_.nodes.at(node).data.pos; }

  double edge_cost(uint64_t id) const {
    const Edge& edge = genome_.edges.at(id);
    return weave::edge_cost(pos_of(edge.node1), pos_of(edge.node2), map_);
  }

  // The cells a part of the tree covers: its node cells and the sample cells of its edges.
  std::unordered_map<uint64_t, Attachment> covered_cells(const std::unordered_set<uint64_t>& part) const {
    std::unordered_map<uint64_t, Attachment> cells;
    for (uint64_t node : part)
      for (const Neighbour& next : adjacency_.at(node)) {
        if (!part.contains(next.node) || next.node < node) continue;
        weave::detail::for_each_edge_sample(
            pos_of(node), pos_of(next.node), map_.rows, map_.cols,
            [&](uint64_t cell, double, bool) { cells.try_emplace(cell, Attachment{0, next.edge}); });
      }
    for (uint64_t node : part) {
      const Cell pos = pos_of(node);
      if (weave::detail::on_grid(pos, map_.rows, map_.cols))
        cells[routing::pos_cell(map_, pos)] = Attachment{node, 0};
    }
    return cells;
  }

  // Extra cost of attaching at `cell`: nothing at a node; at an edge, its split there.
  double attach_cost(const Attachment& at, Cell cell) const {
    if (at.node) return 0.0;
    const Edge& edge = genome_.edges.at(at.edge);
    return weave::node_cost(cell, map_) + weave::edge_cost(pos_of(edge.node1), cell, map_) +
           weave::edge_cost(cell, pos_of(edge.node2), map_) - edge_cost(at.edge);
  }

  // A reconnection is searched near the key path only: inside its bounding box
  // widened by its extent, and by at least kMargin cells, and no farther along
  // the map than the removed cost times kDetour (an 8-connected cell path is at
  // most about 8 % longer than the straight edges it is straightened into). So
  // a try costs what the path's neighbourhood holds, not what the map holds;
  // maps of up to about 1,024 x 1,024 cells are searched whole, where a
  // reconnection far from the path (a gap in a distant wall) can still pay.
  static constexpr int64_t kMargin = 512;
  static constexpr double kDetour = 1.125;

  void bound_search(const KeyPath& path, double removed) {
    int64_t top = INT64_MAX, bottom = INT64_MIN, left = INT64_MAX, right = INT64_MIN;
    for (uint64_t node : path.nodes) {
      const Cell pos = pos_of(node);
      top = std::min<int64_t>(top, pos.row), bottom = std::max<int64_t>(bottom, pos.row);
      left = std::min<int64_t>(left, pos.column), right = std::max<int64_t>(right, pos.column);
    }
    const int64_t margin = std::max({kMargin, bottom - top, right - left});
    const auto clamp = [](int64_t value, uint64_t size) {
      return static_cast<uint64_t>(std::clamp<int64_t>(value, 0, static_cast<int64_t>(size)));
    };
    search().reset();
    search().set_window(clamp(top - margin, map_.rows), clamp(bottom + margin + 1, map_.rows),
                        clamp(left - margin, map_.cols), clamp(right + margin + 1, map_.cols));
    search().set_limit(removed * kDetour);
  }

  void mark(uint64_t cell, bool on) {
    if (in_b_.empty()) in_b_.assign((map_.rows * map_.cols + 63) / 64, 0);
    const uint64_t bit = uint64_t{1} << (cell & 63);
    in_b_[cell >> 6] = on ? in_b_[cell >> 6] | bit : in_b_[cell >> 6] & ~bit;
  }
  bool marked(uint64_t cell) const { return (in_b_[cell >> 6] >> (cell & 63)) & 1; }

  // One search for every try of the call, reset between tries in time that
  // follows the cells the last try touched.
  routing::LeastCostSearch& search() {
    if (!search_) search_.emplace(map_);
    return *search_;
  }

  bool try_exchange(const KeyPath& path) {
    double removed = 0.0;
    for (uint64_t edge : path.edges) removed += edge_cost(edge);
    for (size_t i = 1; i + 1 < path.nodes.size(); ++i)
      removed += weave::node_cost(pos_of(path.nodes[i]), map_);
    if (!(removed > 0.0) || !std::isfinite(removed)) return false;
    const std::unordered_set<uint64_t> blocked(path.edges.begin(), path.edges.end());
    const auto part_a = reached_from(path.nodes.front(), blocked);
    const auto part_b = reached_from(path.nodes.back(), blocked);
    const auto cells_a = covered_cells(part_a), cells_b = covered_cells(part_b);

    bound_search(path, removed);
    routing::LeastCostSearch& search = this->search();
    for (const auto& entry : cells_a)
      search.add_source(entry.first);  // those outside the window are left out
    // The search asks of every cell it settles whether it is part B's: a bit
    // per map cell answers faster than the hash map.
    for (const auto& entry : cells_b) mark(entry.first, true);
    const auto reached = search.propagate_until([&](uint64_t cell) { return marked(cell); });
    for (const auto& entry : cells_b) mark(entry.first, false);
    if (!reached) return false;
    std::vector<uint64_t> cells = search.path_from(*reached);  // from part B back to part A
    if (cells.size() < 2) return false;                        // the parts share a cell
    const std::vector<size_t> bends = routing::best_bends(map_, cells, lookahead_);
    const Attachment at_b = cells_b.at(cells.front()), at_a = cells_a.at(cells.back());
    const Cell end_b = routing::cell_pos(map_, cells.front()), end_a = routing::cell_pos(map_, cells.back());
    if (at_a.node && at_b.node && bends.size() == 2 && !edge_number(genome_, at_a.node, at_b.node))
      return false;

    double added = attach_cost(at_a, end_a) + attach_cost(at_b, end_b);
    for (size_t k = 1; k < bends.size(); ++k) {
      added += weave::edge_cost(routing::cell_pos(map_, cells[bends[k - 1]]),
                                routing::cell_pos(map_, cells[bends[k]]), map_);
      if (k + 1 < bends.size()) added += weave::node_cost(routing::cell_pos(map_, cells[bends[k]]), map_);
    }
    if (!(added < removed - 1e-9 * std::max(1.0, removed))) return false;
    apply(path, cells, bends, at_a, at_b);
    return true;
  }

  // Every pair joined here involves a new node, or passed edge_number first.
  void join_checked(uint64_t a, uint64_t b) {
    if (!join(genome_, a, b))
      evocore::fail("edge number for nodes " + std::to_string(a) + " and " + std::to_string(b) +
                    " stands for another pair");
  }

  uint64_t add_node(Cell pos) {
    const uint64_t id = genome_.state->new_node_id();
    genome_.nodes.emplace(id, weave::WeaveNode{id, {pos, NodeType::Flexible}});
    return id;
  }

  uint64_t attach(const Attachment& at, Cell cell) {
    if (at.node) return at.node;
    Edge& edge = genome_.edges.at(at.edge);
    edge.enabled = false;
    const uint64_t a = edge.node1, b = edge.node2;
    const uint64_t split = add_node(cell);
    join_checked(a, split);
    join_checked(split, b);
    return split;
  }

  void apply(const KeyPath& path, const std::vector<uint64_t>& cells, const std::vector<size_t>& bends,
             const Attachment& at_a, const Attachment& at_b) {
    for (uint64_t edge : path.edges) genome_.edges.at(edge).enabled = false;
    for (size_t i = 1; i + 1 < path.nodes.size(); ++i) {
      const uint64_t inner = path.nodes[i];
      genome_.nodes.erase(inner);
      std::erase_if(genome_.edges,
                    [&](const auto& e) { return e.second.node1 == inner || e.second.node2 == inner; });
    }
    uint64_t previous = attach(at_b, routing::cell_pos(map_, cells.front()));
    const uint64_t last = attach(at_a, routing::cell_pos(map_, cells.back()));
    for (size_t k = 1; k < bends.size(); ++k) {
      const uint64_t next = k + 1 < bends.size() ? add_node(routing::cell_pos(map_, cells[bends[k]])) : last;
      join_checked(previous, next);
      previous = next;
    }
  }

  weave::Genome& genome_;
  const CostMap& map_;
  size_t lookahead_;
  std::unordered_map<uint64_t, std::vector<Neighbour>> adjacency_;
  std::optional<routing::LeastCostSearch> search_;
  std::vector<uint64_t> in_b_;              // a bit per map cell: the cells of part B in the current try
  std::set<std::vector<uint64_t>> failed_;  // the key paths whose tries found nothing
};

}  // namespace

size_t exchange_key_paths(weave::Genome& genome, const CostMap& map, size_t lookahead) {
  size_t exchanges = 0;
  Exchanger exchanger(genome, map, lookahead);
  try {
    while (exchanges < 4 * genome.nodes.size() + 16 && exchanger.exchange_once()) ++exchanges;
  } catch (const evocore::DeadlinePassed&) {
    // A search cut short changed nothing: the exchanges made so far stand.
  }
  return exchanges;
}

}  // namespace localsearch
