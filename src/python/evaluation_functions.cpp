#include <memory>
#include <vector>

#include "../evocore/thread_pool.hpp"
#include "../weave/evaluation/traces.hpp"
#include "../weave/genome_evaluation.hpp"
#include "convert.hpp"
#include "cost_maps.hpp"
#include "functions.hpp"
#include "interrupts.hpp"
#include "locking.hpp"

namespace gwpy {
namespace {

std::vector<double> mask_of(const GenomeHandle& handle, size_t rows, size_t cols) {
  return read_locked(handle,
                     [&](const Genome& g) { return weave::compute_traces(rows, cols, g.nodes, g.edges); });
}

PyObject* evaluate_genomes(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"genomes", "cost_map", "existing", "regions", nullptr};
    PyObject *genomes_obj = nullptr, *cost_obj = nullptr, *existing_obj = nullptr, *regions_obj = nullptr;
    parse_args(args, kwargs, "OO|$OO:evaluate_genomes", keywords, &genomes_obj, &cost_obj, &existing_obj,
               &regions_obj);
    GenomeList genomes = convert_arg("genomes", [&] { return to_genome_list(genomes_obj); });
    const auto cost_map = convert_arg(
        "cost_map", [&] { return std::make_unique<CostMapView>(cost_obj, "argument 'cost_map'"); });
    const auto attachments = to_attachments(existing_obj, regions_obj, cost_map->rows(), cost_map->cols());
    cost_map->attach(attachments.get());
    const InterruptScope interruptible;
    without_gil([&] {
      const weave::CostMap view = cost_map->view();
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

PyMethodDef evaluate_genomes_def = keyword_def<evaluate_genomes>(
    "evaluate_genomes", "evaluate_genomes(genomes, cost_map, *, existing=None, regions=None)\n--\n\n");
PyMethodDef get_genome_mask_def =
    keyword_def<get_genome_mask>("get_genome_mask", "get_genome_mask(genome, shape)\n--\n\n");
PyMethodDef get_trace_difference_def = keyword_def<get_trace_difference>(
    "get_trace_difference", "get_trace_difference(g1, g2, shape, sigma)\n--\n\n");

}  // namespace

PyMethodDef* evaluate_genomes_function() { return &evaluate_genomes_def; }
PyMethodDef* get_genome_mask_function() { return &get_genome_mask_def; }
PyMethodDef* get_trace_difference_function() { return &get_trace_difference_def; }

}  // namespace gwpy
