#include "record.hpp"

#include <charconv>
#include <cstdint>
#include <limits>
#include <string>

#include "errors.hpp"

namespace gwpy::record_io {

namespace {

std::string type_name_of(PyObject* obj) { return Py_TYPE(obj)->tp_name; }

[[noreturn]] void raise_unexpected_type(PyObject* obj, const char* expected) {
  raise(PyExc_TypeError, "unexpected type: '" + type_name_of(obj) + "' object is not " + expected);
}

// The text of a str for a message; lone surrogates are escaped rather than failing.
std::string message_text(PyObject* str) {
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size))
    return std::string(utf8, static_cast<size_t>(size));
  PyErr_Clear();
  nb::object bytes = owned(PyUnicode_AsEncodedString(str, "utf-8", "backslashreplace"));
  return std::string(PyBytes_AS_STRING(bytes.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.ptr())));
}

std::string quoted(const std::string& name) { return "`" + name + "`"; }

// Looked up once and kept; the interpreter lock guards the cache (no C++ static
// guard, because an import may release that lock and another thread come here).
PyObject* abc_mapping() {
  static PyObject* mapping = nullptr;
  if (!mapping) {
    nb::object module = owned(PyImport_ImportModule("collections.abc"));
    nb::object found = owned(PyObject_GetAttrString(module.ptr(), "Mapping"));
    if (!mapping) mapping = found.release().ptr();
  }
  return mapping;
}

nb::object index_of(PyObject* obj) { return owned(PyNumber_Index(obj)); }

}  // namespace

nb::object owned(PyObject* result) {
  if (!result) throw nb::python_error();
  return nb::steal(result);
}

PyObject* interned(const char* text) { return owned(PyUnicode_InternFromString(text)).release().ptr(); }

bool is_mapping(PyObject* obj) {
  if (PyDict_Check(obj)) return true;
  const int is_instance = PyObject_IsInstance(obj, abc_mapping());
  if (is_instance < 0) throw nb::python_error();
  return is_instance == 1;
}

nb::object mapping_items(PyObject* obj) {
  if (!is_mapping(obj)) raise_unexpected_type(obj, "a mapping");
  nb::object items = owned(PyMapping_Items(obj));
  return items;
}

// `items` may be a list that the mapping itself still holds and changes while
// values are read, so the size is checked on every step and the pair is held.
std::optional<Entry> entry_at(PyObject* items, Py_ssize_t index) {
  if (index >= PyList_GET_SIZE(items)) return std::nullopt;
  nb::object pair = nb::borrow(PyList_GET_ITEM(items, index));
  if (!PyTuple_Check(pair.ptr()) || PyTuple_GET_SIZE(pair.ptr()) != 2)
    raise_unexpected_type(pair.ptr(), "a (key, value) pair");
  PyObject* key = PyTuple_GET_ITEM(pair.ptr(), 0);
  if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "dict keys must have type str");
  return Entry{pair, key, PyTuple_GET_ITEM(pair.ptr(), 1)};
}

Entry single_entry(PyObject* mapping) {
  nb::object items = mapping_items(mapping);
  if (PyList_GET_SIZE(items.ptr()) != 1)
    raise(PyExc_ValueError, "expected tagged enum dict to have exactly 1 key");
  return *entry_at(items.ptr(), 0);
}

Py_ssize_t sequence_size(PyObject* obj) {
  if (!PySequence_Check(obj)) raise_unexpected_type(obj, "a sequence");
  const Py_ssize_t size = PySequence_Size(obj);
  if (size < 0) throw nb::python_error();
  return size;
}

void require_length(PyObject* obj, Py_ssize_t expected) {
  const Py_ssize_t size = sequence_size(obj);
  if (size != expected)
    raise(PyExc_ValueError,
          "expected sequence of length " + std::to_string(expected) + ", got " + std::to_string(size));
}

nb::object sequence_item(PyObject* obj, Py_ssize_t index) { return owned(PySequence_GetItem(obj, index)); }

bool is_set(PyObject* obj) { return PyAnySet_Check(obj); }

bool exact_list_or_tuple(PyObject* obj) { return PyList_CheckExact(obj) || PyTuple_CheckExact(obj); }

bool name_equals(PyObject* str, const char* name) { return PyUnicode_CompareWithASCIIString(str, name) == 0; }

void raise_duplicate_field(const char* key) { raise(PyExc_Exception, "duplicate field " + quoted(key)); }

void raise_missing_field(const char* key) { raise(PyExc_Exception, "missing field " + quoted(key)); }

// "expected `A`", "expected `A` or `B`", "expected one of `A`, `B`, `C`".
void raise_unknown_variant(PyObject* name, std::span<const char* const> allowed) {
  std::string message = "unknown variant " + quoted(message_text(name)) + ", expected ";
  if (allowed.size() == 2) {
    message += quoted(allowed[0]) + " or " + quoted(allowed[1]);
  } else {
    if (allowed.size() > 2) message += "one of ";
    for (size_t i = 0; i < allowed.size(); ++i) message += (i ? ", " : "") + quoted(allowed[i]);
  }
  raise(PyExc_Exception, message);
}

void raise_payload_missing(const char* name) {
  raise(PyExc_TypeError, "unexpected type: variant " + quoted(name) +
                             " takes a payload and must be given as a one-entry dict");
}

void raise_not_enum() { raise(PyExc_TypeError, "expected either a str or dict for enum"); }

void raise_out_of_range(const std::string& refusal) { raise(PyExc_ValueError, refusal); }

// The shortest text that reads back as `value`.
std::string number_text(double value) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  return std::string(text, end);
}

std::string range_refusal(const char* key, const Range& range, const std::string& value, bool integral) {
  const std::string low = number_text(range.low), high = number_text(range.high);
  const std::string allowed =
      range.high == Range::kInfinity
          ? std::string(integral ? "an integer " : "a finite number ") + (range.low_open ? "> " : ">= ") + low
          : "in " + std::string(range.low_open ? "(" : "[") + low + ", " + high + "]";
  return std::string("configuration key '") + key + "': " + value + " is not " + allowed;
}

void raise_unwritable_variant() { raise(internal_error_type(), "enumeration value matches no variant"); }

uint64_t read_u64(PyObject* obj) {
  nb::object index = index_of(obj);
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.ptr());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw nb::python_error();
  return value;
}

int32_t read_i32(PyObject* obj) {
  nb::object index = index_of(obj);
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
  if (value == -1 && PyErr_Occurred()) throw nb::python_error();
  if (overflow < 0 || value < std::numeric_limits<int32_t>::min())
    raise(PyExc_OverflowError, "signed integer is less than minimum");
  if (overflow > 0 || value > std::numeric_limits<int32_t>::max())
    raise(PyExc_OverflowError, "signed integer is greater than maximum");
  return static_cast<int32_t>(value);
}

uint32_t read_u32(PyObject* obj) {
  const uint64_t value = read_u64(obj);
  if (value > std::numeric_limits<uint32_t>::max())
    raise(PyExc_OverflowError, "Python int too large to convert to C unsigned int");
  return static_cast<uint32_t>(value);
}

double read_f64(PyObject* obj) {
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) throw nb::python_error();
  return value;
}

bool read_bool(PyObject* obj) {
  const int truth = PyObject_IsTrue(obj);
  if (truth < 0) throw nb::python_error();
  return truth == 1;
}

}  // namespace gwpy::record_io
