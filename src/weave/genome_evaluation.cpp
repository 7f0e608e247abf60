#include "genome_evaluation.hpp"

namespace weave {

void evaluate_genome(Genome& genome, const CostMap& cost_map) {
  auto evaluation = evaluate_genome(genome.nodes, genome.edges,
                                    genome.specialization.config->evaluation_strategy, cost_map);
  genome.fitness = evaluation.fitness;
  if (evaluation.objectives) genome.objectives = std::move(evaluation.objectives);
}

}  // namespace weave
