#include <gtest/gtest.h>

#include <cmath>

#include "evocore/compatibility.hpp"
#include "evocore/diversity.hpp"
#include "evocore/speciation.hpp"
#include "toy_specialization.hpp"

using namespace toy;
using evocore::Rng;

namespace {

std::vector<Edge> edges_with_ids(std::initializer_list<uint64_t> ids) {
  std::vector<Edge> edges;
  for (uint64_t id : ids) edges.push_back({id, 1, 1, id % 2 == 0});  // enabled or not, all count
  return edges;
}

// Labels 0..n-1 whose distance is |a - b| * unit.
std::shared_ptr<const DistanceTable> line_distances(int n, double unit) {
  auto table = std::make_shared<DistanceTable>();
  for (int a = 0; a < n; ++a)
    for (int b = a + 1; b < n; ++b) (*table)[{a, b}] = (b - a) * unit;
  return table;
}

Population population_of(const std::vector<int>& labels, ToySpecialization special,
                         Config config = quiet_config()) {
  Population population = Population::create(config, special);
  for (int label : labels) population.members.push_back(labelled(label, 0.0, config, special));
  return population;
}

std::vector<std::vector<int>> species_labels(const Population& population) {
  std::vector<std::vector<int>> result;
  for (const auto& species : population.species) {
    result.emplace_back();
    for (const auto& member : species.members)
      result.back().push_back(ToySpecialization::label(member.read()->nodes));
  }
  return result;
}

}  // namespace

TEST(EngineCompatibility, EdgeTermsUseTheFirstGenomesWeights) {
  Config config = quiet_config();
  ToySpecialization special;
  special.term = 0.25;
  const Genome a = make_genome({1}, edges_with_ids({1, 2, 3, 7}), 0, config, special);
  Config other = config;
  other.c1 = other.c2 = 10.0;
  const Genome b = make_genome({1}, edges_with_ids({1, 2, 5}), 0, other, special);
  EXPECT_DOUBLE_EQ(evocore::calculate_compatibility(a, b), 0.25 + 0.5);
  EXPECT_DOUBLE_EQ(evocore::calculate_compatibility(b, a), 0.25 + 10.0 * 1 / 4 + 10.0 * 2 / 4);
  EXPECT_DOUBLE_EQ(evocore::calculate_compatibility(a, evocore::make_profile(a), b, evocore::make_profile(b)),
                   0.75);
  const Genome empty = make_genome({1}, {}, 0, config, special);
  EXPECT_DOUBLE_EQ(evocore::calculate_compatibility(empty, empty), 0.25);
}

TEST(EngineCompatibility, ProfilesGiveThePlainValueWithAndWithoutSignatures) {
  using Signed = evocore::Genome<SignedToySpecialization>;
  SignedToySpecialization scale2, scale3;
  scale2.scale = 2;
  scale3.scale = 3;
  const Signed a =
      make_genome<SignedToySpecialization>({1, 2}, edges_with_ids({1, 4}), 5, quiet_config(), scale2);
  const Signed b =
      make_genome<SignedToySpecialization>({1}, edges_with_ids({4, 6}), 1, quiet_config(), scale2);
  const Signed c = make_genome<SignedToySpecialization>({1}, edges_with_ids({2}), 9, quiet_config(), scale3);
  for (const Signed* x : {&a, &b, &c})
    for (const Signed* y : {&a, &b, &c}) {
      const double cached =
          evocore::calculate_compatibility(*x, evocore::make_profile(*x), *y, evocore::make_profile(*y));
      EXPECT_DOUBLE_EQ(cached, evocore::calculate_compatibility(*x, *y));
    }
}

TEST(EngineSpeciation, FirstQualifyingSpeciesWinsAndNewSpeciesAreReused) {
  ToySpecialization special;
  special.term = 100.0;
  special.distances = line_distances(20, 1.0);
  // Threshold 2.5: label 2 is within reach of the species of 0 and of 3; it joins 0's, the
  // first. Labels 6 and 7 match no old species; 7 joins the species that 6 founds.
  Population population = population_of({0, 3}, special);
  Rng rng(1);
  population.current_species_threshold = 2.5;
  evocore::respeciate(population, rng);
  ASSERT_EQ(population.species.size(), 2u);
  population.members = population_of({3, 2, 6, 7}, special).members;
  evocore::respeciate(population, rng);
  EXPECT_EQ(species_labels(population), (std::vector<std::vector<int>>{{2}, {3}, {6, 7}}));

  // Old species that receive nothing disappear; the label-2 species keeps its place first.
  population.members = population_of({15, 0, 1}, special).members;
  evocore::respeciate(population, rng);
  EXPECT_EQ(species_labels(population), (std::vector<std::vector<int>>{{0, 1}, {15}}));
}

struct ThresholdCase {
  double threshold;
  int species;
  double expected;
};

class EngineThreshold : public testing::TestWithParam<ThresholdCase> {};

