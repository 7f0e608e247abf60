#pragma once
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "compatibility.hpp"
#include "population.hpp"
#include "rng.hpp"
#include "specialization.hpp"
#include "thread_pool.hpp"

namespace evocore {

namespace speciation_detail {

constexpr size_t kUnassigned = std::numeric_limits<size_t>::max();

template <class S>
struct Representative {
  Genome<S> genome;
  CompatibilityProfile<S> profile;
};

template <class S>
size_t first_species_within(const Genome<S>& member, const CompatibilityProfile<S>& profile,
                            const std::vector<Representative<S>>& reps, size_t from, double threshold) {
  for (size_t i = from; i < reps.size(); ++i)
    if (calculate_compatibility(reps[i].genome, reps[i].profile, member, profile) < threshold) return i;
  return kUnassigned;
}

template <class S>
std::vector<Representative<S>> copy_representatives(const std::vector<Species<S>>& species) {
  std::vector<std::optional<Representative<S>>> slots(species.size());
  parallel_for(species.size(), [&](size_t i) {
    const Genome<S>& rep = species[i].representative;
    slots[i].emplace(Representative<S>{rep, make_profile(rep)});
  });
  std::vector<Representative<S>> reps;
  reps.reserve(slots.size());
  for (auto& slot : slots) reps.push_back(std::move(*slot));
  return reps;
}

// Members are profiled this many at a time, so that memory holds one chunk's
// profiles (tens of KiB each on large grids) rather than the population's.
constexpr size_t kProfileChunk = 512;

// Puts every member in the first species, in order, whose representative is
// within the threshold: first the old species (their representatives copied
// beforehand), then the species founded during this pass, each by the first
// member that fit no earlier one. The founder is its species' representative
// until pick_representatives, and always joins its own species, which also
// ends the search for thresholds of 0 or less and distances that are not numbers.
template <class S>
void assign_members(Population<S>& population, std::vector<Representative<S>>& reps, double threshold) {
  const auto& members = population.members;
  std::vector<CompatibilityProfile<S>> profiles;
  for (size_t begin = 0; begin < members.size(); begin += kProfileChunk) {
    const size_t count = std::min(kProfileChunk, members.size() - begin);
    const size_t known = reps.size();  // species that exist before this chunk
    profiles.assign(count, {});
    const auto first = parallel_map<size_t>(count, [&](size_t k) {
      const auto member = members[begin + k].read();
      profiles[k] = make_profile(*member);
      return first_species_within(*member, profiles[k], reps, 0, threshold);
    });
    for (size_t k = 0; k < count; ++k) {
      size_t species = first[k];
      if (species == kUnassigned) {  // only species founded within this chunk are left to try
        const auto member = members[begin + k].read();
        species = first_species_within(*member, profiles[k], reps, known, threshold);
        if (species == kUnassigned) {
          species = reps.size();
          reps.push_back(Representative<S>{member->clone(), std::move(profiles[k])});
          population.species.push_back(Species<S>{reps.back().genome.clone(), population.config, {}});
        }
      }
      population.species[species].members.push_back(members[begin + k]);
    }
  }
}

template <class S>
void pick_representatives(Population<S>& population, Rng& rng) {
  for (auto& species : population.species) {
    const auto& chosen = species.members[rng.index(species.members.size())];
    species.representative = chosen.read()->clone();
  }
}

// Moves the threshold by 0.01 per species above or below the target, within [0.01, 100].
inline double adapted_threshold(double threshold, uint64_t target, size_t species_count) {
  // Signed difference with wrap-around, as a 64-bit two's-complement subtraction.
  const auto difference = static_cast<int64_t>(target - static_cast<uint64_t>(species_count));
  const double adapted = threshold - static_cast<double>(difference) / 100.0;
  if (std::isnan(adapted)) return 0.01;
  return std::clamp(adapted, 0.01, 100.0);
}

}  // namespace speciation_detail

// Rebuilds the species from the current members and adapts the threshold.
// The caller has exclusive access to the population.
template <Specialization S>
void respeciate(Population<S>& population, Rng& rng) {
  using namespace speciation_detail;
  const double threshold = population.current_species_threshold;
  auto reps = copy_representatives(population.species);
  for (auto& species : population.species) species.members.clear();
  assign_members(population, reps, population.current_species_threshold);

  std::erase_if(population.species, [](const Species<S>& species) { return species.members.empty(); });
  pick_representatives(population, rng);
  if (const auto target = population.config->target_species)
    population.current_species_threshold = adapted_threshold(threshold, *target, population.species.size());
}

}  // namespace evocore
