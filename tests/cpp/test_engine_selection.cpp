#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "evocore/reproduction.hpp"
#include "evocore/selection.hpp"
#include "toy_specialization.hpp"

using namespace toy;
using evocore::Rng;

namespace {

std::vector<Handle> labelled_range(int first, int count, double fitness = 0.0,
                                   Config config = quiet_config()) {
  std::vector<Handle> genomes;
  for (int i = 0; i < count; ++i) genomes.push_back(labelled(first + i, fitness, config));
  return genomes;
}

std::vector<int> labels_of(const std::vector<Handle>& genomes) {
  std::vector<int> labels;
  for (const auto& genome : genomes) labels.push_back(ToySpecialization::label(genome.read()->nodes));
  return labels;
}

// Species given as lists of (label, fitness); members in the same order.
Population speciated(const std::vector<std::vector<std::pair<int, double>>>& groups, Config config) {
  Population population = Population::create(config, {});
  for (const auto& group : groups) {
    evocore::Species<ToySpecialization> species{make_genome({1}, {}), config, {}};
    for (auto [label, fitness] : group) {
      species.members.push_back(labelled(label, fitness, config));
      population.members.push_back(species.members.back());
    }
    population.species.push_back(std::move(species));
  }
  return population;
}

}  // namespace

TEST(EngineSelect, NeatKeepsCandidatesInOrderAndSpeciates) {
  Population population = Population::create(quiet_config(), {});
  population.members = labelled_range(90, 4);
  Rng rng(1);
  evocore::select(population, labelled_range(10, 3, 5.0), labelled_range(20, 3, 9.0), labelled_range(0, 6),
                  rng);
  EXPECT_EQ(labels_of(population.members), (std::vector<int>{0, 1, 2, 3, 4, 5, 10, 11, 12, 20}));
  size_t speciated_members = 0;
  for (const auto& species : population.species) speciated_members += species.members.size();
  EXPECT_EQ(speciated_members, 10u);
}

TEST(EngineSelect, RankingStrategiesSortStablyWithOldMembers) {
  for (auto strategy : {evocore::SelectionStrategy::NSGA2, evocore::SelectionStrategy::SPEA2}) {
    Config config = quiet_config();
    config.selection_strategy = strategy;
    config.population_size = 5;
    Population population = Population::create(config, {});
    population.members = {labelled(90, 1.0), labelled(91, std::nan("")), labelled(92, 3.0)};
    const Handle old_best = population.members[2];
    Rng rng(2);
    evocore::select(population, {old_best}, {labelled(20, 1.0)}, {labelled(0, 1.0), labelled(1, 2.0)}, rng);
    EXPECT_EQ(labels_of(population.members), (std::vector<int>{92, 92, 1, 0, 20}));
    config.population_size = 100;  // fewer candidates than the size: all kept, NaN last
    population.config = config;
    evocore::select(population, {}, {}, {}, rng);
    EXPECT_EQ(labels_of(population.members), (std::vector<int>{92, 92, 1, 0, 20}));
    evocore::select(population, {}, {}, {labelled(7, std::nan(""))}, rng);
    EXPECT_EQ(labels_of(population.members).back(), 7);
  }
}

TEST(EngineSelect, EveryStrategyRebuildsTheSpeciesFromTheNewMembers) {
  for (auto strategy : {evocore::SelectionStrategy::NEAT, evocore::SelectionStrategy::NSGA2,
                        evocore::SelectionStrategy::SPEA2}) {
    Config config = quiet_config();
    config.selection_strategy = strategy;
    config.population_size = 3;
    Population population = speciated({{{90, 1.0}, {91, 2.0}}, {{92, 3.0}}}, config);
    const Handle leaving = population.members[0];  // the least fit old member
    Rng rng(3);
    evocore::select(population, {}, {}, {labelled(0, 5.0), labelled(1, 4.0)}, rng);
    size_t speciated_members = 0;
    for (const auto& species : population.species)
      for (const auto& member : species.members) {
        ++speciated_members;
        EXPECT_TRUE(std::any_of(population.members.begin(), population.members.end(),
                                [&](const Handle& m) { return m.same_as(member); }));
      }
    EXPECT_EQ(speciated_members, population.members.size());
    EXPECT_EQ(leaving.use_count(), 1) << "a genome that left is held only here";
  }
}

TEST(EngineTournament, FirstDrawKeepsTiesAndNanNeverWins) {
  struct Case {
    uint64_t size;
    std::vector<double> fitness;
  };
  for (const Case& c :
       {Case{0, {1, 5, 3}}, Case{1, {1, 5, 3}}, Case{6, {2, 2, 2}}, Case{9, {std::nan(""), 1.0}}}) {
    Config config = quiet_config();
    config.tournament_size = c.size;
    Population population = Population::create(config, {});
    for (double f : c.fitness) population.members.push_back(labelled(0, f));
    for (uint64_t seed = 0; seed < 20; ++seed) {
      Rng rng(seed), reference(seed);
      const Handle& winner = evocore::tournament_select(population, rng);
      EXPECT_TRUE(winner.same_as(population.members[reference.index(c.fitness.size())]));
    }
  }
  Population population = Population::create(quiet_config(), {});
  population.members = {labelled(0, 1.0), labelled(1, 2.0)};
  population.config.edit([](Config& config) { config.tournament_size = 60; });
  Rng rng(3);
  EXPECT_EQ(ToySpecialization::label(evocore::tournament_select(population, rng).read()->nodes), 1);
  population.members.clear();
  EXPECT_THROW(evocore::tournament_select(population, rng), evocore::InternalError);
}

