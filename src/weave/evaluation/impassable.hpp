#pragma once
#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>

#include "../types.hpp"

// Impassable cells (cost +inf or NaN) and the straight edges that pass through
// them. An edge is the segment between its two nodes' cell centres; a cell is
// the open unit square around its centre. The edge passes through every cell
// whose open square the segment meets, whether or not a sample of the trace
// lands there. A segment that only touches a cell's corner point does not pass
// through it: a diagonal step between two impassable cells that share a corner
// stays open, as it does for the least-cost cell paths. The rule is geometric,
// so an edge passes through the same cells in both directions.
namespace weave {

struct CostMap;

inline bool is_impassable(double cost) { return !(cost < std::numeric_limits<double>::infinity()); }

// Which blocks of 16 x 16 cells of one cost map hold an impassable cell, each
// block scanned the first time it is asked about. Edges on blocks without
// one skip the cell by cell test, so maps without impassable cells pay a few
// flag reads per edge and never a scan of the whole map. Safe to ask from
// many threads at once.
class ImpassableBlocks {
 public:
  static constexpr unsigned kShift = 4;

  ImpassableBlocks(uint64_t rows, uint64_t cols);
  // Block (block_row, block_col) of `map`, which has the shape given above.
  bool holds_impassable(const CostMap& map, uint64_t block_row, uint64_t block_col) const;

 private:
  enum : uint8_t { kUnknown = 0, kClear = 1, kHolds = 2 };
  uint64_t block_cols_;
  std::unique_ptr<std::atomic<uint8_t>[]> state_;
};

// True when the segment between the centres of a and b passes through an
// impassable cell of the map (cells off the map are never impassable). With
// the map's `blocks` only blocks that hold an impassable cell are tested
// cell by cell; without them every cell the segment meets is read.
bool crosses_impassable(Pos a, Pos b, const CostMap& map);

}  // namespace weave
