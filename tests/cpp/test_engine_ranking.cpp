#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>

#include "evocore/multi_objective.hpp"
#include "toy_specialization.hpp"

using namespace toy;
using evocore::NSGA2;
using evocore::ObjectiveTable;
using evocore::SelectionStrategy;
using evocore::SPEA2;

namespace {

std::vector<Handle> with_objectives(const ObjectiveTable& table) {
  std::vector<Handle> genomes;
  for (const auto& objectives : table) {
    genomes.push_back(labelled(0, -1.0));
    if (!objectives.empty()) genomes.back().write()->objectives = objectives;
  }
  return genomes;
}

std::vector<double> ranked(SelectionStrategy strategy, const ObjectiveTable& table) {
  Config config = quiet_config();
  config.selection_strategy = strategy;
  const auto genomes = with_objectives(table);
  evocore::process_multi_objective(Population::create(config, {}), genomes);
  std::vector<double> fitness;
  for (const auto& genome : genomes) fitness.push_back(genome.read()->fitness);
  return fitness;
}

// Peels off the non-dominated set again and again, each as a sorted front.
NSGA2::Fronts brute_force_fronts(const ObjectiveTable& table) {
  std::vector<size_t> left(table.size());
  for (size_t i = 0; i < left.size(); ++i) left[i] = i;
  NSGA2::Fronts fronts;
  while (!left.empty()) {
    std::vector<size_t> front, rest;
    for (size_t p : left) {
      const bool dominated = std::any_of(left.begin(), left.end(),
                                         [&](size_t q) { return NSGA2::dominates(table[q], table[p]); });
      (dominated ? rest : front).push_back(p);
    }
    fronts.push_back(front);
    left = rest;
  }
  return fronts;
}

std::vector<uint64_t> bits(const std::vector<double>& values) {
  std::vector<uint64_t> result;
  for (double value : values) result.push_back(std::bit_cast<uint64_t>(value));
  return result;
}

void expect_fast_paths_match_general(const ObjectiveTable& table, const std::string& label) {
  EXPECT_EQ(NSGA2::fast_non_dominated_sort(table), NSGA2::fast_non_dominated_sort_general(table)) << label;
  EXPECT_EQ(bits(SPEA2::fitness_of(table)), bits(SPEA2::fitness_of_general(table))) << label;
}

void expect_nsga2_matches_general(const ObjectiveTable& table, const std::string& label) {
  const auto general = NSGA2::fast_non_dominated_sort_general(table);
  EXPECT_EQ(NSGA2::fast_non_dominated_sort(table), general) << label;
  EXPECT_EQ(bits(NSGA2::fitness_of(table)), bits(NSGA2::fitness_from_fronts(table, general))) << label;
}

}  // namespace

TEST(EngineRanking, DominanceComparesCommonEntries) {
  const double nan = std::nan("");
  struct Case {
    std::vector<double> a, b;
    bool expected;
  };
  for (const Case& c : {Case{{2, 2}, {1, 1}, true}, Case{{2, 1}, {1, 1}, true}, Case{{1, 1}, {1, 1}, false},
                        Case{{2, 0}, {1, 1}, false}, Case{{5, 0}, {nan, 0}, false},
                        Case{{nan, 1}, {0, 0}, true}, Case{{3}, {1, 9}, true}, Case{{}, {1}, false}})
    EXPECT_EQ(NSGA2::dominates(c.a, c.b), c.expected);
}

TEST(EngineRanking, Nsga2WorkedExamples) {
  EXPECT_EQ(ranked(SelectionStrategy::NSGA2, {{1, 1}}), (std::vector<double>{6}));
  EXPECT_EQ(ranked(SelectionStrategy::NSGA2, {{2, 2}, {1, 1}}), (std::vector<double>{10, 7}));
  EXPECT_EQ(ranked(SelectionStrategy::NSGA2, {{1, 3}, {2, 2}, {3, 1}}), (std::vector<double>{8, 6, 8}));
  // Identical vectors share front 1; a genome without objectives ranks as non-dominated.
  EXPECT_EQ(ranked(SelectionStrategy::NSGA2, {{1, 1}, {1, 1}, {0, 0}}),
            (std::vector<double>{4 * 2 + 4, 4 * 2 + 4, 4 + 4}));
  EXPECT_EQ(ranked(SelectionStrategy::NSGA2, {{1, 1}, {}}), (std::vector<double>{3 + 4, 3 + 4}));
}

