#include "optimal.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <numeric>
#include <queue>
#include <utility>

#include "../evocore/interrupt.hpp"
#include "../evocore/thread_pool.hpp"
#include "heuristics.hpp"
#include "least_cost.hpp"
#include "steiner.hpp"

namespace routing {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
// Costs behind the time estimate, measured on one core.
constexpr double kRelaxSeconds = 1.2e-9;   // one (settled vertex, other vertex) pair of a subset
constexpr double kSampleSeconds = 1.0e-9;  // one edge sample of an edge weight
constexpr double kMergeSeconds = 0.6e-9;   // one (split, vertex) pair
constexpr double kCellSeconds = 1e-7;      // one cell of a grid tree search
// Path bounds over the whole map are worth their k searches only up to this many cells x terminals.
constexpr uint64_t kBoundCells = uint64_t{1} << 22;
// Grid tree bounds are computed up to this many entries (cells x 2^terminals).
constexpr uint64_t kTreeEntries = uint64_t{1} << 26;
constexpr size_t kMaxTerminals = 24;
constexpr uint32_t kBase = 0xFFFFFFFFu;       // back pointer of a terminal's own state
constexpr uint32_t kSplitFlag = 0x80000000u;  // back pointer of a merge: the flag and one part's subset
// Upper bounds get this relative slack: edge weights are held as floats.
constexpr double kSlack = 1e-6;

using Bits = uint32_t;

// Lowest sum of cell costs over a walk of 8-neighbour steps from `source` to
// each cell, both ends counted. A chain of straight edges from the source to a
// cell costs at least this: its samples form such a walk, each weighing >= 1.
std::vector<double> walk_bounds(const CostMap& map, uint64_t source, evocore::StopPoll& poll) {
  std::vector<double> bound(map.rows * map.cols, kInf);
  using Entry = std::pair<double, uint64_t>;
  std::priority_queue<Entry, std::vector<Entry>, std::greater<>> queue;
  bound[source] = map.at(source);
  queue.push({bound[source], source});
  while (!queue.empty()) {
    const auto [distance, cell] = queue.top();
    queue.pop();
    if (distance > bound[cell]) continue;
    poll();
    for_each_neighbour(map, cell, [&](uint64_t next, uint8_t) {
      const double through = distance + map.at(next);
      if (through < bound[next]) {
        bound[next] = through;
        queue.push({through, next});
      }
    });
  }
  return bound;
}

// Node-weighted Steiner trees on the 8-connected cell graph, by the
// Dreyfus-Wagner programme over all 2^k subsets X of the terminals: entry
// X * cells + c is the least sum of cell costs, each cell counted once, of a
// connected set of cells holding the terminals in X and cell c. The samples of
// a network's edges cover such a set, so a network costs at least this.
std::vector<float> grid_trees(const CostMap& map, const std::vector<uint64_t>& terminals,
                              evocore::StopPoll& poll) {
  const size_t cells = map.rows * map.cols, k = terminals.size();
  const Bits all = (Bits{1} << k) - 1;
  std::vector<float> table((static_cast<size_t>(all) + 1) * cells, std::numeric_limits<float>::infinity());
  std::vector<float> cost(cells), sum(cells);
  for (size_t c = 0; c < cells; ++c) cost[c] = static_cast<float>(map.at(c));
  std::vector<Bits> order(all);
  std::iota(order.begin(), order.end(), Bits{1});
  std::stable_sort(order.begin(), order.end(),
                   [](Bits a, Bits b) { return std::popcount(a) < std::popcount(b); });
  using Entry = std::pair<float, uint32_t>;
  for (Bits subset : order) {
    float* tree = table.data() + static_cast<size_t>(subset) * cells;
    if (std::popcount(subset) == 1) {
      const uint64_t t = terminals[static_cast<size_t>(std::countr_zero(subset))];
      tree[t] = cost[t];
    } else {
      std::fill(sum.begin(), sum.end(), std::numeric_limits<float>::infinity());
      const Bits lowest = subset & (~subset + 1);
      for (Bits part = (subset - 1) & subset; part; part = (part - 1) & subset) {
        if (!(part & lowest)) continue;
        const float* a = table.data() + static_cast<size_t>(part) * cells;
        const float* b = table.data() + static_cast<size_t>(subset ^ part) * cells;
        for (size_t c = 0; c < cells; ++c) sum[c] = std::min(sum[c], a[c] + b[c]);
        poll();
      }
      for (size_t c = 0; c < cells; ++c)
        if (sum[c] < std::numeric_limits<float>::infinity()) tree[c] = sum[c] - cost[c];
    }
    std::priority_queue<Entry, std::vector<Entry>, std::greater<>> queue;
    for (size_t c = 0; c < cells; ++c)
      if (tree[c] < std::numeric_limits<float>::infinity()) queue.push({tree[c], static_cast<uint32_t>(c)});
    while (!queue.empty()) {
      const auto [value, cell] = queue.top();
      queue.pop();
      if (value > tree[cell]) continue;
      poll();
      for_each_neighbour(map, cell, [&](uint64_t next, uint8_t) {
        const float through = value + cost[next];
        if (through < tree[next]) {
          tree[next] = through;
          queue.push({through, static_cast<uint32_t>(next)});
        }
      });
    }
  }
  return table;
}

// True when some sample of an edge with these axis extents lies exactly
// halfway between two cells, where the two directions may round apart.
bool has_half_samples(uint64_t major, uint64_t minor) {
  const uint64_t reduced = major / std::gcd(major, minor);
  return reduced % 2 == 0;
}

double edge_weight(const CostMap& map, uint64_t a, uint64_t b) {
  const Cell pa = cell_pos(map, a), pb = cell_pos(map, b);
  const auto dx = static_cast<uint64_t>(std::abs(pa.row - pb.row)),
             dy = static_cast<uint64_t>(std::abs(pa.column - pb.column));
  const double forward = weave::edge_cost(pa, pb, map);
  if (!has_half_samples(std::max(dx, dy), std::min(dx, dy))) return forward;
  return std::min(forward, weave::edge_cost(pb, pa, map));
}

// The Dreyfus-Wagner programme. Vertices [0, k) are the terminals, the last
// one the root; dp(S)[v] is the cheapest tree joining the terminals in S and
// vertex v, node costs included.
class Programme {
 public:
  Programme(const CostMap& map, std::vector<uint64_t> cells, size_t terminals, double upper,
            std::vector<double> bounds, std::vector<float> trees, std::vector<std::vector<uint64_t>> groups)
      : map_(map),
        cells_(std::move(cells)),
        n_(cells_.size()),
        k_(terminals),
        full_((Bits{1} << (terminals - 1)) - 1),
        upper_(upper),
        bounds_(std::move(bounds)),
        trees_(std::move(trees)),
        dp_(static_cast<size_t>(full_ + 1) * n_, kInf),
        back_(static_cast<size_t>(full_ + 1) * n_, kBase),
        groups_(std::move(groups)) {
    for (uint64_t cell : cells_) cost_.push_back(map.at(cell));
    for (size_t t = 0; t < groups_.size(); ++t) cost_[t] = 0.0;  // existing parts are paid for
  }

