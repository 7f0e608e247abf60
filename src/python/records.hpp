#pragma once
#include <nanobind/nanobind.h>

#include "../evocore/config.hpp"
#include "../weave/types.hpp"
#include "dto.hpp"
#include "record.hpp"

// Key tables of the dictionaries exchanged with Python: the configuration
// (NEATConfig with WeaveConfig under "special") and the genome structure.
// Field order is the order of missing-key reporting and of written keys.
//
// The configuration tables are the one list of settings: each key's range is
// checked when a configuration is read for the engine or loaded from a state,
// the state writes the keys in this order, and `_settings()` lists keys, kinds,
// ranges and choices for the Python layer, which adds only defaults and meanings.

namespace gwpy {

using ConfigRecord = evocore::NEATConfig<weave::WeaveConfig>;

template <>
struct GroupTraits<weave::Cell> {
  static constexpr auto members = std::make_tuple(&weave::Cell::row, &weave::Cell::column);
};

template <>
struct GroupTraits<weave::GridShape> {
  static constexpr auto members = std::make_tuple(&weave::GridShape::rows, &weave::GridShape::columns);
};

template <>
struct EnumTraits<weave::NodeType> {
  using E = weave::NodeType;
  static constexpr auto variants =
      std::make_tuple(unit_variant("Fixed", E::Fixed), unit_variant("Flexible", E::Flexible));
};

template <>
struct EnumTraits<weave::EvaluationStrategy> {
  using E = weave::EvaluationStrategy;
  static constexpr auto variants =
      std::make_tuple(unit_variant("SingleObjective", E::SingleObjective),
                      unit_variant("MultiObjectiveBridge", E::MultiObjectiveBridge));
};

// Grid carries the cell counts along x and y; it is written as {"Grid": (cx, cy)}.
template <>
struct EnumTraits<weave::GraphInit> {
  using G = weave::GraphInit;
  static constexpr auto variants =
      std::make_tuple(tagged_variant("FCN", &G::kind, G::Kind::FCN),
                      tagged_variant("Grid", &G::kind, G::Kind::Grid, &G::cells_x, &G::cells_y));
};

template <>
struct EnumTraits<evocore::MatingStrategy> {
  using E = evocore::MatingStrategy;
  static constexpr auto variants = std::make_tuple(unit_variant("NEATSpeciation", E::NEATSpeciation),
                                                   unit_variant("GlobalTournament", E::GlobalTournament));
};

template <>
struct EnumTraits<evocore::SelectionStrategy> {
  using E = evocore::SelectionStrategy;
  static constexpr auto variants = std::make_tuple(
      unit_variant("NEAT", E::NEAT), unit_variant("NSGA2", E::NSGA2), unit_variant("SPEA2", E::SPEA2));
};

// Names of the value kinds that are not plain numbers, flags or choices.
template <class T>
struct KindTraits {};
template <>
struct KindTraits<weave::GridShape> {
  static constexpr const char* name = "size";
};
template <>
struct KindTraits<std::vector<weave::Cell>> {
  static constexpr const char* name = "cells";
};
template <>
struct KindTraits<weave::GraphInit> {
  static constexpr const char* name = "graph init";
};

inline constexpr double kMaxSize = static_cast<double>(evocore::kMaxPopulationSize);
inline constexpr double kMaxGridSide = static_cast<double>(weave::kMaxGridExtent);

template <>
struct RecordTraits<weave::WeaveConfig> {
  using C = weave::WeaveConfig;
  static constexpr auto fields = std::make_tuple(
      required_field("grid_size", &C::grid_size, in_range(1, kMaxGridSide)),
      required_field("fixed_nodes", &C::fixed_nodes),
      required_field("move_node_mutation_prob", &C::move_node_mutation_prob, kProbability),
      required_field("move_node_mutation_sigma", &C::move_node_mutation_sigma, at_least(0)),
      required_field("evaluation_strategy", &C::evaluation_strategy),
      required_field("graph_init", &C::graph_init),
      required_field("compatibility_sigma", &C::compatibility_sigma, in_range(1, kMaxGridSide)),
      required_field("c3", &C::c3, at_least(0)),
      defaulted_field("min_separation", &C::min_separation, 2, in_range(0, kMaxGridSide)));
};

// An absent target_species is written as None. A population_size of 0 makes
// an empty population, the holder of genomes built by hand.
template <>
struct RecordTraits<ConfigRecord> {
  using C = ConfigRecord;
  static constexpr auto fields = std::make_tuple(
      required_field("population_size", &C::population_size, in_range(0, kMaxSize)),
      required_field("add_node_mutation_prob", &C::add_node_mutation_prob, kProbability),
      required_field("add_edge_mutation_prob", &C::add_edge_mutation_prob, kProbability),
      required_field("remove_edge_mutation_prob", &C::remove_edge_mutation_prob, kProbability),
      required_field("remove_node_mutation_prob", &C::remove_node_mutation_prob, kProbability),
      required_field("remove_node_single_mutation_prob", &C::remove_node_single_mutation_prob, kProbability),
      required_field("num_elites_species", &C::num_elites_species, in_range(0, kMaxSize)),
      required_field("num_elites_global", &C::num_elites_global, in_range(0, kMaxSize)),
      required_field("selection_share", &C::selection_share, above_up_to(0, 1)),
      required_field("tournament_size", &C::tournament_size, in_range(1, kMaxSize)),
      required_field("species_threshold", &C::species_threshold, at_least(0)),
      optional_field("target_species", &C::target_species, in_range(1, kMaxSize)),
      required_field("mating_strategy", &C::mating_strategy),
      required_field("selection_strategy", &C::selection_strategy),
      required_field("diversity_objective", &C::diversity_objective),
      required_field("crossover_enabled", &C::crossover_enabled), required_field("c1", &C::c1, at_least(0)),
      required_field("c2", &C::c2, at_least(0)), required_field("special", &C::special));
};

template <>
struct RecordTraits<weave::WeaveNodeData> {
  using D = weave::WeaveNodeData;
  static constexpr auto fields =
      std::make_tuple(required_field("pos", &D::pos), required_field("type", &D::type));
};

template <>
struct RecordTraits<NodeDTO> {
  static constexpr auto fields =
      std::make_tuple(omissible_field("id", &NodeDTO::id), required_field("data", &NodeDTO::data));
};

template <>
struct RecordTraits<EdgeDTO> {
  static constexpr auto fields =
      std::make_tuple(omissible_field("id", &EdgeDTO::id), required_field("node1", &EdgeDTO::node1),
                      required_field("node2", &EdgeDTO::node2), required_field("enabled", &EdgeDTO::enabled));
};

template <>
struct RecordTraits<GenomeDTO> {
  static constexpr auto fields =
      std::make_tuple(required_field("nodes", &GenomeDTO::nodes), required_field("edges", &GenomeDTO::edges));
};

// `_settings()`, the configuration keys with their kinds, ranges and choices,
// and `_check_config(config)`, the engine's refusal of a configuration.
void register_settings(nb::module_& module);

// Test-only bindings `_read_config` and `_roundtrip_structure` (reader_testing.cpp).
void register_reader_testing(nb::module_& module);

}  // namespace gwpy
