#pragma once
#include "evaluation/evaluate.hpp"
#include "specialization.hpp"

namespace weave {

// Scores a genome (held exclusively by the caller) with the evaluation strategy
// of its own configuration copy. On failure its scores are left as they were.
void evaluate_genome(Genome& genome, const CostMap& cost_map);

}  // namespace weave
