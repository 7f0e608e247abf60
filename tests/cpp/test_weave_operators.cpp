#include <gtest/gtest.h>

#include "weave/grid.hpp"
#include "weave_graphs.hpp"

using namespace weave;
using namespace weave::testing;

namespace {

constexpr auto kFixed = NodeType::Fixed;

WeaveSpecialization on_grid(uint64_t width, uint64_t height, double move_prob = 1.0, double sigma = 0.0) {
  auto config = config_of(width, height);
  config.move_node_mutation_prob = move_prob;
  config.move_node_mutation_sigma = sigma;
  return WeaveSpecialization{config};
}

const Edge kUnused{};

}  // namespace

TEST(WeaveAddNode, GoesToTheFreeMidpointWithoutDrawing) {
  struct Case {
    Cell a, b, wished;
  };
  const Case cases[] = {{{2, 2}, {5, 7}, {3, 4}}, {{-3, 0}, {0, 4}, {-1, 2}}, {{9, 9}, {9, 1}, {9, 5}}};
  for (const auto& c : cases) {
    const auto nodes = nodes_of({{1, c.a.row, c.a.column}, {2, c.b.row, c.b.column, kFixed}});
    const Edge split{1, 1, 2, true};
    WeaveNode added{3, {}};
    added.data.type = NodeType::Fixed;
    evocore::Rng rng(2);
    const evocore::Rng before = rng;
    ASSERT_TRUE(on_grid(10, 10).add_node(added, split, kUnused, kUnused, nodes, {}, rng));
    EXPECT_EQ(added.data.pos, c.wished);
    EXPECT_EQ(added.data.type, NodeType::Flexible);
    EXPECT_TRUE(same_stream(rng, before));
  }
}

TEST(WeaveAddNode, OccupiedMidpointSearchesOrGivesUp) {
  const auto nodes = nodes_of({{1, 0, 0}, {2, 1, 1}});
  const Edge split{1, 1, 2, true};
  WeaveNode added{3, {}};
  evocore::Rng rng(3);
  const evocore::Rng before = rng;
  ASSERT_TRUE(on_grid(4, 4).add_node(added, split, kUnused, kUnused, nodes, {}, rng));
  EXPECT_FALSE(same_stream(rng, before));
  EXPECT_FALSE(is_occupied(nodes, added.data.pos));
  EXPECT_TRUE(added.data.pos.row >= 0 && added.data.pos.row < 4 && added.data.pos.column >= 0 &&
              added.data.pos.column < 4);

  const auto full = nodes_of({{1, 0, 0}, {2, 0, 0}});
  EXPECT_FALSE(on_grid(1, 1).add_node(added, split, kUnused, kUnused, full, {}, rng));
  EXPECT_THROW(on_grid(4, 4).add_node(added, Edge{1, 1, 9, true}, kUnused, kUnused, nodes, {}, rng),
               evocore::InternalError);
}

TEST(WeaveRemoveEdge, OnlyWhenTheNetworkStaysConnected) {
  const auto nodes = nodes_of({{1, 0, 0}, {2, 1, 0}, {3, 2, 0}});
  const auto path = edges_of({{1, 1, 2}, {2, 2, 3}});
  const auto triangle = edges_of({{1, 1, 2}, {2, 2, 3}, {3, 3, 1}});
  const auto broken = edges_of({{1, 1, 2}, {3, 3, 1, false}});
  evocore::Rng rng(0);
  const auto specialization = on_grid(5, 5);
  EXPECT_FALSE(specialization.remove_edge(path.at(1), nodes, path, rng));
  EXPECT_TRUE(specialization.remove_edge(triangle.at(1), nodes, triangle, rng));
  EXPECT_FALSE(specialization.remove_edge(broken.at(3), nodes, broken, rng));  // already disconnected
}

