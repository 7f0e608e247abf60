#pragma once
#include <algorithm>
#include <cmath>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "error.hpp"
#include "objective_table.hpp"
#include "ordering.hpp"
#include "pareto_2d.hpp"
#include "pareto_nd.hpp"
#include "specialization.hpp"
#include "thread_pool.hpp"

namespace evocore {

// Non-dominated sorting with crowding distance.
struct NSGA2 {
  using Fronts = std::vector<std::vector<size_t>>;

  static bool dominates(std::span<const double> a, std::span<const double> b) {
    return evocore::dominates(a, b);
  }

  // Fronts of positions; the first holds the non-dominated ones in increasing position order.
  static Fronts fast_non_dominated_sort(const ObjectiveTable& table) {
    if (is_finite_two_objective(table)) return pareto_2d::non_dominated_fronts(table);
    if (is_uniform_many_objective(table)) return pareto_nd::non_dominated_fronts(table);
    return fast_non_dominated_sort_general(table);
  }

  // Quadratic peeling sort for any table; later fronts are ordered by when their
  // last dominator is taken off, which the fast paths reproduce.
  static Fronts fast_non_dominated_sort_general(const ObjectiveTable& table) {
    struct Dominance {
      std::vector<size_t> dominated;
      size_t count = 0;
    };
    const size_t n = table.size();
    auto dominance = parallel_map<Dominance>(n, [&](size_t p) {
      Dominance result;
      for (size_t q = 0; q < n; ++q) {
        if (q == p) continue;
        if (dominates(table[p], table[q]))
          result.dominated.push_back(q);
        else if (dominates(table[q], table[p]))
          ++result.count;
      }
      return result;
    });
    std::vector<size_t> current;
    for (size_t p = 0; p < n; ++p)
      if (dominance[p].count == 0) current.push_back(p);
    Fronts fronts;
    while (!current.empty()) {
      std::vector<size_t> next;
      for (size_t p : current)
        for (size_t q : dominance[p].dominated)
          if (--dominance[q].count == 0) next.push_back(q);
      fronts.push_back(std::move(current));
      current = std::move(next);
    }
    return fronts;
  }

  static std::vector<double> calculate_crowding_distance(const ObjectiveTable& table, const Fronts& fronts) {
    std::vector<double> distance(table.size(), 0.0);
    if (table.empty()) return distance;
    const size_t objectives = table[0].size();
    for (const auto& front : fronts) {
      if (front.size() <= 2) {
        for (size_t p : front) distance[p] = kInfinity;
        continue;
      }
      for (size_t p : front) {
        if (table[p].size() < objectives)
          fail("objective vector " + std::to_string(p) + " is shorter than the first genome's");
        distance[p] = 0.0;
      }
      for (size_t j = 0; j < objectives; ++j) add_crowding(table, front, j, distance);
    }
    return distance;
  }

  // Fitness per position: (F - rank + 1) * (n + 1) + crowding, boundary genomes get 2 * m.
  static std::vector<double> fitness_of(const ObjectiveTable& table) {
    return fitness_from_fronts(table, fast_non_dominated_sort(table));
  }

  // The same from fronts already sorted, such as the general path's.
  static std::vector<double> fitness_from_fronts(const ObjectiveTable& table, const Fronts& fronts) {
    const size_t n = table.size();
    std::vector<double> fitness(n, 0.0);
    if (n == 0) return fitness;
    const auto distance = calculate_crowding_distance(table, fronts);
    const double boundary_bonus = 2.0 * static_cast<double>(table[0].size());
    const double scale = static_cast<double>(n) + 1.0;
    // Positions caught in a dominance cycle (possible only through NaN) are in no
    // front; they stay at 0, below every front.
    for (size_t f = 0; f < fronts.size(); ++f) {
      const double level = static_cast<double>(fronts.size() - f);
      for (size_t p : fronts[f]) {
        const double crowding = std::isinf(distance[p]) ? boundary_bonus : distance[p];
        fitness[p] = level * scale + crowding;
      }
    }
    return fitness;
  }

  template <Specialization S>
  static void process_fitness(const std::vector<GenomeHandle<S>>& genomes) {
    const auto fitness = fitness_of(read_objective_table(genomes));
    write_fitness(genomes, fitness);
  }

 private:
  static constexpr double kInfinity = std::numeric_limits<double>::infinity();

  static void add_crowding(const ObjectiveTable& table, const std::vector<size_t>& front, size_t j,
                           std::vector<double>& distance) {
    std::vector<size_t> sorted = front;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [&](size_t a, size_t b) { return ascending_nan_last(table[a][j], table[b][j]); });
    distance[sorted.front()] = kInfinity;
    distance[sorted.back()] = kInfinity;
    const double range = table[sorted.back()][j] - table[sorted.front()][j];
    if (range == 0.0) return;  // a NaN range counts as not 0
    for (size_t i = 1; i + 1 < sorted.size(); ++i) {
      double& d = distance[sorted[i]];
      if (!std::isinf(d)) d += (table[sorted[i + 1]][j] - table[sorted[i - 1]][j]) / range;
    }
  }
};

}  // namespace evocore
