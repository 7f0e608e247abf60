#include "genome_evaluation.hpp"

namespace weave {

void evaluate_genome(Genome& genome, const CostMap& cost_map) {
  const auto& config = *genome.specialization.config;
  auto evaluation = evaluate_genome(genome.nodes, genome.edges, config.evaluation_strategy, cost_map,
                                    config.min_separation);
  genome.fitness = evaluation.fitness;
  if (evaluation.objectives) genome.objectives = std::move(evaluation.objectives);
}

}  // namespace weave
