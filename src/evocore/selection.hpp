#pragma once
#include <algorithm>
#include <cstdint>
#include <iterator>
#include <numeric>
#include <utility>
#include <vector>

#include "interrupt.hpp"
#include "ordering.hpp"
#include "population.hpp"
#include "rng.hpp"
#include "specialization.hpp"
#include "speciation.hpp"

namespace evocore {

// Stable sort by the given fitness values, highest first; NaN goes last.
template <class S>
void sort_by_keys(std::vector<GenomeHandle<S>>& genomes, const std::vector<double>& fitness) {
  std::vector<size_t> order(genomes.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return descending_nan_last(fitness[a], fitness[b]); });
  std::vector<GenomeHandle<S>> sorted;
  sorted.reserve(genomes.size());
  for (size_t index : order) sorted.push_back(std::move(genomes[index]));
  genomes = std::move(sorted);
}

// Stable sort by fitness, highest first; each fitness is read once under its read lock.
template <class S>
void sort_by_fitness(std::vector<GenomeHandle<S>>& genomes) {
  std::vector<double> fitness;
  fitness.reserve(genomes.size());
  for (const auto& genome : genomes) fitness.push_back(genome.read()->fitness);
  sort_by_keys(genomes, fitness);
}

// Winner of tournament_size uniform draws; a later draw wins only with strictly
// greater fitness, so ties keep the earlier winner and NaN never wins.
template <Specialization S>
const GenomeHandle<S>& tournament_select(const Population<S>& population, Rng& rng) {
  const auto& members = population.members;
  size_t winner = rng.index(members.size());
  double best = members[winner].read()->fitness;
  for (uint64_t round = 1; round < population.config->tournament_size; ++round) {
    if (round % 4096 == 0) check_interrupt();
    const size_t challenger = rng.index(members.size());
    const double fitness = members[challenger].read()->fitness;
    if (fitness > best) {
      winner = challenger;
      best = fitness;
    }
  }
  return members[winner];
}

namespace selection_detail {

template <class T>
void keep_first(std::vector<T>& items, uint64_t count) {
  if (count < items.size()) items.erase(items.begin() + static_cast<std::ptrdiff_t>(count), items.end());
}

}  // namespace selection_detail

// Forms the next members from children, elites and species elites (in that
// order). NEAT keeps the first population_size; NSGA2 and SPEA2 add the old
// members and keep the population_size fittest. Either way the species are
// rebuilt from the new members, so that species breed from the current
// generation and hold no genome that left the population.
template <Specialization S>
void select(Population<S>& population, std::vector<GenomeHandle<S>> elites,
            std::vector<GenomeHandle<S>> species_elites, std::vector<GenomeHandle<S>> children, Rng& rng) {
  std::vector<GenomeHandle<S>> candidates = std::move(children);
  candidates.reserve(candidates.size() + elites.size() + species_elites.size() + population.members.size());
  std::move(elites.begin(), elites.end(), std::back_inserter(candidates));
  std::move(species_elites.begin(), species_elites.end(), std::back_inserter(candidates));
  const uint64_t size = population.config->population_size;
  if (population.config->selection_strategy == SelectionStrategy::NEAT) {
    selection_detail::keep_first(candidates, size);
    population.members = std::move(candidates);
    respeciate(population, rng);
    return;
  }
  candidates.insert(candidates.end(), population.members.begin(), population.members.end());
  sort_by_fitness(candidates);
  selection_detail::keep_first(candidates, size);
  population.members = std::move(candidates);
  respeciate(population, rng);
}

}  // namespace evocore
