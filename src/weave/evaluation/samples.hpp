#pragma once
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "../../evocore/error.hpp"
#include "../types.hpp"
#include "edge_ends.hpp"

// The rasterisation rule shared by the dense and sparse trace forms and the
// cost evaluation: which cells a genome touches and with what weight.
namespace weave::detail {

// Fails unless a rows x cols grid of doubles fits a signed 64-bit byte count.
inline void check_grid_shape(uint64_t rows, uint64_t cols) {
  constexpr uint64_t kMaxCells = static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) / sizeof(double);
  if (rows != 0 && cols > kMaxCells / rows)
    evocore::fail("trace grid of " + std::to_string(rows) + " x " + std::to_string(cols) +
                  " cells is too large");
}

inline double trace_scale(uint64_t rows, uint64_t cols) { return 1.0 / static_cast<double>(rows + cols); }

// True when a position lies on a rows x cols grid.
inline bool on_grid(Cell pos, uint64_t rows, uint64_t cols) {
  return pos.row >= 0 && pos.column >= 0 && static_cast<uint64_t>(pos.row) < rows &&
         static_cast<uint64_t>(pos.column) < cols;
}

// Nearest integer, halves away from zero, for coordinates interpolated between
// int32 positions (|coordinate| < 2^32). Same result as std::round, inlined.
inline int64_t round_coordinate(double coordinate) {
  int64_t whole = static_cast<int64_t>(coordinate);                 // toward zero
  const double fraction = coordinate - static_cast<double>(whole);  // exact
  if (fraction >= 0.5)
    ++whole;
  else if (fraction <= -0.5)
    --whole;
  return whole;
}

// The nearest integer saturated to an unsigned index: negatives give 0.
inline uint64_t sample_index(double coordinate) {
  const int64_t rounded = round_coordinate(coordinate);
  return rounded > 0 ? static_cast<uint64_t>(rounded) : 0;
}

struct SampleSpan {
  uint64_t first = 1;
  uint64_t last = 0;  // empty when first > last
};

// Narrows [lo, hi] (sample numbers as doubles) to the samples whose coordinate
// along one axis can round below `limit`. Conservative (a coordinate slack far
// above the interpolation's rounding error, plus two samples); the caller still
// checks every sample exactly.
inline void narrow_axis(double from, double to, double steps, uint64_t limit, double& lo, double& hi) {
  if (from == to) {
    if (sample_index(from) >= limit) hi = -1.0;
    return;
  }
  const double slack = 1e-12 * (std::abs(from) + std::abs(to) + 1.0);
  const double threshold = static_cast<double>(limit) - 0.5 + slack;
  const double crossing = (threshold - from) * steps / (to - from);
  if (to > from)
    hi = std::min(hi, crossing + 2.0);
  else
    lo = std::max(lo, crossing - 2.0);
}

// Samples of an edge that may fall inside the shape; samples outside add nothing,
// so skipping them avoids walking far-away edges sample by sample.
inline SampleSpan in_shape_samples(double x1, double y1, double x2, double y2, uint64_t steps, uint64_t rows,
                                   uint64_t cols) {
  double lo = 0.0, hi = static_cast<double>(steps);
  narrow_axis(x1, x2, hi, rows, lo, hi);
  narrow_axis(y1, y2, static_cast<double>(steps), cols, lo, hi);
  if (!(lo <= hi)) return {};
  return {static_cast<uint64_t>(std::ceil(lo)), static_cast<uint64_t>(std::floor(hi))};
}

// Rounding cell of one axis that a coordinate certainly lies in: [low, high),
// with low = -inf for the cell saturated to index 0. Empty (low > high) when
// the coordinate is within `slack` of a boundary.
struct AxisCell {
  double low = 1.0;
  double high = 0.0;
};

inline AxisCell certain_cell(double coordinate, double slack) {
  if (coordinate < 0.5 - slack) return {-std::numeric_limits<double>::infinity(), 0.5};
  const double centre = static_cast<double>(round_coordinate(coordinate));
  if (coordinate < centre - 0.5 + slack || coordinate >= centre + 0.5 - slack) return {};
  return {centre - 0.5, centre + 0.5};
}

