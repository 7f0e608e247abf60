#include "least_cost.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <new>
#include <stdexcept>

namespace routing {

namespace {
constexpr double kDiagonal = 1.4142135623730951;
// Half a step's length: a step costs it times the sum of its two cells' costs.
constexpr double kHalfStraight = 1.0 * 0.5, kHalfDiagonal = kDiagonal * 0.5;
constexpr double kHalfLength[8] = {kHalfStraight, kHalfStraight, kHalfStraight, kHalfStraight,
                                   kHalfDiagonal, kHalfDiagonal, kHalfDiagonal, kHalfDiagonal};
// The reset list holds at most this share of the map's cells.
constexpr uint64_t kTouchedShare = 16;

uint64_t checked_cells(const CostMap& map) {
  const uint64_t cells = map.rows * map.cols;
  if ((map.cols != 0 && cells / map.cols != map.rows) || cells >= std::numeric_limits<uint32_t>::max())
    throw std::length_error("least-cost search: the map has too many cells");
  return cells;
}

constexpr size_t kHugePage = size_t{2} << 20;
// Arrays from this size on are placed on huge pages.
constexpr size_t kHugeArray = 4 * kHugePage;
size_t huge_bytes(size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }
}  // namespace

void* allocate_cell_memory(size_t bytes) {
  if (bytes < kHugeArray) return ::operator new(bytes);
  void* memory = std::aligned_alloc(kHugePage, huge_bytes(bytes));
  if (!memory) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
  madvise(memory, huge_bytes(bytes), MADV_HUGEPAGE);  // a hint: without huge pages all still works
#endif
  return memory;
}

void free_cell_memory(void* memory, size_t bytes) {
  if (bytes < kHugeArray)
    ::operator delete(memory);
  else
    std::free(memory);
}

LeastCostSearch::LeastCostSearch(const CostMap& map, bool with_labels)
    : map_(map),
      cols_(static_cast<uint32_t>(map.cols)),
      distance_(checked_cells(map), kUnreached),
      parent_direction_(distance_.size(), kNoParent),
      label_(with_labels ? distance_.size() : 0, -1),
      touched_limit_(std::max<size_t>(distance_.size() / kTouchedShare, 64)),
      row_end_(static_cast<uint32_t>(map.rows)),
      col_end_(static_cast<uint32_t>(map.cols)) {}

double LeastCostSearch::step_cost(uint64_t from, uint64_t to) const {
  const bool diagonal = (from / map_.cols != to / map_.cols) && (from % map_.cols != to % map_.cols);
  return (diagonal ? kDiagonal : 1.0) * 0.5 * (map_.at(from) + map_.at(to));
}

void LeastCostSearch::set_window(uint64_t row_begin, uint64_t row_end, uint64_t col_begin, uint64_t col_end) {
  row_end_ = static_cast<uint32_t>(std::min(row_end, map_.rows));
  col_end_ = static_cast<uint32_t>(std::min(col_end, map_.cols));
  row_begin_ = static_cast<uint32_t>(std::min<uint64_t>(row_begin, row_end_));
  col_begin_ = static_cast<uint32_t>(std::min<uint64_t>(col_begin, col_end_));
}

void LeastCostSearch::allocate_labels() {
  label_.assign(distance_.size(), -1);
  if (touched_overflow_) {
    for (size_t cell = 0; cell < distance_.size(); ++cell)
      if (distance_[cell] != kUnreached) label_[cell] = 0;
  } else {
    for (uint32_t cell : touched_) label_[cell] = 0;
  }
}

// The list grows to at most touched_limit_ cells; past that reset() fills the
// whole map, and the list's memory is given back.
void LeastCostSearch::grow_touched() {
  if (touched_.size() < touched_limit_) {
    touched_.reserve(std::min(touched_limit_, std::max<size_t>(2 * touched_.size(), 256)));
    return;
  }
  touched_overflow_ = true;
  std::vector<uint32_t>().swap(touched_);
}

void LeastCostSearch::add_source(uint64_t cell, int32_t label) {
  const uint64_t row = cell / map_.cols, col = cell % map_.cols;
  if (row < row_begin_ || row >= row_end_ || col < col_begin_ || col >= col_end_) return;
  if (distance_[cell] == 0.0 && parent_direction_[cell] == kNoParent) return;
  if (label != 0 && label_.empty()) allocate_labels();
  if (distance_[cell] == kUnreached) note_touched(static_cast<uint32_t>(cell));
  distance_[cell] = 0.0;
  if (!label_.empty()) label_[cell] = label;
  parent_direction_[cell] = kNoParent;
  queue_.push(CellQueue::key(0.0, static_cast<uint32_t>(cell)));
}

void LeastCostSearch::reset() {
  // Parents are left as they are: one is read only for a reached cell, and
  // reaching a cell sets it.
  if (touched_overflow_) {
    std::fill(distance_.begin(), distance_.end(), kUnreached);
    std::fill(label_.begin(), label_.end(), -1);
  } else {
    for (uint32_t cell : touched_) {
      distance_[cell] = kUnreached;
      if (!label_.empty()) label_[cell] = -1;
    }
  }
  touched_.clear();
  touched_overflow_ = false;
  queue_.clear();
  set_window(0, map_.rows, 0, map_.cols);
  limit_ = kUnreached;
  settled_ = 0;
}

template <class Cost>
[[gnu::always_inline]] inline void LeastCostSearch::prefetch_around(const Cost* cost, uint32_t cell) const {
  const uint32_t above = cell >= cols_ ? cell - cols_ : cell;
  const uint32_t below = cell + cols_ < distance_.size() ? cell + cols_ : cell;
  for (const uint32_t at : {above, cell, below}) {
    __builtin_prefetch(distance_.data() + at);
    __builtin_prefetch(cost + at);
  }
}

// The hot loop, compiled once per cost type and for searches with and without
// labels. Entries of cells reached again at a smaller distance stay in the
// queue and are skipped when they come up.
template <class Cost, bool Labelled>
[[gnu::always_inline]] inline uint64_t LeastCostSearch::settle(const Cost* cost) {
  for (;;) {
    if (queue_.empty()) return kNoCell;
    const CellQueue::Key top = queue_.top();
    const double reached = CellQueue::distance_of(top);
    if (reached > limit_) return kNoCell;
    poll_();
    queue_.pop();
    const uint32_t cell = CellQueue::cell_of(top);
    // The next cell is most often the one on top now: its neighbourhood is
    // fetched while this cell's is worked on.
    if (!queue_.empty()) prefetch_around(cost, CellQueue::cell_of(queue_.top()));
    if (reached > distance_[cell]) continue;
    ++settled_;
    const uint32_t row = cell / cols_, col = cell - row * cols_;
    const double here = static_cast<double>(cost[cell]);
    const int32_t label = Labelled ? label_[cell] : 0;
    const auto relax = [&](uint32_t next, uint8_t direction) {
      const double candidate = reached + kHalfLength[direction] * (here + static_cast<double>(cost[next]));
      double& known = distance_[next];
      // Also refuses infinite and NaN steps.
      if (!(candidate < known) || candidate > limit_) return;
      if (known == kUnreached) note_touched(next);
      known = candidate;
      parent_direction_[next] = direction;
      if constexpr (Labelled) label_[next] = label;
      queue_.push(CellQueue::key(candidate, next));
    };
    if (row > row_begin_ && row + 1 < row_end_ && col > col_begin_ && col + 1 < col_end_) {
      const uint32_t up = cell - cols_, down = cell + cols_;
      relax(up, 0);
      relax(down, 1);
      relax(cell - 1, 2);
      relax(cell + 1, 3);
      relax(up - 1, 4);
      relax(up + 1, 5);
      relax(down - 1, 6);
      relax(down + 1, 7);
    } else {
      for (uint8_t d = 0; d < 8; ++d) {
        const int64_t r = int64_t{row} + kNeighbours[d].dx, c = int64_t{col} + kNeighbours[d].dy;
        if (r < row_begin_ || r >= row_end_ || c < col_begin_ || c >= col_end_) continue;
        relax(static_cast<uint32_t>(r * cols_ + c), d);
      }
    }
    return cell;
  }
}

template <class Cost, bool Labelled>
void LeastCostSearch::run(const Cost* cost) {
  while (settle<Cost, Labelled>(cost) != kNoCell) {
  }
}

uint64_t LeastCostSearch::settle_next() {
  if (map_.data32)
    return label_.empty() ? settle<float, false>(map_.data32) : settle<float, true>(map_.data32);
  return label_.empty() ? settle<double, false>(map_.data) : settle<double, true>(map_.data);
}

void LeastCostSearch::propagate() {
  if (map_.data32) {
    label_.empty() ? run<float, false>(map_.data32) : run<float, true>(map_.data32);
  } else {
    label_.empty() ? run<double, false>(map_.data) : run<double, true>(map_.data);
  }
}

std::vector<uint64_t> LeastCostSearch::path_from(uint64_t cell) const {
  std::vector<uint64_t> path;
  if (distance_[cell] == kUnreached) return path;
  path.push_back(cell);
  while (parent_direction_[cell] != kNoParent) {
    const Offset step = kNeighbours[parent_direction_[cell]];  // parent -> cell
    const uint64_t x = cell / map_.cols - static_cast<uint64_t>(static_cast<int64_t>(step.dx));
    const uint64_t y = cell % map_.cols - static_cast<uint64_t>(static_cast<int64_t>(step.dy));
    cell = x * map_.cols + y;
    path.push_back(cell);
  }
  return path;
}

std::vector<uint64_t> least_cost_path(const CostMap& map, uint64_t from, uint64_t to) {
  LeastCostSearch search(map);
  search.add_source(to);  // searched from the end, so that the path reads from `from` to `to`
  // The path is final once `from` is settled: every cell on it was settled before.
  search.propagate_until([from](uint64_t cell) { return cell == from; });
  return search.path_from(from);
}

}  // namespace routing
