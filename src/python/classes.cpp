#include "register.hpp"

namespace gwpy {
void register_classes(nb::module_&) {}
}  // namespace gwpy