TEST(EngineReproduce, NeatSpeciationAllotsBySharedFitness) {
  Config config = quiet_config();
  Population population = speciated({{{1, 1.0}, {1, 1.0}}, {{2, 1.0}, {2, 1.0}, {2, 1.0}}}, config);
  Rng rng(4);
  auto [elites, species_elites, offspring] = evocore::reproduce(population, rng);
  EXPECT_TRUE(elites.empty() && species_elites.empty());
  EXPECT_DOUBLE_EQ(*population.species[0].members[0].read()->adjusted_fitness, 0.5);
  EXPECT_DOUBLE_EQ(*population.species[1].members[0].read()->adjusted_fitness, 1.0 / 3.0);
  std::map<int, int> per_label;
  for (int label : labels_of(offspring)) ++per_label[label];
  EXPECT_EQ(per_label, (std::map<int, int>{{1, 5}, {2, 5}}));
}

TEST(EngineReproduce, NeatSpeciationElitesPoolsAndFilling) {
  Config config = quiet_config();
  config.num_elites_species = 1;
  config.num_elites_global = 1;
  config.population_size = 40;
  config.crossover_enabled = false;  // a child is its fitter parent's copy: its label tells the parents
  config.selection_share = 0.3;      // pool of ceil(1.5) = 2 out of 5
  Population population =
      speciated({{{10, 1.0}, {11, 5.0}, {12, 2.0}, {13, 4.0}, {14, 3.0}}, {{20, 0.001}}}, config);
  Rng rng(5);
  auto [elites, species_elites, offspring] = evocore::reproduce(population, rng);
  EXPECT_EQ(labels_of(elites), (std::vector<int>{11}));
  EXPECT_EQ(labels_of(species_elites), (std::vector<int>{11}));  // species 20 is allotted 0: no elite
  EXPECT_EQ(offspring.size(), 39u - 1u);
  for (int label : labels_of(offspring)) EXPECT_TRUE(label == 11 || label == 13) << label;
  for (const auto& child : offspring) EXPECT_FALSE(child.read()->elite);
  EXPECT_EQ(labels_of(population.species[0].members), (std::vector<int>{11, 13, 14, 12, 10}));

  // Share 0 (and zero fitness) leaves only the filling step, over whole species.
  for (auto [share, fitness] : {std::pair{0.0, 1.0}, std::pair{1.0, 0.0}}) {
    config.selection_share = share;
    config.num_elites_global = 0;
    Population filled = speciated({{{1, fitness}, {2, fitness}}, {{3, fitness}}}, config);
    auto [no_elites, some_elites, children] = evocore::reproduce(filled, rng);
    EXPECT_EQ(some_elites.size(), fitness > 0 ? 2u : 0u);
    EXPECT_EQ(no_elites.size() + some_elites.size() + children.size(), 40u);
    std::map<int, int> per_label;
    for (int label : labels_of(children)) ++per_label[label];
    EXPECT_EQ(per_label.size(), 3u);
  }
}

TEST(EngineReproduce, GlobalTournamentCountsAndElites) {
  struct Case {
    uint64_t size, elites;
    size_t expected_elites, expected_offspring;
  };
  for (const Case& c : {Case{10, 2, 2, 8}, Case{3, 5, 4, 0}, Case{0, 0, 0, 0}}) {
    Config config = quiet_config();
    config.mating_strategy = evocore::MatingStrategy::GlobalTournament;
    config.population_size = c.size;
    config.num_elites_global = c.elites;
    Population population = Population::create(config, {});
    population.members = {labelled(1, 1.0), labelled(2, 4.0), labelled(3, 2.0), labelled(4, 3.0)};
    Rng rng(6);
    auto [elites, species_elites, offspring] = evocore::reproduce(population, rng);
    EXPECT_EQ(labels_of(population.members), (std::vector<int>{2, 4, 3, 1}));
    EXPECT_EQ(elites.size(), c.expected_elites);
    EXPECT_TRUE(species_elites.empty());
    EXPECT_EQ(offspring.size(), c.expected_offspring);
    for (const auto& elite : elites) EXPECT_TRUE(elite.read()->elite);
  }
  Config config = quiet_config();
  config.mating_strategy = evocore::MatingStrategy::GlobalTournament;
  Population empty = Population::create(config, {});
  Rng rng(7);
  EXPECT_THROW(evocore::reproduce(empty, rng), evocore::InternalError);
}
