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
struct Candidate {
  CompatibilityProfile<S> profile;
  size_t species = kUnassigned;
};

template <class S>
struct Representative {
  Genome<S> genome;
  CompatibilityProfile<S> profile;
};

template <class S>
size_t first_species_within(const Genome<S>& member, const CompatibilityProfile<S>& profile,
                            const std::vector<Representative<S>>& reps, double threshold) {
  for (size_t i = 0; i < reps.size(); ++i)
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

// Profiles every member and finds its first species within the threshold;
// keeps the profiles of the members that found none.
template <class S>
std::vector<std::optional<Candidate<S>>> assign_to_existing(const std::vector<GenomeHandle<S>>& members,
                                                            const std::vector<Representative<S>>& reps,
                                                            double threshold) {
  std::vector<std::optional<Candidate<S>>> candidates(members.size());
  parallel_for(members.size(), [&](size_t i) {
    const auto member = members[i].read();
    auto profile = make_profile(*member);
    const size_t species = first_species_within(*member, profile, reps, threshold);
    // Only members left for new species are compared again; the others' profiles go now.
    if (species != kUnassigned) profile = {};
    candidates[i].emplace(Candidate<S>{std::move(profile), species});
  });
  return candidates;
}

// Founds species from the unassigned members, in order. The founder always
// joins its own species, which also ends the loop for thresholds of 0 or less
// and for distances that are not numbers.
template <class S>
void found_new_species(Population<S>& population, std::vector<size_t> rest,
                       std::vector<std::optional<Candidate<S>>>& candidates, double threshold) {
  const auto& members = population.members;
  while (!rest.empty()) {
    const size_t founder = rest.front();
    const Genome<S> rep = members[founder].read()->clone();
    const CompatibilityProfile<S> rep_profile = std::move(candidates[founder]->profile);
    const auto within = parallel_map<uint8_t>(rest.size() - 1, [&](size_t k) {
      const size_t index = rest[k + 1];
      const auto genome = members[index].read();
      return static_cast<uint8_t>(
          calculate_compatibility(rep, rep_profile, *genome, candidates[index]->profile) < threshold);
    });
    Species<S> species{rep, population.config, {members[founder]}};
    std::vector<size_t> others;
    for (size_t k = 1; k < rest.size(); ++k) {
      if (within[k - 1])
        species.members.push_back(members[rest[k]]);
      else
        others.push_back(rest[k]);
    }
    population.species.push_back(std::move(species));
    rest = std::move(others);
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
  const auto reps = copy_representatives(population.species);
  for (auto& species : population.species) species.members.clear();
  const double threshold = population.current_species_threshold;

  auto candidates = assign_to_existing(population.members, reps, threshold);
  std::vector<size_t> rest;
  for (size_t i = 0; i < candidates.size(); ++i) {
    const size_t species = candidates[i]->species;
    if (species == kUnassigned)
      rest.push_back(i);
    else
      population.species[species].members.push_back(population.members[i]);
  }
  found_new_species(population, std::move(rest), candidates, threshold);

  std::erase_if(population.species, [](const Species<S>& species) { return species.members.empty(); });
  pick_representatives(population, rng);
  if (const auto target = population.config.target_species)
    population.current_species_threshold = adapted_threshold(threshold, *target, population.species.size());
}

}  // namespace evocore
