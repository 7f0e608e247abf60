#pragma once
#include <algorithm>
#include <cstdint>
#include <optional>

#include "../evocore/rng.hpp"
#include "rounding.hpp"
#include "types.hpp"

namespace weave {

// The placement grid: x in [0, width - 1], y in [0, height - 1].
struct Grid {
  int32_t width = 0;
  int32_t height = 0;

  static Grid of(const GridSize& size) { return {extent_to_i32(size.width), extent_to_i32(size.height)}; }

  // (x, y) itself when no node sits there (not clamped); otherwise up to 10
  // random tries per radius r = 1 .. max(width, height) - 1, each drawing dx
  // then dy uniformly from [-r, r] and clamping the candidate to the grid;
  // when every try misses, the same candidates are scanned ring by ring.
  std::optional<Pos> find_free_pos(int32_t x, int32_t y, const WeaveNodeMap& nodes, evocore::Rng& rng) const;

  // The same search against any occupancy test `occupied(Pos) -> bool`.
  template <class Occupied>
  std::optional<Pos> find_free_cell(int32_t x, int32_t y, Occupied&& occupied, evocore::Rng& rng) const {
    if (!occupied(Pos{x, y})) return Pos{x, y};
    const int32_t extent = std::max(width, height);
    for (int32_t radius = 1; radius < extent; ++radius) {
      for (int attempt = 0; attempt < kTriesPerRadius; ++attempt) {
        const int64_t dx = rng.uniform_int(-radius, radius);
        const int64_t dy = rng.uniform_int(-radius, radius);
        const Pos candidate{clamp_x(x + dx), clamp_y(y + dy)};
        if (!occupied(candidate)) return candidate;
      }
    }
    return nearest_free_cell(x, y, occupied);
  }

  // Every candidate the random tries could draw, ring by ring around (x, y):
  // the tries can miss the last free cells of a nearly full grid.
  template <class Occupied>
  std::optional<Pos> nearest_free_cell(int32_t x, int32_t y, Occupied&& occupied) const {
    const int64_t extent = std::max(width, height);
    for (int64_t radius = 1; radius < extent; ++radius)
      for (int64_t dx = -radius; dx <= radius; ++dx)
        for (int64_t dy = -radius; dy <= radius; dy += (dx == -radius || dx == radius) ? 1 : 2 * radius) {
          const Pos candidate{clamp_x(x + dx), clamp_y(y + dy)};
          if (!occupied(candidate)) return candidate;
        }
    return std::nullopt;
  }

  // Clamps to the grid as min(extent - 1, max(0, value)).
  int32_t clamp_x(int64_t value) const { return clamp(value, width); }
  int32_t clamp_y(int64_t value) const { return clamp(value, height); }

 private:
  static constexpr int kTriesPerRadius = 10;
  static int32_t clamp(int64_t value, int32_t extent) {
    return static_cast<int32_t>(std::min<int64_t>(int64_t{extent} - 1, std::max<int64_t>(0, value)));
  }
};

bool is_occupied(const WeaveNodeMap& nodes, Pos pos);

}  // namespace weave
