#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "evocore/crossover.hpp"
#include "evocore/mutation.hpp"
#include "evocore/population_init.hpp"
#include "toy_specialization.hpp"

using namespace toy;
using evocore::Rng;

namespace {

// Path 1-2-3 with edge ids 1 (1-2) and 2 (2-3).
Genome path_genome(Config config = quiet_config()) {
  return make_genome({1, 2, 3}, {{1, 1, 2, true}, {2, 2, 3, true}}, 0, config);
}

void set_all_probabilities(Config& config, double p) {
  config.add_node_mutation_prob = config.add_edge_mutation_prob = config.remove_edge_mutation_prob = p;
  config.remove_node_mutation_prob = config.remove_node_single_mutation_prob = p;
}

bool same_structure(const Genome& a, const Genome& b) {
  if (a.nodes.size() != b.nodes.size() || a.edges.size() != b.edges.size()) return false;
  for (const auto& [id, node] : a.nodes)
    if (!b.nodes.contains(id) || b.nodes.at(id).data != node.data) return false;
  for (const auto& [id, e] : a.edges) {
    if (!b.edges.contains(id)) return false;
    const Edge& f = b.edges.at(id);
    if (f.node1 != e.node1 || f.node2 != e.node2 || f.enabled != e.enabled) return false;
  }
  return true;
}

}  // namespace

TEST(EngineMutation, EliteUntouchedAndZeroProbabilitiesDrawFiveTimes) {
  Config all_one = quiet_config();
  set_all_probabilities(all_one, 1.0);
  Genome elite = path_genome(all_one);
  elite.elite = true;
  const Genome before = elite;
  Rng rng(1), untouched(1);
  evocore::mutate(elite, rng);
  EXPECT_TRUE(same_structure(elite, before));
  EXPECT_EQ(rng.next_u64(), untouched.next_u64());

  Genome plain = path_genome();
  Rng counted(2), reference(2);
  evocore::mutate(plain, counted);
  for (int i = 0; i < 5; ++i) reference.uniform01();
  EXPECT_TRUE(same_structure(plain, path_genome()));
  EXPECT_EQ(counted.next_u64(), reference.next_u64());
}

// One operator at probability 1 on a given genome: expected counts afterwards.
struct StepCase {
  const char* name;
  double Config::* probability;
  std::vector<uint64_t> nodes;
  std::vector<Edge> edges;
  bool allow;
  size_t node_count, edge_count, enabled_count;
  uint64_t node_counter, edge_counter;  // registry afterwards
};

class EngineMutationStep : public testing::TestWithParam<StepCase> {};

TEST_P(EngineMutationStep, AppliesOneOperator) {
  const StepCase& c = GetParam();
  Config config = quiet_config();
  config.*c.probability = 1.0;
  ToySpecialization special;
  special.allow_add_node = special.allow_remove_edge = special.allow_remove_node =
      special.allow_remove_single = c.allow;
  Genome genome = make_genome(c.nodes, c.edges, 0, config, special);
  Rng rng(7);
  evocore::mutate(genome, rng);
  size_t enabled = 0;
  for (const auto& [id, edge] : genome.edges) {
    enabled += edge.enabled;
    EXPECT_EQ(genome.state->get_edge_id(edge.node1, edge.node2), id);
    EXPECT_TRUE(genome.nodes.contains(edge.node1) && genome.nodes.contains(edge.node2));
  }
  EXPECT_EQ(genome.nodes.size(), c.node_count);
  EXPECT_EQ(genome.edges.size(), c.edge_count);
  EXPECT_EQ(enabled, c.enabled_count);
  EXPECT_EQ(genome.state->node_counter(), c.node_counter);
  EXPECT_EQ(genome.state->edge_counter(), c.edge_counter);
}

