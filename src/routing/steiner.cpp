#include "steiner.hpp"

#include <algorithm>
#include <numeric>
#include <unordered_map>
#include <unordered_set>

#include "../evocore/interrupt.hpp"

namespace routing {

namespace {

class DisjointSets {
 public:
  explicit DisjointSets(size_t n) : parent_(n) { std::iota(parent_.begin(), parent_.end(), size_t{0}); }
  size_t find(size_t i) {
    while (parent_[i] != i) i = parent_[i] = parent_[parent_[i]];
    return i;
  }
  bool unite(size_t a, size_t b) {
    a = find(a), b = find(b);
    if (a == b) return false;
    parent_[std::max(a, b)] = std::min(a, b);
    return true;
  }

 private:
  std::vector<size_t> parent_;
};

void append_path_steps(const std::vector<uint64_t>& path, std::vector<CellEdge>& edges) {
  for (size_t i = 1; i < path.size(); ++i) edges.emplace_back(path[i - 1], path[i]);
}

CellEdge ordered(CellEdge edge) {
  return edge.first < edge.second ? edge : CellEdge{edge.second, edge.first};
}

// Minimum spanning forest of the distinct steps (cycles removed), then
// non-terminal leaves pruned until every leaf is a terminal.
CellTree tidy_tree(const LeastCostSearch& search, std::vector<CellEdge> steps,
                   const std::vector<uint64_t>& terminals) {
  for (auto& step : steps) step = ordered(step);
  std::sort(steps.begin(), steps.end());
  steps.erase(std::unique(steps.begin(), steps.end()), steps.end());
  std::stable_sort(steps.begin(), steps.end(), [&](const CellEdge& a, const CellEdge& b) {
    return search.step_cost(a.first, a.second) < search.step_cost(b.first, b.second);
  });
  std::unordered_map<uint64_t, size_t> index;
  for (const auto& [a, b] : steps) index.try_emplace(a, index.size()), index.try_emplace(b, index.size());
  DisjointSets sets(index.size());
  std::vector<CellEdge> kept;
  for (const auto& step : steps)
    if (sets.unite(index[step.first], index[step.second])) kept.push_back(step);

  const std::unordered_set<uint64_t> terminal_cells(terminals.begin(), terminals.end());
  std::unordered_map<uint64_t, std::vector<size_t>> incident;
  for (size_t e = 0; e < kept.size(); ++e)
    incident[kept[e].first].push_back(e), incident[kept[e].second].push_back(e);
  std::vector<bool> removed(kept.size(), false);
  std::unordered_map<uint64_t, size_t> degree;
  std::vector<uint64_t> leaves;
  for (const auto& [cell, edges] : incident) {
    degree[cell] = edges.size();
    if (edges.size() == 1 && !terminal_cells.contains(cell)) leaves.push_back(cell);
  }
  std::sort(leaves.begin(), leaves.end());
  while (!leaves.empty()) {
    const uint64_t leaf = leaves.back();
    leaves.pop_back();
    for (size_t e : incident[leaf]) {
      if (removed[e]) continue;
      removed[e] = true;
      const uint64_t other = kept[e].first == leaf ? kept[e].second : kept[e].first;
      --degree[leaf];
      if (--degree[other] == 1 && !terminal_cells.contains(other)) leaves.push_back(other);
    }
  }
  CellTree tree;
  for (size_t e = 0; e < kept.size(); ++e)
    if (!removed[e]) tree.edges.push_back(kept[e]);
  return tree;
}

struct Boundary {
  double length = kUnreached;
  uint64_t a = 0, b = 0;
};

// The cheapest step across the border of every pair of Voronoi regions. Each
// pair of neighbouring cells is looked at once, from its first cell in map
// order (its later neighbours: below, right, below left, below right).
std::unordered_map<uint64_t, Boundary> region_boundaries(const LeastCostSearch& search, size_t count) {
  static constexpr Offset kLater[4] = {{1, 0}, {0, 1}, {1, -1}, {1, 1}};
  std::unordered_map<uint64_t, Boundary> best;
  const CostMap& map = search.map();
  evocore::StopPoll poll(64);
  for (uint64_t x = 0; x < map.rows; ++x) {
    poll();  // once a row
    for (uint64_t y = 0; y < map.cols; ++y) {
      const uint64_t cell = x * map.cols + y;
      const int32_t la = search.label(cell);
      if (la < 0) continue;  // not reached
      for (const Offset& step : kLater) {
        const uint64_t nx = x + static_cast<uint64_t>(step.dx), ny = y + static_cast<uint64_t>(step.dy);
        if (nx >= map.rows || ny >= map.cols) continue;  // also catches column -1, which wraps
        const uint64_t next = nx * map.cols + ny;
        const int32_t lb = search.label(next);
        if (lb == la || lb < 0) continue;
        const double length = search.distance(cell) + search.step_cost(cell, next) + search.distance(next);
        if (!(length < kUnreached)) continue;  // no finite route across this border
        const uint64_t key =
            static_cast<uint64_t>(std::min(la, lb)) * count + static_cast<uint64_t>(std::max(la, lb));
        Boundary& entry = best[key];
        if (length < entry.length) entry = {length, cell, next};
      }
    }
  }
  return best;
}

}  // namespace

CellTree voronoi_tree(const CostMap& map, const std::vector<uint64_t>& terminals) {
  LeastCostSearch search(map, /*with_labels=*/true);
  for (size_t i = 0; i < terminals.size(); ++i) search.add_source(terminals[i], static_cast<int32_t>(i));
  search.propagate();
  const auto boundaries = region_boundaries(search, terminals.size());
  std::vector<std::pair<uint64_t, Boundary>> pairs(boundaries.begin(), boundaries.end());
  std::sort(pairs.begin(), pairs.end(), [](const auto& x, const auto& y) {
    return x.second.length < y.second.length || (x.second.length == y.second.length && x.first < y.first);
  });
  DisjointSets regions(terminals.size());
  std::vector<CellEdge> steps;
  size_t joined = 1;
  for (const auto& [key, boundary] : pairs) {
    if (!regions.unite(key / terminals.size(), key % terminals.size())) continue;
    ++joined;
    append_path_steps(search.path_from(boundary.a), steps);
    append_path_steps(search.path_from(boundary.b), steps);
    steps.emplace_back(boundary.a, boundary.b);
  }
  if (joined < terminals.size()) throw Unreachable{};
  return tidy_tree(search, std::move(steps), terminals);
}

CellTree grow_tree(const CostMap& map, const std::vector<uint64_t>& terminals, size_t root) {
  LeastCostSearch search(map);
  std::unordered_set<uint64_t> waiting(terminals.begin(), terminals.end());
  waiting.erase(terminals[root]);
  search.add_source(terminals[root]);
  CellTree tree;
  // The first waiting terminal the search settles is the one nearest to the
  // tree; the search then goes on from the new path's cells, so it only ever
  // covers the cells nearer to the tree than the next terminal it joins.
  while (!waiting.empty()) {
    const auto reached = search.propagate_until([&](uint64_t cell) { return waiting.contains(cell); });
    if (!reached) throw Unreachable{};
    const std::vector<uint64_t> path = search.path_from(*reached);
    append_path_steps(path, tree.edges);
    for (uint64_t cell : path) {
      waiting.erase(cell);
      search.add_source(cell);
    }
  }
  return tree;
}

std::vector<size_t> spread_roots(const CostMap& map, const std::vector<uint64_t>& terminals, size_t count) {
  std::vector<size_t> roots;
  if (terminals.empty() || count == 0) return roots;
  std::vector<double> nearest(terminals.size(), kUnreached);
  auto squared = [&](uint64_t a, uint64_t b) {
    const double dx = static_cast<double>(a / map.cols) - static_cast<double>(b / map.cols);
    const double dy = static_cast<double>(a % map.cols) - static_cast<double>(b % map.cols);
    return dx * dx + dy * dy;
  };
  size_t next = 0;
  while (roots.size() < std::min(count, terminals.size())) {
    roots.push_back(next);
    for (size_t i = 0; i < terminals.size(); ++i)
      nearest[i] = std::min(nearest[i], squared(terminals[i], terminals[next]));
    next = static_cast<size_t>(std::max_element(nearest.begin(), nearest.end()) - nearest.begin());
    if (nearest[next] == 0.0) break;
  }
  return roots;
}

}  // namespace routing
