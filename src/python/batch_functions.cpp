#include <nanobind/ndarray.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "../evocore/non_dominated.hpp"
#include "../evocore/thread_pool.hpp"
#include "../weave/evaluation/connectivity.hpp"
#include "../weave/evaluation/evaluate.hpp"
#include "../weave/evaluation/network_cost.hpp"
#include "convert.hpp"
#include "cost_maps.hpp"
#include "locking.hpp"
#include "register.hpp"

namespace gwpy {
namespace {

// A one-dimensional NumPy array that owns `values`.
template <class T>
nb::object vector_array(std::vector<T>&& values) {
  auto* owned = new std::vector<T>(std::move(values));
  nb::capsule owner(owned, [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
  const size_t shape[1] = {owned->size()};
  return nb::ndarray<nb::numpy, T, nb::ndim<1>>(owned->data(), 1, shape, owner).cast();
}

// Reads one value of every genome, each under its read lock, with the
// interpreter lock released: no Python object exists while a lock is held.
template <class T, class F>
std::vector<T> read_each(const GenomeList& genomes, F&& copy_out) {
  return without_gil([&] {
    std::vector<T> values;
    values.reserve(genomes.size());
    for (const auto& genome : genomes) values.push_back(copy_out(*genome.read()));
    return values;
  });
}

PyObject* get_fitness_values(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"genomes", nullptr};
    PyObject* genomes_obj = nullptr;
    parse_args(args, kwargs, "O:get_fitness_values", keywords, &genomes_obj);
    const GenomeList genomes = convert_arg("genomes", [&] { return to_genome_list(genomes_obj); });
    auto fitness = read_each<double>(genomes, [](const Genome& g) { return g.fitness; });
    return vector_array(std::move(fitness)).release().ptr();
  });
}

// Rows of the longest vector's width, NaN after each genome's own values;
// the lengths tell the rows apart (-1: the genome has no objective vector).
PyObject* objective_arrays(const std::vector<std::optional<std::vector<double>>>& vectors) {
  size_t width = 0;
  for (const auto& vector : vectors) width = std::max(width, vector ? vector->size() : 0);
  std::vector<double> values(vectors.size() * width, std::nan(""));
  std::vector<int64_t> lengths(vectors.size(), -1);
  for (size_t row = 0; row < vectors.size(); ++row) {
    if (!vectors[row]) continue;
    std::copy(vectors[row]->begin(), vectors[row]->end(),
              values.begin() + static_cast<ptrdiff_t>(row * width));
    lengths[row] = static_cast<int64_t>(vectors[row]->size());
  }
  nb::object table = nb::steal(new_array(std::move(values), vectors.size(), width));
  return nb::make_tuple(table, vector_array(std::move(lengths))).release().ptr();
}

PyObject* get_objective_vectors(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"genomes", nullptr};
    PyObject* genomes_obj = nullptr;
    parse_args(args, kwargs, "O:get_objective_vectors", keywords, &genomes_obj);
    const GenomeList genomes = convert_arg("genomes", [&] { return to_genome_list(genomes_obj); });
    const auto vectors =
        read_each<std::optional<std::vector<double>>>(genomes, [](const Genome& g) { return g.objectives; });
    return objective_arrays(vectors);
  });
}

// Each genome's cost in map units on the trace kernel, in parallel; the map is
// read in place.
PyObject* network_costs(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"genomes", "cost_map", "existing", nullptr};
    PyObject *genomes_obj = nullptr, *cost_obj = nullptr, *existing_obj = nullptr;
    parse_args(args, kwargs, "OO|$O:network_costs", keywords, &genomes_obj, &cost_obj, &existing_obj);
    const GenomeList genomes = convert_arg("genomes", [&] { return to_genome_list(genomes_obj); });
    const auto cost_map = convert_arg(
        "cost_map", [&] { return std::make_unique<CostMapView>(cost_obj, "argument 'cost_map'"); });
    // The existing network's cells cost nothing: what is left is the new construction.
    const auto attachments = to_attachments(existing_obj, nullptr, cost_map->rows(), cost_map->cols());
    cost_map->attach(attachments.get());
    auto costs = without_gil([&] {
      const weave::CostMap view = cost_map->view();
      std::vector<double> values(genomes.size());
      evocore::parallel_for(genomes.size(), [&](size_t i) {
        const auto genome = genomes[i].read();
        values[i] = weave::map_units_cost(genome->nodes, genome->edges, view);
      });
      return values;
    });
    return vector_array(std::move(costs)).release().ptr();
  });
}

// Each edge's cost in map units over its sampled cells (its end nodes' cells
// are not included), disabled edges too, by edge id: with the node cells, the
// terms that network_costs adds up.
PyObject* edge_costs(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"genome", "cost_map", nullptr};
    PyObject *genome_obj = nullptr, *cost_obj = nullptr;
    parse_args(args, kwargs, "OO:edge_costs", keywords, &genome_obj, &cost_obj);
    const GenomeHandle genome = convert_arg("genome", [&] { return to_genome(genome_obj); });
    const auto cost_map = convert_arg(
        "cost_map", [&] { return std::make_unique<CostMapView>(cost_obj, "argument 'cost_map'"); });
    const auto costs = without_gil([&] {
      const weave::CostMap view = cost_map->view();
      const auto g = genome.read();
      std::vector<std::pair<uint64_t, double>> found;
      found.reserve(g->edges.size());
      for (const auto& [id, edge] : g->edges)
        found.emplace_back(id, weave::edge_cost(weave::edge_end(g->nodes, edge, edge.node1).data.pos,
                                                weave::edge_end(g->nodes, edge, edge.node2).data.pos, view));
      return found;
    });
    nb::dict result;
    for (const auto& [id, cost] : costs) result[nb::int_(id)] = nb::float_(cost);
    return result.release().ptr();
  });
}

