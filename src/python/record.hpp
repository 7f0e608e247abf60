#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

// Generic reader and writer between Python objects and C++ records.
//
// A type takes part by specialising one of the description templates below:
//   RecordTraits<T>::fields    tuple of Field (key, member, presence, range), in declaration order;
//   GroupTraits<T>::members    tuple of member pointers, read from / written as a fixed-size tuple;
//   EnumTraits<T>::variants    tuple of UnitVariant / TaggedVariant, in declaration order.
// Scalars (uint64_t, int32_t, uint32_t, double, bool), std::optional and std::vector
// need no description. Every reader failure raises a Python exception and throws
// nb::python_error; nothing partial is returned.

namespace gwpy {
namespace nb = nanobind;

// ---- Descriptions -------------------------------------------------------------

// Optional fields read a missing key or None as absent. When written, an absent
// `Optional` field becomes None and an absent `OmittedWhenAbsent` field is left out.
// A `Defaulted` field keeps the record's default value when its key is missing.
enum class Presence { Required, Optional, OmittedWhenAbsent, Defaulted };

// The numbers a field admits, checked by read_settings and by the state loader:
// [low, high], without `low` when `low_open`; a `high` of infinity admits every
// finite number above `low`.
// Applies to a number, a present optional number and each number of a group.
struct Range {
  static constexpr double kInfinity = std::numeric_limits<double>::infinity();
  double low = -kInfinity;
  double high = kInfinity;
  bool low_open = false;
  bool checked = false;

