#pragma once
#include "evaluation/connectivity.hpp"
#include "evaluation/evaluate.hpp"
#include "specialization.hpp"

namespace weave {

// Scores a genome (held exclusively by the caller) with the evaluation strategy
// of its settings. On failure its scores are left as they were.
void evaluate_genome(Genome& genome, const CostMap& cost_map);

// The protection rule a genome's bridge objective uses on this map.
inline Separation separation_of(const Genome& genome, const CostMap& cost_map) {
  return {genome.specialization.config->min_separation, cost_map.rows, cost_map.cols};
}

}  // namespace weave
