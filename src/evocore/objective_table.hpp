#pragma once
#include <algorithm>
#include <span>
#include <string>
#include <vector>

#include "error.hpp"
#include "genome.hpp"

namespace evocore {

// Refuses objective vectors of different lengths, naming `argument`. Empty
// vectors (genomes without objectives) are not compared.
inline void require_equal_lengths(std::span<const size_t> lengths, const std::string& argument) {
  const auto first = std::find_if(lengths.begin(), lengths.end(), [](size_t length) { return length > 0; });
  if (first == lengths.end()) return;
  for (size_t length : lengths)
    if (length > 0 && length != *first)
      refuse(argument + ": objective vectors of different lengths (" + std::to_string(*first) + " and " +
             std::to_string(length) + ")");
}

// Objective vectors by position in the ranked list; a genome without
// objectives contributes an empty vector.
using ObjectiveTable = std::vector<std::vector<double>>;

// Refuses non-empty vectors of different lengths.
template <class S>
ObjectiveTable read_objective_table(const std::vector<GenomeHandle<S>>& genomes) {
  ObjectiveTable table;
  table.reserve(genomes.size());
  std::vector<size_t> lengths;
  for (const auto& handle : genomes) {
    const auto genome = handle.read();
    table.push_back(genome->objectives ? *genome->objectives : std::vector<double>{});
    lengths.push_back(table.back().size());
  }
  require_equal_lengths(lengths, "argument 'genomes'");
  return table;
}

// Writes fitness by position, one write lock at a time and in order, so a
// genome listed twice ends with the value of its last position.
template <class S>
void write_fitness(const std::vector<GenomeHandle<S>>& genomes, std::span<const double> fitness) {
  for (size_t i = 0; i < genomes.size(); ++i) genomes[i].write()->fitness = fitness[i];
}

// Squared Euclidean distance over the common entries of two objective vectors.
inline double squared_distance(std::span<const double> a, std::span<const double> b) {
  const size_t common = std::min(a.size(), b.size());
  double sum = 0.0;
  for (size_t i = 0; i < common; ++i) sum += (a[i] - b[i]) * (a[i] - b[i]);
  return sum;
}

// a dominates b: over their common entries, a is nowhere worse and somewhere
// better (all objectives maximised; comparisons with NaN count neither way).
inline bool dominates(std::span<const double> a, std::span<const double> b) {
  const size_t common = std::min(a.size(), b.size());
  bool better = false;
  for (size_t i = 0; i < common; ++i) {
    if (a[i] < b[i]) return false;
    if (a[i] > b[i]) better = true;
  }
  return better;
}

}  // namespace evocore
