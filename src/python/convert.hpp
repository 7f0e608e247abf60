#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "handles.hpp"
#include "record.hpp"

namespace gwpy {

// Argument conversion. Each converter raises a Python error (and throws
// nb::python_error) on failure; convert_arg adds the "argument '<name>': "
// prefix to TypeErrors, keeping the original's cause.
[[noreturn]] void raise_with_argument_prefix(const char* name, nb::python_error& error);

template <class F>
auto convert_arg(const char* name, F&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (nb::python_error& error) {
    if (error.matches(PyExc_TypeError)) raise_with_argument_prefix(name, error);
    throw;
  }
}

std::string type_name(PyObject* obj);
[[noreturn]] void raise_cannot_convert(PyObject* obj, const char* expected);

PopulationHandle to_population(PyObject* obj);
GenomeHandle to_genome(PyObject* obj);
GenomeList to_genome_list(PyObject* obj);
size_t to_size(PyObject* obj);
// Integers and floats are read as record fields are.
using record_io::read_f64;
using record_io::read_u64;
std::optional<std::vector<double>> to_optional_float_list(PyObject* obj);
std::pair<size_t, size_t> to_shape(PyObject* obj);

// Parses positional and keyword arguments by the host's rules. `format` as for
// PyArg_ParseTupleAndKeywords, e.g. "OO:evaluate_genomes".
template <class... Out>
void parse_args(PyObject* args, PyObject* kwargs, const char* format, const char* const* keywords,
                Out**... out) {
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), out...))
    throw nb::python_error();
}

// New Python objects for results.
PyObject* new_genome_object(const GenomeHandle& handle);
nb::list genome_list_object(const GenomeList& genomes);

// Builds a builtin function or method whose docstring carries the text
// signature, so that inspect.signature works.
void add_function(nb::module_& module, PyMethodDef* def);
void add_method(nb::handle type, PyMethodDef* def);
void add_property(nb::handle type, PyGetSetDef* def);

template <PyObject* (*F)(PyObject*, PyObject*, PyObject*)>
PyMethodDef keyword_def(const char* name, const char* doc) {
  return PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(F)),
                     METH_VARARGS | METH_KEYWORDS, doc};
}

template <PyObject* (*F)(PyObject*, PyObject*)>
PyMethodDef noargs_def(const char* name, const char* doc) {
  return PyMethodDef{name, F, METH_NOARGS, doc};
}

}  // namespace gwpy

namespace gwpy {
// The C++ value behind `self`; refuses instances that were never initialised
// (for example made by calling object.__new__ directly).
template <class T>
T& self_as(PyObject* self) {
  if (!nb::isinstance<T>(self) || !nb::inst_ready(self)) raise(PyExc_TypeError, "uninitialized object");
  return *nb::inst_ptr<T>(self);
}
}  // namespace gwpy