// Last sample number, from `from` on, whose exact coordinate stays at least
// `slack` inside the cell, for a coordinate moving linearly from c1 (sample 0)
// to c2 (sample steps). One sample is kept back against rounding in the division.
inline double last_in_cell(const AxisCell& cell, double c1, double c2, double steps, double slack) {
  if (c2 > c1) return std::floor((cell.high - slack - c1) * steps / (c2 - c1)) - 1.0;
  if (c2 < c1) return std::floor((c1 - cell.low - slack) * steps / (c1 - c2)) - 1.0;
  return steps;
}

// Samples after i that certainly land on sample i's cell. Only worth asking
// where the major axis is saturated to index 0: the major coordinate then no
// longer moves the cell, and an edge reaching far beyond the grid's low border
// puts up to billions of samples on a few cells of row or column 0.
inline uint64_t repeats_after(uint64_t i, uint64_t last, double x1, double y1, double x2, double y2,
                              uint64_t steps, double x, double y) {
  const double slack = 1e-12 * (std::abs(x1) + std::abs(x2) + std::abs(y1) + std::abs(y2) + 1.0);
  const AxisCell cell_x = certain_cell(x, slack), cell_y = certain_cell(y, slack);
  if (cell_x.low > cell_x.high || cell_y.low > cell_y.high) return 0;
  const double total = static_cast<double>(steps);
  const double end =
      std::min({last_in_cell(cell_x, x1, x2, total, slack), last_in_cell(cell_y, y1, y2, total, slack),
                static_cast<double>(last), total - 1.0});  // the end sample stays single
  return end > static_cast<double>(i) ? static_cast<uint64_t>(end) - i : 0;
}

// The sample rule itself: the cell of sample i of the edge p1 -> p2 with
// `steps` steps, before the in-shape check.
struct SampleCell {
  uint64_t u = 0;
  uint64_t v = 0;
};

inline SampleCell exact_sample(double x1, double y1, double x2, double y2, uint64_t i, uint64_t steps) {
  const double t = static_cast<double>(i) / static_cast<double>(steps);
  return {sample_index(t * x2 + (1.0 - t) * x1), sample_index(t * y2 + (1.0 - t) * y1)};
}

// Samples [first, last] evaluated one by one with the sample rule; a run of
// samples that certainly share a cell (see repeats_after) is passed once with
// its weights summed. Serves the samples whose major coordinate is negative.
template <class OnSample>
[[gnu::always_inline]] inline void walk_exact(double x1, double y1, double x2, double y2, uint64_t steps,
                                              double weight, bool x_is_major, uint64_t first, uint64_t last,
                                              uint64_t rows, uint64_t cols, OnSample&& on_sample) {
  for (uint64_t i = first; i <= last; ++i) {
    const double t = static_cast<double>(i) / static_cast<double>(steps);
    const double x = t * x2 + (1.0 - t) * x1, y = t * y2 + (1.0 - t) * y1;
    const uint64_t u = sample_index(x), v = sample_index(y);
    const bool in_shape = u < rows && v < cols;
    if (in_shape) on_sample(u * cols + v, weight, i == 0 || i == steps);
    if ((x_is_major ? x : y) >= 0.0) continue;
    const uint64_t repeats = repeats_after(i, last, x1, y1, x2, y2, steps, x, y);
    if (repeats == 0) continue;
    if (in_shape) on_sample(u * cols + v, weight * static_cast<double>(repeats), false);
    i += repeats;
  }
}

inline SampleSpan intersect(SampleSpan a, SampleSpan b) {
  return {std::max(a.first, b.first), std::min(a.last, b.last)};
}

