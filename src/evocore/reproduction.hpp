#pragma once
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <tuple>
#include <utility>
#include <vector>

#include "crossover.hpp"
#include "error.hpp"
#include "interrupt.hpp"
#include "lock_pair.hpp"
#include "population.hpp"
#include "rng.hpp"
#include "selection.hpp"
#include "specialization.hpp"

namespace evocore {

template <class S>
using Handles = std::vector<GenomeHandle<S>>;

// Global elites, species elites, offspring.
template <class S>
using Reproduction = std::tuple<Handles<S>, Handles<S>, Handles<S>>;

namespace reproduction_detail {

// Double to count: negative and NaN give 0, values beyond the 64-bit range saturate.
inline uint64_t saturating_count(double value) {
  if (!(value > 0.0)) return 0;
  if (value >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(value);
}

template <class S>
GenomeHandle<S> make_child(const GenomeHandle<S>& parent1, const GenomeHandle<S>& parent2, Rng& rng) {
  Genome<S> child = [&] {
    const ReadPair<Genome<S>> parents(parent1, parent2);
    return crossover(parents.first(), parents.second(), rng);
  }();
  child.elite = false;
  return GenomeHandle<S>::make(std::move(child));
}

// Marks the first `count` genomes as elites and appends them to `elites`.
template <class S>
void mark_elites(const Handles<S>& ranked, uint64_t count, Handles<S>& elites) {
  const size_t k = static_cast<size_t>(std::min<uint64_t>(count, ranked.size()));
  for (size_t i = 0; i < k; ++i) {
    ranked[i].write()->elite = true;
    elites.push_back(ranked[i]);
  }
}

template <class S>
Reproduction<S> global_tournament(Population<S>& population, Rng& rng) {
  Handles<S> elites, offspring;
  sort_by_fitness(population.members);
  mark_elites(population.members, population.config.num_elites_global, elites);
  while (elites.size() + offspring.size() < population.config.population_size) {
    check_interrupt();
    const auto& parent1 = tournament_select(population, rng);
    const auto& parent2 = tournament_select(population, rng);
    offspring.push_back(make_child(parent1, parent2, rng));
  }
  return {std::move(elites), Handles<S>{}, std::move(offspring)};
}

// Sets every member's adjusted fitness to fitness / species size and ranks the species.
template <class S>
void share_fitness(Species<S>& species) {
  const double size = static_cast<double>(species.members.size());
  std::vector<double> fitness;
  fitness.reserve(species.members.size());
  for (const auto& member : species.members) {
    const auto genome = member.write();
    genome->adjusted_fitness = genome->fitness / size;
    fitness.push_back(genome->fitness);
  }
  sort_by_keys(species.members, fitness);
}

template <class S>
double adjusted_sum(const Species<S>& species) {
  double sum = -0.0;
  for (const auto& member : species.members) sum += member.read()->adjusted_fitness.value_or(0.0);
  return sum;
}

// Elites and offspring of one species given its allotment.
template <class S>
void breed_species(const Species<S>& species, uint64_t allotment, const NEATConfig<typename S::Config>& config,
                   Handles<S>& species_elites, Handles<S>& offspring, Rng& rng) {
  const auto& members = species.members;
  const uint64_t n = members.size();
  const uint64_t k = std::min(n, config.num_elites_species);
  mark_elites(members, k, species_elites);
  const uint64_t pool = std::min(saturating_count(std::ceil(static_cast<double>(n) * config.selection_share)), n);
  if (allotment <= k || pool == 0) return;
  for (uint64_t i = k; i < allotment; ++i) {
    check_interrupt();
    const auto& parent1 = members[rng.index(pool)];
    const auto& parent2 = members[rng.index(pool)];
    offspring.push_back(make_child(parent1, parent2, rng));
  }
}

// Tops up with children of random species until the target size is reached.
template <class S>
void fill_up(const Population<S>& population, size_t made, Handles<S>& offspring, Rng& rng) {
  const auto& all = population.species;
  if (all.empty()) return;
  for (; made < population.config.population_size; ++made) {
    check_interrupt();
    const auto& members = all[rng.index(all.size())].members;
    if (members.empty()) return;
    const auto& parent1 = members[rng.index(members.size())];
    const auto& parent2 = members[rng.index(members.size())];
    offspring.push_back(make_child(parent1, parent2, rng));
  }
}

template <class S>
Reproduction<S> neat_speciation(Population<S>& population, Rng& rng) {
  const auto& config = population.config;
  Handles<S> elites, species_elites, offspring;
  for (auto& species : population.species) share_fitness(species);
  {
    Handles<S> ranked = population.members;
    sort_by_fitness(ranked);
    mark_elites(ranked, config.num_elites_global, elites);
  }
  std::vector<double> sums;
  double total = -0.0;
  for (const auto& species : population.species) {
    sums.push_back(adjusted_sum(species));
    total += sums.back();
  }
  const uint64_t remaining = config.population_size > elites.size() ? config.population_size - elites.size() : 0;
  if (total > 1e-9) {
    for (size_t i = 0; i < population.species.size(); ++i) {
      const uint64_t allotment = saturating_count(std::round(sums[i] / total * static_cast<double>(remaining)));
      if (allotment == 0) continue;
      breed_species(population.species[i], allotment, config, species_elites, offspring, rng);
    }
  }
  fill_up(population, elites.size() + species_elites.size() + offspring.size(), offspring, rng);
  return {std::move(elites), std::move(species_elites), std::move(offspring)};
}

}  // namespace reproduction_detail

// Global elites, species elites and crossover offspring for the next
// generation, by the configured mating strategy. The caller holds the
// population's write lock.
template <Specialization S>
Reproduction<S> reproduce(Population<S>& population, Rng& rng) {
  if (population.config.mating_strategy == MatingStrategy::GlobalTournament)
    return reproduction_detail::global_tournament(population, rng);
  return reproduction_detail::neat_speciation(population, rng);
}

// The same for a new population size `count`, which is kept. A tournament
// without members to draw from, or a count whose genomes cannot be held, is
// refused before anything changes.
template <Specialization S>
Reproduction<S> reproduce(Population<S>& population, uint64_t count, Rng& rng) {
  const bool tournament = population.config.mating_strategy == MatingStrategy::GlobalTournament;
  if (tournament && population.members.empty() && count > 0)
    refuse("argument 'count': a tournament needs members to draw parents from, the population has none");
  Handles<S> room;
  reserve_or_refuse(room, static_cast<size_t>(count));
  population.config.population_size = count;
  return reproduce(population, rng);
}

}  // namespace evocore
