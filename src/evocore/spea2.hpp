#pragma once
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "nearest_2d.hpp"
#include "objective_table.hpp"
#include "ordering.hpp"
#include "pareto_2d.hpp"
#include "specialization.hpp"
#include "thread_pool.hpp"

namespace evocore {

// Strength Pareto ranking with k-th nearest neighbour density.
struct SPEA2 {
  // Fitness per position: 1 / (raw fitness + density + 1).
  static std::vector<double> fitness_of(const ObjectiveTable& table) {
    if (is_finite_two_objective(table)) return fitness_of_two_objectives(table);
    return fitness_of_general(table);
  }

  // Quadratic version for any table.
  static std::vector<double> fitness_of_general(const ObjectiveTable& table) {
    const size_t n = table.size();
    const auto dominance = parallel_map<Dominance>(n, [&](size_t i) { return dominance_of(table, i); });
    const size_t k = neighbour_rank(n);
    return parallel_map<double>(n, [&](size_t i) {
      double raw = 0.0;
      for (size_t j : dominance[i].dominators) raw += static_cast<double>(dominance[j].strength);
      return 1.0 / (raw + density(table, i, k) + 1.0);
    });
  }

  template <Specialization S>
  static void process_fitness(const std::vector<GenomeHandle<S>>& genomes) {
    const auto fitness = fitness_of(read_objective_table(genomes));
    write_fitness(genomes, fitness);
  }

 private:
  static size_t neighbour_rank(size_t n) { return static_cast<size_t>(std::sqrt(static_cast<double>(n))); }

  // Same values as the general version, in O(n log n) plus k-nearest queries.
  static std::vector<double> fitness_of_two_objectives(const ObjectiveTable& table) {
    const size_t n = table.size();
    const size_t k = neighbour_rank(n);
    const auto raw = pareto_2d::raw_strength_fitness(table);
    const KthNearest2D neighbours(table);
    return parallel_map<double>(n, [&](size_t i) {
      const double local_density =
          k >= n ? 0.5 : 1.0 / (neighbours.kth_distance({table[i][0], table[i][1]}, k) + 2.0);
      return 1.0 / (raw[i] + local_density + 1.0);
    });
  }

  struct Dominance {
    uint64_t strength = 0;           // how many genomes this one dominates
    std::vector<size_t> dominators;  // the genomes that dominate it, ascending
  };

  static Dominance dominance_of(const ObjectiveTable& table, size_t i) {
    Dominance result;
    for (size_t j = 0; j < table.size(); ++j) {
      if (j == i) continue;
      if (dominates(table[i], table[j]))
        ++result.strength;
      else if (dominates(table[j], table[i]))
        result.dominators.push_back(j);
    }
    return result;
  }

  static double distance(std::span<const double> a, std::span<const double> b) {
    return std::sqrt(squared_distance(a, b));
  }

  // 1 / (sigma + 2), sigma the k-th smallest distance counting the genome's own 0.
  static double density(const ObjectiveTable& table, size_t i, size_t k) {
    if (k >= table.size()) return 0.5;
    std::vector<double> distances(table.size());
    for (size_t j = 0; j < table.size(); ++j) distances[j] = distance(table[i], table[j]);
    const auto kth = distances.begin() + static_cast<std::ptrdiff_t>(k);
    std::nth_element(distances.begin(), kth, distances.end(), ascending_nan_last);
    return 1.0 / (*kth + 2.0);
  }
};

}  // namespace evocore
