#pragma once
#include <cstdint>
#include <utility>
#include <vector>

#include "least_cost.hpp"

// Steiner tree heuristics on the cell graph: trees of 8-connected cell steps
// that join every terminal cell.
namespace routing {

using CellEdge = std::pair<uint64_t, uint64_t>;

struct CellTree {
  std::vector<CellEdge> edges;  // neighbouring cells; empty for a single terminal
};

// Thrown when some terminals cannot reach each other over finite-cost cells.
struct Unreachable {};

// Voronoi regions of the terminals, the cheapest boundary step between every
// pair of regions, their spanning tree expanded into cell paths, then cycles
// removed and non-terminal leaves pruned. One search over the map.
CellTree voronoi_tree(const CostMap& map, const std::vector<uint64_t>& terminals);

// Grows a tree from `root` by repeatedly joining the terminal nearest to the
// tree along a least-cost path. One incremental search over the map.
CellTree grow_tree(const CostMap& map, const std::vector<uint64_t>& terminals, size_t root);

// Up to `count` roots for grow_tree, spread over the terminals: the first
// terminal, then each time the one farthest from the roots chosen so far.
std::vector<size_t> spread_roots(const CostMap& map, const std::vector<uint64_t>& terminals, size_t count);

}  // namespace routing
