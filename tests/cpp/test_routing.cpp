// Least-cost searches, straightening and the Steiner heuristics.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <set>
#include <vector>

#include "routing/heuristics.hpp"
#include "routing/straighten.hpp"
#include "weave/evaluation/network_cost.hpp"

namespace {

using routing::CostMap;
using weave::Pos;

struct Map {
  uint64_t rows, cols;
  std::vector<double> cells;
  CostMap view() const { return {rows, cols, cells.data()}; }
};

Map random_map(uint64_t rows, uint64_t cols, unsigned seed, double blocked_share = 0.0) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> cost(0.5, 9.0), unit(0.0, 1.0);
  Map map{rows, cols, std::vector<double>(rows * cols)};
  for (double& cell : map.cells) cell = unit(rng) < blocked_share ? INFINITY : cost(rng);
  return map;
}

// Bellman-Ford relaxation over the 8-connected cell graph, independent of the heap search.
std::vector<double> relaxed_distances(const Map& map, uint64_t source) {
  std::vector<double> distance(map.cells.size(), INFINITY);
  distance[source] = 0.0;
  for (bool changed = true; changed;) {
    changed = false;
    for (uint64_t cell = 0; cell < map.cells.size(); ++cell) {
      const int64_t x = static_cast<int64_t>(cell / map.cols), y = static_cast<int64_t>(cell % map.cols);
      for (int64_t dx = -1; dx <= 1; ++dx)
        for (int64_t dy = -1; dy <= 1; ++dy) {
          const int64_t nx = x + dx, ny = y + dy;
          if ((!dx && !dy) || nx < 0 || ny < 0 || nx >= int64_t(map.rows) || ny >= int64_t(map.cols))
            continue;
          const uint64_t next = uint64_t(nx) * map.cols + uint64_t(ny);
          const double step = std::hypot(double(dx), double(dy)) * 0.5 * (map.cells[cell] + map.cells[next]);
          if (distance[cell] + step < distance[next] - 1e-12)
            distance[next] = distance[cell] + step, changed = true;
        }
    }
  }
  return distance;
}

TEST(LeastCost, DistancesEqualAnIndependentRelaxation) {
  for (unsigned seed = 0; seed < 12; ++seed) {
    const Map map = random_map(7 + seed % 4, 9 - seed % 3, seed, seed % 2 ? 0.2 : 0.0);
    const uint64_t source = seed % map.cells.size();
    if (std::isinf(map.cells[source])) continue;
    routing::LeastCostSearch search(map.view());
    search.add_source(source);
    search.propagate();
    const auto expected = relaxed_distances(map, source);
    for (uint64_t cell = 0; cell < map.cells.size(); ++cell) {
      if (std::isinf(expected[cell])) {
        EXPECT_TRUE(std::isinf(search.distance(cell)));
        continue;
      }
      EXPECT_NEAR(search.distance(cell), expected[cell], 1e-9) << "seed " << seed << " cell " << cell;
      // The path found walks neighbouring cells and costs exactly its distance.
      const auto path = search.path_from(cell);
      ASSERT_EQ(path.back(), source);
      double length = 0.0;
      for (size_t i = 1; i < path.size(); ++i) length += search.step_cost(path[i - 1], path[i]);
      EXPECT_NEAR(length, expected[cell], 1e-9);
    }
  }
}

TEST(LeastCost, PathAvoidsAWallThroughItsGap) {
  Map map{9, 9, std::vector<double>(81, 1.0)};
  for (uint64_t y = 0; y < 9; ++y)
    if (y != 7) map.cells[4 * 9 + y] = INFINITY;
  const auto path = routing::least_cost_path(map.view(), 0, 8 * 9);
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path.front(), 0u);
  EXPECT_EQ(path.back(), 72u);
  EXPECT_NE(std::find(path.begin(), path.end(), 4 * 9 + 7), path.end());
  map.cells[4 * 9 + 7] = INFINITY;
  EXPECT_TRUE(routing::least_cost_path(map.view(), 0, 72).empty());
}

// Exact cost of bends along a path: straight edges plus inner bend cells.
double bends_cost(const Map& map, const std::vector<uint64_t>& path, const std::vector<size_t>& bends) {
  double cost = 0.0;
  for (size_t k = 1; k < bends.size(); ++k) {
    cost += weave::edge_cost(routing::cell_pos(map.view(), path[bends[k - 1]]),
                             routing::cell_pos(map.view(), path[bends[k]]), map.view());
    if (k + 1 < bends.size())
      cost += weave::node_cost(routing::cell_pos(map.view(), path[bends[k]]), map.view());
  }
  return cost;
}

