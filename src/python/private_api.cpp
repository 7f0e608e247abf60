#include <nanobind/nanobind.h>

#include "../evocore/cpu_count.hpp"
#include "../evocore/rng.hpp"
#include "../evocore/thread_pool.hpp"
#include "interrupts.hpp"
#include "records.hpp"
#include "register.hpp"
#include "state.hpp"

namespace gwpy {

namespace {
void warn_if_thread_override_capped() {
  if (!evocore::thread_override_capped()) return;
  const std::string message = "GRIDWEAVE_NUM_THREADS is larger than " +
                              std::to_string(evocore::max_thread_override()) + "; using that many workers";
  if (PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 1) < 0) throw nb::python_error();
}
}  // namespace

void register_private(nb::module_& module) {
  module.def("_num_threads", [] { return evocore::ThreadPool::instance().size(); });
  module.def("_seed", [](uint64_t seed) { evocore::seed_all_threads(seed); }, nb::arg("seed"));
  register_reader_testing(module);
  register_settings(module);
  register_state_functions(module);
  remember_main_thread();
  warn_if_thread_override_capped();
}

}  // namespace gwpy