const Edge e12{1, 1, 2, true}, e23{2, 2, 3, true}, e12_off{1, 1, 2, false}, e23_off{2, 2, 3, false};
INSTANTIATE_TEST_SUITE_P(
    Cases, EngineMutationStep,
    testing::Values(
        StepCase{"SplitsAnEnabledEdge",
                 &Config::add_node_mutation_prob,
                 {1, 2, 3},
                 {e12, e23},
                 true,
                 4,
                 4,
                 3,
                 4,
                 4},
        StepCase{"RefusedSplitKeepsNumbers",
                 &Config::add_node_mutation_prob,
                 {1, 2, 3},
                 {e12, e23},
                 false,
                 3,
                 2,
                 2,
                 4,
                 4},
        StepCase{"NoSplitWhenAllDisabled",
                 &Config::add_node_mutation_prob,
                 {1, 2, 3},
                 {e12_off, e23_off},
                 true,
                 3,
                 2,
                 0,
                 3,
                 2},
        StepCase{"OneNodeGetsNoEdge", &Config::add_edge_mutation_prob, {1}, {}, true, 1, 0, 0, 1, 0},
        StepCase{
            "JoinedPairGetsNoEdge", &Config::add_edge_mutation_prob, {1, 2}, {e12_off}, true, 2, 1, 0, 2, 1},
        StepCase{"AddsTheMissingPair",
                 &Config::add_edge_mutation_prob,
                 {1, 2, 3},
                 {e12, e23},
                 true,
                 3,
                 3,
                 3,
                 3,
                 3},
        StepCase{"DisablesAnEdge", &Config::remove_edge_mutation_prob, {1, 2}, {e12}, true, 2, 1, 0, 2, 1},
        StepCase{"DisabledEdgeStaysDisabled",
                 &Config::remove_edge_mutation_prob,
                 {1, 2},
                 {e12_off},
                 true,
                 2,
                 1,
                 0,
                 2,
                 1},
        StepCase{"BridgesTheMiddleNode",
                 &Config::remove_node_mutation_prob,
                 {1, 2, 3},
                 {e12, e23},
                 true,
                 2,
                 1,
                 1,
                 3,
                 3},
        StepCase{"RefusedBridgeRegistersPair",
                 &Config::remove_node_mutation_prob,
                 {1, 2, 3},
                 {e12, e23},
                 false,
                 3,
                 2,
                 2,
                 3,
                 3},
        StepCase{"RemovesALeaf",
                 &Config::remove_node_single_mutation_prob,
                 {1, 2, 3},
                 {e12, e23},
                 true,
                 2,
                 1,
                 1,
                 3,
                 2},
        StepCase{"LeafWithDisabledEdgeIsNoLeaf",
                 &Config::remove_node_single_mutation_prob,
                 {1, 2},
                 {e12_off},
                 true,
                 2,
                 1,
                 0,
                 2,
                 1}),
    [](const testing::TestParamInfo<StepCase>& info) { return std::string(info.param.name); });

TEST(EngineMutation, SplitAndBridgeDetails) {
  Config config = quiet_config();
  config.add_node_mutation_prob = 1.0;
  Genome split = make_genome({1, 2}, {e12}, 0, config);
  Rng rng(3);
  evocore::mutate(split, rng);
  EXPECT_FALSE(split.edges.at(1).enabled);
  EXPECT_EQ(split.nodes.at(3).data, 7);
  const Edge& first = split.edges.at(2);
  const Edge& second = split.edges.at(3);
  EXPECT_TRUE(first.node1 == 1 && first.node2 == 3 && second.node1 == 3 && second.node2 == 2);

  // The bridge replaces a disabled edge of the same pair, enabling it again.
  config = quiet_config();
  config.remove_node_mutation_prob = 1.0;
  Genome bridged = make_genome({1, 2, 3}, {e12, e23, {3, 3, 1, false}, {4, 2, 2, false}}, 0, config);
  evocore::mutate(bridged, rng);
  ASSERT_EQ(bridged.edges.size(), 1u);
  EXPECT_TRUE(bridged.edges.at(3).enabled);
  EXPECT_EQ(bridged.edges.at(3).node1 + bridged.edges.at(3).node2, 4u);
}

TEST(EngineMutation, BadProbabilitiesAndMissingNodesFail) {
  for (double bad : {-0.1, 1.5, std::nan("")}) {
    Config config = quiet_config();
    config.add_node_mutation_prob = 1.0;
    config.remove_edge_mutation_prob = bad;
    Genome genome = path_genome(config);
    Rng rng(4);
    EXPECT_THROW(evocore::mutate(genome, rng), evocore::InternalError);
    EXPECT_EQ(genome.nodes.size(), 4u);  // the earlier step's change remains
  }
  Config config = quiet_config();
  config.add_node_mutation_prob = 1.0;
  Genome dangling = make_genome({1}, {{1, 1, 9, true}}, 0, config);
  Rng rng(5);
  EXPECT_THROW(evocore::mutate(dangling, rng), evocore::InternalError);
}

