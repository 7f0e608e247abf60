#pragma once
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <optional>
#include <vector>

#include "objective_table.hpp"

namespace evocore {

// Which of several identical vectors a non-dominated filter keeps.
enum class EqualVectors { KeepAll, KeepFirst };

// Positions of the vectors that no other vector dominates, increasing. Null
// vectors and vectors holding NaN take no part; an empty vector dominates
// nothing and nothing dominates it. Vectors of two values are
// swept in O(n log n); others are compared pairwise.
inline std::vector<size_t> non_dominated(const std::vector<std::optional<std::vector<double>>>& vectors,
                                         EqualVectors equal) {
  std::vector<size_t> valid;
  bool pairs = true;
  for (size_t i = 0; i < vectors.size(); ++i) {
    const auto& v = vectors[i];
    if (!v || std::any_of(v->begin(), v->end(), [](double x) { return std::isnan(x); })) continue;
    valid.push_back(i);
    pairs = pairs && v->size() == 2;
  }
  std::vector<size_t> kept;
  if (pairs) {
    // Best first objective first; a vector survives when its second value beats
    // every vector before it (or, keeping all, equals the last one kept).
    std::sort(valid.begin(), valid.end(), [&](size_t a, size_t b) {
      const auto &p = *vectors[a], &q = *vectors[b];
      return p[0] != q[0] ? p[0] > q[0] : (p[1] != q[1] ? p[1] > q[1] : a < b);
    });
    for (size_t i : valid) {
      const auto& v = *vectors[i];
      const bool same = !kept.empty() && v == *vectors[kept.back()];
      if (kept.empty() || v[1] > (*vectors[kept.back()])[1] || (same && equal == EqualVectors::KeepAll))
        kept.push_back(i);
    }
    std::sort(kept.begin(), kept.end());
    return kept;
  }
  for (size_t i : valid) {
    bool dominated = false;
    for (size_t j : valid) {
      if (j == i) continue;
      dominated = dominates(*vectors[j], *vectors[i]) ||
                  (equal == EqualVectors::KeepFirst && j < i && *vectors[j] == *vectors[i]);
      if (dominated) break;
    }
    if (!dominated) kept.push_back(i);
  }
  return kept;
}

}  // namespace evocore
