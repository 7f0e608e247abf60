// Least-cost searches, straightening and the Steiner heuristics.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <queue>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include "evocore/interrupt.hpp"
#include "routing/heuristics.hpp"
#include "routing/straighten.hpp"
#include "weave/evaluation/network_cost.hpp"

namespace {

using routing::CostMap;
using weave::Cell;

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

// Calls visit(next, diagonal) for the neighbours of `cell` on a rows x cols map.
template <class Visit>
void each_neighbour(uint64_t rows, uint64_t cols, uint64_t cell, Visit&& visit) {
  const int64_t x = int64_t(cell / cols), y = int64_t(cell % cols);
  for (int64_t dx = -1; dx <= 1; ++dx)
    for (int64_t dy = -1; dy <= 1; ++dy) {
      const int64_t nx = x + dx, ny = y + dy;
      if ((!dx && !dy) || nx < 0 || ny < 0 || nx >= int64_t(rows) || ny >= int64_t(cols)) continue;
      visit(uint64_t(nx) * cols + uint64_t(ny), dx && dy);
    }
}

// Bellman-Ford relaxation over the 8-connected cell graph, independent of the heap search.
std::vector<double> relaxed_distances(const Map& map, uint64_t source) {
  std::vector<double> distance(map.cells.size(), INFINITY);
  distance[source] = 0.0;
  for (bool changed = true; changed;) {
    changed = false;
    for (uint64_t cell = 0; cell < map.cells.size(); ++cell) {
      each_neighbour(map.rows, map.cols, cell, [&](uint64_t next, bool diagonal) {
        const double step = std::hypot(1.0, diagonal ? 1.0 : 0.0) * 0.5 * (map.cells[cell] + map.cells[next]);
        if (distance[cell] + step < distance[next] - 1e-12)
          distance[next] = distance[cell] + step, changed = true;
      });
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

// Cost maps for the comparisons against a plain Dijkstra: ties (integer and
// regional costs), free (zero-cost) and impassable cells, read as float64 or float32.
enum class Terrain { Real, Integers, Regions, Free, Blocked, Mixed };

struct Grid {
  uint64_t rows, cols;
  std::vector<double> cells;
  std::vector<float> cells32;  // the same costs as float32 when non-empty
  CostMap view() const {
    return cells32.empty() ? CostMap{rows, cols, cells.data()} : CostMap{rows, cols, nullptr, cells32.data()};
  }
};

Grid make_grid(uint64_t rows, uint64_t cols, Terrain terrain, bool float32, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::uniform_int_distribution<int> small(1, 3);
  Grid grid{rows, cols, std::vector<double>(rows * cols), {}};
  std::vector<double> region(16);
  for (double& cost : region) cost = small(rng);
  for (uint64_t cell = 0; cell < grid.cells.size(); ++cell) {
    double& cost = grid.cells[cell];
    const double u = unit(rng);
    switch (terrain) {
      case Terrain::Real:
        cost = 0.5 + 8.5 * unit(rng);
        break;
      case Terrain::Integers:
        cost = small(rng);
        break;
      case Terrain::Regions:
        cost = region[(cell / cols / 5 % 4) * 4 + cell % cols / 5 % 4];
        break;
      case Terrain::Free:
        cost = u < 0.3 ? 0.0 : small(rng);
        break;
      case Terrain::Blocked:
        cost = u < 0.25 ? INFINITY : small(rng);
        break;
      case Terrain::Mixed:
        cost = u < 0.15 ? 0.0 : u < 0.3 ? INFINITY : 0.1 + unit(rng);
        break;
    }
  }
  if (float32)
    for (double cost : grid.cells) grid.cells32.push_back(static_cast<float>(cost));
  return grid;
}

// A plain Dijkstra with a binary heap: the same step rule and pop order
// (distance, then the smaller cell), with none of the search's shortcuts.
struct Reference {
  CostMap map;
  std::vector<double> distance;
  std::vector<int32_t> label;
  std::vector<uint64_t> parent;  // the cell itself for sources and unreached cells
  std::vector<uint64_t> settled;
  std::priority_queue<std::pair<double, uint64_t>, std::vector<std::pair<double, uint64_t>>, std::greater<>>
      heap;

  explicit Reference(const CostMap& view)
      : map(view),
        distance(view.rows * view.cols, INFINITY),
        label(distance.size(), -1),
        parent(distance.size()) {
    for (uint64_t cell = 0; cell < parent.size(); ++cell) parent[cell] = cell;
  }
  void add_source(uint64_t cell, int32_t source_label = 0) {
    if (distance[cell] == 0.0 && parent[cell] == cell) return;
    distance[cell] = 0.0, label[cell] = source_label, parent[cell] = cell;
    heap.push({0.0, cell});
  }
  // Settles one cell; false when the heap ran empty first.
  bool settle_one() {
    while (!heap.empty()) {
      const auto [reached, cell] = heap.top();
      heap.pop();
      if (reached > distance[cell]) continue;
      settled.push_back(cell);
      each_neighbour(map.rows, map.cols, cell, [&](uint64_t next, bool diagonal) {
        const double length = diagonal ? 1.4142135623730951 : 1.0;
        const double candidate = reached + length * 0.5 * (map.at(cell) + map.at(next));
        if (!(candidate < distance[next])) return;
        distance[next] = candidate, label[next] = label[cell], parent[next] = cell;
        heap.push({candidate, next});
      });
      return true;
    }
    return false;
  }
  void propagate() {
    while (settle_one()) {
    }
  }
  std::vector<uint64_t> path_from(uint64_t cell) const {
    std::vector<uint64_t> path;
    if (distance[cell] == INFINITY) return path;
    for (path.push_back(cell); parent[cell] != cell; path.push_back(cell)) cell = parent[cell];
    return path;
  }
};

// Distances (bit for bit), labels and paths agree with the reference.
void expect_same(const routing::LeastCostSearch& search, const Reference& reference) {
  for (uint64_t cell = 0; cell < reference.distance.size(); ++cell) {
    ASSERT_EQ(search.distance(cell), reference.distance[cell]) << "cell " << cell;
    ASSERT_EQ(search.label(cell), reference.label[cell]) << "cell " << cell;
    ASSERT_EQ(search.path_from(cell), reference.path_from(cell)) << "cell " << cell;
  }
}

std::vector<uint64_t> random_cells(uint64_t cells, size_t count, std::mt19937& rng) {
  std::vector<uint64_t> chosen;
  for (size_t i = 0; i < count; ++i) chosen.push_back(rng() % cells);
  return chosen;
}

class SearchAgainstReference : public ::testing::TestWithParam<std::tuple<Terrain, bool>> {
 protected:
  Grid grid(uint64_t rows, uint64_t cols, unsigned seed) const {
    return make_grid(rows, cols, std::get<0>(GetParam()), std::get<1>(GetParam()), seed);
  }
};

TEST_P(SearchAgainstReference, SourcesLabelsAndSettleOrder) {
  const uint64_t shapes[][2] = {{1, 1}, {1, 17}, {13, 1}, {2, 3}, {23, 31}, {40, 40}};
  unsigned seed = 0;
  for (const auto& shape : shapes)
    for (size_t sources : {1, 2, 5}) {
      const Grid map = grid(shape[0], shape[1], ++seed);
      std::mt19937 rng(seed);
      // The same cell may come twice: a repeated source is added once.
      const auto cells = random_cells(map.cells.size(), sources, rng);
      for (bool with_labels : {false, true}) {
        routing::LeastCostSearch search(map.view(), with_labels);
        Reference reference(map.view());
        for (size_t i = 0; i < cells.size(); ++i) {
          search.add_source(cells[i], static_cast<int32_t>(i));
          reference.add_source(cells[i], static_cast<int32_t>(i));
        }
        std::vector<uint64_t> order;
        EXPECT_FALSE(search.propagate_until([&](uint64_t cell) {
          order.push_back(cell);
          return false;
        }));
        reference.propagate();
        EXPECT_EQ(order, reference.settled) << "seed " << seed;
        EXPECT_EQ(search.settled_count(), reference.settled.size());
        expect_same(search, reference);
      }
    }
}

TEST_P(SearchAgainstReference, ResumesAfterStoppingAndAddingSources) {
  for (unsigned seed = 0; seed < 6; ++seed) {
    const Grid map = grid(21 + seed, 34 - seed, 50 + seed);
    std::mt19937 rng(seed);
    routing::LeastCostSearch search(map.view());
    Reference reference(map.view());
    const auto first = random_cells(map.cells.size(), 1, rng)[0];
    search.add_source(first);
    reference.add_source(first);
    // Stop after a few settled cells, add more sources (some labelled, some
    // already settled) and stop again before finishing.
    for (size_t round = 0; round < 3; ++round) {
      const size_t count = 5 + rng() % 40;
      size_t left = count, done = 0;
      const auto stopped = search.propagate_until([&](uint64_t) { return --left == 0; });
      while (done < count && reference.settle_one()) ++done;
      ASSERT_EQ(stopped.has_value(), done == count);
      if (stopped) {
        EXPECT_EQ(*stopped, reference.settled.back());
      }
      for (uint64_t cell : random_cells(map.cells.size(), 1 + round, rng)) {
        const auto label = static_cast<int32_t>(round * (rng() % 2));
        search.add_source(cell, label);
        reference.add_source(cell, label);
      }
    }
    search.propagate();
    reference.propagate();
    expect_same(search, reference);
    // A finished search extended by sources along a path, as the grow heuristic does.
    for (uint64_t cell : reference.path_from(random_cells(map.cells.size(), 1, rng)[0])) {
      search.add_source(cell, 7);
      reference.add_source(cell, 7);
    }
    search.propagate();
    reference.propagate();
    expect_same(search, reference);
  }
}

TEST_P(SearchAgainstReference, ResetSearchesAgainAsNew) {
  // 60 x 50 cells: a full search overflows the reset list, a windowed one does not.
  const Grid map = grid(60, 50, 7);
  std::mt19937 rng(7);
  routing::LeastCostSearch search(map.view());
  for (unsigned round = 0; round < 6; ++round) {
    const bool small = round % 2 == 0;
    if (small) {
      search.set_window(20, 28, 10, 19);
      search.set_limit(5.0);
    }
    const auto cells = random_cells(map.cells.size(), 1 + round % 3, rng);
    for (size_t i = 0; i < cells.size(); ++i) search.add_source(cells[i], static_cast<int32_t>(i));
    search.propagate();
    search.reset();
    EXPECT_EQ(search.settled_count(), 0u);
    // Another set of sources after the reset: as from a fresh search.
    const auto again = random_cells(map.cells.size(), 1 + round % 2, rng);
    Reference reference(map.view());
    for (size_t i = 0; i < again.size(); ++i) {
      search.add_source(again[i], static_cast<int32_t>(i + round));
      reference.add_source(again[i], static_cast<int32_t>(i + round));
    }
    search.propagate();
    reference.propagate();
    expect_same(search, reference);
    search.reset();
  }
}

TEST_P(SearchAgainstReference, WindowsSearchTheCroppedMap) {
  for (unsigned seed = 0; seed < 12; ++seed) {
    const Grid map = grid(30, 26, 80 + seed);
    std::mt19937 rng(seed);
    const uint64_t r0 = rng() % 30, r1 = r0 + 1 + rng() % (30 - r0), c0 = rng() % 26,
                   c1 = c0 + 1 + rng() % (26 - c0);
    Grid cropped{r1 - r0, c1 - c0, {}, {}};
    for (uint64_t r = r0; r < r1; ++r)
      for (uint64_t c = c0; c < c1; ++c) {
        cropped.cells.push_back(map.cells[r * 26 + c]);
        if (!map.cells32.empty()) cropped.cells32.push_back(map.cells32[r * 26 + c]);
      }
    routing::LeastCostSearch search(map.view());
    search.set_window(r0, r1, c0, c1);
    Reference reference(cropped.view());
    const auto cells = random_cells(cropped.cells.size(), 1 + seed % 3, rng);
    for (uint64_t cell : cells) {
      search.add_source((r0 + cell / cropped.cols) * 26 + c0 + cell % cropped.cols);
      reference.add_source(cell);
    }
    const auto inside = [&](uint64_t cell) {
      return cell / 26 >= r0 && cell / 26 < r1 && cell % 26 >= c0 && cell % 26 < c1;
    };
    for (uint64_t cell = 0; cell < map.cells.size(); ++cell)
      if (!inside(cell)) {
        search.add_source(cell);  // not entered: it lies outside
        break;
      }
    search.propagate();
    reference.propagate();
    for (uint64_t cell = 0; cell < map.cells.size(); ++cell) {
      const double expected =
          inside(cell) ? reference.distance[(cell / 26 - r0) * cropped.cols + cell % 26 - c0] : INFINITY;
      EXPECT_EQ(search.distance(cell), expected) << "seed " << seed << " cell " << cell;
    }
  }
}

TEST_P(SearchAgainstReference, LimitedSearchesSettleTheNearCellsOnly) {
  for (unsigned seed = 0; seed < 8; ++seed) {
    const Grid map = grid(35, 35, 120 + seed);
    std::mt19937 rng(seed);
    const auto cells = random_cells(map.cells.size(), 1 + seed % 2, rng);
    Reference reference(map.view());
    for (uint64_t cell : cells) reference.add_source(cell);
    reference.propagate();
    // A limit that is some cell's exact distance, and one between distances.
    const double exact = reference.distance[reference.settled[reference.settled.size() / 3]];
    for (double limit : {exact, std::nextafter(exact, 0.0), 2.5, 0.0}) {
      routing::LeastCostSearch search(map.view());
      search.set_limit(limit);
      for (uint64_t cell : cells) search.add_source(cell);
      search.propagate();
      uint64_t near = 0;
      for (uint64_t cell = 0; cell < map.cells.size(); ++cell) {
        const double expected = reference.distance[cell] <= limit ? reference.distance[cell] : INFINITY;
        ASSERT_EQ(search.distance(cell), expected) << "seed " << seed << " limit " << limit;
        near += expected != INFINITY;
      }
      EXPECT_LE(search.settled_count(), reference.settled.size());
      EXPECT_GE(search.settled_count(), near);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Maps, SearchAgainstReference,
                         ::testing::Combine(::testing::Values(Terrain::Real, Terrain::Integers,
                                                              Terrain::Regions, Terrain::Free,
                                                              Terrain::Blocked, Terrain::Mixed),
                                            ::testing::Bool()));

// Arrays of a million cells and more take another allocation path.
TEST(LeastCost, LargeMapsAgreeWithTheReference) {
  for (bool float32 : {false, true}) {
    const Grid map = make_grid(1100, 1000, Terrain::Mixed, float32, 11);
    routing::LeastCostSearch search(map.view(), true);
    Reference reference(map.view());
    for (uint64_t cell : {uint64_t{1}, uint64_t{550'500}, uint64_t{1'099'998}}) {
      search.add_source(cell, static_cast<int32_t>(cell % 5));
      reference.add_source(cell, static_cast<int32_t>(cell % 5));
    }
    search.propagate();
    reference.propagate();
    EXPECT_EQ(search.settled_count(), reference.settled.size());
    for (uint64_t cell = 0; cell < map.cells.size(); ++cell) {
      ASSERT_EQ(search.distance(cell), reference.distance[cell]) << "cell " << cell;
      ASSERT_EQ(search.label(cell), reference.label[cell]) << "cell " << cell;
    }
  }
}

TEST(LeastCost, LabelsAreKeptFromTheFirstNonzeroLabel) {
  const Grid map = make_grid(12, 12, Terrain::Integers, false, 3);
  routing::LeastCostSearch search(map.view());
  search.add_source(5);
  search.propagate_until([](uint64_t cell) { return cell == 100; });
  EXPECT_EQ(search.label(5), 0);
  EXPECT_EQ(search.label(143), search.distance(143) == INFINITY ? -1 : 0);
  search.add_source(140, 3);
  search.propagate();
  Reference reference(map.view());
  reference.add_source(5);
  reference.add_source(140, 3);
  reference.propagate();
  for (uint64_t cell = 0; cell < map.cells.size(); ++cell)
    EXPECT_EQ(search.distance(cell), reference.distance[cell]);
  EXPECT_EQ(search.label(143), 3);
  EXPECT_EQ(search.label(0), 0);
}

// An interrupt request or a passed deadline ends a search by an exception; the
// search is left consistent and can be propagated to the end afterwards.
TEST(LeastCost, StopsWhenAskedAndResumesAfterwards) {
  const Grid map = make_grid(120, 120, Terrain::Real, false, 9);
  Reference reference(map.view());
  reference.add_source(777);
  reference.propagate();
  for (int cause = 0; cause < 2; ++cause) {
    routing::LeastCostSearch search(map.view());
    search.add_source(777);
    std::atomic<bool> request{true};
    {
      evocore::InterruptRequestScope interrupt(cause == 0 ? &request : nullptr);
      evocore::DeadlineScope deadline(cause == 1 ? evocore::Clock::now() : evocore::kNoDeadline);
      if (cause == 0)
        EXPECT_THROW(search.propagate(), evocore::Interrupted);
      else
        EXPECT_THROW(search.propagate_until([](uint64_t) { return false; }), evocore::DeadlinePassed);
    }
    EXPECT_GT(search.settled_count(), 0u);
    EXPECT_LT(search.settled_count(), map.cells.size());
    search.propagate();
    expect_same(search, reference);
  }
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
void expect_sound_tree(const Map& map, const routing::Network& network, const std::vector<Cell>& terminals) {
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
  for (const Cell& pos : network.nodes) EXPECT_TRUE(cells.insert({pos.row, pos.column}).second);
  EXPECT_NEAR(network.cost, routing::network_cost(network, map.view()), 1e-12);
}

TEST(Heuristics, TreesJoinEveryTerminalAndAreDeterministic) {
  for (unsigned seed = 0; seed < 6; ++seed) {
    const Map map = random_map(40, 30, 200 + seed);
    std::mt19937 rng(seed);
    std::set<std::pair<int32_t, int32_t>> chosen;
    std::vector<Cell> terminals;
    while (terminals.size() < 2 + seed) {
      const Cell pos{int32_t(rng() % 40), int32_t(rng() % 30)};
      if (chosen.insert({pos.row, pos.column}).second) terminals.push_back(pos);
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
  const std::vector<Cell> terminals{{5, 5}, {25, 5}, {25, 12}};
  const auto steiner = routing::steiner_network(map.view(), terminals, {});
  const auto spanning = routing::spanning_network(map.view(), terminals);
  EXPECT_LT(steiner.cost * 5, spanning.cost);
  bool reaches_gap = false;
  for (const Cell& pos : steiner.nodes) reaches_gap |= pos.column >= 24;
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
