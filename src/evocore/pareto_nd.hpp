#pragma once
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <numeric>
#include <optional>
#include <span>
#include <tuple>
#include <vector>

#include "error.hpp"
#include "objective_table.hpp"
#include "thread_pool.hpp"

namespace evocore {

// True when every vector holds the same number, at least three, of objectives
// and none is NaN. Dominance is then transitive and irreflexive, which the
// many-objective fast path relies on; infinities are fine, as only
// comparisons are made.
inline bool is_uniform_many_objective(const ObjectiveTable& table) {
  if (table.empty() || table[0].size() < 3) return false;
  const size_t objectives = table[0].size();
  return std::all_of(table.begin(), table.end(), [&](const std::vector<double>& row) {
    return row.size() == objectives &&
           std::none_of(row.begin(), row.end(), [](double x) { return std::isnan(x); });
  });
}

namespace pareto_nd {

// Objective vectors in sweep order: lexicographically descending, ties by
// position. A dominator is nowhere smaller and differs somewhere, so it comes
// before every vector it dominates, and identical vectors are neighbours.
class SweptTable {
 public:
  explicit SweptTable(const ObjectiveTable& table) : objectives_(table[0].size()), positions_(table.size()) {
    std::iota(positions_.begin(), positions_.end(), size_t{0});
    std::sort(positions_.begin(), positions_.end(), [&](size_t a, size_t b) {
      for (size_t j = 0; j < objectives_; ++j)
        if (table[a][j] != table[b][j]) return table[a][j] > table[b][j];
      return a < b;
    });
    values_.reserve(table.size() * objectives_);
    for (size_t p : positions_) values_.insert(values_.end(), table[p].begin(), table[p].end());
  }

  size_t size() const { return positions_.size(); }
  size_t objectives() const { return objectives_; }
  size_t position(size_t i) const { return positions_[i]; }
  std::span<const double> row(size_t i) const { return {values_.data() + i * objectives_, objectives_}; }
  bool identical(size_t a, size_t b) const { return std::ranges::equal(row(a), row(b)); }

 private:
  size_t objectives_;
  std::vector<size_t> positions_;  // position of each sweep index
  std::vector<double> values_;     // row after row, in sweep order
};

// Objective vectors stored column by column, so that scans over them vectorise.
class PackedRows {
 public:
  explicit PackedRows(size_t objectives) : columns_(objectives) {}

  void add(std::span<const double> row) {
    for (size_t j = 0; j < columns_.size(); ++j) columns_[j].push_back(row[j]);
  }

  // Index of the last row at least `row` in every objective from `first` on.
  std::optional<size_t> last_at_least(std::span<const double> row, size_t first) const {
    std::array<double, kBlock> flags;  // doubles and selects, not bools: the form the compiler vectorises
    for (size_t end = columns_[0].size(); end > 0;) {
      const size_t begin = end > kBlock ? end - kBlock : 0;
      const size_t count = end - begin;
      flags.fill(1.0);
      for (size_t j = first; j < columns_.size(); ++j) {
        const double* column = columns_[j].data() + begin;
        const double bound = row[j];
        if (count == kBlock)  // a fixed trip count unrolls fully
          for (size_t i = 0; i < kBlock; ++i) flags[i] = column[i] < bound ? 0.0 : flags[i];
        else
          for (size_t i = 0; i < count; ++i) flags[i] = column[i] < bound ? 0.0 : flags[i];
      }
      for (size_t i = count; i-- > 0;)
        if (flags[i] != 0.0) return begin + i;
      end = begin;
    }
    return std::nullopt;
  }

 private:
  static constexpr size_t kBlock = 32;

  std::vector<std::vector<double>> columns_;
};

using SweepFronts = std::vector<std::vector<size_t>>;

// Fronts of sweep indices, each in sweep order. A vector joins the first front
// holding none of its dominators, which all come earlier in the sweep; the
// fronts holding one form a prefix (by transitivity), so a binary search finds
// it. Members added last are nearest in the sweep and the likeliest dominators,
// so they are checked first. A copy of the vector before it has the same
// dominators and joins its front; any other vector is identical to no earlier
// one, so an earlier vector dominates it when at least as large in every
// objective after the first.
inline SweepFronts fronts_in_sweep_order(const SweptTable& swept) {
  SweepFronts fronts;
  std::vector<PackedRows> packed;
  size_t previous_front = 0;
  for (size_t q = 0; q < swept.size(); ++q) {
    size_t f = previous_front;
    if (q == 0 || !swept.identical(q - 1, q)) {
      const auto dominating = [&](const PackedRows& rows) {
        return rows.last_at_least(swept.row(q), 1).has_value();
      };
      f = static_cast<size_t>(std::partition_point(packed.begin(), packed.end(), dominating) -
                              packed.begin());
    }
    if (f == fronts.size()) {
      fronts.emplace_back();
      packed.emplace_back(swept.objectives());
    }
    fronts[f].push_back(q);
    packed[f].add(swept.row(q));
    previous_front = f;
  }
  return fronts;
}

// Runs body(i) for i in [0, n), across the pool when `work` (dominance checks,
// roughly) repays the hand-off.
template <class Body>
void for_each_index(size_t n, size_t work, Body body) {
  constexpr size_t kChunk = 64;
  constexpr size_t kParallelWork = size_t{1} << 16;
  if (work < kParallelWork || n <= kChunk) {
    for (size_t i = 0; i < n; ++i) body(i);
    return;
  }
  parallel_for((n + kChunk - 1) / kChunk, [&](size_t chunk) {
    for (size_t i = chunk * kChunk; i < std::min(n, (chunk + 1) * kChunk); ++i) body(i);
  });
}

// Orders `next` as the peeling sort appends it: q is added while its last
// dominator in the ordered `previous` front is taken off, and vectors freed by
// the same dominator follow in position order. Vectors of different fronts are
// never identical, so there a member dominates q when at least as large in
// every objective.
inline std::vector<size_t> order_like_peeling(const SweptTable& swept, const std::vector<size_t>& previous,
                                              const std::vector<size_t>& next) {
  PackedRows previous_rows(swept.objectives());
  for (size_t p : previous) previous_rows.add(swept.row(p));
  std::vector<std::tuple<size_t, size_t, size_t>> keyed(next.size());  // (place, position, sweep index)
  for_each_index(next.size(), next.size() * previous.size(), [&](size_t i) {
    const auto place = previous_rows.last_at_least(swept.row(next[i]), 0);
    if (!place) fail("a vector of a later front has no dominator in the front before it");
    keyed[i] = {*place, swept.position(next[i]), next[i]};
  });
  std::sort(keyed.begin(), keyed.end());
  std::vector<size_t> ordered;
  ordered.reserve(keyed.size());
  for (const auto& entry : keyed) ordered.push_back(std::get<2>(entry));
  return ordered;
}

// Non-dominated fronts of positions, each ordered as the general peeling sort
// orders it.
inline std::vector<std::vector<size_t>> non_dominated_fronts(const ObjectiveTable& table) {
  if (table.empty()) return {};
  const SweptTable swept(table);
  SweepFronts fronts = fronts_in_sweep_order(swept);
  const auto by_position = [&](size_t a, size_t b) { return swept.position(a) < swept.position(b); };
  std::sort(fronts[0].begin(), fronts[0].end(), by_position);
  for (size_t k = 0; k + 1 < fronts.size(); ++k)
    fronts[k + 1] = order_like_peeling(swept, fronts[k], fronts[k + 1]);
  for (auto& front : fronts)
    for (size_t& member : front) member = swept.position(member);
  return fronts;
}

}  // namespace pareto_nd
}  // namespace evocore
