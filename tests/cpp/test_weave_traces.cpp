#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>

#include "weave/evaluation/sparse_trace.hpp"
#include "weave/evaluation/traces.hpp"
#include "weave_graphs.hpp"

using namespace weave;
using namespace weave::testing;

namespace {

// Nonzero cells of a dense grid, keyed by row-major index.
std::map<uint64_t, double> nonzero_cells(const std::vector<double>& grid) {
  std::map<uint64_t, double> cells;
  for (size_t i = 0; i < grid.size(); ++i)
    if (grid[i] != 0.0) cells[i] = grid[i];
  return cells;
}

void expect_cells(const std::vector<double>& grid, uint64_t cols,
                  const std::map<std::pair<int, int>, double>& expected) {
  std::map<uint64_t, double> want;
  for (const auto& [cell, value] : expected) want[cell.first * cols + cell.second] = value;
  const auto got = nonzero_cells(grid);
  ASSERT_EQ(got.size(), want.size());
  for (const auto& [cell, value] : want) {
    ASSERT_TRUE(got.contains(cell)) << "cell " << cell;
    EXPECT_DOUBLE_EQ(got.at(cell), value) << "cell " << cell;
  }
}

void expect_sparse_matches_dense(const SparseTrace& sparse, const std::vector<double>& dense) {
  const auto want = nonzero_cells(dense);
  ASSERT_EQ(sparse.cells.size(), want.size());
  ASSERT_TRUE(std::is_sorted(sparse.cells.begin(), sparse.cells.end()));
  for (size_t i = 0; i < sparse.cells.size(); ++i) {
    ASSERT_TRUE(want.contains(sparse.cells[i]));
    expect_relative_near(sparse.values[i], want.at(sparse.cells[i]));
  }
}

double dense_distance(const std::vector<double>& a, const std::vector<double>& b) {
  double sum = 0.0;
  for (size_t i = 0; i < a.size(); ++i) sum += (a[i] - b[i]) * (a[i] - b[i]);
  return std::sqrt(sum);
}

const double kW = std::sqrt(5.0) / 2.0;  // sample weight of the (0,0)-(1,2) edge

struct TraceCase {
  const char* name;
  uint64_t rows, cols;
  WeaveNodeMap nodes;
  EdgeMap edges;
  std::map<std::pair<int, int>, double> expected;
};

}  // namespace

