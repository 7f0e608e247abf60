#include <nanobind/stl/vector.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <unordered_map>

#include "../evocore/diversity.hpp"
#include "../evocore/population_init.hpp"
#include "classes.hpp"
#include "convert.hpp"
#include "dto.hpp"
#include "interrupts.hpp"
#include "locking.hpp"
#include "record.hpp"
#include "records.hpp"
#include "state.hpp"

namespace gwpy {
namespace {

PopulationHandle& population_of(PyObject* self) { return self_as<PyPopulation>(self).handle; }

// Running maximum that starts at 0.0 and skips NaN fitness values.
void keep_best(double& best, double fitness) {
  if (std::isnan(best) || fitness > best) best = fitness;
}

PyObject* get_initial_genomes(PyObject* self, PyObject*) {
  return guarded([&] {
    GenomeList members = read_locked(population_of(self), [](const Population& p) { return p.members; });
    return genome_list_object(members).release().ptr();
  });
}

PyObject* get_members(PyObject* self, void*) { return get_initial_genomes(self, nullptr); }

PyObject* get_species(PyObject* self, void*) {
  return guarded([&] {
    std::vector<Species> copies =
        read_locked(population_of(self), [](const Population& p) { return p.species; });
    nb::list list;
    for (auto& species : copies) list.append(nb::cast(PySpecies{std::move(species)}));
    return list.release().ptr();
  });
}

struct FitnessSummary {
  double best = 0.0;
  double mean = 0.0;
  size_t species = 0;
  std::vector<double> species_best;
};

// Under the population's read lock, each member read-locked in turn.
FitnessSummary summarize_fitness(const Population& population) {
  FitnessSummary summary;
  double sum = -0.0;
  for (const auto& member : population.members) {
    const double fitness = member.read()->fitness;
    keep_best(summary.best, fitness);
    sum += fitness;
  }
  const size_t count = population.members.size();
  summary.mean = sum / (count == 0 ? 1.0 : static_cast<double>(count));
  summary.species = population.species.size();
  for (const auto& species : population.species) {
    double species_max = 0.0;
    for (const auto& member : species.members) keep_best(species_max, member.read()->fitness);
    summary.species_best.push_back(species_max);
  }
  return summary;
}

PyObject* get_stats(PyObject* self, PyObject*) {
  return guarded([&] {
    const PopulationHandle& handle = population_of(self);
    const FitnessSummary summary = without_gil([&] { return summarize_fitness(*handle.read()); });
    return nb::make_tuple(summary.best, summary.mean, summary.species, summary.species_best).release().ptr();
  });
}

PyObject* augment_diversity(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"genomes", nullptr};
    PyObject* genomes_obj = nullptr;
    parse_args(args, kwargs, "O:augment_diversity", keywords, &genomes_obj);
    PopulationHandle population = population_of(self);
    GenomeList genomes = convert_arg("genomes", [&] { return to_genome_list(genomes_obj); });
    const InterruptScope interruptible;
    without_gil([&] { evocore::augment_diversity(*population.read(), genomes); });
    Py_RETURN_NONE;
  });
}

PyObject* new_node_id(PyObject* self, PyObject*) {
  return guarded([&] {
    const uint64_t id =
        read_locked(population_of(self), [](const Population& p) { return p.state->new_node_id(); });
    return PyLong_FromUnsignedLongLong(id);
  });
}

PyObject* get_edge_id(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"n1", "n2", nullptr};
    PyObject *n1_obj = nullptr, *n2_obj = nullptr;
    parse_args(args, kwargs, "OO:get_edge_id", keywords, &n1_obj, &n2_obj);
    PopulationHandle& handle = population_of(self);
    const uint64_t n1 = convert_arg("n1", [&] { return read_u64(n1_obj); });
    const uint64_t n2 = convert_arg("n2", [&] { return read_u64(n2_obj); });
    const uint64_t id =
        read_locked(handle, [&](const Population& p) { return p.state->get_edge_id(n1, n2); });
    return PyLong_FromUnsignedLongLong(id);
  });
}

PyObject* get_threshold(PyObject* self, void*) {
  return guarded([&] {
    const double threshold =
        read_locked(population_of(self), [](const Population& p) { return p.current_species_threshold; });
    return PyFloat_FromDouble(threshold);
  });
}

