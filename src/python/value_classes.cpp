#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>

#include <string>

#include "classes.hpp"
#include "convert.hpp"

namespace gwpy {
namespace {

const char* node_type_name(weave::NodeType type) {
  return type == weave::NodeType::Fixed ? "Fixed" : "Flexible";
}

std::string node_data_repr(const weave::WeaveNodeData& data) {
  return "NodeData(pos=(" + std::to_string(data.pos.row) + ", " + std::to_string(data.pos.column) +
         "), type=" + node_type_name(data.type) + ")";
}

std::string edge_repr(const evocore::Edge& edge) {
  return "Edge(id=" + std::to_string(edge.id) + ", " + std::to_string(edge.node1) + " -> " +
         std::to_string(edge.node2) + ", enabled=" + (edge.enabled ? "true" : "false") + ")";
}

}  // namespace

void register_value_classes(nb::module_& module) {
  auto node = nb::class_<PyNode>(module, "Node", nb::is_final());
  add_no_constructor(node, "Node");
  node.def_prop_ro("id", [](const PyNode& n) { return n.id; })
      .def_prop_ro("data", [](const PyNode& n) { return PyNodeData{n.data}; })
      .def("__repr__", [](const PyNode& n) {
        return "Node(id=" + std::to_string(n.id) + ", data=" + node_data_repr(n.data) + ")";
      });

  auto data = nb::class_<PyNodeData>(module, "NodeData", nb::is_final());
  add_no_constructor(data, "NodeData");
  data.def_prop_ro("pos",
                   [](const PyNodeData& d) { return std::make_pair(d.value.pos.row, d.value.pos.column); })
      .def_prop_ro("type_", [](const PyNodeData& d) { return std::string(node_type_name(d.value.type)); })
      .def("__repr__", [](const PyNodeData& d) { return node_data_repr(d.value); });

  auto edge = nb::class_<PyEdge>(module, "Edge", nb::is_final());
  add_no_constructor(edge, "Edge");
  edge.def_prop_ro("id", [](const PyEdge& e) { return e.value.id; })
      .def_prop_ro("node1", [](const PyEdge& e) { return e.value.node1; })
      .def_prop_ro("node2", [](const PyEdge& e) { return e.value.node2; })
      .def_prop_ro("enabled", [](const PyEdge& e) { return e.value.enabled; })
      .def("__repr__", [](const PyEdge& e) { return edge_repr(e.value); });
}

}  // namespace gwpy
