#include "heuristics.hpp"

#include <exception>
#include <optional>

#include "../evocore/thread_pool.hpp"
#include "straighten.hpp"

namespace routing {

namespace {

Network single_nodes(const std::vector<Cell>& terminals, const CostMap& map) {
  Network network;
  network.nodes = terminals;
  network.fixed_count = terminals.size();
  network.cost = network_cost(network, map);
  return network;
}

}  // namespace

std::vector<Network> steiner_candidates(const CostMap& map, const std::vector<Cell>& terminals,
                                        const SteinerOptions& options) {
  if (terminals.size() < 2) return {single_nodes(terminals, map)};
  std::vector<uint64_t> cells;
  for (const Cell& pos : terminals) cells.push_back(pos_cell(map, pos));
  // Task 0 builds the Voronoi tree, tasks 1.. the grown trees, one per root.
  std::vector<size_t> roots;
  if (options.method != SteinerMethod::Voronoi) roots = spread_roots(map, cells, options.roots);
  const bool voronoi = options.method != SteinerMethod::Grow;
  const size_t count = roots.size() + 1;
  std::vector<std::optional<Network>> built(count);
  std::vector<char> unreachable(count, 0);
  // A tree the deadline cuts short is left out; the ones finished before it stand.
  evocore::parallel_for(count, [&](size_t i) {
    if ((i == 0 && !voronoi) || evocore::deadline_passed()) return;
    try {
      const CellTree tree = i == 0 ? voronoi_tree(map, cells) : grow_tree(map, cells, roots[i - 1]);
      built[i] = straighten(map, tree, cells, options.lookahead);
    } catch (const Unreachable&) {
      unreachable[i] = 1;
    } catch (const evocore::DeadlinePassed&) {
    }
  });
  for (char flag : unreachable)
    if (flag) throw Unreachable{};
  std::vector<Network> networks;
  for (auto& network : built)
    if (network) networks.push_back(std::move(*network));
  return networks;
}

Network steiner_network(const CostMap& map, const std::vector<Cell>& terminals,
                        const SteinerOptions& options) {
  std::vector<Network> candidates = steiner_candidates(map, terminals, options);
  if (candidates.empty()) return spanning_network(map, terminals);  // out of time
  size_t best = 0;
  for (size_t i = 1; i < candidates.size(); ++i)
    if (candidates[i].cost < candidates[best].cost) best = i;
  return std::move(candidates[best]);
}

Network spanning_network(const CostMap& map, const std::vector<Cell>& terminals) {
  Network network = single_nodes(terminals, map);
  const size_t n = terminals.size();
  if (n < 2) return network;
  // Prim's algorithm on the complete graph.
  std::vector<double> link(n, kUnreached);
  std::vector<uint32_t> parent(n, 0);
  std::vector<bool> joined(n, false);
  joined[0] = true;
  for (size_t i = 1; i < n; ++i) link[i] = weave::edge_cost(terminals[0], terminals[i], map);
  for (size_t round = 1; round < n; ++round) {
    evocore::check_interrupt();
    size_t next = n;
    for (size_t i = 0; i < n; ++i)
      if (!joined[i] && (next == n || link[i] < link[next])) next = i;
    joined[next] = true;
    network.edges.emplace_back(parent[next], static_cast<uint32_t>(next));
    for (size_t i = 0; i < n; ++i) {
      if (joined[i]) continue;
      const double cost = weave::edge_cost(terminals[next], terminals[i], map);
      if (cost < link[i]) link[i] = cost, parent[i] = static_cast<uint32_t>(next);
    }
  }
  network.cost = network_cost(network, map);
  return network;
}

}  // namespace routing
