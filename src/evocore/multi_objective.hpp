#pragma once
#include <vector>

#include "nsga2.hpp"
#include "population.hpp"
#include "spea2.hpp"
#include "specialization.hpp"

namespace evocore {

// Turns the genomes' objective vectors into fitness by the configured
// method. Nothing happens when the first genome carries no objectives.
template <Specialization S>
void process_multi_objective(const Population<S>& population, const std::vector<GenomeHandle<S>>& genomes) {
  if (genomes.empty() || !genomes.front().read()->objectives) return;
  switch (population.config->selection_strategy) {
    case SelectionStrategy::NSGA2:
      NSGA2::process_fitness<S>(genomes);
      break;
    case SelectionStrategy::SPEA2:
      SPEA2::process_fitness<S>(genomes);
      break;
    case SelectionStrategy::NEAT:
      break;
  }
}

}  // namespace evocore