// Refuses an explicit edge id that the registry, or an earlier entry of the
// structure, holds for a different node pair: two pairs would share a number.
void require_free_edge_ids(const evocore::PopulationState& state, const GenomeDTO& dto) {
  std::unordered_map<uint64_t, std::pair<uint64_t, uint64_t>> given;
  for (const auto& edge : dto.edges) {
    if (!edge.id) continue;
    const std::pair<uint64_t, uint64_t> pair = std::minmax(edge.node1, edge.node2);
    auto registered = state.pair_of(*edge.id);
    if (auto earlier = given.find(*edge.id); earlier != given.end()) registered = earlier->second;
    if (registered && *registered != pair)
      evocore::refuse("argument 'structure': edge id " + std::to_string(*edge.id) +
                      " already stands for nodes " + std::to_string(registered->first) + " and " +
                      std::to_string(registered->second) + ", not " + std::to_string(pair.first) + " and " +
                      std::to_string(pair.second));
    given.insert_or_assign(*edge.id, pair);
  }
}

// Builds the genome of a structure record, drawing missing ids from the registry.
Genome genome_from_structure(Population& population, const GenomeDTO& dto) {
  require_free_edge_ids(*population.state, dto);
  uint64_t max_node = 0, max_edge = 0;
  for (const auto& node : dto.nodes) max_node = std::max(max_node, node.id.value_or(0));
  for (const auto& edge : dto.edges) max_edge = std::max(max_edge, edge.id.value_or(0));
  auto& state = *population.state;
  state.raise_node_counter(max_node);
  state.raise_edge_counter(max_edge);
  weave::WeaveNodeMap nodes;
  for (const auto& node : dto.nodes) {
    const uint64_t id = node.id ? *node.id : state.new_node_id();
    nodes[id] = weave::WeaveNode{id, node.data};
  }
  evocore::EdgeMap edges;
  for (const auto& edge : dto.edges) {
    uint64_t id = 0;
    if (edge.id) {
      id = *edge.id;
      state.set_edge_id(edge.node1, edge.node2, id);
    } else {
      id = state.get_edge_id(edge.node1, edge.node2);
    }
    edges[id] = evocore::Edge{id, edge.node1, edge.node2, edge.enabled};
  }
  return Genome::create(population.config, population.specialization, population.state, std::move(edges),
                        std::move(nodes));
}

PyObject* create_genome(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"structure", nullptr};
    PyObject* structure = nullptr;
    parse_args(args, kwargs, "O:create_genome", keywords, &structure);
    PopulationHandle& handle = population_of(self);
    convert_arg("structure", [&] {
      if (!PyDict_Check(structure)) raise_cannot_convert(structure, "PyDict");
      return 0;
    });
    GenomeDTO dto = read_record<GenomeDTO>(structure);
    GenomeHandle genome = write_locked(handle, [&](Population& population) {
      return GenomeHandle::make(genome_from_structure(population, dto));
    });
    return new_genome_object(genome);
  });
}

PyObject* initialize_genome(PyObject* self, PyObject*) {
  return guarded([&] {
    GenomeHandle genome = read_locked(population_of(self), [](const Population& population) {
      auto [node_list, edge_list] = population.specialization.initialize_genome(*population.state);
      weave::WeaveNodeMap nodes;
      evocore::EdgeMap edges;
      for (auto& node : node_list) nodes[node.id] = node;
      for (auto& edge : edge_list) edges[edge.id] = edge;
      return GenomeHandle::make(Genome::create(population.config, population.specialization, population.state,
                                               std::move(edges), std::move(nodes)));
    });
    return new_genome_object(genome);
  });
}

void construct(PyPopulation* self, nb::args args, nb::kwargs kwargs) {
  static const char* keywords[] = {"config", "start_genome", nullptr};
  PyObject *config_obj = nullptr, *start_obj = Py_None;
  parse_args(args.ptr(), kwargs.ptr(), "O|O:Population", keywords, &config_obj, &start_obj);
  std::optional<GenomeHandle> start_handle;
  if (start_obj != Py_None) start_handle = convert_arg("start_genome", [&] { return to_genome(start_obj); });
  auto config = read_settings<weave::WeaveNEATConfig>(config_obj);
  weave::validate(config.special);
  const InterruptScope interruptible;
  PopulationHandle handle = without_gil([&] {
    auto population = Population::create(config, Weave{config.special});
    std::optional<Genome> start;
    if (start_handle) start = start_handle->read()->clone();
    evocore::initialize(population, std::move(start), evocore::thread_rng());
    return PopulationHandle::make(std::move(population));
  });
  new (self) PyPopulation{std::move(handle)};
}

