// Exact local polish and key-path exchange.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "localsearch/exchange.hpp"
#include "localsearch/polish.hpp"
#include "weave/evaluation/connectivity.hpp"
#include "weave_graphs.hpp"

namespace {

using namespace weave;
using namespace weave::testing;

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
  for (uint64_t y = 0; y + 4 < cols; ++y) map.cells[(rows / 2) * cols + y] = 200.0;  // a wall with a gap
  return map;
}

// A random tree over some fixed and flexible nodes on distinct cells, plus
// optionally one extra edge (a cycle) and a disabled edge.
Genome random_network(unsigned seed, bool with_cycle) {
  std::mt19937 rng(seed);
  WeaveNodeMap nodes;
  EdgeMap edges;
  std::set<std::pair<int32_t, int32_t>> used;
  const uint64_t count = 4 + seed % 9;
  for (uint64_t id = 1; id <= count; ++id) {
    Cell pos;
    do pos = {int32_t(rng() % 30), int32_t(rng() % 24)};
    while (!used.insert({pos.row, pos.column}).second);
    nodes[id] = WeaveNode{id, {pos, id <= 3 ? NodeType::Fixed : NodeType::Flexible}};
  }
  uint64_t edge_id = 1;
  for (uint64_t id = 2; id <= count; ++id)
    edges[edge_id] = Edge{edge_id, 1 + rng() % (id - 1), id, true}, ++edge_id;
  if (with_cycle) edges[edge_id] = Edge{edge_id, 2, count, true}, ++edge_id;
  edges[edge_id] = Edge{edge_id, 1, count, false};
  auto genome = genome_of(config_of(30, 24), std::move(nodes), std::move(edges));
  evocore::seed_registry(*genome.state, genome.nodes, genome.edges);
  return genome;
}

class PolishProperties : public ::testing::TestWithParam<std::tuple<unsigned, bool, bool>> {};

TEST_P(PolishProperties, NeverRaisesTheCostKeepsFixedNodesAndConnectivity) {
  const auto [seed, with_cycle, exchange] = GetParam();
  const Map map = random_map(30, 24, seed);
  Genome genome = random_network(seed, with_cycle);
  std::vector<std::pair<uint64_t, Cell>> fixed;
  for (const auto& [id, node] : genome.nodes)
    if (node.data.type == NodeType::Fixed) fixed.emplace_back(id, node.data.pos);
  localsearch::PolishOptions options;
  options.exchange_paths = exchange;
  const auto outcome = localsearch::polish_genome(genome, map.view(), options);

  EXPECT_LE(outcome.cost_after, outcome.cost_before * (1 + 1e-12));
  EXPECT_DOUBLE_EQ(outcome.cost_after, trace_cost(genome.nodes, genome.edges, map.view()));
  EXPECT_DOUBLE_EQ(
      genome.fitness,
      evaluate_genome(genome.nodes, genome.edges, EvaluationStrategy::SingleObjective, map.view()).fitness);
  EXPECT_TRUE(is_connected(genome.nodes, genome.edges));
  for (const auto& [id, pos] : fixed) {
    ASSERT_TRUE(genome.nodes.contains(id));
    EXPECT_EQ(genome.nodes.at(id).data.pos, pos);
  }
  std::set<std::pair<int32_t, int32_t>> cells;
  for (const auto& [id, node] : genome.nodes) {
    EXPECT_TRUE(cells.insert({node.data.pos.row, node.data.pos.column}).second) << "two nodes share a cell";
    EXPECT_LT(uint64_t(node.data.pos.row), map.rows);
    EXPECT_LT(uint64_t(node.data.pos.column), map.cols);
  }
  for (const auto& [id, edge] : genome.edges) {
    EXPECT_TRUE(genome.nodes.contains(edge.node1) && genome.nodes.contains(edge.node2));
    EXPECT_EQ(genome.state->get_edge_id(edge.node1, edge.node2), id) << "edge numbers follow the registry";
  }
  // A second polish finds nothing more to change.
  EXPECT_EQ(localsearch::polish_genome(genome, map.view(), options).cost_after, outcome.cost_after);
}

INSTANTIATE_TEST_SUITE_P(RandomNetworks, PolishProperties,
                         ::testing::Combine(::testing::Range(0u, 16u), ::testing::Bool(), ::testing::Bool()));

TEST(Polish, RemovesUselessFlexibleNodesAndBendsAroundAWall) {
  Map flat{20, 20, std::vector<double>(400, 1.0)};
  // A straight line with a bend on it and a dangling flexible leaf.
  Genome genome =
      genome_of(config_of(20, 20),
                nodes_of({{1, 2, 2, NodeType::Fixed}, {2, 2, 17, NodeType::Fixed}, {3, 2, 9}, {4, 9, 9}}),
                edges_of({{1, 1, 3}, {2, 3, 2}, {3, 3, 4}}));
  evocore::seed_registry(*genome.state, genome.nodes, genome.edges);
  localsearch::polish_genome(genome, flat.view(), {});
  EXPECT_EQ(genome.nodes.size(), 2u);
  size_t enabled = 0;
  for (const auto& [id, edge] : genome.edges) enabled += edge.enabled;
  EXPECT_EQ(enabled, 1u);

  Map walled = flat;
  for (uint64_t y = 0; y < 20; ++y)
    if (y < 16) walled.cells[10 * 20 + y] = 1000.0;
  Genome crossing =
      genome_of(config_of(20, 20), nodes_of({{1, 2, 8, NodeType::Fixed}, {2, 18, 8, NodeType::Fixed}}),
                edges_of({{1, 1, 2}}));
  evocore::seed_registry(*crossing.state, crossing.nodes, crossing.edges);
  const auto outcome = localsearch::polish_genome(crossing, walled.view(), {});
  EXPECT_LT(outcome.cost_after * 10, outcome.cost_before);
  EXPECT_GT(crossing.nodes.size(), 2u);
}

