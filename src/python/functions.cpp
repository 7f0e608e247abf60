#include "register.hpp"

namespace gwpy {
void register_functions(nb::module_&) {}
}  // namespace gwpy