constexpr const char* kCreateGenomeDoc =
    "create_genome($self, structure)\n--\n\n"
    "Creates a genome from a Python dict structure, with safe ID management.\n\n"
    "Example without ids (fresh ids are generated):\n"
    "    g = pop.create_genome({\n"
    "        \"nodes\": [{\"data\": {\"pos\": (0, 0), \"type\": \"Fixed\"}},\n"
    "                  {\"data\": {\"pos\": (5, 5), \"type\": \"Flexible\"}}],\n"
    "        \"edges\": [],\n"
    "    })\n\n"
    "Example with ids drawn first from the population:\n"
    "    a, b = pop.new_node_id(), pop.new_node_id()\n"
    "    g = pop.create_genome({\n"
    "        \"nodes\": [{\"id\": a, \"data\": {\"pos\": (0, 0), \"type\": \"Fixed\"}},\n"
    "                  {\"id\": b, \"data\": {\"pos\": (5, 5), \"type\": \"Flexible\"}}],\n"
    "        \"edges\": [{\"id\": pop.get_edge_id(a, b), \"node1\": a, \"node2\": b, \"enabled\": True}],\n"
    "    })\n";

PyMethodDef get_initial_genomes_def =
    noargs_def<get_initial_genomes>("get_initial_genomes", "get_initial_genomes($self)\n--\n\n");
PyGetSetDef members_def{"members", get_members, nullptr, nullptr, nullptr};
PyGetSetDef species_def{"species", get_species, nullptr, nullptr, nullptr};
PyMethodDef get_stats_def = noargs_def<get_stats>("get_stats", "get_stats($self)\n--\n\n");
PyMethodDef augment_diversity_def =
    keyword_def<augment_diversity>("augment_diversity", "augment_diversity($self, genomes)\n--\n\n");
PyMethodDef new_node_id_def = noargs_def<new_node_id>("new_node_id", "new_node_id($self)\n--\n\n");
PyMethodDef get_edge_id_def = keyword_def<get_edge_id>("get_edge_id", "get_edge_id($self, n1, n2)\n--\n\n");
PyGetSetDef threshold_def{"current_species_threshold", get_threshold, nullptr, nullptr, nullptr};
PyMethodDef create_genome_def = keyword_def<create_genome>("create_genome", kCreateGenomeDoc);
PyMethodDef initialize_genome_def = noargs_def<initialize_genome>(
    "initialize_genome",
    "initialize_genome($self)\n--\n\n"
    "Initializes a new genome using the specialization's initialize_genome method.\n"
    "Returns a fresh genome with the default structure defined by the graph_init setting.");

}  // namespace

void register_population_class(nb::module_& module) {
  auto cls = nb::class_<PyPopulation>(module, "Population", "Population(config, start_genome=None)\n--\n\n",
                                      nb::is_final());
  cls.def("__init__", &construct);
  // The constructor parses its own arguments; this gives inspect.signature() and help() its form.
  nb::module_ inspect = nb::module_::import_("inspect");
  nb::object parameter = inspect.attr("Parameter");
  nb::object by_name = parameter.attr("POSITIONAL_OR_KEYWORD");
  nb::object config = parameter("config", by_name);
  nb::object start_genome = parameter("start_genome", by_name, nb::arg("default") = nb::none());
  cls.attr("__signature__") = inspect.attr("Signature")(nb::make_tuple(config, start_genome));
  add_method(cls, &get_initial_genomes_def);
  add_property(cls, &members_def);
  add_property(cls, &species_def);
  add_method(cls, &get_stats_def);
  add_method(cls, &augment_diversity_def);
  add_method(cls, &new_node_id_def);
  add_method(cls, &get_edge_id_def);
  add_property(cls, &threshold_def);
  add_method(cls, &create_genome_def);
  add_method(cls, &initialize_genome_def);
  cls.def("__getstate__", &population_state).def("__setstate__", &restore_population);  // pickle and copy
}

}  // namespace gwpy
