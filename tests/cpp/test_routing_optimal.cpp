// The exact network: agreement with the spanning tree where no extra node is
// allowed, with the evaluation's cost, and with itself under any pruning.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "routing/heuristics.hpp"
#include "routing/optimal.hpp"
#include "weave/evaluation/network_cost.hpp"

namespace {

using routing::CostMap;
using weave::Cell;

struct Map {
  uint64_t rows, cols;
  std::vector<double> cells;
  CostMap view() const { return {rows, cols, cells.data()}; }
};

Map random_map(uint64_t rows, uint64_t cols, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> cost(0.5, 9.0);
  Map map{rows, cols, std::vector<double>(rows * cols)};
  for (double& cell : map.cells) cell = cost(rng);
  return map;
}

const std::vector<Cell> kTerminals{{0, 0}, {8, 9}, {0, 9}, {7, 1}};

TEST(Optimal, WithoutExtraCellsItIsTheSpanningTree) {
  for (unsigned seed = 0; seed < 4; ++seed) {
    const Map map = random_map(9, 10, seed);
    routing::OptimalOptions options;
    for (const Cell& pos : kTerminals) options.candidates.push_back(routing::pos_cell(map.view(), pos));
    const routing::Network optimal = routing::optimal_network(map.view(), kTerminals, options);
    const routing::Network spanning = routing::spanning_network(map.view(), kTerminals);
    EXPECT_EQ(optimal.nodes.size(), kTerminals.size());
    EXPECT_LE(optimal.cost, spanning.cost * (1 + 1e-12));
    EXPECT_NEAR(optimal.cost, spanning.cost, 1e-6 * spanning.cost);
  }
}

TEST(Optimal, BoundsNeverChangeTheOptimum) {
  for (unsigned seed = 0; seed < 4; ++seed) {
    const Map map = random_map(9, 10, seed + 10);
    routing::OptimalOptions pruned, unpruned;
    unpruned.upper_bound = 1e300;
    const routing::Network a = routing::optimal_network(map.view(), kTerminals, pruned);
    const routing::Network b = routing::optimal_network(map.view(), kTerminals, unpruned);
    EXPECT_NEAR(a.cost, b.cost, 1e-6 * b.cost);
    EXPECT_DOUBLE_EQ(a.cost, routing::network_cost(a, map.view()));
    EXPECT_EQ(a.edges.size() + 1, a.nodes.size());  // a tree
  }
}

TEST(Optimal, RefusesOversizedProblemsWithTheEstimate) {
  const Map map{700, 700, std::vector<double>(700 * 700, 1.0)};
  std::vector<Cell> terminals;
  for (int32_t i = 0; i < 20; ++i) terminals.push_back({i * 7, i * 11});
  try {
    routing::optimal_network(map.view(), terminals, {});
    FAIL() << "not refused";
  } catch (const routing::TooLarge& error) {
    EXPECT_GT(error.estimate.seconds, 1800.0);
    EXPECT_NE(error.estimate.text().find("terminal subsets"), std::string::npos);
  }
}

}  // namespace