// The enabled edges whose removal splits their part of the network, in every
// part (the bridge search runs from one node, so once per part).
std::vector<uint64_t> bridges_of(const Genome& genome) {
  std::unordered_map<uint64_t, std::vector<uint64_t>> around;
  for (const auto& [id, edge] : genome.edges)
    if (edge.enabled) around[edge.node1].push_back(id), around[edge.node2].push_back(id);
  std::unordered_map<uint64_t, bool> seen;
  std::vector<uint64_t> bridges;
  for (const auto& [start, unused] : genome.nodes) {
    if (seen[start]) continue;
    weave::WeaveNodeMap part_nodes;
    evocore::EdgeMap part_edges;
    std::vector<uint64_t> stack{start};
    seen[start] = true;
    while (!stack.empty()) {
      const uint64_t node = stack.back();
      stack.pop_back();
      part_nodes.emplace(node, genome.nodes.at(node));
      for (uint64_t id : around[node]) {
        const auto& edge = genome.edges.at(id);
        part_edges.emplace(id, edge);
        for (uint64_t end : {edge.node1, edge.node2})
          if (!seen[end] && genome.nodes.contains(end)) seen[end] = true, stack.push_back(end);
      }
    }
    if (part_edges.empty()) continue;
    // The rule of the bridge objective: edges on the same two nodes share one trace, so
    // they never protect each other, and min_separation applies as in the evaluation.
    const auto& grid = *genome.specialization.config;
    const weave::Separation separation{grid.min_separation, grid.grid_size.rows, grid.grid_size.columns};
    for (uint64_t id : weave::bridge_edge_ids(part_nodes, part_edges, separation)) bridges.push_back(id);
  }
  std::sort(bridges.begin(), bridges.end());
  return bridges;
}

PyObject* bridge_edges(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"genome", nullptr};
    PyObject* genome_obj = nullptr;
    parse_args(args, kwargs, "O:bridge_edges", keywords, &genome_obj);
    const GenomeHandle genome = convert_arg("genome", [&] { return to_genome(genome_obj); });
    const auto bridges = read_locked(genome, bridges_of);
    nb::list result;
    for (uint64_t id : bridges) result.append(nb::int_(id));
    return result.release().ptr();
  });
}

// Positions of the points that no other point dominates, increasing; of equal
// points the first. Points holding NaN are left out.
PyObject* non_dominated(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"points", nullptr};
    PyObject* points_obj = nullptr;
    parse_args(args, kwargs, "O:non_dominated", keywords, &points_obj);
    const auto points = convert_arg("points", [&] {
      nb::sequence list;
      if (!nb::try_cast(nb::handle(points_obj), list) || PyUnicode_Check(points_obj))
        raise(PyExc_TypeError, "expected a sequence of points, got " + type_name(points_obj));
      std::vector<std::optional<std::vector<double>>> read;
      std::vector<size_t> lengths;
      for (size_t i = 0, count = nb::len(list); i < count; ++i) {
        read.push_back(to_optional_float_list(nb::object(list[i]).ptr()));
        if (!read.back()) raise(PyExc_TypeError, "a point is None");
        lengths.push_back(read.back()->size());
      }
      evocore::require_equal_lengths(lengths, "argument 'points'");
      return read;
    });
    const auto kept = evocore::non_dominated(points, evocore::EqualVectors::KeepFirst);
    nb::list result;
    for (size_t i : kept) result.append(nb::int_(i));
    return result.release().ptr();
  });
}

PyMethodDef get_fitness_values_def =
    keyword_def<get_fitness_values>("get_fitness_values", "get_fitness_values(genomes)\n--\n\n");
PyMethodDef get_objective_vectors_def =
    keyword_def<get_objective_vectors>("get_objective_vectors", "get_objective_vectors(genomes)\n--\n\n");
PyMethodDef edge_costs_def = keyword_def<edge_costs>("edge_costs", "edge_costs(genome, cost_map)\n--\n\n");
PyMethodDef bridge_edges_def = keyword_def<bridge_edges>("bridge_edges", "bridge_edges(genome)\n--\n\n");
PyMethodDef non_dominated_def = keyword_def<non_dominated>("non_dominated", "non_dominated(points)\n--\n\n");
PyMethodDef network_costs_def =
    keyword_def<network_costs>("network_costs", "network_costs(genomes, cost_map, *, existing=None)\n--\n\n");

}  // namespace

void register_batch_functions(nb::module_& module) {
  add_function(module, &get_fitness_values_def);
  add_function(module, &get_objective_vectors_def);
  add_function(module, &network_costs_def);
  add_function(module, &edge_costs_def);
  add_function(module, &bridge_edges_def);
  add_function(module, &non_dominated_def);
}

}  // namespace gwpy
