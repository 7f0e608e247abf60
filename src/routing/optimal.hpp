#pragma once
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "network.hpp"

// The exact minimum-cost network of straight edges that joins a set of
// terminal cells. Every term of a network's cost is non-negative, so an optimal
// network is a tree: a node-weighted Steiner tree in the complete graph over the
// candidate cells, where edge (a, b) weighs the trace cost of the straight edge
// between them (the cheaper of its two directions). It is found by the
// single-root Dreyfus-Wagner programme over that graph.
namespace routing {

struct OptimalOptions {
  // Cells that may carry bends and branch points besides the terminals; every
  // cell of the map when empty (the exact optimum). A smaller set gives the
  // optimum among networks whose nodes lie on those cells.
  std::vector<uint64_t> candidates;
  // Trace cost of some network joining the terminals (the cheapest known one);
  // states that cannot lead below it are dropped. Infinite: the spanning tree's.
  double upper_bound = std::numeric_limits<double>::infinity();
  double max_seconds = 1800.0;   // refuse problems whose estimated time exceeds this
  double max_bytes = 4e9;        // or whose estimated memory exceeds this
  bool with_tree_bounds = true;  // grid tree bounds (exact optimum only)
  // Empty, or for every terminal the cells of an existing part of a network
  // it belongs to: the tree may attach to any of them, and their node costs
  // are already paid. This joins the parts of a network cut apart.
  std::vector<std::vector<uint64_t>> groups;
};

// Worst-case time and memory of the programme, before anything is allocated.
struct OptimalEstimate {
  uint64_t vertices = 0;  // candidate cells, terminals included
  uint64_t subsets = 0;   // terminal subsets of the programme
  double seconds = 0.0;
  double bytes = 0.0;
  std::string text() const;
};

OptimalEstimate estimate_optimal(uint64_t vertices, size_t terminal_count, uint64_t rows, uint64_t cols);

// Thrown before any large allocation when the estimate exceeds the options' bounds.
struct TooLarge {
  OptimalEstimate estimate;
};

// Thrown when no network joins the terminals below the given upper bound.
struct NoneBelowBound {};

// The estimate of optimal_network after dropping the cells that no tree below
// the upper bound can use (without the grid tree bounds, whose searches cost
// as much as a small programme); throws TooLarge like optimal_network.
OptimalEstimate estimate_network(const CostMap& map, const std::vector<Cell>& terminals,
                                 OptimalOptions options);
// The optimal network (a tree) over distinct terminal cells of a map whose
// costs are non-negative or +inf. Throws Unreachable when the terminals cannot
// be joined over finite costs. Edge weights are held as 32-bit floats, so the
// tree is optimal up to a relative 1e-7; its cost is computed exactly.
Network optimal_network(const CostMap& map, const std::vector<Cell>& terminals,
                        const OptimalOptions& options);

}  // namespace routing
