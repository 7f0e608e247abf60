#include <gtest/gtest.h>

#include <set>

#include "weave/grid.hpp"
#include "weave_graphs.hpp"

using namespace weave;
using namespace weave::testing;

namespace {

WeaveConfig lattice_config(uint64_t width, uint64_t height, uint32_t cells_x, uint32_t cells_y,
                           std::vector<Cell> fixed = {}) {
  auto config = config_of(width, height);
  config.graph_init = GraphInit{GraphInit::Kind::Grid, cells_x, cells_y};
  config.fixed_nodes = std::move(fixed);
  return config;
}

std::vector<Cell> positions(const std::vector<WeaveNode>& nodes) {
  std::vector<Cell> result;
  for (const auto& node : nodes) result.push_back(node.data.pos);
  return result;
}

std::vector<std::tuple<uint64_t, uint64_t, uint64_t>> edge_triples(const std::vector<Edge>& edges) {
  std::vector<std::tuple<uint64_t, uint64_t, uint64_t>> result;
  for (const auto& edge : edges) {
    EXPECT_TRUE(edge.enabled);
    result.emplace_back(edge.id, edge.node1, edge.node2);
  }
  return result;
}

using Triples = std::vector<std::tuple<uint64_t, uint64_t, uint64_t>>;

}  // namespace

TEST(WeaveInitialGraph, FullyConnectedFixedNodes) {
  auto config = config_of(10, 10);
  config.fixed_nodes = {{1, 1}, {5, 2}, {1, 1}};  // repeats are kept
  evocore::PopulationState state;
  const auto [nodes, edges] = WeaveSpecialization{config}.initialize_genome(state);
  ASSERT_EQ(nodes.size(), 3u);
  for (uint64_t i = 0; i < 3; ++i) {
    EXPECT_EQ(nodes[i].id, i + 1);
    EXPECT_EQ(nodes[i].data.type, NodeType::Fixed);
  }
  EXPECT_EQ(positions(nodes), config.fixed_nodes);
  EXPECT_EQ(edge_triples(edges), (Triples{{1, 1, 2}, {2, 1, 3}, {3, 2, 3}}));

  config.fixed_nodes.clear();
  const auto empty = WeaveSpecialization{config}.initialize_genome(state);
  EXPECT_TRUE(empty.first.empty() && empty.second.empty());
}

TEST(WeaveInitialGraph, LatticeTargetsAndEdges) {
  evocore::PopulationState state;
  const auto [nodes, edges] = WeaveSpecialization{lattice_config(10, 10, 2, 2)}.initialize_genome(state);
  EXPECT_EQ(positions(nodes), (std::vector<Cell>{{3, 3}, {3, 8}, {8, 3}, {8, 8}}));
  for (uint64_t i = 0; i < nodes.size(); ++i) {
    EXPECT_EQ(nodes[i].id, i + 1);
    EXPECT_EQ(nodes[i].data.type, NodeType::Flexible);
  }
  EXPECT_EQ(edge_triples(edges), (Triples{{1, 1, 2}, {2, 1, 3}, {3, 2, 4}, {4, 3, 4}}));

  // A second call draws fresh numbers for the same shape.
  const auto again = WeaveSpecialization{lattice_config(10, 10, 2, 2)}.initialize_genome(state);
  EXPECT_EQ(again.first.front().id, 5u);
  EXPECT_EQ(edge_triples(again.second).front(), std::make_tuple(uint64_t{5}, uint64_t{5}, uint64_t{6}));
}

TEST(WeaveInitialGraph, FixedNodesAnchorToNearestLatticeNode) {
  // Lattice along x at (2,5), (6,5), (10,5); (4,5) is halfway between the first two.
  evocore::PopulationState state;
  const auto config = lattice_config(12, 10, 3, 1, {{4, 5}, {5, 5}, {2, 5}});
  const auto [nodes, edges] = WeaveSpecialization{config}.initialize_genome(state);
  EXPECT_EQ(positions(nodes), (std::vector<Cell>{{4, 5}, {5, 5}, {2, 5}, {2, 5}, {6, 5}, {10, 5}}));
  // Lattice edges 4-5, 5-6; then anchors: 1 -> 4 (tie, first placed), 2 -> 5, 3 -> 4 (shared cell).
  EXPECT_EQ(edge_triples(edges), (Triples{{1, 4, 5}, {2, 5, 6}, {3, 1, 4}, {4, 2, 5}, {5, 3, 4}}));
}

