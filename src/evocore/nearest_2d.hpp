#pragma once
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "objective_table.hpp"

namespace evocore {

// Exact k-th nearest distances among two-dimensional points, from a k-d tree
// split on the wider side of each box (robust to very different axis scales).
class KthNearest2D {
 public:
  // Squared distances come from squared_distance (objective_table.hpp), as in
  // SPEA2's general density, so their roots match it bit for bit.
  using Point = std::array<double, 2>;

  // Rows must hold two finite objectives.
  explicit KthNearest2D(const ObjectiveTable& table) {
    points_.reserve(table.size());
    for (const auto& row : table) points_.push_back({row[0], row[1]});
    if (!points_.empty()) build(0, static_cast<uint32_t>(points_.size()));
  }

  // The element at index k of the ascending distances from the query to every
  // point; k must be below the number of points.
  double kth_distance(const Point& query, size_t k) const {
    Candidates nearest(k + 1);
    search(0, query, nearest);
    nearest.compact();
    return std::sqrt(nearest.threshold);
  }

 private:
  static constexpr uint32_t kLeafSize = 8;

  struct Node {
    Point low, high;  // bounding box
    uint32_t begin, end;
    uint32_t left = 0, right = 0;  // children; 0 marks a leaf (the root is no child)
  };

  std::vector<Point> points_;  // reordered by the tree
  std::vector<Node> nodes_;

  uint32_t build(uint32_t begin, uint32_t end) {
    const auto index = static_cast<uint32_t>(nodes_.size());
    nodes_.push_back(bounding_node(begin, end));
    if (end - begin <= kLeafSize) return index;
    const Node& node = nodes_[index];
    const size_t axis = node.high[1] - node.low[1] > node.high[0] - node.low[0] ? 1 : 0;
    const uint32_t middle = begin + (end - begin) / 2;
    std::nth_element(points_.begin() + begin, points_.begin() + middle, points_.begin() + end,
                     [axis](const Point& a, const Point& b) { return a[axis] < b[axis]; });
    const uint32_t left = build(begin, middle);
    const uint32_t right = build(middle, end);
    nodes_[index].left = left;
    nodes_[index].right = right;
    return index;
  }

  Node bounding_node(uint32_t begin, uint32_t end) const {
    Node node{points_[begin], points_[begin], begin, end};
    for (uint32_t i = begin + 1; i < end; ++i)
      for (size_t axis = 0; axis < 2; ++axis) {
        node.low[axis] = std::min(node.low[axis], points_[i][axis]);
        node.high[axis] = std::max(node.high[axis], points_[i][axis]);
      }
    return node;
  }

  // Squared distance to the box's closest point. Rounding is monotone, so it
  // never exceeds the computed squared distance to any point in the box.
  static double lower_bound(const Node& node, const Point& query) {
    const Point closest{std::clamp(query[0], node.low[0], node.high[0]),
                        std::clamp(query[1], node.low[1], node.high[1])};
    return squared_distance(query, closest);
  }

  // The smallest squared distances seen, trimmed to `wanted` whenever twice
  // that many pile up; once trimmed, the largest kept bounds what is worth
  // looking at (a tie cannot change the value at the wanted-th place).
  struct Candidates {
    explicit Candidates(size_t count) : wanted(count) { kept.reserve(2 * wanted); }
    size_t wanted;
    std::vector<double> kept;
    double threshold = 0.0;  // valid once bounded
    bool bounded = false;

    bool worth(double squared) const { return !bounded || squared < threshold; }
    void offer(double squared) {
      if (!worth(squared)) return;
      kept.push_back(squared);
      if (kept.size() == 2 * wanted) compact();
    }
    void compact() {
      if (kept.size() < wanted) return;
      std::nth_element(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(wanted - 1), kept.end());
      kept.resize(wanted);
      threshold = kept.back();
      bounded = true;
    }
  };

  void search(uint32_t index, const Point& query, Candidates& nearest) const {
    const Node& node = nodes_[index];
    if (node.left == 0) {
      for (uint32_t i = node.begin; i < node.end; ++i) nearest.offer(squared_distance(query, points_[i]));
      return;
    }
    uint32_t first = node.left, second = node.right;
    double first_bound = lower_bound(nodes_[first], query), second_bound = lower_bound(nodes_[second], query);
    if (second_bound < first_bound) {
      std::swap(first, second);
      std::swap(first_bound, second_bound);
    }
    if (nearest.worth(first_bound)) search(first, query, nearest);
    if (nearest.worth(second_bound)) search(second, query, nearest);
  }
};

}  // namespace evocore
