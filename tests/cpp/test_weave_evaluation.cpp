#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "weave/evaluation/connectivity.hpp"
#include "weave/evaluation/evaluate.hpp"
#include "weave/evaluation/traces.hpp"
#include "weave/genome_evaluation.hpp"
#include "weave_graphs.hpp"

using namespace weave;
using namespace weave::testing;

namespace {

constexpr auto kSingle = EvaluationStrategy::SingleObjective;
constexpr auto kMulti = EvaluationStrategy::MultiObjectiveBridge;
const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

struct OwnedCostMap {
  uint64_t rows, cols;
  std::vector<double> values;
  OwnedCostMap(uint64_t r, uint64_t c, double fill) : rows(r), cols(c), values(r * c, fill) {}
  double& at(uint64_t x, uint64_t y) { return values[x * cols + y]; }
  CostMap view() const { return {rows, cols, values.data()}; }
};

// The evaluation as first described: dense traces, then every cell of the map.
double dense_reference_fitness(const WeaveNodeMap& nodes, const EdgeMap& edges, const OwnedCostMap& map) {
  if (!is_connected(nodes, edges)) return 0.0;
  const auto traces = compute_traces(map.rows, map.cols, nodes, edges);
  double cost = 0.0;
  for (size_t i = 0; i < traces.size(); ++i) cost += traces[i] * map.values[i];
  return 1.0 / std::max(cost, 1e-7);
}

const auto kEdge03 = nodes_of({{1, 0, 0}, {2, 3, 0}});

}  // namespace

TEST(WeaveEvaluate, WorkedScores) {
  struct Case {
    const char* name;
    WeaveNodeMap nodes;
    EdgeMap edges;
    double cost_fill;
    double fitness;
    double redundancy;  // second objective
  };
  const Case cases[] = {
      {"no nodes", {}, {}, 1.0, 1e7, 1.0},
      {"unconnected pair", kEdge03, edges_of({{1, 1, 2, false}}), 1.0, 0.0, 0.0},
      {"straight edge", kEdge03, edges_of({{1, 1, 2}}), 1.0, 1.0 / 0.75, 0.0},
      {"zero costs", kEdge03, edges_of({{1, 1, 2}}), 0.0, 1e7, 0.0},
      {"negative costs", kEdge03, edges_of({{1, 1, 2}}), -1.0, 1e7, 0.0},
      {"outside the map", nodes_of({{1, 7, 7}, {2, 9, 7}}), edges_of({{1, 1, 2}}), 1.0, 1e7, 0.0},
      {"triangle", nodes_of({{1, 0, 0}, {2, 3, 0}, {3, 0, 3}}), edges_of({{1, 1, 2}, {2, 2, 3}, {3, 3, 1}}),
       0.0, 1e7, 1.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const OwnedCostMap map(4, 4, c.cost_fill);
    const auto single = evaluate_genome(c.nodes, c.edges, kSingle, map.view());
    EXPECT_DOUBLE_EQ(single.fitness, c.fitness);
    EXPECT_FALSE(single.objectives.has_value());
    const auto multi = evaluate_genome(c.nodes, c.edges, kMulti, map.view());
    EXPECT_DOUBLE_EQ(multi.fitness, c.fitness);
    ASSERT_TRUE(multi.objectives.has_value());
    ASSERT_EQ(multi.objectives->size(), 2u);
    EXPECT_DOUBLE_EQ((*multi.objectives)[0], c.fitness);
    EXPECT_DOUBLE_EQ((*multi.objectives)[1], c.redundancy);
  }
}

TEST(WeaveEvaluate, OnlyTouchedCellsEnterTheCost) {
  const auto edges = edges_of({{1, 1, 2}});
  OwnedCostMap map(4, 4, 1.0);
  map.at(3, 3) = kNaN;
  map.at(2, 2) = kInf;
  EXPECT_DOUBLE_EQ(evaluate_genome(kEdge03, edges, kSingle, map.view()).fitness, 1.0 / 0.75);
  map.at(1, 0) = kInf;
  EXPECT_EQ(evaluate_genome(kEdge03, edges, kSingle, map.view()).fitness, 0.0);
  map.at(1, 0) = kNaN;  // impassable like +inf
  EXPECT_EQ(evaluate_genome(kEdge03, edges, kSingle, map.view()).fitness, 0.0);
}

TEST(WeaveEvaluate, GenomeFormWritesScoresByStrategy) {
  auto config = config_of(4, 4);
  const OwnedCostMap ones(4, 4, 1.0);
  auto genome = genome_of(config, nodes_of({{1, 0, 0}, {2, 3, 0}}), {});
  genome.objectives = std::vector<double>{5.0};
  evaluate_genome(genome, ones.view());
  EXPECT_EQ(genome.fitness, 0.0);
  EXPECT_EQ(genome.objectives, std::vector<double>{5.0});  // left alone under SingleObjective

  genome.specialization.config.edit([](WeaveConfig& config) { config.evaluation_strategy = kMulti; });
  genome.edges = edges_of({{1, 1, 2}});
  evaluate_genome(genome, ones.view());
  EXPECT_DOUBLE_EQ(genome.fitness, 1.0 / 0.75);
  ASSERT_TRUE(genome.objectives.has_value());
  EXPECT_DOUBLE_EQ((*genome.objectives)[1], 0.0);
}

TEST(WeaveEvaluate, MalformedGenomeFailsAndKeepsItsScores) {
  // Both listed nodes reach one missing id each, so the network passes as connected.
  auto genome =
      genome_of(config_of(4, 4), nodes_of({{1, 0, 0}, {2, 3, 0}}), edges_of({{1, 1, 3}, {2, 2, 4}}));
  genome.fitness = 42.0;
  EXPECT_THROW(evaluate_genome(genome, OwnedCostMap(4, 4, 1.0).view()), evocore::InternalError);
  EXPECT_EQ(genome.fitness, 42.0);
}

TEST(WeaveEvaluate, SparseCostMatchesDenseReference) {
  evocore::Rng rng(3);
  for (int round = 0; round < 200; ++round) {
    const auto rows = static_cast<int32_t>(rng.uniform_int(1, 48)),
               cols = static_cast<int32_t>(rng.uniform_int(1, 48));
    OwnedCostMap map(rows, cols, 0.0);
    for (double& cost : map.values) cost = 0.05 + 2.0 * rng.uniform01();
    const auto [nodes, edges] =
        random_network(rng, rows, cols, static_cast<int>(rng.uniform_int(1, 15)), 10, !rng.bernoulli(0.1));
    const auto evaluation = evaluate_genome(nodes, edges, kMulti, map.view());
    expect_relative_near(evaluation.fitness, dense_reference_fitness(nodes, edges, map));
    expect_relative_near((*evaluation.objectives)[1],
                         evaluation.fitness > 0.0 ? 1.0 - calculate_bridge_share(nodes, edges) : 0.0);
  }
}