TEST(WeaveTraces, WorkedGrids) {
  const TraceCase cases[] = {
      {"straight edge",
       4,
       4,
       nodes_of({{1, 0, 0}, {2, 3, 0}}),
       edges_of({{1, 1, 2}}),
       {{{0, 0}, 0.25}, {{1, 0}, 0.125}, {{2, 0}, 0.125}, {{3, 0}, 0.25}}},
      {"diagonal edge",
       3,
       3,
       nodes_of({{1, 0, 0}, {2, 1, 2}}),
       edges_of({{1, 1, 2}}),
       {{{0, 0}, (1 + kW) / 6}, {{1, 1}, kW / 6}, {{1, 2}, (1 + kW) / 6}}},
      {"disabled edge",
       3,
       3,
       nodes_of({{1, 0, 0}, {2, 1, 2}}),
       edges_of({{1, 1, 2, false}}),
       {{{0, 0}, 1.0 / 6}, {{1, 2}, 1.0 / 6}}},
      {"same cell", 5, 3, nodes_of({{1, 2, 1}, {2, 2, 1}}), edges_of({{1, 1, 2}}), {{{2, 1}, 2.0 / 8}}},
      // node at x = -2 adds nothing; its samples at x = -2 and -1 land on row 0
      {"negative end",
       3,
       3,
       nodes_of({{1, -2, 0}, {2, 2, 0}}),
       edges_of({{1, 1, 2}}),
       {{{0, 0}, 3.0 / 6}, {{1, 0}, 1.0 / 6}, {{2, 0}, 2.0 / 6}}},
      {"end beyond shape",
       3,
       3,
       nodes_of({{1, 1, 0}, {2, 5, 0}}),
       edges_of({{1, 1, 2}}),
       {{{1, 0}, 2.0 / 6}, {{2, 0}, 1.0 / 6}}},
      // two billion samples, of which only three fall inside the shape
      {"far end",
       3,
       3,
       nodes_of({{1, 0, 0}, {2, 2000000000, 1}}),
       edges_of({{1, 1, 2}}),
       {{{0, 0}, 2.0 / 6}, {{1, 0}, 1.0 / 6}, {{2, 0}, 1.0 / 6}}},
      {"no edges", 2, 2, nodes_of({{1, 0, 1}, {2, 0, 1}, {3, 1, 1}}), {}, {{{0, 1}, 0.5}, {{1, 1}, 0.25}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto dense = compute_traces(c.rows, c.cols, c.nodes, c.edges);
    ASSERT_EQ(dense.size(), c.rows * c.cols);
    expect_cells(dense, c.cols, c.expected);
    expect_sparse_matches_dense(compute_sparse_traces(c.rows, c.cols, c.nodes, c.edges), dense);
  }
}

TEST(WeaveTraces, EmptyShapes) {
  const auto nodes = nodes_of({{1, 0, 0}, {2, 3, 0}});
  const auto edges = edges_of({{1, 1, 2}});
  EXPECT_TRUE(compute_traces(0, 5, nodes, edges).empty());
  EXPECT_TRUE(compute_traces(5, 0, nodes, edges).empty());
  EXPECT_TRUE(compute_sparse_traces(0, 5, nodes, edges).cells.empty());
}

TEST(WeaveTraces, InconsistentInputsFail) {
  const auto nodes = nodes_of({{1, 0, 0}});
  EXPECT_THROW(compute_traces(4, 4, nodes, edges_of({{1, 1, 7}})), evocore::InternalError);
  EXPECT_THROW(compute_sparse_traces(4, 4, nodes, edges_of({{1, 7, 1}})), evocore::InternalError);
  EXPECT_NO_THROW(compute_traces(4, 4, nodes, edges_of({{1, 1, 7, false}})));
  const uint64_t huge = uint64_t{1} << 62;
  EXPECT_THROW(compute_traces(huge, 4, nodes, {}), evocore::InternalError);
  EXPECT_THROW(compute_sparse_traces(4, huge, nodes, {}), evocore::InternalError);
}

TEST(WeaveMaxPool, ShapesAndValues) {
  std::vector<double> grid(25);
  for (size_t i = 0; i < grid.size(); ++i)
    grid[i] = static_cast<double>(i);  // row 4 and column 4 hold the maxima
  EXPECT_EQ(max_pool(grid, 5, 5, 2), (std::vector<double>{6, 8, 16, 18}));
  EXPECT_TRUE(max_pool(grid, 5, 5, 6).empty());
  EXPECT_EQ(max_pool(grid, 5, 5, 5), std::vector<double>{24});

  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<double> mixed{-1.0, nan, 2.5, 0.0, -0.5, 3.0};
  EXPECT_EQ(max_pool(mixed, 2, 3, 1), (std::vector<double>{0.0, 0.0, 2.5, 0.0, 0.0, 3.0}));
  EXPECT_EQ(max_pool(mixed, 2, 3, 2), std::vector<double>{0.0});  // negatives and NaN only
  EXPECT_THROW(max_pool(grid, 5, 5, 0), evocore::InternalError);
}

TEST(WeaveTraceDifference, OfAGenomeWithItselfIsZero) {
  const auto nodes = nodes_of({{1, 0, 0}, {2, 9, 7}, {3, 4, 2}});
  const auto edges = edges_of({{1, 1, 2}, {2, 2, 3}});
  const auto traces = compute_traces(10, 10, nodes, edges);
  EXPECT_EQ(trace_difference(traces, traces, 10, 10, 3), std::vector<double>(9, 0.0));
  EXPECT_TRUE(trace_difference(traces, traces, 10, 10, 11).empty());
}

TEST(WeaveTraceDifference, IsThePooledAbsoluteDifference) {
  const auto first = compute_traces(4, 4, nodes_of({{1, 0, 0}}), {});
  const auto second = compute_traces(4, 4, nodes_of({{1, 3, 3}, {2, 0, 1}, {3, 0, 0}}), {});
  EXPECT_EQ(trace_difference(first, second, 4, 4, 2), (std::vector<double>{0.0, 0.0, 0.0, 0.125}));
}

// Random networks (nodes off the shape, disabled edges, unconnected parts):
// the sparse traces, their pooling and the pooled distance agree with the dense forms.
TEST(WeaveSparseTraces, MatchDenseFormsOnRandomNetworks) {
  evocore::Rng rng(7);
  for (int round = 0; round < 200; ++round) {
    const auto rows = static_cast<int32_t>(rng.uniform_int(1, 40)),
               cols = static_cast<int32_t>(rng.uniform_int(1, 40));
    const uint64_t k = rng.uniform_int(1, 7);
    const auto [nodes_a, edges_a] =
        random_network(rng, rows, cols, static_cast<int>(rng.uniform_int(1, 12)), 8, rng.bernoulli(0.5));
    const auto [nodes_b, edges_b] = random_network(rng, rows, cols, 6, 4);
    const auto dense_a = compute_traces(rows, cols, nodes_a, edges_a);
    const auto sparse_a = compute_sparse_traces(rows, cols, nodes_a, edges_a);
    expect_sparse_matches_dense(sparse_a, dense_a);

    const auto pooled_a = max_pool(dense_a, rows, cols, k);
    const auto sparse_pooled_a = pool_sparse(sparse_a, k);
    std::vector<double> expanded(pooled_a.size(), 0.0);
    for (size_t i = 0; i < sparse_pooled_a.cells.size(); ++i)
      expanded.at(sparse_pooled_a.cells[i]) = sparse_pooled_a.values[i];
    for (size_t i = 0; i < pooled_a.size(); ++i) expect_relative_near(expanded[i], pooled_a[i]);

    const auto pooled_b = max_pool(compute_traces(rows, cols, nodes_b, edges_b), rows, cols, k);
    expect_relative_near(
        pooled_distance(sparse_pooled_a, pool_sparse(compute_sparse_traces(rows, cols, nodes_b, edges_b), k)),
        dense_distance(pooled_a, pooled_b));
  }
  EXPECT_THROW(pool_sparse(SparseTrace{4, 4, {}, {}}, 0), evocore::InternalError);
  EXPECT_THROW(pooled_distance(PooledTrace{4, 4, 1, {}, {}}, PooledTrace{4, 4, 2, {}, {}}),
               evocore::InternalError);
}

// The one-pass pooling (a dense scratch, or one radix sort where the scratch
// would exceed its memory budget: here the large grids with windows of 1)
// equals pooling the sparse traces.
TEST(WeaveSparseTraces, OnePassPoolingMatchesPoolingTheSparseTraces) {
  evocore::Rng rng(11);
  for (int round = 0; round < 60; ++round) {
    const bool large = round % 3 == 0;
    const auto rows = static_cast<int32_t>(large ? rng.uniform_int(2049, 2600) : rng.uniform_int(1, 60)),
               cols = static_cast<int32_t>(large ? rng.uniform_int(2049, 2600) : rng.uniform_int(1, 60));
    const uint64_t k = large && round % 2 == 0 ? 1 : static_cast<uint64_t>(rng.uniform_int(1, 9));
    const auto [nodes, edges] =
        random_network(rng, rows, cols, static_cast<int>(rng.uniform_int(1, 12)), 10, rng.bernoulli(0.5));
    const auto want = pool_sparse(compute_sparse_traces(rows, cols, nodes, edges), k);
    const auto got = pooled_trace(rows, cols, k, nodes, edges);
    ASSERT_EQ(got.cells, want.cells);
    for (size_t i = 0; i < want.values.size(); ++i) expect_relative_near(got.values[i], want.values[i]);
  }
}

// A call that fails part-way leaves the per-thread scratch as it found it: here
// a cell taken twice before the failure is taken once by the next call.
TEST(WeaveSparseTraces, OnePassPoolingAfterAFailedCall) {
  for (const uint64_t side : {40, 2100}) {  // the dense form, and the sorting form with windows of 1
    EXPECT_THROW(pooled_trace(side, side, 1, nodes_of({{1, 2, 3}, {2, 2, 3}}), edges_of({{1, 1, 9}})),
                 evocore::InternalError);
    const auto nodes = nodes_of({{1, 2, 3}, {4, 10, 10}, {5, 20, 5}});
    const auto edges = edges_of({{1, 4, 5}});
    for (const uint64_t k : {1, 3}) {
      const auto want = pool_sparse(compute_sparse_traces(side, side, nodes, edges), k);
      const auto got = pooled_trace(side, side, k, nodes, edges);
      ASSERT_EQ(got.cells, want.cells);
      for (size_t i = 0; i < want.values.size(); ++i) expect_relative_near(got.values[i], want.values[i]);
    }
  }
}