  // Cost in map units of the optimal tree, kInf when none stays below the bound.
  double solve() {
    std::vector<Bits> order(full_);
    std::iota(order.begin(), order.end(), Bits{1});
    std::stable_sort(order.begin(), order.end(),
                     [](Bits a, Bits b) { return std::popcount(a) < std::popcount(b); });
    fill_weights();
    // Subsets of one size depend only on smaller ones: they are solved side by side.
    for (size_t begin = 0; begin < order.size();) {
      size_t end = begin;
      while (end < order.size() && std::popcount(order[end]) == std::popcount(order[begin])) ++end;
      evocore::parallel_for(end - begin, [&](size_t i) { solve_subset(order[begin + i]); });
      begin = end;
    }
    return dp(full_)[root()];
  }

  // Vertex pairs of the optimal tree's edges (run after solve()).
  std::vector<std::pair<uint32_t, uint32_t>> tree_edges() const {
    std::vector<std::pair<uint32_t, uint32_t>> edges;
    std::vector<std::pair<Bits, uint32_t>> stack{{full_, root()}};
    while (!stack.empty()) {
      const auto [subset, v] = stack.back();
      stack.pop_back();
      const uint32_t from = back(subset)[v];
      if (from == kBase) continue;
      if (from & kSplitFlag) {
        const Bits part = from & ~kSplitFlag;
        stack.push_back({part, v});
        stack.push_back({subset ^ part, v});
      } else {
        edges.emplace_back(from, v);
        stack.push_back({subset, from});
      }
    }
    return edges;
  }

  const std::vector<uint64_t>& cells() const { return cells_; }

