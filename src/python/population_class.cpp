#include <nanobind/stl/vector.h>

#include <algorithm>
#include <cmath>

#include "../evocore/diversity.hpp"
#include "../evocore/population_init.hpp"
#include "classes.hpp"
#include "convert.hpp"
#include "dto.hpp"
#include "record.hpp"
#include "records.hpp"

namespace gwpy {
namespace {

PopulationHandle& population_of(PyObject* self) { return self_as<PyPopulation>(self).handle; }

// Running maximum that starts at 0.0 and skips NaN fitness values.
void keep_best(double& best, double fitness) {
  if (std::isnan(best) || fitness > best) best = fitness;
}

PyObject* get_initial_genomes(PyObject* self, PyObject*) {
  return guarded([&] {
    GenomeList members = population_of(self).read()->members;
    return genome_list_object(members).release().ptr();
  });
}

PyObject* get_members(PyObject* self, void*) { return get_initial_genomes(self, nullptr); }

PyObject* get_species(PyObject* self, void*) {
  return guarded([&] {
    std::vector<Species> copies = population_of(self).read()->species;
    nb::list list;
    for (auto& species : copies) list.append(nb::cast(PySpecies{std::move(species)}));
    return list.release().ptr();
  });
}

PyObject* get_stats(PyObject* self, PyObject*) {
  return guarded([&] {
    auto population = population_of(self).read();
    double best = 0.0, sum = -0.0;
    for (const auto& member : population->members) {
      const double fitness = member.read()->fitness;
      keep_best(best, fitness);
      sum += fitness;
    }
    const double count = population->members.empty() ? 1.0 : static_cast<double>(population->members.size());
    std::vector<double> species_best;
    for (const auto& species : population->species) {
      double species_max = 0.0;
      for (const auto& member : species.members) keep_best(species_max, member.read()->fitness);
      species_best.push_back(species_max);
    }
    return nb::make_tuple(best, sum / count, population->species.size(), species_best).release().ptr();
  });
}

PyObject* augment_diversity(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"genomes", nullptr};
    PyObject* genomes_obj = nullptr;
    parse_args(args, kwargs, "O:augment_diversity", keywords, &genomes_obj);
    PopulationHandle population = population_of(self);
    GenomeList genomes = convert_arg("genomes", [&] { return to_genome_list(genomes_obj); });
    {
      nb::gil_scoped_release unlocked;
      auto guard = population.read();
      evocore::augment_diversity(*guard, genomes);
    }
    Py_RETURN_NONE;
  });
}

PyObject* new_node_id(PyObject* self, PyObject*) {
  return guarded([&] {
    auto population = population_of(self).read();
    return PyLong_FromUnsignedLongLong(population->state->new_node_id());
  });
}

PyObject* get_edge_id(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"n1", "n2", nullptr};
    PyObject *n1_obj = nullptr, *n2_obj = nullptr;
    parse_args(args, kwargs, "OO:get_edge_id", keywords, &n1_obj, &n2_obj);
    PopulationHandle& handle = population_of(self);
    const uint64_t n1 = convert_arg("n1", [&] { return to_u64(n1_obj); });
    const uint64_t n2 = convert_arg("n2", [&] { return to_u64(n2_obj); });
    auto population = handle.read();
    return PyLong_FromUnsignedLongLong(population->state->get_edge_id(n1, n2));
  });
}

PyObject* get_threshold(PyObject* self, void*) {
  return guarded([&] { return PyFloat_FromDouble(population_of(self).read()->current_species_threshold); });
}

// Builds the genome of a structure record, drawing missing ids from the registry.
Genome genome_from_structure(Population& population, const GenomeDTO& dto) {
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
    auto population = handle.write();
    return new_genome_object(GenomeHandle::make(genome_from_structure(*population, dto)));
  });
}

PyObject* initialize_genome(PyObject* self, PyObject*) {
  return guarded([&] {
    auto population = population_of(self).read();
    auto [node_list, edge_list] = population->specialization.initialize_genome(*population->state);
    weave::WeaveNodeMap nodes;
    evocore::EdgeMap edges;
    for (auto& node : node_list) nodes[node.id] = node;
    for (auto& edge : edge_list) edges[edge.id] = edge;
    return new_genome_object(GenomeHandle::make(Genome::create(
        population->config, population->specialization, population->state, std::move(edges), std::move(nodes))));
  });
}

void construct(PyPopulation* self, nb::args args, nb::kwargs kwargs) {
  static const char* keywords[] = {"config", "start_genome", nullptr};
  PyObject *config_obj = nullptr, *start_obj = Py_None;
  parse_args(args.ptr(), kwargs.ptr(), "O|O:Population", keywords, &config_obj, &start_obj);
  std::optional<GenomeHandle> start_handle;
  if (start_obj != Py_None) start_handle = convert_arg("start_genome", [&] { return to_genome(start_obj); });
  auto config = read_record<weave::WeaveNEATConfig>(config_obj);
  auto population = Population::create(config, Weave{config.special});
  std::optional<Genome> start;
  if (start_handle) start = start_handle->read()->clone();
  evocore::initialize(population, std::move(start), evocore::thread_rng());
  new (self) PyPopulation{PopulationHandle::make(std::move(population))};
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
}

}  // namespace gwpy
