#pragma once
#include <Python.h>

namespace gwpy {

// Method definitions of the module functions (static lifetime).
PyMethodDef* evaluate_genomes_function();
PyMethodDef* get_genome_mask_function();
PyMethodDef* get_trace_difference_function();
PyMethodDef* mutate_genomes_function();
PyMethodDef* make_offspring_function();
PyMethodDef* select_function();
PyMethodDef* genome_compatibility_function();
PyMethodDef* get_pareto_front_function();
PyMethodDef* process_multi_objective_function();

}  // namespace gwpy