TEST_P(EngineThreshold, MovesTowardsTheTargetWithinBounds) {
  const ThresholdCase& c = GetParam();
  ToySpecialization special;
  special.term = 1000.0;  // every label its own species
  Config config = quiet_config();
  config.target_species = 5;
  std::vector<int> labels(c.species);
  for (int i = 0; i < c.species; ++i) labels[i] = i;
  Population population = population_of(labels, special, config);
  population.current_species_threshold = c.threshold;
  Rng rng(2);
  evocore::respeciate(population, rng);
  EXPECT_EQ(population.species.size(), static_cast<size_t>(c.species));
  EXPECT_DOUBLE_EQ(population.current_species_threshold, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, EngineThreshold,
                         testing::Values(ThresholdCase{3.0, 8, 3.03}, ThresholdCase{3.0, 2, 2.97},
                                         ThresholdCase{0.015, 2, 0.01}, ThresholdCase{99.99, 9, 100.0},
                                         ThresholdCase{0.0, 3, 0.01}, ThresholdCase{-4.0, 3, 0.01},
                                         ThresholdCase{std::nan(""), 3, 0.01}),
                         [](const testing::TestParamInfo<ThresholdCase>& info) {
                           return "Case" + std::to_string(info.index);
                         });

TEST(EngineSpeciation, ProfilesAreComputedOncePerGenome) {
  using SignedPopulation = evocore::Population<SignedToySpecialization>;
  SignedToySpecialization special;
  Config config = quiet_config();
  config.species_threshold = 1.5;
  SignedPopulation population = SignedPopulation::create(config, special);
  for (int label : {0, 1, 5, 6, 20, 21, 40}) {
    auto genome = make_genome<SignedToySpecialization>({1}, {}, label, config, special);
    population.members.push_back(evocore::GenomeHandle<SignedToySpecialization>::make(std::move(genome)));
  }
  Rng rng(3);
  evocore::respeciate(population, rng);
  EXPECT_EQ(population.species.size(), 4u);
  EXPECT_EQ(special.signature_calls->load(), 7);
  evocore::respeciate(population, rng);
  EXPECT_EQ(special.signature_calls->load(), 7 + 7 + 4);  // members, then old representatives
  EXPECT_EQ(population.species.size(), 4u);
}

TEST(EngineDiversity, NearestNeighbourScores) {
  ToySpecialization special;
  special.distances =
      std::make_shared<DistanceTable>(DistanceTable{{{0, 1}, 1.0}, {{0, 2}, 2.0}, {{1, 2}, 4.0}});
  Config config = quiet_config();
  config.diversity_objective = true;
  const Population population = Population::create(config, special);
  std::vector<Handle> genomes{labelled(0, 9.0, config, special), labelled(1, 0.0, config, special),
                              labelled(2, 0.0, config, special)};
  genomes[1].write()->objectives = std::vector<double>{4.0, 5.0};
  evocore::augment_diversity(population, genomes);
  EXPECT_EQ(*genomes[0].read()->objectives, (std::vector<double>{9.0, 1.5}));
  EXPECT_EQ(*genomes[1].read()->objectives, (std::vector<double>{4.0, 5.0, 2.5}));
  EXPECT_EQ(*genomes[2].read()->objectives, (std::vector<double>{0.0, 3.0}));

  // A genome listed twice is at distance 0 from itself and gets two scores.
  std::vector<Handle> twice{genomes[0], genomes[1], genomes[0]};
  evocore::augment_diversity(population, twice);
  EXPECT_EQ(*genomes[0].read()->objectives, (std::vector<double>{9.0, 1.5, 0.5, 0.5}));
  EXPECT_EQ(genomes[1].read()->objectives->back(), 1.0);
}

TEST(EngineDiversity, TenGenomesUseFiveNeighboursAndSwitchesHold) {
  ToySpecialization special;
  special.distances = line_distances(10, 1.0);
  Config config = quiet_config();
  config.diversity_objective = true;
  std::vector<Handle> genomes;
  for (int label = 0; label < 10; ++label) genomes.push_back(labelled(label, 0.0, config, special));
  evocore::augment_diversity(Population::create(config, special), genomes);
  EXPECT_DOUBLE_EQ(genomes[0].read()->objectives->at(1), 3.0);  // 1..5
  EXPECT_DOUBLE_EQ(genomes[5].read()->objectives->at(1), 1.8);  // 1, 1, 2, 2, 3

  config.diversity_objective = false;
  evocore::augment_diversity(Population::create(config, special), genomes);
  config.diversity_objective = true;
  evocore::augment_diversity(Population::create(config, special), std::vector<Handle>{genomes[0]});
  EXPECT_EQ(genomes[0].read()->objectives->size(), 2u);

  // Distances that are not numbers sort last and do not break the scores of others.
  special.distances =
      std::make_shared<DistanceTable>(DistanceTable{{{0, 1}, std::nan("")}, {{0, 2}, 1.0}, {{1, 2}, 3.0}});
  std::vector<Handle> odd{labelled(0, 0.0, config, special), labelled(1, 0.0, config, special),
                          labelled(2, 0.0, config, special)};
  evocore::augment_diversity(Population::create(config, special), odd);
  EXPECT_DOUBLE_EQ(odd[2].read()->objectives->at(1), 2.0);
  EXPECT_TRUE(std::isnan(odd[0].read()->objectives->at(1)));
}
