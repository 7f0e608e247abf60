#pragma once
#include <algorithm>
#include <array>
#include <memory>
#include <mutex>
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
    const std::vector<GenomeHandle<S>>& genomes,
    std::vector<std::optional<CompatibilityProfile<S>>>& storage) {
  std::unordered_map<const void*, size_t> first_position;
  std::vector<size_t> owner(genomes.size());
  for (size_t i = 0; i < genomes.size(); ++i)
    owner[i] = first_position.emplace(genomes[i].identity(), i).first->second;
  storage.resize(genomes.size());
  parallel_for(genomes.size(), [&](size_t i) {
    if (owner[i] == i) storage[i].emplace(make_profile(*genomes[i].read()));
  });
  std::vector<const CompatibilityProfile<S>*> profiles(genomes.size());
  for (size_t i = 0; i < genomes.size(); ++i) profiles[i] = &*storage[owner[i]];
  return profiles;
}

// The k + 1 smallest values of one row of the distance matrix (its own 0
// included), ascending with NaN last.
class NearestDistances {
 public:
  explicit NearestDistances(size_t keep) : keep_(keep) { offer(0.0); }

  void offer(double distance) {
    std::lock_guard lock(mutex_);
    if (size_ == keep_ && !ascending_nan_last(distance, smallest_[size_ - 1])) return;
    size_t at = size_ < keep_ ? size_++ : size_ - 1;
    for (; at > 0 && ascending_nan_last(distance, smallest_[at - 1]); --at) smallest_[at] = smallest_[at - 1];
    smallest_[at] = distance;
  }

  // Mean of the kept values after the smallest one (the genome's own 0).
  double novelty() const {
    double sum = -0.0;
    for (size_t i = 1; i < size_; ++i) sum += smallest_[i];
    return sum / static_cast<double>(size_ - 1);
  }

 private:
  std::mutex mutex_;
  std::array<double, kNeighbours + 1> smallest_{};
  size_t keep_;
  size_t size_ = 0;
};

// Offers every pair's distance to both rows; each pair is measured once, with
// the lower-indexed genome first. Memory stays linear in the number of genomes.
template <class S>
std::vector<double> novelty_scores(const std::vector<GenomeHandle<S>>& genomes,
                                   const std::vector<const CompatibilityProfile<S>*>& profiles, size_t k) {
  const size_t n = genomes.size();
  std::vector<std::unique_ptr<NearestDistances>> rows(n);
  for (auto& row : rows) row = std::make_unique<NearestDistances>(k + 1);
  parallel_for(n, [&](size_t i) {
    for (size_t j = i + 1; j < n; ++j) {
      const ReadPair<Genome<S>> pair(genomes[i], genomes[j]);  // a genome listed twice is locked once
      const double distance =
          calculate_compatibility(pair.first(), *profiles[i], pair.second(), *profiles[j]);
      rows[i]->offer(distance);
      rows[j]->offer(distance);
    }
  });
  std::vector<double> scores(n);
  for (size_t i = 0; i < n; ++i) scores[i] = rows[i]->novelty();
  return scores;
}

}  // namespace diversity_detail

// Appends to each genome's objectives its mean distance to its nearest
// neighbours in the list (a genome without objectives gets fitness, score).
template <Specialization S>
void augment_diversity(const Population<S>& population, const std::vector<GenomeHandle<S>>& genomes) {
  using namespace diversity_detail;
  const size_t n = genomes.size();
  if (!population.config->diversity_objective || n < 2) return;
  std::vector<std::optional<CompatibilityProfile<S>>> storage;
  const auto profiles = profiles_by_position(genomes, storage);
  const auto scores = novelty_scores(genomes, profiles, std::min(n - 1, kNeighbours));
  for (size_t i = 0; i < n; ++i) {
    const auto genome = genomes[i].write();
    if (genome->objectives)
      genome->objectives->push_back(scores[i]);
    else
      genome->objectives.emplace({genome->fitness, scores[i]});
  }
}

}  // namespace evocore