// Samples i whose stepped quotient floor((i * rise2 + steps) / period) lies in
// [low, high]; the quotient never decreases with i.
inline SampleSpan quotient_span(int64_t low, int64_t high, uint64_t rise2, uint64_t steps, uint64_t period) {
  using Wide = __int128;
  if (high < low || high < 0) return {};
  const Wide limit = Wide{1} << 80;  // far beyond any sample number
  const Wide first = low <= 0 || rise2 == 0
                         ? Wide{low <= 0 ? 0 : 1} * limit
                         : (Wide{low} * period - steps + rise2 - 1) / rise2;  // ceil; numerator > 0
  const Wide last = rise2 == 0 ? limit : (Wide{high + 1} * period - steps - 1) / rise2;
  if (first > last || first >= limit) return {};
  const auto clamp = [](Wide value) {
    return static_cast<uint64_t>(std::min<Wide>(value, ~uint64_t{0} >> 1));
  };
  return {clamp(first), clamp(last)};
}

// Incremental form of the sample rule for samples whose major coordinate lies
// in [0, major limit). The major coordinate of sample i is exactly
// major1 + i * (+-1); the minor one is minor1 + sign * i * rise / steps, which
// rounds to minor1 + sign * floor((2 * i * rise + steps) / (2 * steps)) unless
// it is a half. That quotient and its remainder are stepped with integers;
// where the remainder comes within `band` of a half (and the floating-point
// rule may round either way) the sample rule itself decides. Where the stepped
// minor cell certainly lies inside the map, one running cell offset replaces
// the per-sample bounds checks.
// With `ends_inside` (both edge ends on the map) every stepped minor cell lies
// between the ends' and so inside the map.
template <bool XMajor, class OnSample>
[[gnu::always_inline]] inline void walk_incremental(Cell p1, Cell p2, uint64_t steps, double weight,
                                                    uint64_t first, uint64_t last, uint64_t rows,
                                                    uint64_t cols, bool ends_inside, OnSample&& on_sample) {
  const int64_t major1 = XMajor ? p1.row : p1.column, major2 = XMajor ? p2.row : p2.column;
  const int64_t minor1 = XMajor ? p1.column : p1.row, minor2 = XMajor ? p2.column : p2.row;
  const int64_t major_step = major2 >= major1 ? 1 : -1, minor_sign = minor2 >= minor1 ? 1 : -1;
  const uint64_t minor_limit = XMajor ? cols : rows;
  const int64_t major_stride = XMajor ? static_cast<int64_t>(cols) : 1;
  const int64_t minor_stride = XMajor ? 1 : static_cast<int64_t>(cols);
  const auto rise2 = 2 * static_cast<uint64_t>(minor2 >= minor1 ? minor2 - minor1 : minor1 - minor2);
  const uint64_t period = 2 * steps;
  // The floating-point rule is off the exact value by far less than this slack.
  const double slack =
      1e-12 * (std::abs(static_cast<double>(minor1)) + std::abs(static_cast<double>(minor2)) + 1.0);
  const auto band = static_cast<uint64_t>(2.0 * static_cast<double>(steps) * slack);
  const double x1 = p1.row, y1 = p1.column, x2 = p2.row, y2 = p2.column;
  const int64_t major_move = major_step * major_stride, minor_move = minor_sign * minor_stride;

  int64_t minor = 0, major_offset = 0;
  uint64_t remainder = 0;  // 0 is exactly a half
  const auto start_at = [&](uint64_t i) {
    const unsigned __int128 numerator = static_cast<unsigned __int128>(i) * rise2 + steps;  // up to 66 bits
    uint64_t quotient = 0;
    if (i == 0) {  // an edge's first sample: no division
      remainder = steps;
    } else if (numerator >> 64 == 0) {  // the common case, in one hardware division
      const auto narrow = static_cast<uint64_t>(numerator);
      quotient = narrow / period;
      remainder = narrow % period;
    } else {
      quotient = static_cast<uint64_t>(numerator / period);
      remainder = static_cast<uint64_t>(numerator % period);
    }
    minor = minor1 + minor_sign * static_cast<int64_t>(quotient);
    major_offset = (major1 + major_step * static_cast<int64_t>(i)) * major_stride;
  };
  const auto near_half = [&] { return remainder - band - 1 >= period - 2 * band - 1; };
  const auto exact = [&](uint64_t i) {
    const SampleCell cell = exact_sample(x1, y1, x2, y2, i, steps);
    if (cell.u < rows && cell.v < cols) on_sample(cell.u * cols + cell.v, weight, i == 0 || i == steps);
  };
  // Carry of the checked walk and the wide-band core loop: all ones on a
  // carry, else 0, for masking the minor move.
  const auto carry = [&] {
    remainder += rise2;
    const uint64_t mask = uint64_t{0} - static_cast<uint64_t>(remainder >= period);
    remainder -= period & mask;
    return static_cast<int64_t>(mask);
  };
  const auto walk_checked = [&](uint64_t from, uint64_t to) {
    for (uint64_t i = from; i <= to; ++i) {
      if (near_half()) {
        exact(i);
      } else {
        const uint64_t minor_index = minor > 0 ? static_cast<uint64_t>(minor) : 0;
        if (minor_index < minor_limit)
          on_sample(static_cast<uint64_t>(major_offset) + minor_index * static_cast<uint64_t>(minor_stride),
                    weight, i == 0 || i == steps);
      }
      major_offset += major_move;
      minor += minor_sign & carry();
    }
  };

  // Samples whose stepped minor cell lies in [0, minor_limit), the edge's two
  // ends aside (they carry the endpoint flag).
  const int64_t top = static_cast<int64_t>(std::min<uint64_t>(minor_limit, uint64_t{1} << 40)) - 1;
  const SampleSpan minor_inside = ends_inside ? SampleSpan{0, steps}
                                  : minor_sign > 0
                                      ? quotient_span(-minor1, top - minor1, rise2, steps, period)
                                      : quotient_span(minor1 - top, minor1, rise2, steps, period);
  const SampleSpan inside = intersect(intersect({first, last}, {1, steps - 1}), minor_inside);
  start_at(first);
  if (inside.first > inside.last) return walk_checked(first, last);
  if (inside.first > first) walk_checked(first, inside.first - 1);  // leaves the state at inside.first
  int64_t cell = major_offset + minor * minor_stride;
  if (band == 0) {
    // Only an exact half (remainder 0) may round either way. The remainder is
    // stepped as r + rise2 - period, whose sign tells whether the minor cell moves.
    const auto over = static_cast<int64_t>(rise2) - static_cast<int64_t>(period);
    const auto whole_period = static_cast<int64_t>(period);
    const int64_t diagonal = major_move + minor_move, straight = major_move;
    auto r = static_cast<int64_t>(remainder);
    for (uint64_t i = inside.first; i <= inside.last; ++i) {
      if (r == 0) [[unlikely]]
        exact(i);
      else
        on_sample(static_cast<uint64_t>(cell), weight, false);
      r += over;
      // A branch, not a mask: the next cell's address then waits on no
      // arithmetic, so the loads of many samples are in flight at once.
      if (r >= 0) {
        cell += diagonal;
      } else {
        r += whole_period;
        cell += straight;
      }
    }
    remainder = static_cast<uint64_t>(r);
  } else {
    for (uint64_t i = inside.first; i <= inside.last; ++i) {
      if (near_half()) [[unlikely]]
        exact(i);
      else
        on_sample(static_cast<uint64_t>(cell), weight, false);
      cell += major_move + (minor_move & carry());
    }
  }
  if (inside.last < last) {
    if (ends_inside && inside.last + 1 == steps) {  // the far end alone: at t = 1 exactly, its own cell
      return on_sample(static_cast<uint64_t>(major2 * major_stride + minor2 * minor_stride), weight, true);
    }
    start_at(inside.last + 1);
    walk_checked(inside.last + 1, last);
  }
}