TEST(EngineCrossover, FitterParentGivesStructureAndFlags) {
  auto state = std::make_shared<evocore::PopulationState>();
  Config config = quiet_config();
  // Edge 5 is stored reversed in the second parent and disabled in the fitter one.
  Genome fitter = make_genome({3, 7, 8}, {{5, 3, 7, false}, {6, 7, 8, true}}, 0, config, {}, state);
  Genome weaker = make_genome({3, 7, 9}, {{5, 7, 3, true}, {9, 3, 9, true}}, 0, config, {}, state);
  fitter.fitness = 2.0;
  fitter.elite = true;
  std::set<uint64_t> first_ends;
  for (uint64_t seed = 0; seed < 40; ++seed) {
    Rng rng(seed), reference(seed);
    const Genome child = evocore::crossover(weaker, fitter, rng);
    reference.uniform01();  // one draw for the one matching edge
    EXPECT_EQ(rng.next_u64(), reference.next_u64());
    ASSERT_EQ(child.edges.size(), 2u);
    EXPECT_FALSE(child.edges.at(5).enabled);
    first_ends.insert(child.edges.at(5).node1);
    EXPECT_EQ(child.nodes.size(), 3u);
    EXPECT_TRUE(child.nodes.contains(8));
    EXPECT_TRUE(child.fitness == 0.0 && !child.elite && !child.objectives && child.state == state);
  }
  EXPECT_EQ(first_ends, (std::set<uint64_t>{3, 7}));
}

TEST(EngineCrossover, DisabledCrossoverClonesTheFitterParent) {
  Config config = quiet_config();
  config.crossover_enabled = false;
  Genome first = make_genome({1, 2}, {e12}, 1, config);
  Genome second = make_genome({1}, {}, 2, config);
  first.fitness = second.fitness = 3.0;  // a tie goes to the second parent
  second.elite = true;
  second.objectives = std::vector<double>{1.0, 2.0};
  Rng rng(1), reference(1);
  const Genome child = evocore::crossover(first, second, rng);
  EXPECT_EQ(rng.next_u64(), reference.next_u64());
  EXPECT_TRUE(same_structure(child, second));
  EXPECT_TRUE(child.elite && child.fitness == 3.0 && child.objectives == second.objectives);
}

TEST(EngineInitialize, StartGenomeSeedsRegistryAndMembersStartFresh) {
  Config config = quiet_config();
  config.population_size = 6;
  config.add_edge_mutation_prob = 1.0;
  Population population = Population::create(config, {});
  Genome start = make_genome({1, 2, 40}, {{12, 1, 2, true}, {3, 2, 40, true}});
  start.fitness = 5.0;
  start.objectives = std::vector<double>{1.0};
  Rng rng(11);
  evocore::initialize(population, start, rng);
  ASSERT_EQ(population.members.size(), 6u);
  EXPECT_EQ(population.state->node_counter(), 40u);
  EXPECT_EQ(population.state->edge_counter(), 13u);  // 12 seeded, then pair 1-40 got 13 in every member
  for (const auto& member : population.members) {
    const auto genome = member.read();
    EXPECT_TRUE(genome->fitness == 0.0 && !genome->objectives);
    EXPECT_EQ(genome->edges.size(), 3u);
    EXPECT_TRUE(genome->edges.contains(13));
  }
  EXPECT_EQ(population.species.size(), 1u);
}

TEST(EngineSettings, MembersClonesAndChildrenShareThePopulationsSettings) {
  Config config = quiet_config();
  config.population_size = 4;
  Population population = Population::create(config, {});
  Rng rng(5);
  evocore::initialize(population, std::nullopt, rng);
  const Genome first = population.members.front().read()->clone();
  for (const auto& member : population.members) EXPECT_TRUE(member.read()->config.shares(population.config));
  const Genome second = population.members.back().read()->clone();
  EXPECT_TRUE(evocore::crossover(first, second, rng).config.shares(population.config));
  Genome changed = first.clone();
  changed.config.edit([](Config& settings) { settings.c1 = 7.0; });  // a copy of its own
  EXPECT_TRUE(!changed.config.shares(population.config) && changed.config->c1 == 7.0);
  EXPECT_EQ(population.config->c1, config.c1);
  EXPECT_TRUE(first.config.shares(population.config));
}

TEST(EngineInitialize, SpecializationGenomeAndSizes) {
  for (uint64_t size : {0u, 1u}) {
    Config config = quiet_config();
    config.population_size = size;
    Population population = Population::create(config, {});
    Rng rng(12);
    evocore::initialize(population, std::nullopt, rng);
    EXPECT_EQ(population.members.size(), size);
    EXPECT_EQ(population.species.size(), size);
    EXPECT_EQ(population.state->node_counter(), 3u);
    EXPECT_EQ(population.state->edge_counter(), 2u);
  }
}