 private:
  uint32_t root() const { return static_cast<uint32_t>(k_ - 1); }
  double* dp(Bits subset) { return dp_.data() + static_cast<size_t>(subset) * n_; }
  const double* dp(Bits subset) const { return dp_.data() + static_cast<size_t>(subset) * n_; }
  uint32_t* back(Bits subset) { return back_.data() + static_cast<size_t>(subset) * n_; }
  const uint32_t* back(Bits subset) const { return back_.data() + static_cast<size_t>(subset) * n_; }

  struct Link {
    uint64_t from, to;  // cells: for a group, its member the edge attaches to
    double weight;
  };
  std::vector<uint64_t> members(size_t v) const {
    return v < groups_.size() ? groups_[v] : std::vector<uint64_t>{cells_[v]};
  }

 public:
  // The cheapest straight edge between vertices u and v (between members of groups).
  Link link(size_t u, size_t v) const {
    if (u >= groups_.size() && v >= groups_.size())
      return {cells_[u], cells_[v], edge_weight(map_, cells_[u], cells_[v])};
    Link best{cells_[u], cells_[v], kInf};
    for (uint64_t a : members(u))
      for (uint64_t b : members(v)) {
        const double weight = edge_weight(map_, a, b);
        if (weight < best.weight) best = {a, b, weight};
      }
    return best;
  }

 private:
  // The weight of every edge, row by row; each task fills one row's upper part and its mirror.
  void fill_weights() {
    weights_.assign(n_ * n_, 0.0f);
    evocore::parallel_for(n_, [&](size_t u) {
      evocore::StopPoll poll(16);
      for (size_t v = u + 1; v < n_; ++v) {
        poll();
        weights_[u * n_ + v] = weights_[v * n_ + u] = static_cast<float>(link(u, v).weight);
      }
    });
  }

  // A lower bound on what joining v to the terminals outside `subset` (and
  // the root) still costs: the chain of edges to the farthest of them, and
  // their node cells.
  std::vector<double> rest_bounds(Bits subset) const {
    std::vector<double> rest(n_, 0.0), farthest(n_, 0.0);
    if (bounds_.empty()) return rest;
    for (size_t t = 0; t < k_; ++t) {
      if (t != root() && (subset >> t & 1)) continue;
      const double* bound = bounds_.data() + t * n_;
      for (size_t v = 0; v < n_; ++v) {
        if (v == t) continue;
        rest[v] += cost_[t];
        farthest[v] = std::max(farthest[v], bound[v]);
      }
    }
    for (size_t v = 0; v < n_; ++v) rest[v] += farthest[v];
    if (trees_.empty()) return rest;
    const float* tree = trees_.data() + static_cast<size_t>(full_ ^ subset) * n_;
    for (size_t v = 0; v < n_; ++v)
      rest[v] = std::max(rest[v], rest[v] - farthest[v] + static_cast<double>(tree[v]) * (1.0 - kSlack));
    if (subset == full_) rest[root()] = 0.0;  // the tree is complete
    return rest;
  }

  void merge(Bits subset, double* value, uint32_t* from, evocore::StopPoll& poll) const {
    std::vector<double> sum(n_, kInf);
    std::vector<Bits> split(n_, 0);
    const Bits lowest = subset & (~subset + 1);
    for (Bits part = (subset - 1) & subset; part; part = (part - 1) & subset) {
      if (!(part & lowest)) continue;
      const double* a = dp(part);
      const double* b = dp(subset ^ part);
      for (size_t v = 0; v < n_; ++v) {
        const double s = a[v] + b[v];
        if (s < sum[v]) sum[v] = s, split[v] = part;
      }
      poll();
    }
    for (size_t v = 0; v < n_; ++v)
      if (sum[v] < kInf) value[v] = sum[v] - cost_[v], from[v] = kSplitFlag | split[v];
  }

  // Rounded so that d + w < threshold(...) in floats never misses d + w + c < limit.
  static float threshold(double limit, double cost) {
    return std::nextafter(static_cast<float>(limit - cost), std::numeric_limits<float>::infinity());
  }

