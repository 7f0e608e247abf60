#pragma once
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>

#include "../types.hpp"
#include "cost_map.hpp"

// Impassable cells (cost +inf or NaN) and the straight edges that pass through
// them. An edge is the segment between its two nodes' cell centres; a cell is
// the open unit square around its centre. The edge passes through every cell
// whose open square the segment meets, whether or not a sample of the trace
// lands there. A segment that only touches a cell's corner point does not pass
// through it: a diagonal step between two impassable cells that share a corner
// stays open, as it does for the least-cost cell paths. The rule is geometric,
// so an edge passes through the same cells in both directions.
namespace weave {

inline bool is_impassable(double cost) { return !(cost < std::numeric_limits<double>::infinity()); }

// Which blocks of 32 x 32 cells of one cost map hold an impassable cell, each
// block scanned the first time it is asked about. Edges on blocks without
// one skip the cell by cell test, so maps without impassable cells pay a few
// flag reads per edge and never a scan of the whole map. Safe to ask from
// many threads at once.
class ImpassableBlocks {
 public:
  static constexpr unsigned kShift = 5;

  ImpassableBlocks(uint64_t rows, uint64_t cols);
  // Block (block_row, block_col) of `map`, which has the shape given above.
  // True when both ends lie on the map and the few blocks (at most 9) of the
  // edge's bounding box hold no impassable cell.
  bool box_is_clear(Pos a, Pos b, const CostMap& map) const;
  bool holds_impassable(const CostMap& map, uint64_t block_row, uint64_t block_col) const {
    const uint8_t known = state_[block_row * block_cols_ + block_col].load(std::memory_order_relaxed);
    return known == kUnknown ? scan(map, block_row, block_col) : known == kHolds;
  }

 private:
  enum : uint8_t { kUnknown = 0, kClear = 1, kHolds = 2 };
  [[gnu::cold, gnu::noinline]] bool scan(const CostMap& map, uint64_t block_row, uint64_t block_col) const;
  uint64_t block_cols_;
  std::unique_ptr<std::atomic<uint8_t>[]> state_;
};

// The column by column test of crosses_impassable.
bool crosses_impassable_in_columns(Pos a, Pos b, const CostMap& map);

// True when the segment between the centres of a and b passes through an
// impassable cell of the map (cells off the map are never impassable). With
// the map's `blocks` only blocks that hold an impassable cell are tested
// cell by cell; without them every cell the segment meets is read. Inline:
// the short edge on clear blocks, the common case, costs a few flag reads.
inline bool crosses_impassable(Pos a, Pos b, const CostMap& map);

inline bool ImpassableBlocks::box_is_clear(Pos a, Pos b, const CostMap& map) const {
  if (a.x < 0 || a.y < 0 || b.x < 0 || b.y < 0) return false;
  const auto row0 = static_cast<uint64_t>(std::min(a.x, b.x)),
             row1 = static_cast<uint64_t>(std::max(a.x, b.x));
  const auto col0 = static_cast<uint64_t>(std::min(a.y, b.y)),
             col1 = static_cast<uint64_t>(std::max(a.y, b.y));
  if (row1 >= map.rows || col1 >= map.cols) return false;
  const uint64_t block_row0 = row0 >> kShift, block_row1 = row1 >> kShift;
  const uint64_t block_col0 = col0 >> kShift, block_col1 = col1 >> kShift;
  if ((block_row1 - block_row0 + 1) * (block_col1 - block_col0 + 1) > 9) return false;
  for (uint64_t row = block_row0; row <= block_row1; ++row)
    for (uint64_t col = block_col0; col <= block_col1; ++col)
      if (holds_impassable(map, row, col)) return false;
  return true;
}

inline bool crosses_impassable(Pos a, Pos b, const CostMap& map) {
  if (map.blocks && map.blocks->box_is_clear(a, b, map)) return false;
  return crosses_impassable_in_columns(a, b, map);
}

}  // namespace weave