TEST(WeaveRemoveNode, FlexibleAndNotSplitting) {
  // 1 and 3 are fixed; 2 sits between them, 4 hangs off 3.
  const auto nodes =
      nodes_of({{1, 0, 0, kFixed}, {2, 1, 0}, {3, 2, 0, kFixed}, {4, 3, 0}, {5, 4, 4, kFixed}});
  const auto bridge_only = edges_of({{1, 1, 2}, {2, 2, 3}, {3, 3, 4}, {4, 4, 5}});
  const auto with_shortcut = edges_of({{1, 1, 2}, {2, 2, 3}, {3, 3, 4}, {4, 4, 5}, {5, 1, 3}});
  const auto leaf = edges_of({{1, 1, 2}, {2, 2, 3}, {3, 3, 4}, {5, 1, 3}, {6, 3, 5}});
  const auto fixed_leaf = edges_of({{1, 1, 2}, {2, 2, 3}, {3, 3, 4}, {4, 4, 5}, {5, 2, 4}});
  evocore::Rng rng(0);
  const auto specialization = on_grid(5, 5);
  const auto remove = [&](uint64_t id, const EdgeMap& edges) {
    return specialization.remove_node(nodes.at(id), kUnused, kUnused, kUnused, nodes, edges, rng);
  };
  const auto remove_single = [&](uint64_t id, const EdgeMap& edges) {
    return specialization.remove_node_single(nodes.at(id), kUnused, nodes, edges);
  };
  EXPECT_FALSE(remove(2, bridge_only));
  EXPECT_TRUE(remove(2, with_shortcut));
  EXPECT_TRUE(remove_single(4, leaf));
  EXPECT_FALSE(remove_single(5, fixed_leaf));  // fixed nodes never go
  EXPECT_FALSE(remove(3, with_shortcut));
}

TEST(WeaveMoveNode, SigmaZeroKeepsThePositionAndDrawsTwoNormals) {
  auto nodes = nodes_of({{1, 2, 3}, {2, 0, 0, kFixed}});
  EdgeMap edges;
  evocore::Rng rng(9), replay(9);
  on_grid(5, 5, 1.0, 0.0).mutate_structure(nodes, edges, rng);
  EXPECT_EQ(nodes.at(1).data.pos, (Cell{2, 3}));
  replay.index(1);
  replay.normal();
  replay.normal();
  EXPECT_TRUE(same_stream(rng, replay));
}

TEST(WeaveMoveNode, ProbabilityAndCandidates) {
  auto nodes = nodes_of({{1, 2, 3}});
  EdgeMap edges;
  evocore::Rng rng(9), replay(9);
  on_grid(5, 5, 0.0, 100.0).mutate_structure(nodes, edges, rng);
  EXPECT_EQ(nodes.at(1).data.pos, (Cell{2, 3}));
  replay.uniform01();
  EXPECT_TRUE(same_stream(rng, replay));
  EXPECT_THROW(on_grid(5, 5, 1.5).mutate_structure(nodes, edges, rng), evocore::InternalError);

  auto fixed_only = nodes_of({{1, 2, 3, kFixed}});
  on_grid(5, 5, 1.0, 100.0).mutate_structure(fixed_only, edges, rng);
  EXPECT_EQ(fixed_only.at(1).data.pos, (Cell{2, 3}));
}

TEST(WeaveMoveNode, ClampsToTheBorderAndAvoidsOccupiedCells) {
  EdgeMap edges;
  evocore::Rng rng(17);
  for (int round = 0; round < 20; ++round) {
    auto nodes = nodes_of({{1, 1, 1}});
    on_grid(3, 3, 1.0, 1e12).mutate_structure(nodes, edges, rng);
    const Cell pos = nodes.at(1).data.pos;
    EXPECT_TRUE((pos.row == 0 || pos.row == 2) && (pos.column == 0 || pos.column == 2));
  }
  // On a 1 x 1 grid every move lands on (0, 0).
  auto blocked = nodes_of({{1, 5, 5}, {2, 0, 0, kFixed}});
  on_grid(1, 1, 1.0, 1.0).mutate_structure(blocked, edges, rng);
  EXPECT_EQ(blocked.at(1).data.pos, (Cell{5, 5}));
  auto free = nodes_of({{1, 5, 5}});
  on_grid(1, 1, 1.0, 1.0).mutate_structure(free, edges, rng);
  EXPECT_EQ(free.at(1).data.pos, (Cell{0, 0}));
}