  void solve_subset(Bits subset) {
    evocore::StopPoll poll(64);
    double* value = dp(subset);
    uint32_t* from = back(subset);
    if (std::popcount(subset) == 1) {
      const auto t = static_cast<uint32_t>(std::countr_zero(subset));
      value[t] = cost_[t];
      from[t] = kBase;
    } else {
      merge(subset, value, from, poll);
    }
    const std::vector<double> rest = rest_bounds(subset);
    std::vector<double> ceiling(n_);  // largest useful value of each vertex
    std::vector<float> bar(n_);       // float filter: an edge from u helps v only if d(u) + w < bar[v]
    using Entry = std::pair<double, uint32_t>;
    std::priority_queue<Entry, std::vector<Entry>, std::greater<>> queue;
    for (uint32_t v = 0; v < n_; ++v) {
      ceiling[v] = upper_ - rest[v];
      if (value[v] > ceiling[v]) value[v] = kInf;
      if (value[v] < kInf) queue.push({value[v], v});
      bar[v] = threshold(std::min(value[v], ceiling[v]), cost_[v]);
    }
    while (!queue.empty()) {
      const auto [distance, u] = queue.top();
      queue.pop();
      if (distance > value[u]) continue;
      if (subset == full_ && u == root()) break;
      poll();
      const float* weight = weights_.data() + static_cast<size_t>(u) * n_;
      const float reach =
          std::nextafter(static_cast<float>(distance), -std::numeric_limits<float>::infinity());
      const auto relax = [&](uint32_t v) {
        if (!(reach + weight[v] < bar[v])) return;
        const double through = distance + static_cast<double>(weight[v]) + cost_[v];
        if (through < value[v] && through <= ceiling[v]) {
          value[v] = through;
          from[v] = u;
          bar[v] = threshold(through, cost_[v]);
          queue.push({through, v});
        }
      };
      // Most vertices gain nothing: whole chunks are ruled out by one vector comparison.
      constexpr uint32_t kChunk = 16;
      uint32_t v = 0;
      for (; v + kChunk <= n_; v += kChunk) {
        bool any = false;
        for (uint32_t j = 0; j < kChunk; ++j) any |= reach + weight[v + j] < bar[v + j];
        if (!any) [[likely]]
          continue;
        for (uint32_t j = v; j < v + kChunk; ++j) relax(j);
      }
      for (; v < n_; ++v) relax(v);
    }
  }

  const CostMap map_;
  std::vector<uint64_t> cells_;
  size_t n_;
  size_t k_;
  Bits full_;
  double upper_;
  std::vector<double> bounds_;  // k x n: walk bound from terminal t to vertex v
  // 2^(k-1) x n: grid tree bound over the terminals of a subset, the root and vertex v
  std::vector<float> trees_;
  std::vector<double> cost_;
  std::vector<double> dp_;
  std::vector<uint32_t> back_;
  std::vector<float> weights_;  // n x n edge weights
  std::vector<std::vector<uint64_t>> groups_;
};

// Drops edges that close cycles and flexible leaves: neither can raise the cost.
std::vector<std::pair<uint32_t, uint32_t>> tidy_tree(std::vector<std::pair<uint32_t, uint32_t>> edges,
                                                     size_t vertices, size_t terminals) {
  std::vector<uint32_t> parent(vertices);
  std::iota(parent.begin(), parent.end(), 0u);
  const auto find = [&](uint32_t v) {
    while (parent[v] != v) v = parent[v] = parent[parent[v]];
    return v;
  };
  std::vector<std::pair<uint32_t, uint32_t>> tree;
  for (const auto& [a, b] : edges) {
    const uint32_t ra = find(a), rb = find(b);
    if (ra == rb) continue;
    parent[ra] = rb;
    tree.emplace_back(a, b);
  }
  for (bool pruned = true; pruned;) {
    pruned = false;
    std::vector<uint32_t> degree(vertices, 0);
    for (const auto& [a, b] : tree) ++degree[a], ++degree[b];
    const auto leaf = [&](uint32_t v) { return v >= terminals && degree[v] == 1; };
    const auto end = std::remove_if(tree.begin(), tree.end(),
                                    [&](const auto& e) { return leaf(e.first) || leaf(e.second); });
    pruned = end != tree.end();
    tree.erase(end, tree.end());
  }
  return tree;
}

// `attach(a, b)` gives the cells an edge between vertices a and b joins.
template <class Attach>
Network tree_network(const CostMap& map, const std::vector<uint64_t>& cells, size_t terminals,
                     const std::vector<std::pair<uint32_t, uint32_t>>& edges, Attach&& attach) {
  Network network;
  network.fixed_count = terminals;
  std::vector<uint64_t> placed;
  for (uint32_t t = 0; t < terminals; ++t)
    placed.push_back(cells[t]), network.nodes.push_back(cell_pos(map, cells[t]));
  const auto node = [&](uint64_t cell) {
    const auto found = std::find(placed.begin(), placed.end(), cell);
    if (found != placed.end()) return static_cast<uint32_t>(found - placed.begin());
    placed.push_back(cell);
    network.nodes.push_back(cell_pos(map, cell));
    return static_cast<uint32_t>(placed.size() - 1);
  };
  for (const auto& [a, b] : edges) {
    const auto [cell_a, cell_b] = attach(a, b);
    const uint32_t ia = node(cell_a), ib = node(cell_b);
    const Cell pa = network.nodes[ia], pb = network.nodes[ib];
    // Edges keep the direction whose samples cost less.
    if (weave::edge_cost(pb, pa, map) < weave::edge_cost(pa, pb, map))
      network.edges.emplace_back(ib, ia);
    else
      network.edges.emplace_back(ia, ib);
  }
  network.cost = network_cost(network, map);
  return network;
}

}  // namespace

