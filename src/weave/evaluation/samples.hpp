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
void walk_exact(double x1, double y1, double x2, double y2, uint64_t steps, double weight, bool x_is_major,
                uint64_t first, uint64_t last, uint64_t rows, uint64_t cols, OnSample&& on_sample) {
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

// Incremental form of the sample rule for samples whose major coordinate lies
// in [0, major limit). The major coordinate of sample i is exactly
// major1 + i * (+-1); the minor one is minor1 + sign * i * rise / steps, which
// rounds to minor1 + sign * floor((2 * i * rise + steps) / (2 * steps)) unless
// it is a half. That quotient and its remainder are stepped with integers;
// where the remainder comes within `band` of a half (and the floating-point
// rule may round either way) the sample rule itself decides.
template <bool XMajor, class OnSample>
void walk_incremental(Pos p1, Pos p2, uint64_t steps, double weight, uint64_t first, uint64_t last,
                      uint64_t rows, uint64_t cols, OnSample&& on_sample) {
  const int64_t major1 = XMajor ? p1.x : p1.y, major2 = XMajor ? p2.x : p2.y;
  const int64_t minor1 = XMajor ? p1.y : p1.x, minor2 = XMajor ? p2.y : p2.x;
  const int64_t major_step = major2 >= major1 ? 1 : -1, minor_sign = minor2 >= minor1 ? 1 : -1;
  const uint64_t minor_limit = XMajor ? cols : rows;
  const int64_t major_stride = XMajor ? static_cast<int64_t>(cols) : 1;
  const uint64_t minor_stride = XMajor ? 1 : cols;
  const auto rise2 = 2 * static_cast<uint64_t>(minor2 >= minor1 ? minor2 - minor1 : minor1 - minor2);
  const uint64_t period = 2 * steps;
  // State at sample `first`; the product needs up to 66 bits.
  const unsigned __int128 numerator = static_cast<unsigned __int128>(first) * rise2 + steps;
  int64_t minor = minor1 + minor_sign * static_cast<int64_t>(numerator / period);
  uint64_t remainder = static_cast<uint64_t>(numerator % period);  // 0 is exactly a half
  // The floating-point rule is off the exact value by far less than this slack.
  const double slack =
      1e-12 * (std::abs(static_cast<double>(minor1)) + std::abs(static_cast<double>(minor2)) + 1.0);
  const auto band = static_cast<uint64_t>(2.0 * static_cast<double>(steps) * slack);
  const double x1 = p1.x, y1 = p1.y, x2 = p2.x, y2 = p2.y;
  int64_t major_offset = (major1 + major_step * static_cast<int64_t>(first)) * major_stride;
  const int64_t major_move = major_step * major_stride;
  for (uint64_t i = first; i <= last; ++i) {
    const bool is_endpoint = i == 0 || i == steps;
    if (remainder - band - 1 < period - 2 * band - 1) {  // remainder in (band, period - band)
      const uint64_t minor_index = minor > 0 ? static_cast<uint64_t>(minor) : 0;
      if (minor_index < minor_limit)
        on_sample(static_cast<uint64_t>(major_offset) + minor_index * minor_stride, weight, is_endpoint);
    } else {
      const SampleCell cell = exact_sample(x1, y1, x2, y2, i, steps);
      if (cell.u < rows && cell.v < cols) on_sample(cell.u * cols + cell.v, weight, is_endpoint);
    }
    major_offset += major_move;
    remainder += rise2;
    if (remainder >= period) {
      remainder -= period;
      minor += minor_sign;
    }
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

inline SampleSpan intersect(SampleSpan a, SampleSpan b) {
  return {std::max(a.first, b.first), std::min(a.last, b.last)};
}

// Calls on_sample(cell, weight, is_endpoint) for every in-shape sample of one
// edge, in sample order. Samples with a negative major coordinate (saturated to
// index 0) take the one-by-one rule, which merges long runs on one cell; the
// rest are stepped incrementally.
template <class OnSample>
void for_each_edge_sample(Pos p1, Pos p2, uint64_t rows, uint64_t cols, OnSample&& on_sample) {
  const double x1 = p1.x, y1 = p1.y, x2 = p2.x, y2 = p2.y;
  const double dx = x2 - x1, dy = y2 - y1;
  if (std::sqrt(dx * dx + dy * dy) < 1e-5) return;  // both ends share a cell
  const double major = std::max(std::abs(dx), std::abs(dy));
  const double minor = std::min(std::abs(dx), std::abs(dy));
  const auto steps = static_cast<uint64_t>(std::ceil(major));
  const double weight = major > 0.0 ? std::sqrt(major * major + minor * minor) / major : 1.0;
  const bool x_is_major = std::abs(dx) >= std::abs(dy);
  const auto span = in_shape_samples(x1, y1, x2, y2, steps, rows, cols);
  if (span.first > span.last) return;
  const SampleSpan stepped = x_is_major ? intersect(span, major_in_range(p1.x, p2.x, steps, rows))
                                        : intersect(span, major_in_range(p1.y, p2.y, steps, cols));
  const auto exact = [&](uint64_t from, uint64_t to) {
    walk_exact(x1, y1, x2, y2, steps, weight, x_is_major, from, to, rows, cols, on_sample);
  };
  if (stepped.first > stepped.last) return exact(span.first, span.last);
  if (stepped.first > span.first) exact(span.first, stepped.first - 1);
  if (x_is_major)
    walk_incremental<true>(p1, p2, steps, weight, stepped.first, stepped.last, rows, cols, on_sample);
  else
    walk_incremental<false>(p1, p2, steps, weight, stepped.first, stepped.last, rows, cols, on_sample);
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
    const Pos pos = node.data.pos;
    if (pos.x >= 0 && pos.y >= 0 && static_cast<uint64_t>(pos.x) < rows &&
        static_cast<uint64_t>(pos.y) < cols)
      on_node(static_cast<uint64_t>(pos.x) * cols + static_cast<uint64_t>(pos.y));
  }
  for (const auto& [id, edge] : edges) {
    if (!edge.enabled) continue;
    const Pos p1 = edge_end(nodes, edge, edge.node1).data.pos;
    const Pos p2 = edge_end(nodes, edge, edge.node2).data.pos;
    for_each_edge_sample(p1, p2, rows, cols, on_sample);
  }
}

}  // namespace weave::detail
