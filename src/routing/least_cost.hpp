#pragma once
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "../evocore/interrupt.hpp"
#include "../weave/evaluation/evaluate.hpp"

// Least-cost distances on the 8-connected cell graph of a cost map. A step
// between neighbouring cells costs its length (1 or sqrt 2) times the mean of
// the two cells' costs; cells of infinite cost cannot be entered.
namespace routing {

using weave::CostMap;
inline constexpr double kUnreached = std::numeric_limits<double>::infinity();

class LeastCostSearch {
 public:
  explicit LeastCostSearch(const CostMap& map);

  // Makes `cell` a source (distance 0) labelled `label`. Call propagate() after
  // adding sources: distances only ever shrink, so a search can be extended by
  // new sources and propagated again.
  void add_source(uint64_t cell, int32_t label = 0);
  void propagate();
  // Propagates until a cell for which stop(cell) holds is settled, and returns
  // it (the search is then unfinished); nullopt when no such cell is reached.
  template <class Stop>
  std::optional<uint64_t> propagate_until(Stop&& stop) {
    while (!heap_.empty() && heap_.front().distance <= limit_) {
      poll_();
      const uint64_t cell = settle_next();
      if (cell != kNoCell && stop(cell)) return cell;
    }
    return std::nullopt;
  }

  // Back to the state of a new search (no sources, whole map, no limit).
  void reset();
  // Cells outside rows [row_begin, row_end) x columns [col_begin, col_end) are never entered.
  void set_window(uint64_t row_begin, uint64_t row_end, uint64_t col_begin, uint64_t col_end);
  bool in_window(uint64_t cell) const {
    const uint64_t row = cell / map_.cols, col = cell % map_.cols;
    return row >= row_begin_ && row < row_end_ && col >= col_begin_ && col < col_end_;
  }
  // Cells farther than `max_distance` are not settled.
  void set_limit(double max_distance) { limit_ = max_distance; }

  std::vector<double> distances() const { return distance_; }
  double distance(uint64_t cell) const { return distance_[cell]; }
  int32_t label(uint64_t cell) const { return label_[cell]; }
  // Cells from `cell` back to the source it was reached from, both included;
  // empty when the cell was not reached.
  std::vector<uint64_t> path_from(uint64_t cell) const;
  double step_cost(uint64_t from, uint64_t to) const;
  const CostMap& map() const { return map_; }

 private:
  struct Queued {
    double distance;
    uint64_t cell;
    bool operator>(const Queued& other) const {
      return distance > other.distance || (distance == other.distance && cell > other.cell);
    }
  };
  static constexpr uint8_t kNoParent = 255;
  static constexpr uint64_t kNoCell = std::numeric_limits<uint64_t>::max();

  // Pops the heap's top; relaxes its neighbours unless the entry is stale.
  // Returns the settled cell, or kNoCell for a stale entry.
  uint64_t settle_next();

  CostMap map_;
  std::vector<double> distance_;
  std::vector<int32_t> label_;
  std::vector<uint8_t> parent_direction_;  // index into the neighbour offsets
  std::vector<Queued> heap_;
  double limit_ = kUnreached;
  evocore::StopPoll poll_;
  uint64_t row_begin_ = 0, row_end_, col_begin_ = 0, col_end_;
};

// The eight neighbour offsets (row, column) in a fixed order.
struct Offset {
  int dx;
  int dy;
};
inline constexpr Offset kNeighbours[8] = {{-1, 0},  {1, 0},  {0, -1}, {0, 1},
                                          {-1, -1}, {-1, 1}, {1, -1}, {1, 1}};

// Calls visit(neighbour_cell, direction) for every neighbour inside the map.
template <class Visit>
void for_each_neighbour(const CostMap& map, uint64_t cell, Visit&& visit) {
  const int64_t x = static_cast<int64_t>(cell / map.cols), y = static_cast<int64_t>(cell % map.cols);
  for (uint8_t d = 0; d < 8; ++d) {
    const int64_t nx = x + kNeighbours[d].dx, ny = y + kNeighbours[d].dy;
    if (nx < 0 || ny < 0 || nx >= static_cast<int64_t>(map.rows) || ny >= static_cast<int64_t>(map.cols))
      continue;
    visit(static_cast<uint64_t>(nx) * map.cols + static_cast<uint64_t>(ny), d);
  }
}

// Least-cost path between two cells (both included, from `from` to `to`);
// empty when `to` cannot be reached.
std::vector<uint64_t> least_cost_path(const CostMap& map, uint64_t from, uint64_t to);

}  // namespace routing
