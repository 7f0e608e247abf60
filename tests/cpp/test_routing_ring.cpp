// Tour order of the ring seed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <vector>

#include "routing/ring.hpp"

namespace {

using Table = std::vector<std::vector<double>>;

Table euclidean(const std::vector<std::pair<double, double>>& points) {
  Table table(points.size(), std::vector<double>(points.size()));
  for (size_t i = 0; i < points.size(); ++i)
    for (size_t j = 0; j < points.size(); ++j)
      table[i][j] = std::hypot(points[i].first - points[j].first, points[i].second - points[j].second);
  return table;
}

double length(const Table& d, const std::vector<size_t>& order) {
  double sum = 0.0;
  for (size_t i = 0; i < order.size(); ++i) sum += d[order[i]][order[(i + 1) % order.size()]];
  return sum;
}

double brute_force_shortest(const Table& d) {
  std::vector<size_t> order(d.size());
  std::iota(order.begin(), order.end(), 0);
  double best = length(d, order);
  while (std::next_permutation(order.begin() + 1, order.end())) best = std::min(best, length(d, order));
  return best;
}

TEST(TourOrder, VisitsPointsOnACircleInCircularOrderWhateverTheirNumbering) {
  std::mt19937 rng(3);
  for (size_t n : {4, 7, 12, 25}) {
    std::vector<size_t> label(n);
    std::iota(label.begin(), label.end(), 0);
    std::shuffle(label.begin() + 1, label.end(), rng);
    std::vector<std::pair<double, double>> points(n);
    for (size_t k = 0; k < n; ++k) {
      const double angle = 2.0 * M_PI * static_cast<double>(k) / static_cast<double>(n);
      points[label[k]] = {std::cos(angle), std::sin(angle)};
    }
    const Table d = euclidean(points);
    const double perimeter = 2.0 * static_cast<double>(n) * std::sin(M_PI / static_cast<double>(n));
    EXPECT_NEAR(length(d, routing::tour_order(d)), perimeter, 1e-9) << n << " points";
  }
}

TEST(TourOrder, IsAPermutationFromZeroWithinAFewPercentOfTheShortestTour) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> coordinate(0.0, 100.0);
  for (int trial = 0; trial < 30; ++trial) {
    std::vector<std::pair<double, double>> points(3 + trial % 6);
    for (auto& p : points) p = {coordinate(rng), coordinate(rng)};
    const Table d = euclidean(points);
    std::vector<size_t> order = routing::tour_order(d);
    ASSERT_EQ(order.front(), 0u);
    std::vector<size_t> sorted = order;
    std::sort(sorted.begin(), sorted.end());
    std::vector<size_t> all(points.size());
    std::iota(all.begin(), all.end(), 0);
    EXPECT_EQ(sorted, all);
    EXPECT_LE(length(d, order), 1.05 * brute_force_shortest(d)) << "trial " << trial;
  }
}

}  // namespace