TEST(WeaveInitialGraph, EmptyOrCrowdedLattices) {
  evocore::PopulationState state;
  const auto none =
      WeaveSpecialization{lattice_config(10, 10, 0, 5, {{1, 1}, {2, 2}})}.initialize_genome(state);
  EXPECT_EQ(none.first.size(), 2u);
  EXPECT_TRUE(none.second.empty());

  // On a 1 x 1 grid the targets are (0,1), (1,1), (1,1); the third finds no cell.
  const auto crowded = WeaveSpecialization{lattice_config(1, 1, 3, 1)}.initialize_genome(state);
  EXPECT_EQ(positions(crowded.first), (std::vector<Cell>{{0, 1}, {1, 1}}));
  EXPECT_EQ(crowded.second.size(), 1u);

  // Colliding targets on a wider grid are moved to free cells.
  const auto moved = WeaveSpecialization{lattice_config(2, 3, 4, 1)}.initialize_genome(state);
  const auto cells = positions(moved.first);
  std::set<std::pair<int, int>> distinct;
  for (const auto& pos : cells) distinct.emplace(pos.row, pos.column);
  EXPECT_EQ(distinct.size(), cells.size());
}

TEST(WeaveFindFreePos, FreeCellIsReturnedWithoutDrawing) {
  const Grid grid{5, 5};
  const auto nodes = nodes_of({{1, 2, 2}});
  evocore::Rng rng(1);
  const evocore::Rng before = rng;
  EXPECT_EQ(grid.find_free_pos(7, -3, nodes, rng), (Cell{7, -3}));  // not clamped
  EXPECT_TRUE(same_stream(rng, before));

  const Grid tiny{1, 1};
  EXPECT_EQ(tiny.find_free_pos(0, 0, nodes_of({{1, 0, 0}}), rng), std::nullopt);
  EXPECT_TRUE(same_stream(rng, before));
  EXPECT_EQ((Grid{2, 1}.find_free_pos(0, 0, nodes_of({{1, 0, 0}, {2, 1, 0}}), rng)),
            std::nullopt);  // full grid
}

TEST(WeaveFindFreePos, SearchDrawsDxThenDyAndClamps) {
  const Grid grid{3, 3};
  const auto nodes = nodes_of({{1, 0, 0}, {2, 0, 1}, {3, 1, 0}});
  for (uint64_t seed = 0; seed < 20; ++seed) {
    evocore::Rng rng(seed), replay(seed);
    std::optional<Cell> expected;
    for (int64_t radius = 1; radius < 3 && !expected; ++radius) {
      for (int attempt = 0; attempt < 10 && !expected; ++attempt) {
        const int64_t dx = replay.uniform_int(-radius, radius);
        const int64_t dy = replay.uniform_int(-radius, radius);
        const Cell candidate{grid.clamp_x(dx), grid.clamp_y(dy)};
        if (!is_occupied(nodes, candidate)) expected = candidate;
      }
    }
    EXPECT_EQ(grid.find_free_pos(0, 0, nodes, rng), expected);
  }
}

// The random tries can miss the one free cell of a nearly full grid; the ring
// scan behind them never does.
TEST(WeaveFindFreePos, LastFreeCellIsAlwaysFound) {
  const auto nodes = nodes_of({{1, 0, 0}, {2, 0, 1}, {3, 1, 0}});
  for (uint64_t seed = 0; seed < 500; ++seed) {
    evocore::Rng rng(seed);
    EXPECT_EQ((Grid{2, 2}.find_free_pos(0, 0, nodes, rng)), (Cell{1, 1}));
  }
}
