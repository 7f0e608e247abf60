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
#include "thread_pool.hpp"

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

// The parents of one child and the seed of the generator its crossover draws from.
template <class S>
struct Mating {
  GenomeHandle<S> parent1;
  GenomeHandle<S> parent2;
  uint64_t seed = 0;
};

template <class S>
using Matings = std::vector<Mating<S>>;

// Parents are drawn on the caller's generator, followed by one draw that seeds
// the child's own: the children do not depend on which thread breeds them.
template <class S>
void plan_child(const GenomeHandle<S>& parent1, const GenomeHandle<S>& parent2, Rng& rng,
                Matings<S>& matings) {
  matings.push_back({parent1, parent2, rng.next_u64()});
}

// Crossover of every planned pair on the worker pool; children in plan order.
template <class S>
Handles<S> breed(const Matings<S>& matings) {
  return parallel_map<GenomeHandle<S>>(matings.size(), [&](size_t i) {
    Rng rng(matings[i].seed);
    return make_child(matings[i].parent1, matings[i].parent2, rng);
  });
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
  Handles<S> elites;
  Matings<S> matings;
  sort_by_fitness(population.members);
  mark_elites(population.members, population.config->num_elites_global, elites);
  while (elites.size() + matings.size() < population.config->population_size) {
    check_interrupt();
    const auto& parent1 = tournament_select(population, rng);
    const auto& parent2 = tournament_select(population, rng);
    plan_child(parent1, parent2, rng, matings);
  }
  return {std::move(elites), Handles<S>{}, breed(matings)};
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

// Elites of one species and the parents of its children, given its allotment.
template <class S>
void mate_species(const Species<S>& species, uint64_t allotment, const NEATConfig<typename S::Config>& config,
                  Handles<S>& species_elites, Matings<S>& matings, Rng& rng) {
  const auto& members = species.members;
  const uint64_t n = members.size();
  const uint64_t k = std::min(n, config.num_elites_species);
  mark_elites(members, k, species_elites);
  const uint64_t pool =
      std::min(saturating_count(std::ceil(static_cast<double>(n) * config.selection_share)), n);
  if (allotment <= k || pool == 0) return;
  for (uint64_t i = k; i < allotment; ++i) {
    check_interrupt();
    const auto& parent1 = members[rng.index(pool)];
    const auto& parent2 = members[rng.index(pool)];
    plan_child(parent1, parent2, rng, matings);
  }
}

// Tops up with matings within random species until the target size is reached.
template <class S>
void fill_up(const Population<S>& population, size_t made, Matings<S>& matings, Rng& rng) {
  const auto& all = population.species;
  if (all.empty()) return;
  for (; made < population.config->population_size; ++made) {
    check_interrupt();
    const auto& members = all[rng.index(all.size())].members;
    if (members.empty()) return;
    const auto& parent1 = members[rng.index(members.size())];
    const auto& parent2 = members[rng.index(members.size())];
    plan_child(parent1, parent2, rng, matings);
  }
}

template <class S>
Reproduction<S> neat_speciation(Population<S>& population, Rng& rng) {
  const auto& config = *population.config;
  Handles<S> elites, species_elites;
  Matings<S> matings;
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
  const uint64_t remaining =
      config.population_size > elites.size() ? config.population_size - elites.size() : 0;
  if (total > 1e-9) {
    for (size_t i = 0; i < population.species.size(); ++i) {
      const uint64_t allotment =
          saturating_count(std::round(sums[i] / total * static_cast<double>(remaining)));
      if (allotment == 0) continue;
      mate_species(population.species[i], allotment, config, species_elites, matings, rng);
    }
  }
  fill_up(population, elites.size() + species_elites.size() + matings.size(), matings, rng);
  return {std::move(elites), std::move(species_elites), breed(matings)};
}

}  // namespace reproduction_detail

// Global elites, species elites and crossover offspring for the next
// generation, by the configured mating strategy. The caller holds the
// population's write lock; parents are chosen on the calling thread, and the
// children are bred on the worker pool.
template <Specialization S>
Reproduction<S> reproduce(Population<S>& population, Rng& rng) {
  if (population.config->mating_strategy == MatingStrategy::GlobalTournament)
    return reproduction_detail::global_tournament(population, rng);
  return reproduction_detail::neat_speciation(population, rng);
}

// The same for a new population size `count`, which is kept. A tournament
// without members to draw from, or a count whose genomes cannot be held, is
// refused before anything changes.
template <Specialization S>
Reproduction<S> reproduce(Population<S>& population, uint64_t count, Rng& rng) {
  const bool tournament = population.config->mating_strategy == MatingStrategy::GlobalTournament;
  if (tournament && population.members.empty() && count > 0)
    refuse("argument 'count': a tournament needs members to draw parents from, the population has none");
  Handles<S> room;
  reserve_or_refuse(room, static_cast<size_t>(count));
  if (population.config->population_size != count)
    population.config.edit([&](NEATConfig<typename S::Config>& config) { config.population_size = count; });
  return reproduce(population, rng);
}

}  // namespace evocore
