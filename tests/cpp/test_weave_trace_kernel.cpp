#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <utility>

#include "weave/evaluation/samples.hpp"

using namespace weave;

namespace {

// (cell, is_endpoint) -> summed weight.
using SampleSums = std::map<std::pair<uint64_t, bool>, double>;

// Samples [lo, hi] whose major coordinate lies below the shape's limit.
std::pair<int64_t, int64_t> below_limit(Cell p1, Cell p2, uint64_t rows, uint64_t cols) {
  const int64_t dx = int64_t{p2.row} - p1.row, dy = int64_t{p2.column} - p1.column;
  const bool x_is_major = std::abs(dx) >= std::abs(dy);
  const int64_t limit = static_cast<int64_t>(x_is_major ? rows : cols);
  const int64_t m1 = x_is_major ? p1.row : p1.column, m2 = x_is_major ? p2.row : p2.column;
  if (m2 >= m1) return {0, std::min(m2 - m1, limit - m1 - 1)};
  return {std::max<int64_t>(0, m1 - limit + 1), m1 - m2};
}

bool reference_is_cheap(Cell p1, Cell p2, uint64_t rows, uint64_t cols) {
  const auto [lo, hi] = below_limit(p1, p2, rows, cols);
  return hi - lo < 3000000;
}

// The sample rule written out literally, over every sample whose major
// coordinate lies below the shape's limit (the others are out of the shape).
SampleSums reference_samples(Cell p1, Cell p2, uint64_t rows, uint64_t cols) {
  SampleSums sums;
  const double x1 = p1.row, y1 = p1.column, x2 = p2.row, y2 = p2.column;
  const double dx = x2 - x1, dy = y2 - y1;
  if (std::sqrt(dx * dx + dy * dy) < 1e-5) return sums;
  const double major = std::max(std::abs(dx), std::abs(dy)), minor = std::min(std::abs(dx), std::abs(dy));
  const auto steps = static_cast<uint64_t>(std::ceil(major));
  const double weight = std::sqrt(major * major + minor * minor) / major;
  const auto [lo, hi] = below_limit(p1, p2, rows, cols);
  const auto index = [](double c) {
    const double r = std::round(c);
    return r > 0 ? static_cast<uint64_t>(r) : uint64_t{0};
  };
  for (int64_t i = lo; i <= hi; ++i) {
    const double t = static_cast<double>(i) / static_cast<double>(steps);
    const uint64_t u = index(t * x2 + (1.0 - t) * x1), v = index(t * y2 + (1.0 - t) * y1);
    if (u < rows && v < cols) sums[{u * cols + v, i == 0 || i == static_cast<int64_t>(steps)}] += weight;
  }
  return sums;
}

SampleSums kernel_samples(Cell p1, Cell p2, uint64_t rows, uint64_t cols) {
  SampleSums sums;
  detail::for_each_edge_sample(p1, p2, rows, cols,
                               [&](uint64_t cell, double weight, bool end) { sums[{cell, end}] += weight; });
  return sums;
}

void expect_same_samples(Cell p1, Cell p2, uint64_t rows, uint64_t cols) {
  const SampleSums want = reference_samples(p1, p2, rows, cols), got = kernel_samples(p1, p2, rows, cols);
  ASSERT_EQ(got.size(), want.size()) << "edge (" << p1.row << ", " << p1.column << ") - (" << p2.row << ", "
                                     << p2.column << ")";
  for (const auto& [key, weight] : want) {
    ASSERT_TRUE(got.contains(key)) << "cell " << key.first << " of edge (" << p1.row << ", " << p1.column
                                   << ") - (" << p2.row << ", " << p2.column << ")";
    EXPECT_NEAR(got.at(key), weight, 1e-9 * weight);
  }
}

int32_t draw(std::mt19937_64& rng, int64_t low, int64_t high) {
  return static_cast<int32_t>(std::uniform_int_distribution<int64_t>(low, high)(rng));
}

constexpr int32_t kMax = std::numeric_limits<int32_t>::max();

}  // namespace

TEST(WeaveTraceKernel, MatchesTheSampleRuleOnRandomEdges) {
  std::mt19937_64 rng(17);
  for (int n = 0; n < 20000; ++n) {
    const uint64_t rows = 1 + rng() % 70, cols = 1 + rng() % 70;
    const Cell p1{draw(rng, -30, 100), draw(rng, -30, 100)}, p2{draw(rng, -30, 100), draw(rng, -30, 100)};
    expect_same_samples(p1, p2, rows, cols);
  }
}

// Every other sample of an edge with an even step count and an odd rise lies
// exactly on a half.
TEST(WeaveTraceKernel, MatchesTheSampleRuleOnTies) {
  std::mt19937_64 rng(5);
  for (int n = 0; n < 5000; ++n) {
    const int32_t steps = 2 * draw(rng, 1, 200), rise = 2 * draw(rng, 0, steps / 2 - 1) + 1;
    const Cell p1{draw(rng, -10, 60), draw(rng, -10, 60)};
    const int32_t sx = rng() % 2 ? 1 : -1, sy = rng() % 2 ? 1 : -1;
    const bool x_major = rng() % 2;
    const Cell p2 = x_major ? Cell{p1.row + sx * steps, p1.column + sy * rise}
                            : Cell{p1.row + sx * rise, p1.column + sy * steps};
    expect_same_samples(p1, p2, 64, 64);
    expect_same_samples(p2, p1, 64, 64);
  }
}

// Far ends make the floating-point rule's error large and the step count
// huge; only the in-shape samples may be visited.
TEST(WeaveTraceKernel, MatchesTheSampleRuleWithFarAwayEnds) {
  std::mt19937_64 rng(99);
  for (int n = 0; n < 3000; ++n) {
    const Cell inner{draw(rng, -20, 300), draw(rng, -20, 300)};
    Cell far{draw(rng, 300, kMax), draw(rng, -kMax, kMax)};
    if (rng() % 2) std::swap(far.row, far.column);
    if (!reference_is_cheap(inner, far, 300, 300)) continue;
    expect_same_samples(inner, far, 300, 300);
    expect_same_samples(far, inner, 300, 300);
  }
  expect_same_samples({0, 0}, {kMax, kMax}, 50, 50);
  expect_same_samples({kMax, 1}, {-1000000, 3}, 20, 20);  // a million samples saturated to row 0
  expect_same_samples({5, -1000}, {7, kMax}, 10, 10);
}

TEST(WeaveTraceKernel, MatchesTheSampleRuleOnLongEdgesAcrossTheGrid) {
  std::mt19937_64 rng(3);
  for (int n = 0; n < 200; ++n) {
    const Cell p1{draw(rng, -5000, 0), draw(rng, -5000, 6000)},
        p2{draw(rng, 1000, 6000), draw(rng, -5000, 6000)};
    expect_same_samples(p1, p2, 1000, 1000);
    expect_same_samples(p2, p1, 1000, 1000);
  }
}