TEST(EngineRanking, Spea2WorkedExamples) {
  EXPECT_DOUBLE_EQ(ranked(SelectionStrategy::SPEA2, {{1, 1}})[0], 1 / 1.5);
  const auto pair = ranked(SelectionStrategy::SPEA2, {{2, 2}, {1, 1}});
  const double density = 1 / (std::sqrt(2.0) + 2);
  EXPECT_DOUBLE_EQ(pair[0], 1 / (1 + density));
  EXPECT_DOUBLE_EQ(pair[1], 1 / (2 + density));
  // Distances to a vector holding NaN sort after every number: only its own density is lost.
  const auto odd = ranked(SelectionStrategy::SPEA2, {{std::nan(""), 1}, {1, 1}, {0, 0}, {2, 3}});
  EXPECT_TRUE(std::isnan(odd[0]));
  EXPECT_DOUBLE_EQ(odd[3], 1 / (1 + 1 / (std::sqrt(13.0) + 2)));
}

TEST(EngineRanking, NothingHappensWithoutObjectivesOrUnderNeat) {
  EXPECT_EQ(ranked(SelectionStrategy::NSGA2, {{}, {1, 1}}), (std::vector<double>{-1, -1}));
  EXPECT_EQ(ranked(SelectionStrategy::SPEA2, {{}, {1, 1}}), (std::vector<double>{-1, -1}));
  EXPECT_EQ(ranked(SelectionStrategy::NEAT, {{1, 1}, {2, 2}}), (std::vector<double>{-1, -1}));
  evocore::process_multi_objective(Population::create(quiet_config(), {}), std::vector<Handle>{});
}

TEST(EngineRanking, VectorsOfDifferentLengthsAreRefused) {
  const double nan = std::nan("");
  EXPECT_THROW(ranked(SelectionStrategy::NSGA2, {{1, 3}, {3, 1}, {nan}}), evocore::InvalidInput);
  EXPECT_THROW(ranked(SelectionStrategy::SPEA2, {{nan}, {1, 3}}), evocore::InvalidInput);
  const auto crowded = NSGA2::calculate_crowding_distance({{1, nan}, {2, 2}, {3, 1}, {0, 5}}, {{0, 1, 2, 3}});
  EXPECT_EQ(crowded.size(), 4u);
}

TEST(EngineRanking, FastSortMatchesBruteForce) {
  std::mt19937_64 engine(99);
  for (size_t objectives : {2u, 3u})
    for (size_t n : {0u, 1u, 2u, 17u, 120u, 300u}) {
      std::uniform_int_distribution<int> value(0, 12);
      ObjectiveTable table(n);
      for (auto& row : table)
        for (size_t j = 0; j < objectives; ++j) row.push_back(value(engine));
      const auto fronts = NSGA2::fast_non_dominated_sort(table);
      const auto expected = brute_force_fronts(table);
      ASSERT_EQ(fronts.size(), expected.size());
      for (size_t f = 0; f < fronts.size(); ++f) {
        auto sorted = fronts[f];
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(sorted, expected[f]) << "front " << f << " of " << n;
      }
      if (!fronts.empty()) {
        EXPECT_TRUE(std::is_sorted(fronts[0].begin(), fronts[0].end()));
      }
    }
}

