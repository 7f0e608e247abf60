#include <nanobind/nanobind.h>

#include "../evocore/rng.hpp"
#include "../evocore/thread_pool.hpp"
#include "records.hpp"
#include "register.hpp"

namespace gwpy {

void register_private(nb::module_& module) {
  module.def("_num_threads", [] { return evocore::ThreadPool::instance().size(); });
  module.def("_seed", [](uint64_t seed) { evocore::seed_all_threads(seed); }, nb::arg("seed"));
  register_reader_testing(module);
}

}  // namespace gwpy
