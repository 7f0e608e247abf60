#pragma once
#include <utility>

#include "genome.hpp"
#include "rng.hpp"
#include "specialization.hpp"

namespace evocore {

// One child from two parents. The structure comes from the fitter parent; for
// edges both parents carry, a coin decides whose record (ends, id) is copied,
// while the enabled flag always stays the fitter parent's.
template <Specialization S>
Genome<S> crossover(const Genome<S>& parent1, const Genome<S>& parent2, Rng& rng) {
  const bool first_is_fitter = parent1.fitness > parent2.fitness;  // ties and NaN favour parent2
  const Genome<S>& fitter = first_is_fitter ? parent1 : parent2;
  const Genome<S>& weaker = first_is_fitter ? parent2 : parent1;
  if (!fitter.config->crossover_enabled) return fitter.clone();

  EdgeMap edges;
  edges.reserve(fitter.edges.size());
  for (const Edge* own : fitter.sorted_edges()) {
    Edge inherited = *own;
    if (const auto other = weaker.edges.find(own->id); other != weaker.edges.end()) {
      if (rng.uniform01() < 0.5) inherited = other->second;
      inherited.enabled = own->enabled;
    }
    edges.insert_or_assign(inherited.id, inherited);
  }
  return Genome<S>::create(fitter.config, fitter.specialization, fitter.state, std::move(edges),
                           fitter.nodes);
}

}  // namespace evocore