TEST(EngineRanking, TwoObjectivePathsMatchGeneralExactly) {
  std::mt19937_64 engine(7);
  const auto from = [&](std::vector<double> choices) {
    return [&engine, choices] {
      return choices[std::uniform_int_distribution<size_t>(0, choices.size() - 1)(engine)];
    };
  };
  const auto uniform = [&](double low, double high) {
    return [&engine, low, high] { return std::uniform_real_distribution<double>(low, high)(engine); };
  };
  using Draw = std::function<double()>;
  // Few distinct values (ties, duplicates, -0.0), continuous, far-apart scales, overflowing distances.
  const std::vector<std::pair<Draw, Draw>> axes{{from({0, 1, 2}), from({-0.0, 0.0, 1})},
                                                {from({0, 1, 2, 3, 4, 5}), from({0, 1, 2, 3, 4, 5})},
                                                {uniform(-1, 1), uniform(-1, 1)},
                                                {uniform(0, 1e-9), uniform(-1e9, 1e9)},
                                                {from({3}), uniform(0, 1)},
                                                {from({-1e300, 0, 1e300}), uniform(-1e300, 1e300)}};
  for (size_t a = 0; a < axes.size(); ++a)
    for (size_t n : {0u, 1u, 2u, 3u, 50u, 500u}) {
      ObjectiveTable table(n);
      for (auto& row : table) row = {axes[a].first(), axes[a].second()};
      expect_fast_paths_match_general(table, "axes " + std::to_string(a) + ", n " + std::to_string(n));
    }
}

TEST(EngineRanking, ManyObjectivePathMatchesGeneralExactly) {
  const double inf = std::numeric_limits<double>::infinity();
  std::mt19937_64 engine(11);
  const auto draw = [&](const std::vector<double>& choices) {
    if (choices.empty()) return std::uniform_real_distribution<double>(-1, 1)(engine);
    return choices[std::uniform_int_distribution<size_t>(0, choices.size() - 1)(engine)];
  };
  // Few distinct values (ties, duplicates, -0.0), infinities among them, continuous.
  const std::vector<std::vector<double>> value_sets{
      {0, 1, 2}, {-0.0, 0.0, 1, 2, 3}, {-inf, -1, 0, 1, inf}, {-inf, inf}, {}};
  for (size_t objectives : {3u, 4u})
    for (size_t v = 0; v < value_sets.size(); ++v)
      for (size_t n : {0u, 1u, 2u, 3u, 50u, 500u}) {
        ObjectiveTable table(n, std::vector<double>(objectives));
        for (auto& row : table)
          for (double& x : row) x = draw(value_sets[v]);
        if (v + 1 == value_sets.size() && n > 0) table[n / 2][1] = -inf;  // continuous, one infinity
        const std::string label =
            std::to_string(objectives) + " objectives, set " + std::to_string(v) + ", n " + std::to_string(n);
        expect_nsga2_matches_general(table, label);
      }
  // One front of distinct vectors; all identical; large fronts in shuffled
  // positions (keys computed in parallel), each later vector dominated by a run of the front before.
  ObjectiveTable simplex, same(300, {1, -0.0, inf}), runs;
  for (double i = 0; i < 300; ++i) simplex.push_back({i, 299 - i, std::fmod(i * 7, 300)});
  for (double i = 0; i < 500; ++i) runs.push_back({i, -i, 1e9});
  for (double i = 0; i < 500; ++i) runs.push_back({i, -i - 1 - std::fmod(i, 7), 0});
  std::shuffle(runs.begin(), runs.end(), engine);
  expect_nsga2_matches_general(simplex, "simplex");
  expect_nsga2_matches_general(same, "identical");
  expect_nsga2_matches_general(runs, "runs");
}

TEST(EngineRanking, OtherTablesTakeGeneralPaths) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::nan("");
  expect_fast_paths_match_general({{1, nan, 1}, {1, 0, 1}, {nan, nan, 1}, {nan, 0, 2}}, "NaN, three");
  expect_fast_paths_match_general({{1, 2, 0}, {3, 1, 0}, {0, 0}, {2, 0, 1}}, "mixed lengths, three");
  expect_fast_paths_match_general({{1, 2}, {nan, 1}, {0, 0}, {2, 0}}, "NaN");
  expect_fast_paths_match_general({{1, 2}, {inf, 1}, {0, -inf}, {2, 0}}, "infinite");
  expect_fast_paths_match_general({{1, 2}, {3}, {0, 0}, {2, 0, 5}}, "mixed lengths");
}
