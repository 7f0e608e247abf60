#include "least_cost.hpp"

#include <algorithm>
#include <cmath>
#include <functional>

namespace routing {

namespace {
constexpr double kDiagonal = 1.4142135623730951;
}

LeastCostSearch::LeastCostSearch(const CostMap& map)
    : map_(map),
      distance_(map.rows * map.cols, kUnreached),
      label_(map.rows * map.cols, -1),
      parent_direction_(map.rows * map.cols, kNoParent),
      row_end_(map.rows),
      col_end_(map.cols) {}

void LeastCostSearch::reset() {
  std::fill(distance_.begin(), distance_.end(), kUnreached);
  std::fill(label_.begin(), label_.end(), -1);
  std::fill(parent_direction_.begin(), parent_direction_.end(), kNoParent);
  heap_.clear();
  limit_ = kUnreached;
  set_window(0, map_.rows, 0, map_.cols);
}

void LeastCostSearch::set_window(uint64_t row_begin, uint64_t row_end, uint64_t col_begin, uint64_t col_end) {
  row_begin_ = row_begin, row_end_ = row_end, col_begin_ = col_begin, col_end_ = col_end;
}

double LeastCostSearch::step_cost(uint64_t from, uint64_t to) const {
  const bool diagonal = (from / map_.cols != to / map_.cols) && (from % map_.cols != to % map_.cols);
  return (diagonal ? kDiagonal : 1.0) * 0.5 * (map_.at(from) + map_.at(to));
}

void LeastCostSearch::add_source(uint64_t cell, int32_t label) {
  if (distance_[cell] == 0.0 && parent_direction_[cell] == kNoParent) return;
  distance_[cell] = 0.0;
  label_[cell] = label;
  parent_direction_[cell] = kNoParent;
  heap_.push_back({0.0, cell});
  std::push_heap(heap_.begin(), heap_.end(), std::greater<>{});
}

uint64_t LeastCostSearch::settle_next() {
  std::pop_heap(heap_.begin(), heap_.end(), std::greater<>{});
  const Queued top = heap_.back();
  heap_.pop_back();
  if (top.distance > distance_[top.cell]) return kNoCell;
  for_each_neighbour(map_, top.cell, [&](uint64_t next, uint8_t direction) {
    const uint64_t row = next / map_.cols, col = next % map_.cols;
    if (row < row_begin_ || row >= row_end_ || col < col_begin_ || col >= col_end_) return;
    const double candidate = top.distance + step_cost(top.cell, next);
    if (!(candidate < distance_[next])) return;  // also refuses infinite and NaN steps
    distance_[next] = candidate;
    label_[next] = label_[top.cell];
    parent_direction_[next] = direction;
    heap_.push_back({candidate, next});
    std::push_heap(heap_.begin(), heap_.end(), std::greater<>{});
  });
  return top.cell;
}

void LeastCostSearch::propagate() {
  while (!heap_.empty() && heap_.front().distance <= limit_) {
    poll_();
    settle_next();
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
  search.propagate_until([&](uint64_t cell) { return cell == from; });  // settled: nothing shorter is left
  return search.path_from(from);
}

}  // namespace routing
