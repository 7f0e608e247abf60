#include "classes.hpp"

#include "register.hpp"

namespace gwpy {

void register_classes(nb::module_& module) {
  register_genome_class(module);
  register_population_class(module);
  register_species_class(module);
  register_value_classes(module);
}

}  // namespace gwpy
