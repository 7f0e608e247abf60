#pragma once
#include <cstdint>
#include <vector>

#include "network.hpp"
#include "steiner.hpp"

namespace routing {

// Bends along one cell path (indices into `path`, ends included) that minimise
// the exact cost of the straight edges between consecutive bends plus the
// cells of the inner bends. No edge spans more than `lookahead` path cells.
std::vector<size_t> best_bends(const CostMap& map, const std::vector<uint64_t>& path, size_t lookahead);

// Turns a cell tree into straight edges: terminals and branch cells become
// nodes, and every path between them is replaced by its best bends. Waypoints
// become nodes too (after the terminals), wherever they lie on the tree.
Network straighten(const CostMap& map, const CellTree& tree, const std::vector<uint64_t>& terminals,
                   size_t lookahead, const std::vector<uint64_t>& waypoints = {});

}  // namespace routing
