#include <nanobind/ndarray.h>

#include <cmath>
#include <limits>
#include <vector>

#include "../evocore/thread_pool.hpp"
#include "../weave/genome_evaluation.hpp"
#include "../weave/evaluation/traces.hpp"
#include "convert.hpp"
#include "functions.hpp"
#include "interrupts.hpp"
#include "locking.hpp"

namespace gwpy {
namespace {

using CostArray = nb::ndarray<const double, nb::ndim<2>, nb::device::cpu>;

// Row-major private copy of the caller's cost map (any memory order or strides).
struct OwnedCostMap {
  size_t rows = 0, cols = 0;
  std::vector<double> cells;
  weave::CostMap view() const { return weave::CostMap{rows, cols, cells.data()}; }
};

OwnedCostMap copy_cost_map(PyObject* obj) {
  CostArray array;
  if (!nb::try_cast(nb::handle(obj), array, /*convert=*/false)) raise_cannot_convert(obj, "ndarray[float64, ndim=2]");
  OwnedCostMap map{array.shape(0), array.shape(1), {}};
  map.cells.resize(map.rows * map.cols);
  const double* data = array.data();
  const int64_t row_stride = array.stride(0), col_stride = array.stride(1);
  for (size_t x = 0; x < map.rows; ++x)
    for (size_t y = 0; y < map.cols; ++y)
      map.cells[x * map.cols + y] = data[static_cast<int64_t>(x) * row_stride + static_cast<int64_t>(y) * col_stride];
  for (double cost : map.cells)
    if (std::isnan(cost)) raise(PyExc_ValueError, "argument 'cost_map': the cost map contains NaN");
  return map;
}

// A new C-contiguous float64 array that owns `cells`.
PyObject* new_array(std::vector<double>&& cells, size_t rows, size_t cols) {
  auto* owned = new std::vector<double>(std::move(cells));
  nb::capsule owner(owned, [](void* p) noexcept { delete static_cast<std::vector<double>*>(p); });
  size_t shape[2] = {rows, cols};
  nb::ndarray<nb::numpy, double, nb::ndim<2>> array(owned->data(), 2, shape, owner);
  return array.cast().release().ptr();
}

std::vector<double> mask_of(const GenomeHandle& handle, size_t rows, size_t cols) {
  return read_locked(handle, [&](const Genome& g) { return weave::compute_traces(rows, cols, g.nodes, g.edges); });
}

PyObject* evaluate_genomes(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"genomes", "cost_map", nullptr};
    PyObject *genomes_obj = nullptr, *cost_obj = nullptr;
    parse_args(args, kwargs, "OO:evaluate_genomes", keywords, &genomes_obj, &cost_obj);
    GenomeList genomes = convert_arg("genomes", [&] { return to_genome_list(genomes_obj); });
    OwnedCostMap cost_map = convert_arg("cost_map", [&] { return copy_cost_map(cost_obj); });
    const InterruptScope interruptible;
    without_gil([&] {
      const weave::CostMap view = cost_map.view();
      evocore::parallel_for(genomes.size(), [&](size_t i) {
        auto genome = genomes[i].write();
        weave::evaluate_genome(*genome, view);
      });
    });
    Py_RETURN_NONE;
  });
}

PyObject* get_genome_mask(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"genome", "shape", nullptr};
    PyObject *genome_obj = nullptr, *shape_obj = nullptr;
    parse_args(args, kwargs, "OO:get_genome_mask", keywords, &genome_obj, &shape_obj);
    GenomeHandle genome = convert_arg("genome", [&] { return to_genome(genome_obj); });
    auto [rows, cols] = convert_arg("shape", [&] { return to_shape(shape_obj); });
    return new_array(mask_of(genome, rows, cols), rows, cols);
  });
}

PyObject* get_trace_difference(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"g1", "g2", "shape", "sigma", nullptr};
    PyObject *g1_obj = nullptr, *g2_obj = nullptr, *shape_obj = nullptr, *sigma_obj = nullptr;
    parse_args(args, kwargs, "OOOO:get_trace_difference", keywords, &g1_obj, &g2_obj, &shape_obj, &sigma_obj);
    GenomeHandle g1 = convert_arg("g1", [&] { return to_genome(g1_obj); });
    GenomeHandle g2 = convert_arg("g2", [&] { return to_genome(g2_obj); });
    auto [rows, cols] = convert_arg("shape", [&] { return to_shape(shape_obj); });
    const size_t sigma = convert_arg("sigma", [&] { return to_size(sigma_obj); });
    std::vector<double> first = mask_of(g1, rows, cols);
    std::vector<double> second = mask_of(g2, rows, cols);
    std::vector<double> difference = weave::trace_difference(first, second, rows, cols, sigma);
    return new_array(std::move(difference), sigma ? rows / sigma : 0, sigma ? cols / sigma : 0);
  });
}

PyMethodDef evaluate_genomes_def =
    keyword_def<evaluate_genomes>("evaluate_genomes", "evaluate_genomes(genomes, cost_map)\n--\n\n");
PyMethodDef get_genome_mask_def =
    keyword_def<get_genome_mask>("get_genome_mask", "get_genome_mask(genome, shape)\n--\n\n");
PyMethodDef get_trace_difference_def = keyword_def<get_trace_difference>(
    "get_trace_difference", "get_trace_difference(g1, g2, shape, sigma)\n--\n\n");

}  // namespace

PyMethodDef* evaluate_genomes_function() { return &evaluate_genomes_def; }
PyMethodDef* get_genome_mask_function() { return &get_genome_mask_def; }
PyMethodDef* get_trace_difference_function() { return &get_trace_difference_def; }

}  // namespace gwpy
