#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "weave/evaluation/traces.hpp"
#include "weave_graphs.hpp"

using namespace weave;
using namespace weave::testing;

namespace {

WeaveConfig pooled_config(uint64_t width, uint64_t height, uint64_t window, double c3) {
  auto config = config_of(width, height);
  config.compatibility_sigma = window;
  config.c3 = c3;
  return config;
}

// The term as first described: dense traces, dense pooling, full-grid distance.
double dense_term(const WeaveConfig& config, const Genome& a, const Genome& b) {
  const uint64_t rows = config.grid_size.rows, cols = config.grid_size.columns,
                 k = config.compatibility_sigma;
  const auto pa = max_pool(compute_traces(rows, cols, a.nodes, a.edges), rows, cols, k);
  const auto pb = max_pool(compute_traces(rows, cols, b.nodes, b.edges), rows, cols, k);
  double sum = 0.0;
  for (size_t i = 0; i < pa.size(); ++i) sum += (pa[i] - pb[i]) * (pa[i] - pb[i]);
  return config.c3 * std::sqrt(sum);
}

}  // namespace

TEST(WeaveCompatibility, WorkedValues) {
  const auto a_nodes = nodes_of({{1, 0, 0}});
  const auto b_nodes = nodes_of({{7, 1, 0}});
  const auto config = pooled_config(4, 4, 1, 2.0);
  const auto a = genome_of(config, a_nodes, {}), b = genome_of(config, b_nodes, {});
  const WeaveSpecialization specialization{config};
  EXPECT_DOUBLE_EQ(specialization.compatibility(a, b, {}), 2.0 * std::sqrt(2.0) / 8.0);
  EXPECT_EQ(WeaveSpecialization{pooled_config(4, 4, 2, 2.0)}.compatibility(a, b, {}), 0.0);  // one window
  EXPECT_EQ(WeaveSpecialization{pooled_config(4, 4, 5, 2.0)}.compatibility(a, b, {}),
            0.0);  // window too large
  EXPECT_EQ(WeaveSpecialization{pooled_config(4, 4, 1, 0.0)}.compatibility(a, b, {}), 0.0);
  EXPECT_THROW(WeaveSpecialization{pooled_config(4, 4, 0, 1.0)}.compatibility(a, b, {}),
               evocore::InternalError);
}

TEST(WeaveCompatibility, SparseTermEqualsDenseDefinition) {
  evocore::Rng rng(21);
  for (int round = 0; round < 80; ++round) {
    const auto rows = rng.uniform_int(1, 32), cols = rng.uniform_int(1, 32);
    const auto config = pooled_config(rows, cols, rng.uniform_int(1, 6), 0.5 + rng.uniform01());
    auto [na, ea] = random_network(rng, static_cast<int32_t>(rows), static_cast<int32_t>(cols), 7, 5);
    auto [nb, eb] = random_network(rng, static_cast<int32_t>(rows), static_cast<int32_t>(cols), 7, 5);
    const auto a = genome_of(config, std::move(na), std::move(ea));
    const auto b = genome_of(config, std::move(nb), std::move(eb));
    const WeaveSpecialization specialization{config};
    const double term = specialization.compatibility(a, b, {});
    expect_relative_near(term, dense_term(config, a, b));
    EXPECT_EQ(term, specialization.compatibility(b, a, {}));
    EXPECT_EQ(specialization.compatibility(a, a.clone(), {}), 0.0);
    EXPECT_EQ(specialization.compatibility(specialization.signature(a), specialization.signature(b)), term);
  }
}

TEST(WeaveCompatibility, SignatureAcceptsOnlyMatchingSettings) {
  const auto config = pooled_config(8, 6, 2, 1.0);
  const auto genome = genome_of(config, nodes_of({{1, 0, 0}, {2, 7, 5}}), edges_of({{1, 1, 2}}));
  const auto signature = WeaveSpecialization{config}.signature(genome);
  EXPECT_TRUE(WeaveSpecialization{config}.accepts(signature));
  EXPECT_TRUE(WeaveSpecialization{pooled_config(8, 6, 2, 3.0)}.accepts(signature));  // c3 is not part of it
  EXPECT_FALSE(WeaveSpecialization{pooled_config(6, 8, 2, 1.0)}.accepts(signature));
  EXPECT_FALSE(WeaveSpecialization{pooled_config(8, 6, 3, 1.0)}.accepts(signature));
  EXPECT_THROW(WeaveSpecialization{pooled_config(8, 6, 0, 1.0)}.signature(genome), evocore::InternalError);
}

// The signature follows every structural change the trace depends on.
TEST(WeaveCompatibility, SignatureFollowsEveryChange) {
  const auto config = pooled_config(12, 10, 2, 1.5);
  auto genome =
      genome_of(config, nodes_of({{1, 0, 0}, {2, 9, 7}, {3, 4, 1}}), edges_of({{1, 1, 2}, {2, 2, 3}}));
  const auto other = genome_of(config, nodes_of({{5, 11, 0}, {6, 2, 9}}), edges_of({{3, 5, 6}}));
  const WeaveSpecialization specialization{config};
  const auto expect_fresh = [&] {
    expect_relative_near(specialization.compatibility(genome, other, {}), dense_term(config, genome, other));
  };
  expect_fresh();
  const std::function<void()> changes[] = {
      [&] { genome.nodes.at(3).data.pos = {6, 6}; },
      [&] { genome.edges.at(2).enabled = false; },
      [&] { genome.edges.at(2) = Edge{2, 1, 3, true}; },
      [&] { genome.nodes.emplace(4, WeaveNode{4, {{11, 9}, NodeType::Flexible}}); },
      [&] { genome.edges.emplace(7, Edge{7, 3, 4, true}); },
      [&] { genome.edges.erase(1); },
  };
  for (const auto& change : changes) {
    change();
    expect_fresh();
  }
  const WeaveSpecialization wider{pooled_config(12, 10, 3, 1.5)};  // other settings, other signature
  EXPECT_EQ(wider.signature(genome)->window, 3u);
}