  constexpr bool admits(double value) const {
    if (!checked) return true;
    const bool above_low = low_open ? value > low : value >= low;
    const bool below_high = high == kInfinity ? value < high : value <= high;
    return above_low && below_high;  // NaN fails both
  }
};

constexpr Range in_range(double low, double high) { return {low, high, false, true}; }
constexpr Range at_least(double low) { return {low, Range::kInfinity, false, true}; }
constexpr Range above_up_to(double low, double high) { return {low, high, true, true}; }
inline constexpr Range kProbability = in_range(0.0, 1.0);

template <class Record, class Member>
struct Field {
  using Value = Member;
  const char* key;
  Member Record::* member;
  Presence presence;
  Range range{};
  uint32_t first_state_format = 1;  // the first saved-state format that holds this key
};

template <class R, class M>
constexpr Field<R, M> required_field(const char* key, M R::* member, Range range = {}) {
  return {key, member, Presence::Required, range};
}

// A key added after states were first saved: `first_state_format` is the
// first state format that holds it (older states read as the default).
template <class R, class M>
constexpr Field<R, M> defaulted_field(const char* key, M R::* member, uint32_t first_state_format,
                                      Range range = {}) {
  return {key, member, Presence::Defaulted, range, first_state_format};
}

template <class R, class M>
constexpr Field<R, std::optional<M>> optional_field(const char* key, std::optional<M> R::* member,
                                                    Range range = {}) {
  return {key, member, Presence::Optional, range};
}

template <class R, class M>
constexpr Field<R, std::optional<M>> omissible_field(const char* key, std::optional<M> R::* member) {
  return {key, member, Presence::OmittedWhenAbsent};
}

// A variant of a plain enum: no payload.
template <class E>
struct UnitVariant {
  using Target = E;
  const char* name;
  E value;
  std::tuple<> payload{};
  constexpr E make() const { return value; }
  constexpr bool holds(const E& candidate) const { return candidate == value; }
};

// A variant of a record with a tag member; its payload (possibly none) is a
// fixed-size group of further members.
template <class T, class Tag, class... Payload>
struct TaggedVariant {
  using Target = T;
  const char* name;
  Tag T::* tag;
  Tag value;
  std::tuple<Payload T::*...> payload;
  constexpr T make() const {
    T made{};
    made.*tag = value;
    return made;
  }
  constexpr bool holds(const T& candidate) const { return candidate.*tag == value; }
};

template <class E>
constexpr UnitVariant<E> unit_variant(const char* name, E value) {
  return {name, value};
}

template <class T, class Tag, class... Payload>
constexpr TaggedVariant<T, Tag, Payload...> tagged_variant(const char* name, Tag T::* tag, Tag value,
                                                           Payload T::*... payload) {
  return {name, tag, value, std::tuple<Payload T::*...>{payload...}};
}

template <class T>
struct RecordTraits {};
template <class T>
struct GroupTraits {};
template <class T>
struct EnumTraits {};

template <class T>
concept DescribedRecord = requires { RecordTraits<T>::fields; };
template <class T>
concept DescribedGroup = requires { GroupTraits<T>::members; };
template <class T>
concept DescribedEnum = requires { EnumTraits<T>::variants; };

// ---- Non-template helpers (record.cpp) ----------------------------------------

namespace record_io {

nb::object owned(PyObject* result);    // steals a new reference; throws when it is null
PyObject* interned(const char* text);  // immortal for the life of the process

// A fresh strong list of (key, value) pairs of a mapping, in the mapping's order;
// raises "unexpected type: ..." for anything that is not a dict or abc.Mapping.
nb::object mapping_items(PyObject* obj);
bool is_mapping(PyObject* obj);
// The pair at `index` of such a list (a strong reference), with a str key.
struct Entry {
  nb::object pair;
  PyObject* key;    // borrowed from `pair`
  PyObject* value;  // borrowed from `pair`
};
std::optional<Entry> entry_at(PyObject* items, Py_ssize_t index);
Entry single_entry(PyObject* mapping);  // the only entry of a tagged-enum mapping

Py_ssize_t sequence_size(PyObject* obj);
void require_length(PyObject* obj, Py_ssize_t expected);
nb::object sequence_item(PyObject* obj, Py_ssize_t index);
bool is_set(PyObject* obj);
bool exact_list_or_tuple(PyObject* obj);

bool name_equals(PyObject* str, const char* name);
[[noreturn]] void raise_duplicate_field(const char* key);
[[noreturn]] void raise_missing_field(const char* key);
[[noreturn]] void raise_unknown_variant(PyObject* name, std::span<const char* const> allowed);
[[noreturn]] void raise_payload_missing(const char* name);
[[noreturn]] void raise_not_enum();
[[noreturn]] void raise_unwritable_variant();
[[noreturn]] void raise_out_of_range(const std::string& refusal);  // ValueError

// "configuration key 'k': v is not in [low, high]" (or "is not a finite number >= low").
std::string range_refusal(const char* key, const Range& range, const std::string& value, bool integral);
std::string number_text(double value);

uint64_t read_u64(PyObject* obj);
int32_t read_i32(PyObject* obj);
uint32_t read_u32(PyObject* obj);
double read_f64(PyObject* obj);
bool read_bool(PyObject* obj);

template <class T>
inline constexpr bool is_optional_v = false;
template <class T>
inline constexpr bool is_optional_v<std::optional<T>> = true;
template <class T>
inline constexpr bool is_vector_v = false;
template <class T>
inline constexpr bool is_vector_v<std::vector<T>> = true;
template <class>
inline constexpr bool unsupported_v = false;

template <class Tuple>
inline constexpr size_t count_v = std::tuple_size_v<std::remove_cvref_t<Tuple>>;

// Calls visit(I) for I = 0 .. N-1 in order until one returns true.
template <size_t N, class F>
bool first_of(F&& visit) {
  return [&]<size_t... I>(std::index_sequence<I...>) {
    return (visit(std::integral_constant<size_t, I>{}) || ...);
  }(std::make_index_sequence<N>{});
}

// Interned key strings of a record, made once and kept for the life of the process.
template <class T>
const auto& record_keys() {
  static const auto keys = std::apply(
      [](const auto&... field) { return std::array<PyObject*, sizeof...(field)>{interned(field.key)...}; },
      RecordTraits<T>::fields);
  return keys;
}

// Interned variant names of an enumeration, likewise.
template <class T>
const auto& variant_names() {
  static const auto names = std::apply(
      [](const auto&... variant) {
        return std::array<PyObject*, sizeof...(variant)>{interned(variant.name)...};
      },
      EnumTraits<T>::variants);
  return names;
}

// The refusal of the first number of `value` outside `range`, if any.
template <class V>
std::optional<std::string> out_of_range(const char* key, const Range& range, const V& value) {
  if (!range.checked) return std::nullopt;
  if constexpr (std::is_arithmetic_v<V> && !std::is_same_v<V, bool>) {
    if (!range.admits(static_cast<double>(value)))
      return range_refusal(key, range, std::is_integral_v<V> ? std::to_string(value) : number_text(value),
                           std::is_integral_v<V>);
  } else if constexpr (is_optional_v<V>) {
    if (value) return out_of_range(key, range, *value);
  } else if constexpr (DescribedGroup<V>) {
    std::optional<std::string> refusal;
    std::apply(
        [&](auto... member) {
          ((refusal = refusal ? refusal : out_of_range(key, range, value.*member)), ...);
        },
        GroupTraits<V>::members);
    return refusal;
  }
  return std::nullopt;
}

}  // namespace record_io

// The refusal of the first field (nested records included, in declaration
// order) whose value lies outside its range; none when every value fits.
template <class T>
std::optional<std::string> range_refusal(const T& record) {
  std::optional<std::string> refusal;
  std::apply(
      [&](const auto&... field) {
        const auto check = [&](const auto& f) {
          if (refusal) return;
          const auto& value = record.*f.member;
          if constexpr (DescribedRecord<std::remove_cvref_t<decltype(value)>>)
            refusal = range_refusal(value);
          else
            refusal = record_io::out_of_range(f.key, f.range, value);
        };
        (check(field), ...);
      },
      RecordTraits<T>::fields);
  return refusal;
}

template <class T>
T read_value(PyObject* obj);
template <class T>
nb::object write_value(const T& value);

// ---- Reading ------------------------------------------------------------------

template <class T>
T read_record(PyObject* obj) {
  using namespace record_io;
  constexpr const auto& fields = RecordTraits<T>::fields;
  constexpr size_t count = count_v<decltype(fields)>;
  nb::object items = mapping_items(obj);
  T record{};
  std::array<bool, count> seen{};
  for (Py_ssize_t i = 0;; ++i) {
    std::optional<Entry> entry = entry_at(items.ptr(), i);
    if (!entry) break;
    first_of<count>([&](auto index) {
      const auto& field = std::get<index>(fields);
      if (!name_equals(entry->key, field.key)) return false;
      if (seen[index]) raise_duplicate_field(field.key);
      record.*field.member = read_value<typename std::remove_cvref_t<decltype(field)>::Value>(entry->value);
      seen[index] = true;
      return true;
    });  // unknown keys fall through with their values unread
  }
  first_of<count>([&](auto index) {  // every field, in declaration order
    const auto& field = std::get<index>(fields);
    if (!seen[index] && field.presence == Presence::Required) raise_missing_field(field.key);
    return false;
  });
  return record;
}

template <class T>
T read_record(nb::handle obj) {
  return read_record<T>(obj.ptr());
}

// A record read as settings: every value must lie inside its field's range
// (ValueError naming the first key that does not).
template <class T>
T read_settings(nb::handle obj) {
  T record = read_record<T>(obj.ptr());
  if (const auto refusal = range_refusal(record)) record_io::raise_out_of_range(*refusal);
  return record;
}

namespace record_io {

template <class T, class Members>
void read_group_into(PyObject* obj, T& target, const Members& members) {
  constexpr size_t count = count_v<Members>;
  require_length(obj, static_cast<Py_ssize_t>(count));
  [&]<size_t... I>(std::index_sequence<I...>) {
    ((target.*std::get<I>(members) = read_value<std::remove_cvref_t<decltype(target.*std::get<I>(members))>>(
          sequence_item(obj, static_cast<Py_ssize_t>(I)).ptr())),
     ...);
  }(std::make_index_sequence<count>{});
}

template <class Element>
std::vector<Element> read_sequence(PyObject* obj) {
  std::vector<Element> elements;
  if (is_set(obj)) {
    nb::object iterator = owned(PyObject_GetIter(obj));
    while (PyObject* item = PyIter_Next(iterator.ptr())) {
      nb::object held = nb::steal(item);
      elements.push_back(read_value<Element>(item));
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return elements;
  }
  const Py_ssize_t size = sequence_size(obj);
  if (exact_list_or_tuple(obj)) elements.reserve(static_cast<size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) elements.push_back(read_value<Element>(sequence_item(obj, i).ptr()));
  return elements;
}

// `payload` is null when the variant was given by its bare name.
template <class T>
T read_variant(PyObject* name, PyObject* payload) {
  constexpr const auto& variants = EnumTraits<T>::variants;
  std::optional<T> result;
  first_of<count_v<decltype(variants)>>([&](auto index) {
    const auto& variant = std::get<index>(variants);
    if (!name_equals(name, variant.name)) return false;
    T value = variant.make();
    if constexpr (count_v < decltype(variant.payload) >> 0) {
      if (!payload) raise_payload_missing(variant.name);
      read_group_into(payload, value, variant.payload);
    }
    result = value;
    return true;
  });
  if (!result) {
    const auto names = std::apply(
        [](const auto&... v) { return std::array<const char*, sizeof...(v)>{v.name...}; }, variants);
    raise_unknown_variant(name, names);
  }
  return *result;
}

template <class T>
T read_enum(PyObject* obj) {
  if (PyUnicode_Check(obj)) return read_variant<T>(obj, nullptr);
  if (!is_mapping(obj)) raise_not_enum();
  Entry entry = single_entry(obj);
  return read_variant<T>(entry.key, entry.value);
}

}  // namespace record_io

template <class T>
T read_value(PyObject* obj) {
  using namespace record_io;
  if constexpr (std::is_same_v<T, uint64_t>) {
    return read_u64(obj);
  } else if constexpr (std::is_same_v<T, int32_t>) {
    return read_i32(obj);
  } else if constexpr (std::is_same_v<T, uint32_t>) {
    return read_u32(obj);
  } else if constexpr (std::is_same_v<T, double>) {
    return read_f64(obj);
  } else if constexpr (std::is_same_v<T, bool>) {
    return read_bool(obj);
  } else if constexpr (is_optional_v<T>) {
    if (obj == Py_None) return T{};
    return T{read_value<typename T::value_type>(obj)};
  } else if constexpr (is_vector_v<T>) {
    return read_sequence<typename T::value_type>(obj);
  } else if constexpr (DescribedGroup<T>) {
    T group{};
    read_group_into(obj, group, GroupTraits<T>::members);
    return group;
  } else if constexpr (DescribedEnum<T>) {
    return read_enum<T>(obj);
  } else if constexpr (DescribedRecord<T>) {
    return read_record<T>(obj);
  } else {
    static_assert(unsupported_v<T>, "no value kind describes this type");
  }
}

// ---- Writing ------------------------------------------------------------------

template <class T>
nb::object write_record(const T& record) {
  using namespace record_io;
  constexpr const auto& fields = RecordTraits<T>::fields;
  constexpr size_t count = count_v<decltype(fields)>;
  const auto& keys = record_keys<T>();
  nb::object dict = owned(PyDict_New());
  first_of<count>([&](auto index) {  // every field, in declaration order
    const auto& field = std::get<index>(fields);
    const auto& value = record.*field.member;
    if constexpr (is_optional_v<std::remove_cvref_t<decltype(value)>>) {
      if (!value && field.presence == Presence::OmittedWhenAbsent) return false;
    }
    nb::object written = write_value(value);
    if (PyDict_SetItem(dict.ptr(), keys[index], written.ptr()) < 0) throw nb::python_error();
    return false;
  });
  return dict;
}

namespace record_io {

template <class T, class Members>
nb::object write_group(const T& source, const Members& members) {
  constexpr size_t count = count_v<Members>;
  nb::object tuple = owned(PyTuple_New(static_cast<Py_ssize_t>(count)));
  [&]<size_t... I>(std::index_sequence<I...>) {
    (PyTuple_SET_ITEM(tuple.ptr(), I, write_value(source.*std::get<I>(members)).release().ptr()), ...);
  }(std::make_index_sequence<count>{});
  return tuple;
}

template <class Element>
nb::object write_sequence(const std::vector<Element>& elements) {
  nb::object list = owned(PyList_New(static_cast<Py_ssize_t>(elements.size())));
  for (size_t i = 0; i < elements.size(); ++i)
    PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), write_value(elements[i]).release().ptr());
  return list;
}

// A payload-free variant becomes its name; one with a payload {name: (payload...)}.
template <class T>
nb::object write_enum(const T& value) {
  constexpr const auto& variants = EnumTraits<T>::variants;
  constexpr size_t count = count_v<decltype(variants)>;
  const auto& names = variant_names<T>();
  nb::object written;
  first_of<count>([&](auto index) {
    const auto& variant = std::get<index>(variants);
    if (!variant.holds(value)) return false;
    if constexpr (count_v<decltype(variant.payload)> == 0) {
      written = nb::borrow(names[index]);
    } else {
      written = owned(PyDict_New());
      nb::object payload = write_group(value, variant.payload);
      if (PyDict_SetItem(written.ptr(), names[index], payload.ptr()) < 0) throw nb::python_error();
    }
    return true;
  });
  if (!written.is_valid()) raise_unwritable_variant();
  return written;
}

}  // namespace record_io

template <class T>
nb::object write_value(const T& value) {
  using namespace record_io;
  if constexpr (std::is_same_v<T, uint64_t>) {
    return owned(PyLong_FromUnsignedLongLong(value));
  } else if constexpr (std::is_same_v<T, int32_t>) {
    return owned(PyLong_FromLong(value));
  } else if constexpr (std::is_same_v<T, uint32_t>) {
    return owned(PyLong_FromUnsignedLong(value));
  } else if constexpr (std::is_same_v<T, double>) {
    return owned(PyFloat_FromDouble(value));
  } else if constexpr (std::is_same_v<T, bool>) {
    return nb::borrow(value ? Py_True : Py_False);
  } else if constexpr (is_optional_v<T>) {
    return value ? write_value(*value) : nb::none();
  } else if constexpr (is_vector_v<T>) {
    return write_sequence(value);
  } else if constexpr (DescribedGroup<T>) {
    return write_group(value, GroupTraits<T>::members);
  } else if constexpr (DescribedEnum<T>) {
    return write_enum(value);
  } else if constexpr (DescribedRecord<T>) {
    return write_record(value);
  } else {
    static_assert(unsupported_v<T>, "no value kind describes this type");
  }
}

}  // namespace gwpy