TEST(Polish, LeavesADisconnectedNetworkAlone) {
  const Map map = random_map(30, 24, 3);
  Genome genome = genome_of(config_of(30, 24), nodes_of({{1, 2, 2, NodeType::Fixed}, {2, 20, 20}, {3, 5, 5}}),
                            edges_of({{1, 2, 3}}));
  const auto outcome = localsearch::polish_genome(genome, map.view(), {});
  EXPECT_EQ(outcome.changes, 0u);
  EXPECT_EQ(genome.nodes.at(2).data.pos, (Cell{20, 20}));
  EXPECT_EQ(genome.fitness, 0.0);
}

}  // namespace

namespace {

TEST(Polish, BreaksCyclesOnlyUnderTheSingleObjective) {
  Map flat{20, 20, std::vector<double>(400, 1.0)};
  for (auto strategy : {EvaluationStrategy::SingleObjective, EvaluationStrategy::MultiObjectiveBridge}) {
    WeaveConfig config = config_of(20, 20);
    config.evaluation_strategy = strategy;
    Genome genome = genome_of(
        config,
        nodes_of({{1, 2, 2, NodeType::Fixed}, {2, 2, 17, NodeType::Fixed}, {3, 17, 2, NodeType::Fixed}}),
        edges_of({{1, 1, 2}, {2, 2, 3}, {3, 1, 3}}));
    genome.config.edit([&](auto& settings) { settings.special = config; });
    evocore::seed_registry(*genome.state, genome.nodes, genome.edges);
    localsearch::polish_genome(genome, flat.view(), {});
    size_t enabled = 0;
    for (const auto& [id, edge] : genome.edges) enabled += edge.enabled;
    if (strategy == EvaluationStrategy::SingleObjective) {
      EXPECT_EQ(enabled, 2u);
      EXPECT_FALSE(genome.edges.at(2).enabled) << "the longest edge of the triangle goes";
    } else {
      EXPECT_GE(enabled, 3u) << "redundancy stays under the bridge objective";
    }
  }
}

}  // namespace

namespace {

TEST(Polish, NodesFarOutsideTheMapMoveInsideWithoutOverflow) {
  Map flat{20, 20, std::vector<double>(400, 1.0)};
  constexpr int32_t kFar = 2147483647;
  Genome genome = genome_of(
      config_of(20, 20),
      nodes_of({{1, 2, 2, NodeType::Fixed}, {2, kFar, kFar}, {3, -kFar, 5}, {4, 17, 17, NodeType::Fixed}}),
      edges_of({{1, 1, 2}, {2, 2, 4}, {3, 3, 1}}));
  evocore::seed_registry(*genome.state, genome.nodes, genome.edges);
  const auto outcome = localsearch::polish_genome(genome, flat.view(), {});
  EXPECT_LE(outcome.cost_after, outcome.cost_before);
  for (const auto& [id, node] : genome.nodes) {
    if (node.data.type == NodeType::Fixed) continue;
    EXPECT_LT(uint64_t(node.data.pos.row), 20u);
    EXPECT_LT(uint64_t(node.data.pos.column), 20u);
  }
}

}  // namespace

namespace {

TEST(Polish, KeepsTrianglesUnderTheBridgeObjective) {
  Map flat{20, 20, std::vector<double>(400, 1.0)};
  WeaveConfig config = config_of(20, 20);
  config.evaluation_strategy = EvaluationStrategy::MultiObjectiveBridge;
  // Node 3 closes a triangle with the edge 1-2: dropping it would open the cycle.
  Genome genome =
      genome_of(config, nodes_of({{1, 2, 2, NodeType::Fixed}, {2, 2, 17, NodeType::Fixed}, {3, 6, 9}}),
                edges_of({{1, 1, 2}, {2, 1, 3}, {3, 3, 2}}));
  genome.config.edit([&](auto& settings) { settings.special = config; });
  evocore::seed_registry(*genome.state, genome.nodes, genome.edges);
  localsearch::PolishOptions options;
  options.split_edges = false;
  localsearch::polish_genome(genome, flat.view(), options);
  EXPECT_TRUE(genome.nodes.contains(3));
  EXPECT_DOUBLE_EQ(genome.objectives->at(1), 1.0);
}

TEST(Polish, ForksNoBridgeIntoACycleUnderTheBridgeObjective) {
  Map flat{40, 40, std::vector<double>(1600, 1.0)};
  WeaveConfig config = config_of(40, 40);
  config.evaluation_strategy = EvaluationStrategy::MultiObjectiveBridge;
  // A triangle of terminals: a Steiner point at a corner would hang that corner on a bridge.
  Genome genome = genome_of(
      config,
      nodes_of({{1, 2, 2, NodeType::Fixed}, {2, 2, 37, NodeType::Fixed}, {3, 32, 20, NodeType::Fixed}}),
      edges_of({{1, 1, 2}, {2, 2, 3}, {3, 3, 1}}));
  genome.config.edit([&](auto& settings) { settings.special = config; });
  evocore::seed_registry(*genome.state, genome.nodes, genome.edges);
  const auto outcome = localsearch::polish_genome(genome, flat.view(), {});
  EXPECT_LE(outcome.cost_after, outcome.cost_before);
  EXPECT_DOUBLE_EQ(genome.objectives->at(1), 1.0);
}

}  // namespace
