#include <nanobind/stl/optional.h>
#include <nanobind/stl/vector.h>

#include "classes.hpp"
#include "convert.hpp"
#include "dto.hpp"
#include "locking.hpp"
#include "record.hpp"
#include "records.hpp"
#include "state.hpp"

namespace gwpy {
namespace {

PyObject* get_fitness(PyObject* self, void*) {
  return guarded([&] {
    const double fitness =
        read_locked(self_as<PyGenome>(self).handle, [](const Genome& g) { return g.fitness; });
    return PyFloat_FromDouble(fitness);
  });
}

int set_fitness(PyObject* self, PyObject* value, void*) {
  PyObject* result = guarded([&]() -> PyObject* {
    if (!value) raise(PyExc_AttributeError, "can't delete attribute");
    auto& genome = self_as<PyGenome>(self);
    const double fitness = convert_arg("v", [&] { return read_f64(value); });
    write_locked(genome.handle, [&](Genome& g) { g.fitness = fitness; });
    Py_RETURN_NONE;
  });
  if (!result) return -1;
  Py_DECREF(result);
  return 0;
}

PyObject* get_objectives(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    std::optional<std::vector<double>> objectives =
        read_locked(self_as<PyGenome>(self).handle, [](const Genome& g) { return g.objectives; });
    return nb::cast(objectives).release().ptr();
  });
}

int set_objectives(PyObject* self, PyObject* value, void*) {
  PyObject* result = guarded([&]() -> PyObject* {
    if (!value) raise(PyExc_AttributeError, "can't delete attribute");
    auto& genome = self_as<PyGenome>(self);
    auto objectives = convert_arg("v", [&] { return to_optional_float_list(value); });
    write_locked(genome.handle, [&](Genome& g) { g.objectives = std::move(objectives); });
    Py_RETURN_NONE;
  });
  if (!result) return -1;
  Py_DECREF(result);
  return 0;
}

GenomeDTO structure_of(const Genome& genome) {
  GenomeDTO dto;
  dto.nodes.reserve(genome.nodes.size());
  dto.edges.reserve(genome.edges.size());
  for (const auto& [id, node] : genome.nodes) dto.nodes.push_back(NodeDTO{id, node.data});
  for (const auto& [id, edge] : genome.edges)
    dto.edges.push_back(EdgeDTO{id, edge.node1, edge.node2, edge.enabled});
  return dto;
}

PyObject* get_structure(PyObject* self, PyObject*) {
  return guarded([&] {
    GenomeDTO dto = read_locked(self_as<PyGenome>(self).handle, structure_of);
    return write_record(dto).release().ptr();
  });
}

PyObject* get_nodes(PyObject* self, void*) {
  return guarded([&] {
    const auto copies = read_locked(self_as<PyGenome>(self).handle, [](const Genome& g) { return g.nodes; });
    nb::dict nodes;
    for (const auto& [id, node] : copies) nodes[nb::int_(id)] = nb::cast(PyNode{id, node.data});
    return nodes.release().ptr();
  });
}

PyObject* get_edges(PyObject* self, void*) {
  return guarded([&] {
    const auto copies = read_locked(self_as<PyGenome>(self).handle, [](const Genome& g) { return g.edges; });
    nb::dict edges;
    for (const auto& [id, edge] : copies) edges[nb::int_(id)] = nb::cast(PyEdge{edge});
    return edges.release().ptr();
  });
}

PyGetSetDef fitness_def{"fitness", get_fitness, set_fitness, nullptr, nullptr};
PyGetSetDef objectives_def{"objectives", get_objectives, set_objectives, nullptr, nullptr};
PyMethodDef get_structure_def = noargs_def<get_structure>("get_structure", "get_structure($self)\n--\n\n");
PyGetSetDef nodes_def{"nodes", get_nodes, nullptr, nullptr, nullptr};
PyGetSetDef edges_def{"edges", get_edges, nullptr, nullptr, nullptr};

}  // namespace

void register_genome_class(nb::module_& module) {
  auto cls = nb::class_<PyGenome>(module, "Genome", nb::is_final());
  add_no_constructor(cls, "Genome");
  add_property(cls, &fitness_def);
  add_property(cls, &objectives_def);
  add_method(cls, &get_structure_def);
  add_property(cls, &nodes_def);
  add_property(cls, &edges_def);
  cls.def("__getstate__", &genome_state).def("__setstate__", &restore_genome);  // pickle and copy
}

}  // namespace gwpy