std::string OptimalEstimate::text() const {
  char buffer[160];
  std::snprintf(buffer, sizeof buffer,
                "about %.3g s and %.3g MB (%llu candidate cells, %llu terminal subsets)", seconds,
                bytes / 1e6, static_cast<unsigned long long>(vertices),
                static_cast<unsigned long long>(subsets));
  return buffer;
}

OptimalEstimate estimate_optimal(uint64_t vertices, size_t terminal_count, uint64_t rows, uint64_t cols) {
  OptimalEstimate estimate;
  estimate.vertices = vertices;
  if (terminal_count < 2) return estimate;
  const double n = static_cast<double>(vertices), k = static_cast<double>(terminal_count);
  const double subsets = std::exp2(k - 1.0);
  estimate.subsets = subsets < 1.8e19 ? static_cast<uint64_t>(subsets) : UINT64_MAX;
  const double steps = static_cast<double>(std::max(rows, cols)) / 2.5;  // mean edge length in samples
  const double area = static_cast<double>(rows * cols);
  const double grid =
      2.0 * subsets * area <= static_cast<double>(kTreeEntries)
          ? std::pow(3.0, k) / 2.0 * area * kMergeSeconds + 2.0 * subsets * area * kCellSeconds
          : 0.0;
  estimate.seconds = subsets * n * n * kRelaxSeconds + n * n * steps * kSampleSeconds +
                     std::pow(3.0, k - 1.0) / 2.0 * n * kMergeSeconds + grid;
  estimate.bytes = subsets * n * 12.0 + n * n * 4.0 + k * area * 8.0 + 2.0 * subsets * area * 4.0;
  return estimate;
}

