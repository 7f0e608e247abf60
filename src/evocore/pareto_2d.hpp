#pragma once
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <utility>
#include <vector>

#include "objective_table.hpp"

namespace evocore {

// True when every vector holds exactly two finite objectives, the case the
// two-objective fast paths handle; anything else takes the general paths.
inline bool is_finite_two_objective(const ObjectiveTable& table) {
  return std::all_of(table.begin(), table.end(), [](const std::vector<double>& row) {
    return row.size() == 2 && std::isfinite(row[0]) && std::isfinite(row[1]);
  });
}

namespace pareto_2d {

// In two finite objectives, a dominates b iff a >= b in both and the vectors differ.
inline bool identical(const std::vector<double>& a, const std::vector<double>& b) {
  return a[0] == b[0] && a[1] == b[1];
}

// Maximum over any range of a fixed array in O(1) after O(m log m) setup.
class RangeMax {
 public:
  explicit RangeMax(std::vector<size_t> values) {
    levels_.push_back(std::move(values));
    for (size_t width = 1; 2 * width <= levels_[0].size(); width *= 2) {
      const auto& previous = levels_.back();
      std::vector<size_t> level(previous.size() - width);
      for (size_t i = 0; i < level.size(); ++i) level[i] = std::max(previous[i], previous[i + width]);
      levels_.push_back(std::move(level));
    }
  }

  // Maximum over [begin, end), which must not be empty.
  size_t max(size_t begin, size_t end) const {
    const size_t level = static_cast<size_t>(std::bit_width(end - begin)) - 1;
    const auto& values = levels_[level];
    return std::max(values[begin], values[end - (size_t{1} << level)]);
  }

 private:
  std::vector<std::vector<size_t>> levels_;  // level l: maxima of windows of width 2^l
};

// Positions by first objective descending, second descending, then position:
// every dominator comes before the vectors it dominates.
inline std::vector<size_t> sweep_order(const ObjectiveTable& table) {
  std::vector<size_t> order(table.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    if (table[a][0] != table[b][0]) return table[a][0] > table[b][0];
    if (table[a][1] != table[b][1]) return table[a][1] > table[b][1];
    return a < b;
  });
  return order;
}

// Fronts with members in sweep order. A vector joins the first front holding
// none of its dominators. Along a front the first objective falls and the
// second rises (strictly, except between identical vectors), so only a
// front's last member needs checking, and the fronts holding a dominator form
// a prefix (dominance is transitive).
inline std::vector<std::vector<size_t>> fronts_in_sweep_order(const ObjectiveTable& table) {
  std::vector<std::vector<size_t>> fronts;
  for (size_t q : sweep_order(table)) {
    const auto& point = table[q];
    const auto holds_dominator = [&](const std::vector<size_t>& front) {
      const auto& last = table[front.back()];
      return last[1] > point[1] || (last[1] == point[1] && !identical(last, point));
    };
    const auto f = static_cast<size_t>(std::partition_point(fronts.begin(), fronts.end(), holds_dominator) -
                                       fronts.begin());
    if (f == fronts.size()) fronts.emplace_back();
    fronts[f].push_back(q);
  }
  return fronts;
}

// Orders `next` as the peeling sort appends it: by the latest place in the
// ordered previous front of any dominator, then by position. The dominators
// of q inside a front, taken in sweep order, are a contiguous run: those with
// first objective >= q's (a prefix) and second objective >= q's (a suffix).
// `place` is scratch space of one entry per position.
inline std::vector<size_t> order_like_peeling(const ObjectiveTable& table,
                                              const std::vector<size_t>& previous,
                                              const std::vector<size_t>& previous_ordered,
                                              const std::vector<size_t>& next, std::vector<size_t>& place) {
  for (size_t i = 0; i < previous_ordered.size(); ++i) place[previous_ordered[i]] = i;
  std::vector<size_t> places(previous.size());
  std::transform(previous.begin(), previous.end(), places.begin(), [&](size_t p) { return place[p]; });
  const RangeMax latest(std::move(places));
  std::vector<std::pair<size_t, size_t>> keyed;  // (latest dominator place, position)
  keyed.reserve(next.size());
  for (size_t q : next) {
    const auto& point = table[q];
    const auto begin = std::partition_point(previous.begin(), previous.end(),
                                            [&](size_t p) { return table[p][1] < point[1]; });
    const auto end = std::partition_point(previous.begin(), previous.end(),
                                          [&](size_t p) { return table[p][0] >= point[0]; });
    keyed.emplace_back(latest.max(static_cast<size_t>(begin - previous.begin()),
                                  static_cast<size_t>(end - previous.begin())),
                       q);
  }
  std::sort(keyed.begin(), keyed.end());
  std::vector<size_t> ordered;
  ordered.reserve(keyed.size());
  for (const auto& entry : keyed) ordered.push_back(entry.second);
  return ordered;
}

// Non-dominated fronts, each ordered as the general peeling sort orders it.
inline std::vector<std::vector<size_t>> non_dominated_fronts(const ObjectiveTable& table) {
  const auto sweep_fronts = fronts_in_sweep_order(table);
  std::vector<std::vector<size_t>> fronts(sweep_fronts.size());
  if (fronts.empty()) return fronts;
  fronts[0] = sweep_fronts[0];
  std::sort(fronts[0].begin(), fronts[0].end());
  std::vector<size_t> place(table.size());
  for (size_t k = 0; k + 1 < fronts.size(); ++k)
    fronts[k + 1] = order_like_peeling(table, sweep_fronts[k], fronts[k], sweep_fronts[k + 1], place);
  return fronts;
}

// Fenwick tree of counts over ranks.
class PrefixSums {
 public:
  explicit PrefixSums(size_t size) : tree_(size + 1, 0) {}

