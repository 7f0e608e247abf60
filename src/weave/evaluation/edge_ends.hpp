#pragma once
#include <string>

#include "../../evocore/error.hpp"
#include "../types.hpp"

namespace weave {

// The node an edge names; a missing one is a broken genome invariant.
inline const WeaveNode& edge_end(const WeaveNodeMap& nodes, const Edge& edge, uint64_t node_id) {
  const auto found = nodes.find(node_id);
  if (found == nodes.end())
    evocore::fail("edge " + std::to_string(edge.id) + " names missing node " + std::to_string(node_id));
  return found->second;
}

}  // namespace weave
