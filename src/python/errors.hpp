#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

#include <new>
#include <string>

#include "../evocore/error.hpp"

namespace gwpy {
namespace nb = nanobind;

// The module's internal-failure exception class (derives from BaseException).
PyObject* internal_error_type();
void register_internal_error(nb::module_& module);

// Sets a Python exception and unwinds to the nearest guard.
[[noreturn]] inline void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw nb::python_error();
}

// Sets the KeyboardInterrupt for engine work that stopped at Ctrl-C.
void raise_keyboard_interrupt();

// Runs `body` and turns every C++ exception into the matching Python
// exception. Returns a new reference, or nullptr with the error set.
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (nb::python_error& e) {
    e.restore();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const evocore::InvalidInput& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const evocore::Interrupted&) {
    raise_keyboard_interrupt();
  } catch (const std::exception& e) {
    PyErr_SetString(internal_error_type(), e.what());
  } catch (...) {
    PyErr_SetString(internal_error_type(), "unknown internal failure");
  }
  return nullptr;
}

}  // namespace gwpy
