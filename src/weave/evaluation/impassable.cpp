#include "impassable.hpp"

#include <algorithm>
#include <cmath>

#include "evaluate.hpp"
#include "samples.hpp"

namespace weave {

namespace {

constexpr uint64_t kBlockMask = (uint64_t{1} << ImpassableBlocks::kBlockShift) - 1;

template <class Value>
bool cells_hold(const Value* data, uint64_t cols, uint64_t row0, uint64_t row1, uint64_t col0,
                uint64_t col1) {
  bool holds = false;  // no early exit: the loop stays branch-free
  for (uint64_t x = row0; x < row1; ++x) {
    const Value* row = data + x * cols;
    for (uint64_t y = col0; y < col1; ++y) holds |= is_impassable(static_cast<double>(row[y]));
  }
  return holds;
}

// The segment seen along its major axis (the longer one, x on a tie): column k
// (k = 0 ... run) has the major coordinate major1 + major_step * k, and the
// minor cells it meets are minor1 + minor_step * c for c in
// [lowest(k), highest(k)], 0 <= c <= rise.
struct Columns {
  int64_t major1, major2, minor1, major_step, minor_step;
  uint64_t run, rise;  // run >= rise, run > 0
  bool x_major;
};

Columns columns_of(Cell a, Cell b) {
  const int64_t dx = int64_t{b.row} - a.row, dy = int64_t{b.column} - a.column;
  const bool x_major = std::abs(dx) >= std::abs(dy);
  const int64_t major_delta = x_major ? dx : dy, minor_delta = x_major ? dy : dx;
  return {x_major ? a.row : a.column,
          x_major ? b.row : b.column,
          x_major ? a.column : a.row,
          major_delta >= 0 ? 1 : -1,
          minor_delta >= 0 ? 1 : -1,
          static_cast<uint64_t>(std::abs(major_delta)),
          static_cast<uint64_t>(std::abs(minor_delta)),
          x_major};
}

template <class Int>
Int floor_div(Int numerator, Int denominator) {  // denominator > 0
  const Int quotient = numerator / denominator;
  return numerator % denominator != 0 && numerator < 0 ? quotient - 1 : quotient;
}

// Column k spans minor offsets rise * (k -+ 1/2) / run, open at both ends (the
// ends of the segment itself fall inside cells); a cell c is met when its open
// interval (c - 1/2, c + 1/2) overlaps that span. Exact in integers: the
// lowest such cell is below, the highest is the floor of
// (rise * (2k + 1) + run - 1) / (2 run), stepped in exact_columns.
template <class Int>
int64_t lowest(const Columns& s, uint64_t k) {
  const Int run = static_cast<Int>(s.run), rise = static_cast<Int>(s.rise), column = static_cast<Int>(k);
  return static_cast<int64_t>(floor_div<Int>(rise * (2 * column - 1) - run, 2 * run) + 1);
}

// Offsets c whose minor cell lies on the map, as [first, second].
std::pair<int64_t, int64_t> minor_on_map(const Columns& s, const CostMap& map) {
  const auto limit = static_cast<int64_t>(s.x_major ? map.cols : map.rows);
  if (s.minor_step > 0) return {-s.minor1, limit - 1 - s.minor1};
  return {s.minor1 - limit + 1, s.minor1};
}

// Columns [k, end], whose major coordinates share one area (Shift =
// kAreaShift) or block (kBlockShift): false when every area or block they may
// meet is known to be clear. The minor span (offsets within [0,
// rise], so truncation is a floor) is widened by a cell against rounding, which only costs a closer look now
// and then.
template <unsigned Shift>
[[gnu::always_inline]] inline bool may_cross(const Columns& s, double slope, uint64_t k, uint64_t end,
                                             std::pair<int64_t, int64_t> on_map, const CostMap& map) {
  const int64_t low =
      std::max(static_cast<int64_t>(slope * (static_cast<double>(k) - 0.5)) - 1, on_map.first);
  const int64_t high =
      std::min(static_cast<int64_t>(slope * (static_cast<double>(end) + 0.5)) + 2, on_map.second);
  if (low > high) return false;
  const int64_t minor_a = s.minor1 + s.minor_step * low, minor_b = s.minor1 + s.minor_step * high;
  const auto major = static_cast<uint64_t>(s.major1 + s.major_step * static_cast<int64_t>(k)) >> Shift;
  const auto first = static_cast<uint64_t>(std::min(minor_a, minor_b)) >> Shift;
  const auto last = static_cast<uint64_t>(std::max(minor_a, minor_b)) >> Shift;
  const auto holds = [&](uint64_t minor) {
    const uint64_t row = s.x_major ? major : minor, col = s.x_major ? minor : major;
    if constexpr (Shift == ImpassableBlocks::kAreaShift) return !map.blocks->area_is_clear(row, col);
    return !map.blocks->block_is_clear(map, row, col);
  };
  // The span is a little over one unit wide, so it meets three units at most;
  // tested without branches, which random edges would mispredict.
  return holds(first) | holds(last) | (last > first + 1 && holds(first + 1));
}

// Columns that may meet a cell on the map: the major coordinate on the map,
// and (widened by two columns) a minor offset within a cell of the map's.
detail::SampleSpan columns_on_map(const Columns& s, std::pair<int64_t, int64_t> on_map, const CostMap& map) {
  detail::SampleSpan span =
      detail::major_in_range(s.major1, s.major2, s.run, s.x_major ? map.rows : map.cols);
  if (span.first > span.last) return span;
  if (s.rise == 0) return on_map.first <= 0 && 0 <= on_map.second ? span : detail::SampleSpan{};
  const double per_offset = static_cast<double>(s.run) / static_cast<double>(s.rise);
  const double low = (static_cast<double>(on_map.first) - 1.0) * per_offset - 2.0;
  const double high = (static_cast<double>(on_map.second) + 1.0) * per_offset + 2.0;
  if (high < static_cast<double>(span.first) || low > static_cast<double>(span.last)) return {};
  if (low > static_cast<double>(span.first)) span.first = static_cast<uint64_t>(low);
  if (high < static_cast<double>(span.last)) span.last = static_cast<uint64_t>(high);
  return span;
}

// Columns [first, last] cell by cell. highest(k) is the quotient of
// rise * (2k + 1) + run - 1 by 2 run, stepped column by column with its
// remainder r; the next column's lowest cell is highest(k), or one more where
// the segment leaves column k exactly through a corner (r = 2 run - 1). Cell
// c of column k is data[base(k) + c * minor_move], only read for c on the map.
template <class Int, class Value>
bool exact_columns_over(const Value* data, const Columns& s, uint64_t first, uint64_t last,
                        std::pair<int64_t, int64_t> on_map, const CostMap& map) {
  const auto cols = static_cast<int64_t>(map.cols);
  const int64_t major_move = s.major_step * (s.x_major ? cols : 1);
  const int64_t minor_move = s.minor_step * (s.x_major ? 1 : cols);
  int64_t base = (s.major1 + s.major_step * static_cast<int64_t>(first)) * (s.x_major ? cols : 1) +
                 s.minor1 * (s.x_major ? 1 : cols);
  const uint64_t period = 2 * s.run, rise2 = 2 * s.rise;
  const Int numerator =
      static_cast<Int>(s.rise) * (2 * static_cast<Int>(first) + 1) + static_cast<Int>(s.run) - 1;
  auto high = static_cast<int64_t>(numerator / static_cast<Int>(period));
  auto remainder = static_cast<uint64_t>(numerator % static_cast<Int>(period));
  int64_t low = lowest<Int>(s, first);
  for (uint64_t k = first;; ++k) {
    const int64_t top = std::min(high, on_map.second);
    for (int64_t c = std::max(low, on_map.first); c <= top; ++c)
      if (is_impassable(static_cast<double>(data[base + c * minor_move]))) return true;
    if (k == last) return false;
    low = high + (remainder == period - 1 ? 1 : 0);
    remainder += rise2;
    if (remainder >= period) remainder -= period, ++high;
    base += major_move;
  }
}

template <class Int>
bool exact_columns(const Columns& s, uint64_t first, uint64_t last, std::pair<int64_t, int64_t> on_map,
                   const CostMap& map) {
  return map.data32 ? exact_columns_over<Int>(map.data32, s, first, last, on_map, map)
                    : exact_columns_over<Int>(map.data, s, first, last, on_map, map);
}

// Columns [first, last] in runs that share an area, and within an area that
// holds an impassable cell, in runs that share a block.
template <class Int, unsigned Shift>
bool walk(const Columns& s, double slope, uint64_t first, uint64_t last, std::pair<int64_t, int64_t> on_map,
          const CostMap& map) {
  constexpr uint64_t mask = (uint64_t{1} << Shift) - 1;
  for (uint64_t k = first; k <= last;) {
    const auto major = static_cast<uint64_t>(s.major1 + s.major_step * static_cast<int64_t>(k));
    const uint64_t end = std::min(last, k + (s.major_step > 0 ? mask - (major & mask) : major & mask));
    if (may_cross<Shift>(s, slope, k, end, on_map, map)) {
      if constexpr (Shift == ImpassableBlocks::kAreaShift) {
        if (walk<Int, ImpassableBlocks::kBlockShift>(s, slope, k, end, on_map, map)) return true;
      } else if (exact_columns<Int>(s, k, end, on_map, map)) {
        return true;
      }
    }
    k = end + 1;
  }
  return false;
}

template <class Int>
bool crosses(const Columns& s, const CostMap& map, bool ends_on_map) {
  const auto on_map = minor_on_map(s, map);
  const detail::SampleSpan span = ends_on_map ? detail::SampleSpan{0, s.run} : columns_on_map(s, on_map, map);
  if (span.first > span.last) return false;
  if (!map.blocks) return exact_columns<Int>(s, span.first, span.last, on_map, map);
  const double slope = static_cast<double>(s.rise) / static_cast<double>(s.run);
  return walk<Int, ImpassableBlocks::kAreaShift>(s, slope, span.first, span.last, on_map, map);
}

}  // namespace

ImpassableBlocks::ImpassableBlocks(uint64_t rows, uint64_t cols)
    : area_cols_((cols >> kAreaShift) + 1),
      block_cols_((cols >> kBlockShift) + 1),
      blocks_(std::make_unique<std::atomic<uint8_t>[]>(((rows >> kBlockShift) + 1) * block_cols_)),
      not_clear_(std::make_unique<std::atomic<uint32_t>[]>(((rows >> kAreaShift) + 1) * area_cols_)) {
  constexpr uint64_t per_area = uint64_t{1} << (kAreaShift - kBlockShift);
  const uint64_t block_rows = (rows + kBlockMask) >> kBlockShift,
                 block_cols = (cols + kBlockMask) >> kBlockShift;
  for (uint64_t row = 0; row <= (rows >> kAreaShift); ++row)
    for (uint64_t col = 0; col < area_cols_; ++col) {
      const uint64_t height = std::min(per_area, block_rows - std::min(block_rows, row * per_area));
      const uint64_t width = std::min(per_area, block_cols - std::min(block_cols, col * per_area));
      not_clear_[row * area_cols_ + col].store(static_cast<uint32_t>(height * width),
                                               std::memory_order_relaxed);
    }
}

bool ImpassableBlocks::visit(const CostMap& map, uint64_t row, uint64_t col) const {
  std::atomic<uint8_t>& state = blocks_[row * block_cols_ + col];
  uint8_t seen = state.load(std::memory_order_relaxed);
  // Compare-and-swap throughout: only one thread settles a block and counts
  // it clear in its area, and a settled block stays settled.
  while (seen + 1 < kScanAfter)
    if (state.compare_exchange_weak(seen, static_cast<uint8_t>(seen + 1), std::memory_order_relaxed))
      return false;
  if (seen >= kScanAfter) return seen == kClear;
  constexpr uint64_t side = uint64_t{1} << kBlockShift;
  const uint64_t row0 = row * side, row1 = std::min(map.rows, row0 + side);
  const uint64_t col0 = col * side, col1 = std::min(map.cols, col0 + side);
  const bool holds = map.data32 ? cells_hold(map.data32, map.cols, row0, row1, col0, col1)
                                : cells_hold(map.data, map.cols, row0, row1, col0, col1);
  while (seen < kScanAfter)
    if (state.compare_exchange_weak(seen, holds ? kHolds : kClear, std::memory_order_relaxed)) {
      constexpr unsigned per_area = kAreaShift - kBlockShift;
      if (!holds)
        not_clear_[(row >> per_area) * area_cols_ + (col >> per_area)].fetch_sub(1,
                                                                                 std::memory_order_relaxed);
      return !holds;
    }
  return seen == kClear;
}

bool crosses_impassable_in_columns(Cell a, Cell b, const CostMap& map) {
  if (a.row == b.row && a.column == b.column) return false;  // a point: the node's own cell
  const bool ends_on_map = detail::on_grid(a, map.rows, map.cols) && detail::on_grid(b, map.rows, map.cols);
  const Columns s = columns_of(a, b);
  // Column arithmetic needs about 2 log2(run) + 2 bits.
  return s.run < (uint64_t{1} << 30) ? crosses<int64_t>(s, map, ends_on_map)
                                     : crosses<__int128>(s, map, ends_on_map);
}

}  // namespace weave
