#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "weave/evaluation/evaluate.hpp"
#include "weave/evaluation/network_cost.hpp"
#include "weave_graphs.hpp"

using namespace weave;
using namespace weave::testing;

namespace {

const double kInf = std::numeric_limits<double>::infinity();

struct BlockedMap {
  uint64_t rows, cols;
  std::vector<double> cells;
  std::vector<float> cells32;
  ImpassableBlocks blocks;
  BlockedMap(uint64_t r, uint64_t c)
      : rows(r), cols(c), cells(r * c, 1.0), cells32(r * c, 1.0f), blocks(r, c) {}
  void block(uint64_t x, uint64_t y, double cost = kInf) {
    cells[x * cols + y] = cost;
    cells32[x * cols + y] = static_cast<float>(cost);
  }
  CostMap plain() const { return {rows, cols, cells.data()}; }
  CostMap with_blocks() const { return {rows, cols, cells.data(), nullptr, &blocks}; }
  CostMap float32() const { return {rows, cols, nullptr, cells32.data(), &blocks}; }
};

}  // namespace

TEST(WeaveImpassable, AnEdgeCuttingTheCornerOfAnImpassableCellIsInfeasible) {
  BlockedMap map(12, 12);
  map.block(7, 8);
  const auto nodes = nodes_of({{1, 0, 0}, {2, 8, 10}});
  const auto edges = edges_of({{1, 1, 2}});
  for (const CostMap& view : {map.plain(), map.with_blocks(), map.float32()}) {
    EXPECT_EQ(edge_cost({0, 0}, {8, 10}, view), kInf);
    EXPECT_EQ(edge_cost({8, 10}, {0, 0}, view), kInf);
    EXPECT_EQ(evaluate_genome(nodes, edges, EvaluationStrategy::SingleObjective, view).fitness, 0.0);
  }
}

TEST(WeaveImpassable, TouchingOnlyACornerPointStaysOpen) {
  BlockedMap map(4, 4);
  map.block(0, 1);
  map.block(1, 0);
  EXPECT_FALSE(crosses_impassable({0, 0}, {1, 1}, map.with_blocks()));
  EXPECT_FALSE(crosses_impassable({3, 3}, {0, 0}, map.plain()));
  EXPECT_TRUE(crosses_impassable({0, 0}, {1, 2}, map.plain()));  // meets (0, 1) inside
  EXPECT_TRUE(crosses_impassable({0, 0}, {0, 3}, map.plain()));
}

// The block flags only skip work: with and without them, forwards and
// backwards, and from ends far off the map, the answer is the same; and an
// edge that passes no impassable cell keeps the sample rule's cost exactly.
TEST(WeaveImpassable, BlocksDirectionAndFarEndsNeverChangeTheAnswer) {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 40; ++round) {
    const uint64_t side = round % 4 == 0 ? 300 + rng() % 400 : 40 + rng() % 30;  // one area or several
    BlockedMap map(side, side + rng() % 30);
    for (uint64_t k = 0; k < side / 8; ++k)
      map.block(rng() % map.rows, rng() % map.cols, k % 2 ? kInf : std::nan(""));
    for (int e = 0; e < 200; ++e) {
      const auto reach = static_cast<int32_t>(e % 10 == 0 ? 1'000'000 : side + 20);
      const auto coordinate = [&] { return static_cast<int32_t>(rng() % (2 * reach)) - reach / 2; };
      const Cell a{coordinate(), coordinate()}, b{coordinate(), coordinate()};
      const bool crosses = crosses_impassable(a, b, map.plain());
      ASSERT_EQ(crosses_impassable(a, b, map.with_blocks()), crosses)
          << a.row << "," << a.column << " " << b.row;
      ASSERT_EQ(crosses_impassable(b, a, map.with_blocks()), crosses);
      ASSERT_EQ(crosses_impassable(a, b, map.float32()), crosses);
      const double cost = edge_cost(a, b, map.with_blocks());
      const double sampled = detail::edge_cost_over(a, b, map.plain(), map.cells.data());
      if (crosses)
        EXPECT_FALSE(cost < kInf);
      else
        EXPECT_TRUE(cost == sampled || (std::isnan(cost) && std::isnan(sampled)));
    }
  }
}
