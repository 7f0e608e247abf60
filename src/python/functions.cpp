#include "functions.hpp"

#include "convert.hpp"
#include "register.hpp"

namespace gwpy {

void register_functions(nb::module_& module) {
  for (PyMethodDef* def :
       {evaluate_genomes_function(), mutate_genomes_function(), make_offspring_function(), select_function(),
        get_genome_mask_function(), get_trace_difference_function(), genome_compatibility_function(),
        get_pareto_front_function(), process_multi_objective_function()})
    add_function(module, def);
}

}  // namespace gwpy