  void add(size_t rank, uint64_t value) {
    for (size_t i = rank + 1; i < tree_.size(); i += i & (~i + 1)) tree_[i] += value;
  }

  // Sum over ranks [0, end).
  uint64_t sum_below(size_t end) const {
    uint64_t total = 0;
    for (size_t i = end; i > 0; i -= i & (~i + 1)) total += tree_[i];
    return total;
  }

  uint64_t total() const { return sum_below(tree_.size() - 1); }

 private:
  std::vector<uint64_t> tree_;
};

// Rank of each second objective among the distinct second objectives.
inline std::vector<size_t> second_objective_ranks(const ObjectiveTable& table, size_t& distinct) {
  std::vector<double> values;
  values.reserve(table.size());
  for (const auto& row : table) values.push_back(row[1]);
  std::sort(values.begin(), values.end());
  values.erase(std::unique(values.begin(), values.end()), values.end());
  distinct = values.size();
  std::vector<size_t> ranks;
  ranks.reserve(table.size());
  for (const auto& row : table)
    ranks.push_back(
        static_cast<size_t>(std::lower_bound(values.begin(), values.end(), row[1]) - values.begin()));
  return ranks;
}

// Calls visit(begin, end) for each run of `order` sharing a first objective.
template <class It, class Visit>
void for_each_first_objective_run(const ObjectiveTable& table, It first, It last, Visit visit) {
  while (first != last) {
    It end = first;
    while (end != last && table[*end][0] == table[*first][0]) ++end;
    visit(first, end);
    first = end;
  }
}

// Raw SPEA2 fitness: for each vector, the summed strength (count of vectors
// dominated) of its dominators. Both sums come from sweeps over the first
// objective with prefix sums over second-objective ranks; identical vectors
// fall inside each box and are taken out again.
inline std::vector<double> raw_strength_fitness(const ObjectiveTable& table) {
  const size_t n = table.size();
  size_t distinct = 0;
  const auto rank = second_objective_ranks(table, distinct);
  std::vector<size_t> order(n);  // first objective, then second, ascending
  std::iota(order.begin(), order.end(), size_t{0});
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return table[a][0] != table[b][0] ? table[a][0] < table[b][0] : table[a][1] < table[b][1];
  });
  std::vector<uint64_t> copies(n);  // vectors identical to this one, itself included
  for (size_t i = 0; i < n;) {
    size_t end = i;
    while (end < n && identical(table[order[end]], table[order[i]])) ++end;
    for (size_t j = i; j < end; ++j) copies[order[j]] = end - i;
    i = end;
  }
  std::vector<uint64_t> strength(n);
  PrefixSums below(distinct);
  for_each_first_objective_run(table, order.begin(), order.end(), [&](auto begin, auto end) {
    for (auto it = begin; it != end; ++it) below.add(rank[*it], 1);
    for (auto it = begin; it != end; ++it) strength[*it] = below.sum_below(rank[*it] + 1) - copies[*it];
  });
  std::vector<double> raw(n);
  PrefixSums above(distinct);
  for_each_first_objective_run(table, order.rbegin(), order.rend(), [&](auto begin, auto end) {
    for (auto it = begin; it != end; ++it) above.add(rank[*it], strength[*it]);
    for (auto it = begin; it != end; ++it) {
      const uint64_t boxed = above.total() - above.sum_below(rank[*it]);
      raw[*it] = static_cast<double>(boxed - copies[*it] * strength[*it]);
    }
  });
  return raw;
}

}  // namespace pareto_2d
}  // namespace evocore