TEST(Straighten, BestBendsMatchEveryBendSubset) {
  for (unsigned seed = 0; seed < 20; ++seed) {
    const Map map = random_map(12, 12, 100 + seed);
    routing::LeastCostSearch search(map.view());
    search.add_source(seed % 7);
    search.propagate();
    const auto path = search.path_from(143 - seed % 5);
    const size_t inner = path.size() - 2;
    if (inner > 16) continue;
    double brute = INFINITY;
    for (uint32_t mask = 0; mask < (1u << inner); ++mask) {
      std::vector<size_t> bends{0};
      for (size_t i = 0; i < inner; ++i)
        if (mask & (1u << i)) bends.push_back(i + 1);
      bends.push_back(path.size() - 1);
      brute = std::min(brute, bends_cost(map, path, bends));
    }
    const auto best = routing::best_bends(map.view(), path, path.size());
    EXPECT_NEAR(bends_cost(map, path, best), brute, 1e-9) << "seed " << seed;
    // A short look-ahead never beats the exact programme.
    EXPECT_GE(bends_cost(map, path, routing::best_bends(map.view(), path, 3)), brute - 1e-9);
  }
}

// Nodes and edges form one tree holding every terminal in order, and the
// reported cost is the sum of its exact terms.
void expect_sound_tree(const Map& map, const routing::Network& network, const std::vector<Pos>& terminals) {
  ASSERT_EQ(network.fixed_count, terminals.size());
  for (size_t i = 0; i < terminals.size(); ++i) EXPECT_EQ(network.nodes[i], terminals[i]);
  EXPECT_EQ(network.edges.size() + 1, network.nodes.size());
  std::vector<size_t> component(network.nodes.size());
  for (size_t i = 0; i < component.size(); ++i) component[i] = i;
  auto find = [&](size_t i) {
    while (component[i] != i) i = component[i];
    return i;
  };
  for (const auto& [a, b] : network.edges) component[find(a)] = find(b);
  for (size_t i = 0; i < component.size(); ++i) EXPECT_EQ(find(i), find(0));
  std::set<std::pair<int32_t, int32_t>> cells;
  for (const Pos& pos : network.nodes) EXPECT_TRUE(cells.insert({pos.x, pos.y}).second);
  EXPECT_NEAR(network.cost, routing::network_cost(network, map.view()), 1e-12);
}

TEST(Heuristics, TreesJoinEveryTerminalAndAreDeterministic) {
  for (unsigned seed = 0; seed < 6; ++seed) {
    const Map map = random_map(40, 30, 200 + seed);
    std::mt19937 rng(seed);
    std::set<std::pair<int32_t, int32_t>> chosen;
    std::vector<Pos> terminals;
    while (terminals.size() < 2 + seed) {
      const Pos pos{int32_t(rng() % 40), int32_t(rng() % 30)};
      if (chosen.insert({pos.x, pos.y}).second) terminals.push_back(pos);
    }
    for (auto method :
         {routing::SteinerMethod::Voronoi, routing::SteinerMethod::Grow, routing::SteinerMethod::Best}) {
      routing::SteinerOptions options;
      options.method = method;
      const auto first = routing::steiner_network(map.view(), terminals, options);
      expect_sound_tree(map, first, terminals);
      const auto again = routing::steiner_network(map.view(), terminals, options);
      EXPECT_EQ(first.nodes, again.nodes);
      EXPECT_EQ(first.edges, again.edges);
    }
    const auto spanning = routing::spanning_network(map.view(), terminals);
    expect_sound_tree(map, spanning, terminals);
    EXPECT_EQ(spanning.nodes.size(), terminals.size());
  }
}

TEST(Heuristics, SteinerTreeCrossesAWallAtItsGapWhileTheSpanningTreeCutsThrough) {
  Map map{30, 30, std::vector<double>(900, 1.0)};
  for (uint64_t y = 0; y < 30; ++y)
    if (y < 25) map.cells[15 * 30 + y] = 1000.0;
  const std::vector<Pos> terminals{{5, 5}, {25, 5}, {25, 12}};
  const auto steiner = routing::steiner_network(map.view(), terminals, {});
  const auto spanning = routing::spanning_network(map.view(), terminals);
  EXPECT_LT(steiner.cost * 5, spanning.cost);
  bool reaches_gap = false;
  for (const Pos& pos : steiner.nodes) reaches_gap |= pos.y >= 24;
  EXPECT_TRUE(reaches_gap);
}

TEST(Heuristics, UnreachableTerminalsAndTinyInputs) {
  Map map{10, 10, std::vector<double>(100, 1.0)};
  for (uint64_t y = 0; y < 10; ++y) map.cells[5 * 10 + y] = INFINITY;
  EXPECT_THROW(routing::steiner_network(map.view(), {{1, 1}, {8, 8}}, {}), routing::Unreachable);
  const auto single = routing::steiner_network(map.view(), {{1, 1}}, {});
  EXPECT_EQ(single.nodes.size(), 1u);
  EXPECT_TRUE(single.edges.empty());
  EXPECT_TRUE(routing::steiner_network(map.view(), {}, {}).nodes.empty());
}

}  // namespace
