#pragma once
#include <memory>
#include <vector>

#include "genome.hpp"
#include "specialization.hpp"

namespace evocore {

template <class S>
struct Species {
  Genome<S> representative;
  SharedSettings<NEATConfig<typename S::Config>> config;
  std::vector<GenomeHandle<S>> members;
};

template <class S>
struct Population {
  SharedSettings<NEATConfig<typename S::Config>> config;
  S specialization;
  std::vector<Species<S>> species;
  std::vector<GenomeHandle<S>> members;
  StateHandle state;
  double current_species_threshold = 0.0;

  static Population create(NEATConfig<typename S::Config> config, S specialization) {
    Population population;
    population.current_species_threshold = config.species_threshold;
    population.config = std::move(config);
    population.specialization = std::move(specialization);
    population.state = std::make_shared<PopulationState>();
    return population;
  }
};

template <class S>
using PopulationHandle = Shared<Population<S>>;

}  // namespace evocore
