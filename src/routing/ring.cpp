#include "ring.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <unordered_map>
#include <utility>

#include "least_cost.hpp"
#include "steiner.hpp"
#include "straighten.hpp"

namespace routing {

namespace {

double tour_length(const std::vector<std::vector<double>>& distance, const std::vector<size_t>& order) {
  double length = 0.0;
  for (size_t i = 0; i < order.size(); ++i) length += distance[order[i]][order[(i + 1) % order.size()]];
  return length;
}

std::vector<size_t> nearest_neighbour_tour(const std::vector<std::vector<double>>& distance) {
  const size_t n = distance.size();
  std::vector<size_t> order{0};
  std::vector<bool> visited(n, false);
  visited[0] = true;
  while (order.size() < n) {
    size_t next = n;
    for (size_t j = 0; j < n; ++j)
      if (!visited[j] && (next == n || distance[order.back()][j] < distance[order.back()][next])) next = j;
    visited[next] = true;
    order.push_back(next);
  }
  return order;
}

// Reverses order[i..j] when that shortens the tour.
bool two_opt_pass(const std::vector<std::vector<double>>& d, std::vector<size_t>& order) {
  const size_t n = order.size();
  bool improved = false;
  for (size_t i = 1; i + 1 < n; ++i)
    for (size_t j = i + 1; j < n; ++j) {
      const size_t a = order[i - 1], b = order[i], c = order[j], e = order[(j + 1) % n];
      if (d[a][c] + d[b][e] < d[a][b] + d[c][e] - 1e-12) {
        std::reverse(order.begin() + static_cast<std::ptrdiff_t>(i),
                     order.begin() + static_cast<std::ptrdiff_t>(j) + 1);
        improved = true;
      }
    }
  return improved;
}

// Moves a run of one to three terminals elsewhere in the tour, either way round.
bool or_opt_pass(const std::vector<std::vector<double>>& d, std::vector<size_t>& order) {
  const size_t n = order.size();
  bool improved = false;
  for (size_t length = 1; length <= 3 && length + 2 <= n; ++length)
    for (size_t start = 1; start + length <= n; ++start) {
      const double before = tour_length(d, order);
      std::vector<size_t> run(order.begin() + static_cast<std::ptrdiff_t>(start),
                              order.begin() + static_cast<std::ptrdiff_t>(start + length));
      std::vector<size_t> rest(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(start));
      rest.insert(rest.end(), order.begin() + static_cast<std::ptrdiff_t>(start + length), order.end());
      std::vector<size_t> best = order;
      double best_length = before;
      for (int reversed = 0; reversed < 2; ++reversed) {
        for (size_t at = 1; at <= rest.size(); ++at) {
          std::vector<size_t> trial(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(at));
          trial.insert(trial.end(), run.begin(), run.end());
          trial.insert(trial.end(), rest.begin() + static_cast<std::ptrdiff_t>(at), rest.end());
          const double length_now = tour_length(d, trial);
          if (length_now < best_length - 1e-12) best_length = length_now, best = std::move(trial);
        }
        std::reverse(run.begin(), run.end());
      }
      if (best_length < before - 1e-12) order = std::move(best), improved = true;
    }
  return improved;
}

// Least-cost distances between all terminals, one search from each.
std::vector<std::vector<double>> terminal_distances(const CostMap& map, const std::vector<uint64_t>& cells) {
  const size_t n = cells.size();
  std::unordered_map<uint64_t, size_t> index;
  for (size_t i = 0; i < n; ++i) index.emplace(cells[i], i);
  std::vector<std::vector<double>> distance(n, std::vector<double>(n, kUnreached));
  LeastCostSearch search(map);
  for (size_t i = 0; i < n; ++i) {
    search.reset();
    search.add_source(cells[i]);
    size_t found = 0;
    search.propagate_until([&](uint64_t cell) {
      const auto hit = index.find(cell);
      if (hit == index.end()) return false;
      distance[i][hit->second] = search.distance(cell);
      return ++found == n;
    });
    if (found < n) throw Unreachable{};
  }
  for (size_t i = 0; i < n; ++i)
    for (size_t j = i + 1; j < n; ++j)
      distance[i][j] = distance[j][i] = std::min(distance[i][j], distance[j][i]);
  return distance;
}

// The legs' cell paths in tour order. Each leg avoids the cells of earlier
// legs (apart from its own two ends) when it can still reach its end.
std::vector<std::vector<uint64_t>> leg_paths(const CostMap& map, const std::vector<uint64_t>& cells,
                                             const std::vector<size_t>& order) {
  std::vector<double> blocked(map.rows * map.cols);
  for (uint64_t cell = 0; cell < blocked.size(); ++cell) blocked[cell] = map.at(cell);
  const CostMap avoiding{map.rows, map.cols, blocked.data(), nullptr};
  // One search for every leg: it reads the blocked cells as they are when it runs.
  LeastCostSearch search(avoiding);
  const auto path_between = [&](uint64_t from, uint64_t to) {
    search.reset();
    search.add_source(to);  // from the end, so that the path reads from `from` to `to`
    search.propagate_until([from](uint64_t cell) { return cell == from; });
    return search.path_from(from);
  };
  std::vector<std::vector<uint64_t>> legs;
  for (size_t k = 0; k < order.size(); ++k) {
    const uint64_t from = cells[order[k]], to = cells[order[(k + 1) % order.size()]];
    const double saved_from = blocked[from], saved_to = blocked[to];
    blocked[from] = map.at(from), blocked[to] = map.at(to);
    std::vector<uint64_t> path = path_between(from, to);
    if (path.empty()) path = least_cost_path(map, from, to);
    if (path.empty()) throw Unreachable{};
    blocked[from] = saved_from, blocked[to] = saved_to;
    for (uint64_t cell : path) blocked[cell] = kUnreached;
    legs.push_back(std::move(path));
  }
  return legs;
}

}  // namespace

std::vector<size_t> tour_order(const std::vector<std::vector<double>>& distance) {
  if (distance.size() <= 3) {
    std::vector<size_t> order(distance.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    return order;
  }
  std::vector<size_t> order = nearest_neighbour_tour(distance);
  for (bool again = true; again;) {
    evocore::check_interrupt();
    again = two_opt_pass(distance, order);
    again = or_opt_pass(distance, order) || again;
  }
  return order;
}

Network ring_network(const CostMap& map, const std::vector<Cell>& terminals, size_t lookahead) {
  Network network;
  network.nodes = terminals;
  network.fixed_count = terminals.size();
  if (terminals.size() >= 3) {
    std::vector<uint64_t> cells;
    for (const Cell& pos : terminals) cells.push_back(pos_cell(map, pos));
    const std::vector<size_t> order = tour_order(terminal_distances(map, cells));
    std::unordered_map<uint64_t, uint32_t> node_at;  // one node per cell
    for (size_t i = 0; i < cells.size(); ++i) node_at.emplace(cells[i], static_cast<uint32_t>(i));
    const auto node_of = [&](uint64_t cell) {
      const auto [it, added] = node_at.try_emplace(cell, static_cast<uint32_t>(network.nodes.size()));
      if (added) network.nodes.push_back(cell_pos(map, cell));
      return it->second;
    };
    std::set<std::pair<uint32_t, uint32_t>> edges;
    for (const auto& path : leg_paths(map, cells, order)) {
      const std::vector<size_t> bends = best_bends(map, path, lookahead);
      for (size_t k = 1; k < bends.size(); ++k) {
        const uint32_t a = node_of(path[bends[k - 1]]), b = node_of(path[bends[k]]);
        if (a != b && edges.insert(std::minmax(a, b)).second) network.edges.emplace_back(a, b);
      }
    }
  }
  network.cost = network_cost(network, map);
  return network;
}

}  // namespace routing
