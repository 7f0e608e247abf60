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

// Which parts of one cost map hold an impassable cell, on two levels: areas
// of 256 x 256 cells and their blocks of 32 x 32. An area is scanned the first
// time an edge reaches it, which sets the flags of its blocks too. An edge
// over clear areas costs a few flag reads, one over clear blocks a few more;
// only edges near impassable cells are tested cell by cell, and a map is never
// scanned beyond the areas its edges reach. Safe to ask from many threads.
class ImpassableBlocks {
 public:
  static constexpr unsigned kBlockShift = 5;
  static constexpr unsigned kAreaShift = 8;

  ImpassableBlocks(uint64_t rows, uint64_t cols);
  // True when both ends lie on the map and the few areas (at most 4) of the
  // edge's bounding box hold no impassable cell.
  bool box_is_clear(Pos a, Pos b, const CostMap& map) const;
  // Area or block (row, col) of `map`, which has the shape given above.
  bool area_holds(const CostMap& map, uint64_t row, uint64_t col) const {
    const uint8_t known = areas_[row * area_cols_ + col].load(std::memory_order_acquire);
    return known == kUnknown ? scan(map, row, col) : known == kHolds;
  }
  bool block_holds(const CostMap& map, uint64_t row, uint64_t col) const {
    constexpr unsigned per_area = kAreaShift - kBlockShift;
    if (!area_holds(map, row >> per_area, col >> per_area)) return false;
    return blocks_[row * block_cols_ + col].load(std::memory_order_relaxed) != 0;
  }

 private:
  enum : uint8_t { kUnknown = 0, kClear = 1, kHolds = 2 };
  // Sets the area's block flags, then (releasing them) its own state.
  [[gnu::cold, gnu::noinline]] bool scan(const CostMap& map, uint64_t row, uint64_t col) const;
  uint64_t area_cols_, block_cols_;
  std::unique_ptr<std::atomic<uint8_t>[]> areas_, blocks_;
};

// The column by column test of crosses_impassable.
bool crosses_impassable_in_columns(Pos a, Pos b, const CostMap& map);

// True when the segment between the centres of a and b passes through an
// impassable cell of the map (cells off the map are never impassable). With
// the map's `blocks` only blocks that hold an impassable cell are tested
// cell by cell; without them every cell the segment meets is read. Inline:
// an edge on clear areas, the common case, costs a few flag reads.
inline bool crosses_impassable(Pos a, Pos b, const CostMap& map);

inline bool ImpassableBlocks::box_is_clear(Pos a, Pos b, const CostMap& map) const {
  if (a.x < 0 || a.y < 0 || b.x < 0 || b.y < 0) return false;
  const auto row0 = static_cast<uint64_t>(std::min(a.x, b.x)),
             row1 = static_cast<uint64_t>(std::max(a.x, b.x));
  const auto col0 = static_cast<uint64_t>(std::min(a.y, b.y)),
             col1 = static_cast<uint64_t>(std::max(a.y, b.y));
  if (row1 >= map.rows || col1 >= map.cols) return false;
  const uint64_t area_row0 = row0 >> kAreaShift, area_row1 = row1 >> kAreaShift;
  const uint64_t area_col0 = col0 >> kAreaShift, area_col1 = col1 >> kAreaShift;
  if (area_row0 == area_row1 && area_col0 == area_col1) return !area_holds(map, area_row0, area_col0);
  if (area_row1 - area_row0 > 1 || area_col1 - area_col0 > 1) return false;
  // Two rows and columns of areas at most, tested without branches.
  return !(area_holds(map, area_row0, area_col0) | area_holds(map, area_row0, area_col1) |
           area_holds(map, area_row1, area_col0) | area_holds(map, area_row1, area_col1));
}

inline bool crosses_impassable(Pos a, Pos b, const CostMap& map) {
  if (map.blocks && map.blocks->box_is_clear(a, b, map)) return false;
  return crosses_impassable_in_columns(a, b, map);
}

}  // namespace weave
