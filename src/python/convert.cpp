#include "convert.hpp"

namespace gwpy {

void raise_with_argument_prefix(const char* name, nb::python_error& error) {
  error.restore();
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  nb::object original = nb::steal(value);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  PyObject* text = PyObject_Str(original.ptr());
  std::string message = "argument '" + std::string(name) + "': ";
  if (text) {
    if (const char* utf8 = PyUnicode_AsUTF8(text)) message += utf8;
    Py_DECREF(text);
  }
  PyErr_Clear();
  nb::object replacement = nb::steal(PyObject_CallFunction(PyExc_TypeError, "s", message.c_str()));
  if (!replacement.is_valid()) throw nb::python_error();
  if (PyObject* cause = PyException_GetCause(original.ptr())) PyException_SetCause(replacement.ptr(), cause);
  PyErr_SetObject(PyExc_TypeError, replacement.ptr());
  throw nb::python_error();
}

std::string type_name(PyObject* obj) {
  nb::object name = nb::steal(PyType_GetName(Py_TYPE(obj)));
  if (!name.is_valid()) {
    PyErr_Clear();
    return Py_TYPE(obj)->tp_name;
  }
  const char* utf8 = PyUnicode_AsUTF8(name.ptr());
  return utf8 ? utf8 : "";
}

void raise_cannot_convert(PyObject* obj, const char* expected) {
  raise(PyExc_TypeError, "'" + type_name(obj) + "' object cannot be converted to '" + expected + "'");
}

namespace {
// The wrapped value of an instance of T; refuses other types and instances
// that were never initialised.
template <class T>
const T& wrapped(PyObject* obj, const char* expected) {
  if (!nb::isinstance<T>(obj)) raise_cannot_convert(obj, expected);
  return self_as<T>(obj);
}
}  // namespace

PopulationHandle to_population(PyObject* obj) { return wrapped<PyPopulation>(obj, "Population").handle; }

GenomeHandle to_genome(PyObject* obj) { return wrapped<PyGenome>(obj, "Genome").handle; }

namespace {
// Calls `item(obj_i)` for every item of a sequence other than str.
template <class F>
void for_each_item(PyObject* obj, F&& item) {
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) raise_cannot_convert(obj, "Sequence");
  const Py_ssize_t size = PySequence_Size(obj);
  if (size < 0) throw nb::python_error();
  for (Py_ssize_t i = 0; i < size; ++i) {
    nb::object element = nb::steal(PySequence_GetItem(obj, i));
    if (!element.is_valid()) throw nb::python_error();
    item(element.ptr());
  }
}
}  // namespace

GenomeList to_genome_list(PyObject* obj) {
  GenomeList genomes;
  for_each_item(obj, [&](PyObject* item) { genomes.push_back(to_genome(item)); });
  return genomes;
}

size_t to_size(PyObject* obj) {
  nb::object index = nb::steal(PyNumber_Index(obj));
  if (!index.is_valid()) throw nb::python_error();
  const size_t value = PyLong_AsSize_t(index.ptr());
  if (value == static_cast<size_t>(-1) && PyErr_Occurred()) throw nb::python_error();
  return value;
}

std::optional<std::vector<double>> to_optional_float_list(PyObject* obj) {
  if (obj == Py_None) return std::nullopt;
  std::vector<double> values;
  for_each_item(obj, [&](PyObject* item) { values.push_back(read_f64(item)); });
  return values;
}

std::pair<size_t, size_t> to_shape(PyObject* obj) {
  if (!PyTuple_Check(obj)) raise_cannot_convert(obj, "PyTuple");
  const Py_ssize_t length = PyTuple_GET_SIZE(obj);
  if (length != 2) raise(PyExc_TypeError, "expected a tuple of length 2, got " + std::to_string(length));
  return {to_size(PyTuple_GET_ITEM(obj, 0)), to_size(PyTuple_GET_ITEM(obj, 1))};
}

PyObject* new_genome_object(const GenomeHandle& handle) { return nb::cast(PyGenome{handle}).release().ptr(); }

nb::list genome_list_object(const GenomeList& genomes) {
  nb::list list;
  for (const auto& genome : genomes) list.append(nb::steal(new_genome_object(genome)));
  return list;
}

void add_function(nb::module_& module, PyMethodDef* def) {
  nb::object function = nb::steal(PyCFunction_NewEx(def, nullptr, nb::str("gridweave").ptr()));
  if (!function.is_valid()) throw nb::python_error();
  module.attr(def->ml_name) = function;
}

void add_method(nb::handle type, PyMethodDef* def) {
  nb::object descriptor = nb::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(type.ptr()), def));
  if (!descriptor.is_valid()) throw nb::python_error();
  nb::setattr(type, def->ml_name, descriptor);
}

void add_property(nb::handle type, PyGetSetDef* def) {
  nb::object descriptor = nb::steal(PyDescr_NewGetSet(reinterpret_cast<PyTypeObject*>(type.ptr()), def));
  if (!descriptor.is_valid()) throw nb::python_error();
  nb::setattr(type, def->name, descriptor);
}

}  // namespace gwpy
