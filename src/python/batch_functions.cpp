#include <nanobind/ndarray.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "../evocore/thread_pool.hpp"
#include "../weave/evaluation/evaluate.hpp"
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
    const auto cost_map =
        convert_arg("cost_map", [&] { return std::make_unique<BorrowedCostMap>(cost_obj); });
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

PyMethodDef get_fitness_values_def =
    keyword_def<get_fitness_values>("get_fitness_values", "get_fitness_values(genomes)\n--\n\n");
PyMethodDef get_objective_vectors_def =
    keyword_def<get_objective_vectors>("get_objective_vectors", "get_objective_vectors(genomes)\n--\n\n");
PyMethodDef network_costs_def =
    keyword_def<network_costs>("network_costs", "network_costs(genomes, cost_map, *, existing=None)\n--\n\n");

}  // namespace

void register_batch_functions(nb::module_& module) {
  add_function(module, &get_fitness_values_def);
  add_function(module, &get_objective_vectors_def);
  add_function(module, &network_costs_def);
}

}  // namespace gwpy
