#include "straighten.hpp"

#include <algorithm>
#include <map>
#include <set>
#include <unordered_map>

namespace routing {

std::vector<size_t> best_bends(const CostMap& map, const std::vector<uint64_t>& path, size_t lookahead) {
  const size_t n = path.size();
  if (n <= 2) {
    std::vector<size_t> ends;
    for (size_t i = 0; i < n; ++i) ends.push_back(i);
    return ends;
  }
  lookahead = std::max<size_t>(lookahead, 1);
  std::vector<Cell> pos(n);
  for (size_t i = 0; i < n; ++i) pos[i] = cell_pos(map, path[i]);
  std::vector<double> best(n, kUnreached);
  std::vector<size_t> previous(n, 0);
  best[0] = 0.0;
  for (size_t j = 1; j < n; ++j) {
    const double bend = j + 1 < n ? weave::node_cost(pos[j], map) : 0.0;
    for (size_t i = j > lookahead ? j - lookahead : 0; i < j; ++i) {
      if (best[i] == kUnreached) continue;
      const double total = best[i] + weave::edge_cost(pos[i], pos[j], map) + bend;
      if (total < best[j]) best[j] = total, previous[j] = i;
    }
  }
  // An edge through an impassable cell costs +inf and is never chosen; a step
  // between neighbouring path cells is always open, so every cell has a finite best.
  std::vector<size_t> bends{n - 1};
  while (bends.back() != 0) bends.push_back(previous[bends.back()]);
  std::reverse(bends.begin(), bends.end());
  return bends;
}

namespace {

using Adjacency = std::map<uint64_t, std::vector<uint64_t>>;  // ordered: node numbering is deterministic

class TreeWalker {
 public:
  TreeWalker(const CostMap& map, const CellTree& tree, const std::vector<uint64_t>& terminals,
             size_t lookahead, const std::vector<uint64_t>& waypoints)
      : map_(map), lookahead_(lookahead) {
    for (const auto& [a, b] : tree.edges) adjacency_[a].push_back(b), adjacency_[b].push_back(a);
    for (uint64_t cell : terminals) node_of(cell), is_key_.insert(cell);
    network_.fixed_count = terminals.size();
    for (uint64_t cell : waypoints) node_of(cell), is_key_.insert(cell);
    for (const auto& [cell, neighbours] : adjacency_)
      if (neighbours.size() != 2) is_key_.insert(cell);
  }

  Network walk() {
    for (const auto& [cell, neighbours] : adjacency_) {
      if (!is_key_.contains(cell)) continue;
      for (uint64_t next : neighbours) follow(cell, next);
    }
    return std::move(network_);
  }

 private:
  uint32_t node_of(uint64_t cell) {
    const auto [it, added] = node_index_.try_emplace(cell, static_cast<uint32_t>(network_.nodes.size()));
    if (added) network_.nodes.push_back(cell_pos(map_, cell));
    return it->second;
  }

  // Walks from a key cell through `next` to the following key cell and lays
  // straight edges along the way; each path is walked once.
  void follow(uint64_t start, uint64_t next) {
    if (walked_.contains({start, next})) return;
    std::vector<uint64_t> path{start, next};
    while (!is_key_.contains(path.back())) {
      const auto& around = adjacency_.at(path.back());
      path.push_back(around[0] == path[path.size() - 2] ? around[1] : around[0]);
    }
    walked_.insert({path.back(), path[path.size() - 2]});
    const std::vector<size_t> bends = best_bends(map_, path, lookahead_);
    for (size_t k = 1; k < bends.size(); ++k)
      network_.edges.emplace_back(node_of(path[bends[k - 1]]), node_of(path[bends[k]]));
  }

  const CostMap& map_;
  size_t lookahead_;
  Adjacency adjacency_;
  std::set<uint64_t> is_key_;
  std::set<std::pair<uint64_t, uint64_t>> walked_;
  std::unordered_map<uint64_t, uint32_t> node_index_;
  Network network_;
};

}  // namespace

Network straighten(const CostMap& map, const CellTree& tree, const std::vector<uint64_t>& terminals,
                   size_t lookahead, const std::vector<uint64_t>& waypoints) {
  Network network = TreeWalker(map, tree, terminals, lookahead, waypoints).walk();
  network.cost = network_cost(network, map);
  return network;
}

}  // namespace routing
