#pragma once
#include <cstdint>
#include <optional>

namespace evocore {

// The largest population the engine accepts (population_size, the count of
// make_offspring) and the largest tournament: anything larger is a mistake.
inline constexpr uint64_t kMaxPopulationSize = uint64_t{1} << 24;

enum class MatingStrategy { NEATSpeciation, GlobalTournament };
enum class SelectionStrategy { NEAT, NSGA2, SPEA2 };

// Engine configuration, generic over the specialization's own configuration.
// Field order is the order of the dictionary key table.
template <class Special>
struct NEATConfig {
  uint64_t population_size = 0;
  double add_node_mutation_prob = 0.0;
  double add_edge_mutation_prob = 0.0;
  double remove_edge_mutation_prob = 0.0;
  double remove_node_mutation_prob = 0.0;
  double remove_node_single_mutation_prob = 0.0;
  uint64_t num_elites_species = 0;
  uint64_t num_elites_global = 0;
  double selection_share = 0.0;
  uint64_t tournament_size = 0;
  double species_threshold = 0.0;
  std::optional<uint64_t> target_species;
  MatingStrategy mating_strategy = MatingStrategy::NEATSpeciation;
  SelectionStrategy selection_strategy = SelectionStrategy::NEAT;
  bool diversity_objective = false;
  bool crossover_enabled = false;
  double c1 = 0.0;
  double c2 = 0.0;
  Special special{};
};

}  // namespace evocore
