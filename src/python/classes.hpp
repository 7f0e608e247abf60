#pragma once
#include <nanobind/nanobind.h>

#include <string>

#include "errors.hpp"

namespace gwpy {
namespace nb = nanobind;

// Classes without a constructor of their own refuse to be called from Python.
template <class Class>
void add_no_constructor(Class& cls, const char* name) {
  const std::string message = std::string("No constructor defined for ") + name;
  cls.def("__init__",
          [message](typename Class::Type*, nb::args, nb::kwargs) { raise(PyExc_TypeError, message); });
}

void register_genome_class(nb::module_& module);
void register_population_class(nb::module_& module);
void register_species_class(nb::module_& module);
void register_value_classes(nb::module_& module);  // Node, NodeData, Edge

}  // namespace gwpy