// Samples whose major coordinate major1 + i * (+-1) lies in [0, limit).
inline SampleSpan major_in_range(int64_t major1, int64_t major2, uint64_t steps, uint64_t limit) {
  const auto top =
      static_cast<int64_t>(std::min<uint64_t>(limit, uint64_t{1} << 40)) - 1;  // far beyond int32
  if (top < 0) return {};
  if (major2 >= major1) {
    if (major1 > top) return {};
    return {major1 < 0 ? static_cast<uint64_t>(-major1) : 0,
            std::min(steps, static_cast<uint64_t>(top - major1))};
  }
  if (major1 < 0) return {};
  return {major1 > top ? static_cast<uint64_t>(major1 - top) : 0,
          std::min(steps, static_cast<uint64_t>(major1))};
}

// Calls on_sample(cell, weight, is_endpoint) for every in-shape sample of one
// edge, in sample order. Samples with a negative major coordinate (saturated to
// index 0) take the one-by-one rule, which merges long runs on one cell; the
// rest are stepped incrementally.
template <class OnSample>
[[gnu::always_inline]] inline void for_each_edge_sample(Cell p1, Cell p2, uint64_t rows, uint64_t cols,
                                                        OnSample&& on_sample) {
  if (p1.row == p2.row && p1.column == p2.column) return;  // both ends share a cell
  const double x1 = p1.row, y1 = p1.column, x2 = p2.row, y2 = p2.column;
  const double dx = x2 - x1, dy = y2 - y1;
  const double major = std::max(std::abs(dx), std::abs(dy));
  const double minor = std::min(std::abs(dx), std::abs(dy));
  const auto steps = static_cast<uint64_t>(std::ceil(major));
  const double weight = major > 0.0 ? std::sqrt(major * major + minor * minor) / major : 1.0;
  const bool x_is_major = std::abs(dx) >= std::abs(dy);
  const auto exact = [&](uint64_t from, uint64_t to) __attribute__((always_inline)) {
    walk_exact(x1, y1, x2, y2, steps, weight, x_is_major, from, to, rows, cols, on_sample);
  };
  // With both ends on the map every sample is on it: no spans to narrow.
  const bool ends_inside = on_grid(p1, rows, cols) && on_grid(p2, rows, cols);
  SampleSpan span{0, steps}, stepped{0, steps};
  if (!ends_inside) {
    span = in_shape_samples(x1, y1, x2, y2, steps, rows, cols);
    if (span.first > span.last) return;
    stepped = x_is_major ? intersect(span, major_in_range(p1.row, p2.row, steps, rows))
                         : intersect(span, major_in_range(p1.column, p2.column, steps, cols));
    if (stepped.first > stepped.last) return exact(span.first, span.last);
    if (stepped.first > span.first) exact(span.first, stepped.first - 1);
  }
  if (x_is_major)
    walk_incremental<true>(p1, p2, steps, weight, stepped.first, stepped.last, rows, cols, ends_inside,
                           on_sample);
  else
    walk_incremental<false>(p1, p2, steps, weight, stepped.first, stepped.last, rows, cols, ends_inside,
                            on_sample);
  if (stepped.last < span.last) exact(stepped.last + 1, span.last);
}

// Walks a genome's trace contributions in the order of the trace algorithm:
// on_node(cell) for every in-shape node, then on_sample(cell, weight, is_endpoint)
// for the in-shape samples of every enabled edge. Cells are row-major indices.
template <class OnNode, class OnSample>
void for_each_trace_contribution(uint64_t rows, uint64_t cols, const WeaveNodeMap& nodes,
                                 const EdgeMap& edges, OnNode&& on_node, OnSample&& on_sample) {
  check_grid_shape(rows, cols);
  for (const auto& [id, node] : nodes) {
    const Cell pos = node.data.pos;
    if (on_grid(pos, rows, cols))
      on_node(static_cast<uint64_t>(pos.row) * cols + static_cast<uint64_t>(pos.column));
  }
  for (const auto& [id, edge] : edges) {
    if (!edge.enabled) continue;
    const Cell p1 = edge_end(nodes, edge, edge.node1).data.pos;
    const Cell p2 = edge_end(nodes, edge, edge.node2).data.pos;
    for_each_edge_sample(p1, p2, rows, cols, on_sample);
  }
}

}  // namespace weave::detail
