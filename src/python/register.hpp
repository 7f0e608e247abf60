#pragma once
#include <nanobind/nanobind.h>

namespace gwpy {
namespace nb = nanobind;

// Registration order: the six classes, then the nine functions.
void register_classes(nb::module_& module);
void register_functions(nb::module_& module);
// Least-cost heuristics and local search, after the nine functions.
void register_routing_functions(nb::module_& module);
// Batch reads of genome scores as NumPy arrays, after the routing functions.
void register_batch_functions(nb::module_& module);
// The cost-map boundary for Python code, after the batch functions.
void register_cost_map_functions(nb::module_& module);
// Underscore-prefixed helpers for tests and the driver (not in __all__).
void register_private(nb::module_& module);

}  // namespace gwpy
