#pragma once
#include <algorithm>
#include <array>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "compatibility.hpp"
#include "lock_pair.hpp"
#include "ordering.hpp"
#include "population.hpp"
#include "specialization.hpp"
#include "thread_pool.hpp"

namespace evocore {

namespace diversity_detail {

constexpr size_t kNeighbours = 5;

// One profile per distinct genome; a genome listed twice shares its profile.
template <class S>
std::vector<const CompatibilityProfile<S>*> profiles_by_position(
    const std::vector<GenomeHandle<S>>& genomes, std::vector<std::optional<CompatibilityProfile<S>>>& storage) {
  std::unordered_map<const void*, size_t> first_position;
  std::vector<size_t> owner(genomes.size());
  for (size_t i = 0; i < genomes.size(); ++i) owner[i] = first_position.emplace(genomes[i].identity(), i).first->second;
  storage.resize(genomes.size());
  parallel_for(genomes.size(), [&](size_t i) {
    if (owner[i] == i) storage[i].emplace(make_profile(*genomes[i].read()));
  });
  std::vector<const CompatibilityProfile<S>*> profiles(genomes.size());
  for (size_t i = 0; i < genomes.size(); ++i) profiles[i] = &*storage[owner[i]];
  return profiles;
}

// Symmetric n x n distance matrix, row-major; each pair is measured with the
// lower-indexed genome first.
template <class S>
std::vector<double> distance_matrix(const std::vector<GenomeHandle<S>>& genomes,
                                    const std::vector<const CompatibilityProfile<S>*>& profiles) {
  const size_t n = genomes.size();
  std::vector<double> matrix(n * n, 0.0);
  parallel_for(n, [&](size_t i) {
    for (size_t j = i + 1; j < n; ++j) {
      const ReadPair<Genome<S>> pair(genomes[i], genomes[j]);  // a genome listed twice is locked once
      const double distance = calculate_compatibility(pair.first(), *profiles[i], pair.second(), *profiles[j]);
      matrix[i * n + j] = distance;
      matrix[j * n + i] = distance;
    }
  });
  return matrix;
}

// Mean of the k smallest distances after the smallest one (the genome's own 0).
inline double novelty(std::span<const double> row, size_t k) {
  std::array<double, kNeighbours + 1> smallest{};
  const auto end = smallest.begin() + static_cast<std::ptrdiff_t>(k + 1);
  std::partial_sort_copy(row.begin(), row.end(), smallest.begin(), end, ascending_nan_last);
  double sum = -0.0;
  for (auto value = smallest.begin() + 1; value != end; ++value) sum += *value;
  return sum / static_cast<double>(k);
}

}  // namespace diversity_detail

// Appends to each genome's objectives its mean distance to its nearest
// neighbours in the list (a genome without objectives gets fitness, score).
template <Specialization S>
void augment_diversity(const Population<S>& population, const std::vector<GenomeHandle<S>>& genomes) {
  using namespace diversity_detail;
  const size_t n = genomes.size();
  if (!population.config.diversity_objective || n < 2) return;
  std::vector<std::optional<CompatibilityProfile<S>>> storage;
  const auto profiles = profiles_by_position(genomes, storage);
  const auto matrix = distance_matrix(genomes, profiles);
  const size_t k = std::min(n - 1, kNeighbours);
  const auto scores = parallel_map<double>(n, [&](size_t i) {
    return novelty(std::span<const double>(matrix).subspan(i * n, n), k);
  });
  for (size_t i = 0; i < n; ++i) {
    const auto genome = genomes[i].write();
    if (genome->objectives)
      genome->objectives->push_back(scores[i]);
    else
      genome->objectives.emplace({genome->fitness, scores[i]});
  }
}

}  // namespace evocore
