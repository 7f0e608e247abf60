#include <nanobind/nanobind.h>

#include "../evocore/thread_pool.hpp"
#include "errors.hpp"
#include "register.hpp"

namespace nb = nanobind;

NB_MODULE(_core, module) {
  gwpy::register_internal_error(module);
  gwpy::register_classes(module);
  gwpy::register_functions(module);
  gwpy::register_routing_functions(module);
  gwpy::register_batch_functions(module);
  gwpy::register_cost_map_functions(module);
  gwpy::register_private(module);
}