namespace {

// Candidate cells (terminals first) that a tree below the upper bound may use,
// the path bounds over them and the programme's estimate.
struct Prepared {
  std::vector<uint64_t> cells;
  std::vector<double> bounds;
  std::vector<float> trees;
  double upper = kInf;  // map units, with slack
  OptimalEstimate estimate;
};

Prepared prepare(const CostMap& map, const std::vector<Cell>& terminals, const OptimalOptions& options) {
  const size_t k = terminals.size();
  Prepared prepared;
  std::vector<uint64_t>& cells = prepared.cells;
  for (const Cell& pos : terminals) cells.push_back(pos_cell(map, pos));
  for (uint64_t cell : cells)
    if (!std::isfinite(map.at(cell))) throw Unreachable{};
  if (k < 2) return prepared;
  const auto check = [&](const OptimalEstimate& estimate) {
    if (estimate.seconds > options.max_seconds || estimate.bytes > options.max_bytes)
      throw TooLarge{estimate};
  };
  // Dropping cells seldom takes the estimate down by more than this factor.
  constexpr double kMostPruned = 100.0;
  const uint64_t most = options.candidates.empty() ? map.rows * map.cols : options.candidates.size() + k;
  prepared.estimate = estimate_optimal(most, k, map.rows, map.cols);
  const bool bounded = options.groups.empty() && k <= kMaxTerminals &&
                       map.rows * map.cols * k <= kBoundCells &&
                       prepared.estimate.seconds <= options.max_seconds * kMostPruned;
  if (!bounded) check(prepared.estimate);  // before anything is allocated
  if (k > kMaxTerminals) throw TooLarge{prepared.estimate};
  std::vector<char> taken(map.rows * map.cols, 0);
  for (uint64_t cell : cells) taken[cell] = 1;
  for (const auto& group : options.groups)
    for (uint64_t cell : group)
      if (cell < taken.size()) taken[cell] = 1;
  const auto offer = [&](uint64_t cell) {
    if (cell < taken.size() && !taken[cell] && std::isfinite(map.at(cell)))
      taken[cell] = 1, cells.push_back(cell);
  };
  if (options.candidates.empty())
    for (uint64_t cell = 0; cell < taken.size(); ++cell) offer(cell);
  else
    for (uint64_t cell : options.candidates) offer(cell);
  prepared.estimate = estimate_optimal(cells.size(), k, map.rows, map.cols);
  if (!bounded) check(prepared.estimate);

  const double scale = weave::detail::trace_scale(map.rows, map.cols);
  double upper = options.upper_bound;
  if (!(upper < kInf)) upper = spanning_network(map, terminals).cost;
  prepared.upper = upper = upper / scale * (1.0 + kSlack);
  if (!bounded) return prepared;
  evocore::StopPoll poll;
  std::vector<std::vector<double>> walks;
  for (size_t t = 0; t < k; ++t) walks.push_back(walk_bounds(map, cells[t], poll));
  double terminal_cost = 0.0;
  for (size_t t = 0; t < k; ++t) terminal_cost += map.at(cells[t]);
  std::vector<float> grid;
  // Over the whole map they pay only for the exact optimum, not for a few candidate cells.
  if (options.candidates.empty() && options.with_tree_bounds && (map.rows * map.cols) << k <= kTreeEntries)
    grid = grid_trees(map, std::vector<uint64_t>(cells.begin(), cells.begin() + static_cast<ptrdiff_t>(k)),
                      poll);
  const float* spanning =
      grid.empty() ? nullptr : grid.data() + (((size_t{1} << k) - 1) * map.rows * map.cols);
  // A bend or branch point lies on the tree's paths to two different terminals.
  std::vector<uint64_t> kept(cells.begin(), cells.begin() + static_cast<ptrdiff_t>(k));
  for (size_t v = k; v < cells.size(); ++v) {
    double first = kInf, second = kInf;
    for (size_t t = 0; t < k; ++t) {
      const double bound = walks[t][cells[v]];
      if (bound < first)
        second = first, first = bound;
      else if (bound < second)
        second = bound;
    }
    double bound = map.at(cells[v]) + first + second + terminal_cost;
    if (spanning)
      bound = std::max(
          bound, map.at(cells[v]) + terminal_cost + static_cast<double>(spanning[cells[v]]) * (1.0 - kSlack));
    if (bound <= upper) kept.push_back(cells[v]);
  }
  cells = std::move(kept);
  prepared.bounds.resize(k * cells.size());
  for (size_t t = 0; t < k; ++t)
    for (size_t v = 0; v < cells.size(); ++v) prepared.bounds[t * cells.size() + v] = walks[t][cells[v]];
  // Subsets holding the root (the last terminal), indexed by their other terminals.
  if (!grid.empty()) {
    const size_t half = size_t{1} << (k - 1), area = map.rows * map.cols;
    prepared.trees.resize(half * cells.size());
    for (size_t part = 0; part < half; ++part)
      for (size_t v = 0; v < cells.size(); ++v)
        prepared.trees[part * cells.size() + v] = grid[(part | half) * area + cells[v]];
  }
  prepared.estimate = estimate_optimal(cells.size(), k, map.rows, map.cols);
  check(prepared.estimate);
  return prepared;
}

}  // namespace

OptimalEstimate estimate_network(const CostMap& map, const std::vector<Cell>& terminals,
                                 OptimalOptions options) {
  options.with_tree_bounds = false;
  return prepare(map, terminals, options).estimate;
}

Network optimal_network(const CostMap& map, const std::vector<Cell>& terminals,
                        const OptimalOptions& options) {
  const size_t k = terminals.size();
  Prepared prepared = prepare(map, terminals, options);
  if (k < 2)
    return tree_network(map, prepared.cells, k, {},
                        [](uint32_t, uint32_t) { return std::pair<uint64_t, uint64_t>{}; });
  Programme programme(map, std::move(prepared.cells), k, prepared.upper, std::move(prepared.bounds),
                      std::move(prepared.trees), options.groups);
  if (!(programme.solve() < kInf)) {
    if (options.upper_bound < kInf) throw NoneBelowBound{};
    throw Unreachable{};
  }
  const auto& cells = programme.cells();
  return tree_network(map, cells, k, tidy_tree(programme.tree_edges(), cells.size(), k),
                      [&](uint32_t a, uint32_t b) {
                        const auto joined = programme.link(a, b);
                        return std::pair<uint64_t, uint64_t>{joined.from, joined.to};
                      });
}

}  // namespace routing
