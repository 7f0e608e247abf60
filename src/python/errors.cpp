#include "errors.hpp"

namespace gwpy {

namespace {
PyObject* internal_error = nullptr;
}

PyObject* internal_error_type() { return internal_error ? internal_error : PyExc_RuntimeError; }

void register_internal_error(nb::module_& module) {
  internal_error =
      PyErr_NewExceptionWithDoc("gridweave.InternalError",
                                "A broken invariant inside the engine. Derived from BaseException so that\n"
                                "`except Exception` does not swallow it; objects locked for writing when it\n"
                                "happened are marked broken.",
                                PyExc_BaseException, nullptr);
  if (!internal_error) throw nb::python_error();
  module.attr("InternalError") = nb::handle(internal_error);
  // Engine failures raised through nanobind-bound code take the same class.
  nb::register_exception_translator([](const std::exception_ptr& p, void*) {
    try {
      std::rethrow_exception(p);
    } catch (const evocore::InternalError& e) {
      PyErr_SetString(internal_error, e.what());
    } catch (const evocore::Interrupted&) {
      raise_keyboard_interrupt();
    }
  });
}

void raise_keyboard_interrupt() {
  if (PyErr_CheckSignals() == 0) PyErr_SetNone(PyExc_KeyboardInterrupt);
}

}  // namespace gwpy
