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

// Which blocks of 32 x 32 cells of one cost map are clear of impassable
// cells, and which areas of 256 x 256 cells are (every block found clear).
// A block is scanned once edges have reached it 16 times (a scan costs about
// as much as 16 edges tested cell by cell across it); until then an
// edge is tested cell by cell there, so a map is scanned only where many
// edges go. An edge over clear areas costs a few flag reads, one over clear
// blocks a few more. Safe to ask from many threads.
class ImpassableBlocks {
 public:
  static constexpr unsigned kBlockShift = 5;
  static constexpr unsigned kAreaShift = 8;

  ImpassableBlocks(uint64_t rows, uint64_t cols);
  // True when both ends lie on the map and the few areas (at most 4) or
  // blocks (at most 9) of the edge's bounding box are clear.
  bool box_is_clear(Cell a, Cell b, const CostMap& map) const;
  // Area or block (row, col) of `map`, which has the shape given above.
  bool area_is_clear(uint64_t row, uint64_t col) const {
    return not_clear_[row * area_cols_ + col].load(std::memory_order_relaxed) == 0;
  }
  // Counts a visit to a block not yet scanned, and scans it on the last.
  bool block_is_clear(const CostMap& map, uint64_t row, uint64_t col) const {
    const uint8_t state = blocks_[row * block_cols_ + col].load(std::memory_order_relaxed);
    return state == kClear || (state < kScanAfter && visit(map, row, col));
  }

 private:
  // Below kScanAfter: visits so far of a block not yet scanned.
  enum : uint8_t { kScanAfter = 16, kClear = 254, kHolds = 255 };
  [[gnu::cold, gnu::noinline]] bool visit(const CostMap& map, uint64_t row, uint64_t col) const;
  uint64_t area_cols_, block_cols_;
  std::unique_ptr<std::atomic<uint8_t>[]> blocks_;
  // Per area: its blocks not found clear.
  std::unique_ptr<std::atomic<uint32_t>[]> not_clear_;
};

// The column by column test of crosses_impassable.
bool crosses_impassable_in_columns(Cell a, Cell b, const CostMap& map);

// True when the segment between the centres of a and b passes through an
// impassable cell of the map (cells off the map are never impassable). With
// the map's `blocks` only blocks that hold an impassable cell are tested
// cell by cell; without them every cell the segment meets is read. Inline:
// an edge on clear areas, the common case, costs a few flag reads.
inline bool crosses_impassable(Cell a, Cell b, const CostMap& map);

inline bool ImpassableBlocks::box_is_clear(Cell a, Cell b, const CostMap& map) const {
  if (a.row < 0 || a.column < 0 || b.row < 0 || b.column < 0) return false;
  const auto row0 = static_cast<uint64_t>(std::min(a.row, b.row)),
             row1 = static_cast<uint64_t>(std::max(a.row, b.row));
  const auto col0 = static_cast<uint64_t>(std::min(a.column, b.column)),
             col1 = static_cast<uint64_t>(std::max(a.column, b.column));
  if (row1 >= map.rows || col1 >= map.cols) return false;
  const uint64_t area_row0 = row0 >> kAreaShift, area_row1 = row1 >> kAreaShift;
  const uint64_t area_col0 = col0 >> kAreaShift, area_col1 = col1 >> kAreaShift;
  if (area_row1 - area_row0 <= 1 && area_col1 - area_col0 <= 1 &&
      (area_is_clear(area_row0, area_col0) & area_is_clear(area_row0, area_col1) &
       area_is_clear(area_row1, area_col0) & area_is_clear(area_row1, area_col1)))
    return true;
  const uint64_t block_row0 = row0 >> kBlockShift, block_row1 = row1 >> kBlockShift;
  const uint64_t block_col0 = col0 >> kBlockShift, block_col1 = col1 >> kBlockShift;
  if (block_row1 - block_row0 > 2 || block_col1 - block_col0 > 2) return false;
  for (uint64_t row = block_row0; row <= block_row1; ++row)
    for (uint64_t col = block_col0; col <= block_col1; ++col)
      if (!block_is_clear(map, row, col)) return false;
  return true;
}

inline bool crosses_impassable(Cell a, Cell b, const CostMap& map) {
  if (map.blocks && map.blocks->box_is_clear(a, b, map)) return false;
  return crosses_impassable_in_columns(a, b, map);
}

}  // namespace weave
