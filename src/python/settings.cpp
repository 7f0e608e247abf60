#include <string>
#include <type_traits>

#include "records.hpp"

namespace gwpy {

namespace {

template <class V>
const char* kind_name() {
  using namespace record_io;
  if constexpr (requires { KindTraits<V>::name; }) {
    return KindTraits<V>::name;
  } else if constexpr (std::is_same_v<V, bool>) {
    return "bool";
  } else if constexpr (std::is_floating_point_v<V>) {
    return "float";
  } else if constexpr (std::is_integral_v<V>) {
    return "int";
  } else if constexpr (is_optional_v<V>) {
    static_assert(std::is_integral_v<typename V::value_type>, "an optional setting of no listed kind");
    return "optional int";
  } else if constexpr (DescribedEnum<V>) {
    return "choice";
  } else {
    static_assert(unsupported_v<V>, "a configuration field of no listed kind");
  }
}

template <class V>
nb::tuple choices() {
  if constexpr (DescribedEnum<V>) {
    return std::apply([](const auto&... variant) { return nb::make_tuple(nb::str(variant.name)...); },
                      EnumTraits<V>::variants);
  } else {
    return nb::tuple();
  }
}

nb::object bound(const Range& range, double value) {
  return range.checked ? nb::object(nb::float_(value)) : nb::none();
}

// One entry per key of `T`, in table order; a nested record's keys follow
// under its own key as their table.
template <class T>
void list_settings(nb::list& entries, const char* table) {
  std::apply(
      [&](const auto&... field) {
        const auto entry = [&](const auto& f) {
          using V = typename std::remove_cvref_t<decltype(f)>::Value;
          if constexpr (DescribedRecord<V>) {
            list_settings<V>(entries, f.key);
          } else {
            entries.append(nb::make_tuple(f.key, table, kind_name<V>(), bound(f.range, f.range.low),
                                          bound(f.range, f.range.high), f.range.low_open, choices<V>()));
          }
        };
        (entry(field), ...);
      },
      RecordTraits<T>::fields);
}

}  // namespace

void register_settings(nb::module_& module) {
  module.def(
      "_settings",
      [] {
        nb::list entries;
        list_settings<ConfigRecord>(entries, "");
        return nb::tuple(entries);
      },
      "The configuration keys in table order: (key, table, kind, low, high, low_open, choices);\n"
      "table is '' for engine keys, low and high are None where a key has no range.");
  module.def(
      "_check_config",
      [](nb::handle config) {
        const auto record = read_settings<ConfigRecord>(config);
        weave::validate(record.special);
      },
      nb::arg("config"), "Raises ValueError where the engine refuses `config`, as Population(config) would.");
}

}  // namespace gwpy
