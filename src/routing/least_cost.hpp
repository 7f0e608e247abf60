#pragma once
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "../evocore/interrupt.hpp"
#include "../weave/evaluation/evaluate.hpp"
#include "cell_queue.hpp"

// Least-cost distances on the 8-connected cell graph of a cost map. A step
// between neighbouring cells costs its length (1 or sqrt 2) times the mean of
// the two cells' costs; cells of infinite cost cannot be entered.
namespace routing {

using weave::CostMap;
inline constexpr double kUnreached = std::numeric_limits<double>::infinity();

// Memory for the search's per-cell arrays. Large arrays are placed on huge
// pages where the system offers them: a search front spans many rows, and with
// small pages nearly every step would miss the address translation cache.
void* allocate_cell_memory(size_t bytes);
void free_cell_memory(void* memory, size_t bytes);

template <class T>
struct CellAllocator {
  using value_type = T;
  CellAllocator() = default;
  template <class U>
  CellAllocator(const CellAllocator<U>&) {}
  T* allocate(size_t count) { return static_cast<T*>(allocate_cell_memory(count * sizeof(T))); }
  void deallocate(T* memory, size_t count) { free_cell_memory(memory, count * sizeof(T)); }
  template <class U>
  bool operator==(const CellAllocator<U>&) const {
    return true;
  }
};
template <class T>
using CellVector = std::vector<T, CellAllocator<T>>;

class LeastCostSearch {
 public:
  // Distances and parents take 9 bytes a cell. Labels take 4 more: they are
  // allocated from the start with `with_labels`, otherwise when a source is
  // first given a nonzero label.
  explicit LeastCostSearch(const CostMap& map, bool with_labels = false);

  // Makes `cell` a source (distance 0) labelled `label`. Call propagate() after
  // adding sources: distances only ever shrink, so a search can be extended by
  // new sources and propagated again. A cell outside the window is not added.
  void add_source(uint64_t cell, int32_t label = 0);
  void propagate();
  // Propagates until a cell for which stop(cell) holds is settled, and returns
  // it (the search is then unfinished and may be resumed, also after adding
  // sources); nullopt when no such cell is reached.
  template <class Stop>
  std::optional<uint64_t> propagate_until(Stop&& stop) {
    for (;;) {
      const uint64_t cell = settle_next();
      if (cell == kNoCell) return std::nullopt;
      if (stop(cell)) return cell;
    }
  }

  // Returns the search to the state of a fresh one (window and limit
  // included), in time proportional to the cells it reached while those are
  // few, and with one pass over the map otherwise.
  void reset();
  // Only cells in rows [row_begin, row_end) and columns [col_begin, col_end)
  // are entered; the whole map by default. Set before adding sources.
  void set_window(uint64_t row_begin, uint64_t row_end, uint64_t col_begin, uint64_t col_end);
  // Cells farther than `max_distance` are neither settled nor given a
  // distance: they read as unreached. Set before propagating.
  void set_limit(double max_distance) { limit_ = max_distance; }
  // Cells settled since construction or the last reset(); a cell reached
  // again from a later source counts again.
  uint64_t settled_count() const { return settled_; }

  double distance(uint64_t cell) const { return distance_[cell]; }
  int32_t label(uint64_t cell) const {
    if (!label_.empty()) return label_[cell];
    return distance_[cell] == kUnreached ? -1 : 0;
  }
  // Cells from `cell` back to the source it was reached from, both included;
  // empty when the cell was not reached.
  std::vector<uint64_t> path_from(uint64_t cell) const;
  double step_cost(uint64_t from, uint64_t to) const;
  const CostMap& map() const { return map_; }

 private:
  static constexpr uint8_t kNoParent = 255;
  static constexpr uint64_t kNoCell = std::numeric_limits<uint64_t>::max();

  // Settles the next cell and relaxes its neighbours; kNoCell when the queue
  // is empty or its smallest distance exceeds the limit.
  uint64_t settle_next();
  template <class Cost, bool Labelled>
  uint64_t settle(const Cost* cost);
  template <class Cost, bool Labelled>
  void run(const Cost* cost);
  template <class Cost>
  void prefetch_around(const Cost* cost, uint32_t cell) const;
  void allocate_labels();
  void note_touched(uint32_t cell) {
    if (touched_overflow_) return;
    if (touched_.size() == touched_.capacity()) grow_touched();
    if (touched_overflow_) return;
    touched_.push_back(cell);
  }
  void grow_touched();

  CostMap map_;
  uint32_t cols_;
  CellVector<double> distance_;
  CellVector<uint8_t> parent_direction_;  // index into the neighbour offsets
  CellVector<int32_t> label_;             // empty while every label is 0
  CellQueue queue_;
  // Cells whose distance was set, for reset(); given up past touched_limit_.
  std::vector<uint32_t> touched_;
  size_t touched_limit_;
  bool touched_overflow_ = false;
  uint32_t row_begin_ = 0, row_end_, col_begin_ = 0, col_end_;
  double limit_ = kUnreached;
  uint64_t settled_ = 0;
  evocore::StopPoll poll_;
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
