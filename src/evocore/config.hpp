#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

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

// Settings shared by a population and its genomes: copies share one immutable
// value, so cloning a genome or giving it the population's settings copies a
// pointer. A holder that changes its settings gets a changed copy of its own.
template <class T>
class SharedSettings {
 public:
  SharedSettings() : value_(defaults()) {}
  // Implicit, so that a plain value may be given wherever settings are expected.
  SharedSettings(T value) : value_(std::make_shared<const T>(std::move(value))) {}

  const T& operator*() const { return *value_; }
  const T* operator->() const { return value_.get(); }

  // Applies `change` to a copy that only this holder sees from now on.
  template <class F>
  void edit(F&& change) {
    T changed = *value_;
    std::forward<F>(change)(changed);
    value_ = std::make_shared<const T>(std::move(changed));
  }

  // Whether two holders share one value (not whether the values are equal).
  bool shares(const SharedSettings& other) const { return value_ == other.value_; }

 private:
  static const std::shared_ptr<const T>& defaults() {
    static const auto made = std::make_shared<const T>();
    return made;
  }
  std::shared_ptr<const T> value_;
};

}  // namespace evocore
