#pragma once
#include <algorithm>
#include <cstdint>
#include <optional>

#include "../evocore/rng.hpp"
#include "rounding.hpp"
#include "types.hpp"

namespace weave {

// The placement grid: rows in [0, rows - 1], columns in [0, columns - 1].
struct Grid {
  int32_t rows = 0;
  int32_t columns = 0;

  static Grid of(const GridShape& size) { return {extent_to_i32(size.rows), extent_to_i32(size.columns)}; }

  // (x, y) itself when no node sits there (not clamped); otherwise up to 10
  // random tries per radius r = 1 .. max(rows, columns) - 1, each drawing dx
  // then dy uniformly from [-r, r] and clamping the candidate to the grid;
  // when every try misses, the same candidates are scanned ring by ring.
  std::optional<Cell> find_free_pos(int32_t x, int32_t y, const WeaveNodeMap& nodes, evocore::Rng& rng) const;

  // The same search against any occupancy test `occupied(Cell) -> bool`.
  template <class Occupied>
  std::optional<Cell> find_free_cell(int32_t x, int32_t y, Occupied&& occupied, evocore::Rng& rng) const {
    if (!occupied(Cell{x, y})) return Cell{x, y};
    const int32_t extent = std::max(rows, columns);
    for (int32_t radius = 1; radius < extent; ++radius) {
      for (int attempt = 0; attempt < kTriesPerRadius; ++attempt) {
        const int64_t dx = rng.uniform_int(-radius, radius);
        const int64_t dy = rng.uniform_int(-radius, radius);
        const Cell candidate{clamp_x(x + dx), clamp_y(y + dy)};
        if (!occupied(candidate)) return candidate;
      }
    }
    return nearest_free_cell(x, y, occupied);
  }

  // Every candidate the random tries could draw, ring by ring around (x, y):
  // the tries can miss the last free cells of a nearly full grid.
  template <class Occupied>
  std::optional<Cell> nearest_free_cell(int32_t x, int32_t y, Occupied&& occupied) const {
    const int64_t extent = std::max(rows, columns);
    for (int64_t radius = 1; radius < extent; ++radius)
      for (int64_t dx = -radius; dx <= radius; ++dx)
        for (int64_t dy = -radius; dy <= radius; dy += (dx == -radius || dx == radius) ? 1 : 2 * radius) {
          const Cell candidate{clamp_x(x + dx), clamp_y(y + dy)};
          if (!occupied(candidate)) return candidate;
        }
    return std::nullopt;
  }

  // Clamps to the grid as min(extent - 1, max(0, value)).
  int32_t clamp_x(int64_t value) const { return clamp(value, rows); }
  int32_t clamp_y(int64_t value) const { return clamp(value, columns); }

 private:
  static constexpr int kTriesPerRadius = 10;
  static int32_t clamp(int64_t value, int32_t extent) {
    return static_cast<int32_t>(std::min<int64_t>(int64_t{extent} - 1, std::max<int64_t>(0, value)));
  }
};

bool is_occupied(const WeaveNodeMap& nodes, Cell pos);

}  // namespace weave
