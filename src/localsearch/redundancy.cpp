#include "redundancy.hpp"

#include <algorithm>
#include <optional>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "../evocore/interrupt.hpp"
#include "../evocore/thread_pool.hpp"
#include "../routing/least_cost.hpp"
#include "../routing/straighten.hpp"
#include "../weave/evaluation/connectivity.hpp"
#include "../weave/evaluation/network_cost.hpp"
#include "../weave/genome_evaluation.hpp"
#include "edges.hpp"

namespace localsearch {

namespace {

using weave::Cell;

// A path that may join nodes a and b: straight when `bends` is empty,
// otherwise through new flexible nodes at the bend cells.
struct Loop {
  uint64_t a = 0, b = 0;
  std::vector<Cell> bends;
  double cost = 0.0;  // added trace cost (scaled as the evaluation scales it)
};

struct Addition {
  const Loop* loop = nullptr;
  uint64_t edge_id = 0;  // the registry's number of a straight edge
  double gain = 0.0;     // bridge share removed per unit of added cost
};

uint64_t cell_of(Cell pos, const weave::CostMap& map) {
  return static_cast<uint64_t>(pos.row) * map.cols + static_cast<uint64_t>(pos.column);
}

Cell pos_of_cell(uint64_t cell, const weave::CostMap& map) {
  return {static_cast<int32_t>(cell / map.cols), static_cast<int32_t>(cell % map.cols)};
}

uint64_t pos_key(Cell pos) {
  return (static_cast<uint64_t>(static_cast<uint32_t>(pos.row)) << 32) | static_cast<uint32_t>(pos.column);
}

std::vector<uint64_t> sorted_node_ids(const weave::Genome& genome) {
  std::vector<uint64_t> ids;
  for (const auto& entry : genome.nodes) ids.push_back(entry.first);
  std::sort(ids.begin(), ids.end());
  return ids;
}

bool inside(Cell pos, const weave::CostMap& map) { return weave::detail::on_grid(pos, map.rows, map.cols); }

double chain_cost(Cell a, const std::vector<Cell>& bends, Cell b, const weave::CostMap& map) {
  double cost = 0.0;
  Cell previous = a;
  for (const Cell& bend : bends) {
    cost += weave::node_cost(bend, map) + weave::edge_cost(previous, bend, map);
    previous = bend;
  }
  return (cost + weave::edge_cost(previous, b, map)) * weave::detail::trace_scale(map.rows, map.cols);
}

// Every straight edge between two nodes of the genome, priced on the worker
// pool: on large maps the pairs' edge walks are most of a loop child's time.
std::vector<Loop> straight_loops(const weave::Genome& genome, const weave::CostMap& map) {
  std::vector<Loop> loops;
  const auto ids = sorted_node_ids(genome);
  for (size_t i = 0; i < ids.size(); ++i)
    for (size_t j = i + 1; j < ids.size(); ++j)
      if (genome.nodes.at(ids[i]).data.pos != genome.nodes.at(ids[j]).data.pos)
        loops.push_back({ids[i], ids[j], {}, 0.0});
  evocore::parallel_for(loops.size(), [&](size_t k) {
    Loop& loop = loops[k];
    loop.cost = chain_cost(genome.nodes.at(loop.a).data.pos, {}, genome.nodes.at(loop.b).data.pos, map);
  });
  return loops;
}

// Least-cost paths from every node to its `neighbours` nearest nodes along the
// map, straightened; only paths that bend (straight ones are listed above).
// `from` picks the nodes searched from and `to` the nodes they may join.
template <class From, class To>
std::vector<Loop> routed_loops(const weave::Genome& genome, const weave::CostMap& map, size_t neighbours,
                               size_t lookahead, From&& from, To&& to) {
  std::vector<Loop> loops;
  const auto ids = sorted_node_ids(genome);
  if (ids.empty() || !std::all_of(ids.begin(), ids.end(),
                                  [&](uint64_t id) { return inside(genome.nodes.at(id).data.pos, map); }))
    return loops;
  std::unordered_map<uint64_t, uint64_t> node_at;  // cell -> node
  for (uint64_t id : ids) node_at.emplace(cell_of(genome.nodes.at(id).data.pos, map), id);
  std::set<std::pair<uint64_t, uint64_t>> seen;
  routing::LeastCostSearch search(map);  // reset per node: the work follows the cells each one touches
  for (uint64_t a : ids) {
    if (!from(a)) continue;
    evocore::check_interrupt();
    if (evocore::deadline_passed()) break;
    search.reset();
    const uint64_t source = cell_of(genome.nodes.at(a).data.pos, map);
    search.add_source(source);
    size_t reached = 0;
    std::vector<uint64_t> targets;
    search.propagate_until([&](uint64_t cell) {
      const auto found = node_at.find(cell);
      if (cell == source || found == node_at.end() || !to(found->second)) return false;
      targets.push_back(cell);
      return ++reached >= neighbours;
    });
    for (uint64_t target : targets) {
      const uint64_t b = node_at.at(target);
      if (!seen.insert(std::minmax(a, b)).second) continue;
      const std::vector<uint64_t> path = search.path_from(target);
      const std::vector<size_t> bends = routing::best_bends(map, path, lookahead);
      if (bends.size() <= 2) continue;
      Loop loop{b, a, {}, 0.0};
      for (size_t k = 1; k + 1 < bends.size(); ++k) loop.bends.push_back(pos_of_cell(path[bends[k]], map));
      loop.cost = chain_cost(genome.nodes.at(b).data.pos, loop.bends, genome.nodes.at(a).data.pos, map);
      loops.push_back(std::move(loop));
    }
  }
  return loops;
}

// Numbers of the nodes and edges one addition made.
struct Added {
  std::vector<uint64_t> nodes, edges;
  double cost = 0.0;
};

class Chain {
 public:
  Chain(weave::Genome& genome, const weave::CostMap& map) : genome_(genome), map_(map) {
    for (const auto& entry : genome_.nodes) occupied_.insert(pos_key(entry.second.data.pos));
  }

  Addition best(const std::vector<Loop>& loops) {
    const double share =
        weave::calculate_bridge_share(genome_.nodes, genome_.edges, weave::separation_of(genome_, map_));
    Addition best;
    for (const Loop& loop : loops) {
      if (!(loop.cost > 0.0) || !genome_.nodes.contains(loop.a) || !genome_.nodes.contains(loop.b)) continue;
      Addition candidate{&loop, 0, 0.0};
      const auto removed =
          loop.bends.empty() ? removed_by_edge(loop, share, candidate.edge_id) : removed_by_path(loop, share);
      if (removed && *removed > 0.0 && *removed / loop.cost > best.gain) {
        candidate.gain = *removed / loop.cost;
        best = candidate;
      }
    }
    return best;
  }

  // Adds the loop's edges (and bend nodes); `added`, when given, receives their numbers.
  bool add(const Addition& addition, Added* added = nullptr) {
    const Loop& loop = *addition.loop;
    Added made;
    std::vector<uint64_t> chain{loop.a};
    for (const Cell& bend : loop.bends) {
      const uint64_t node = genome_.state->new_node_id();
      genome_.nodes.emplace(node, weave::WeaveNode{node, {bend, weave::NodeType::Flexible}});
      occupied_.insert(pos_key(bend));
      chain.push_back(node);
      made.nodes.push_back(node);
    }
    chain.push_back(loop.b);
    for (size_t k = 0; k + 1 < chain.size(); ++k) {
      const auto number = edge_number(genome_, chain[k], chain[k + 1]);
      if (!number || !join(genome_, chain[k], chain[k + 1])) return false;  // numbers of another registry
      made.edges.push_back(*number);
    }
    if (added) *added = std::move(made);
    return true;
  }

  // Takes an addition out again: its edges disabled, its bend nodes deleted.
  void remove(const Added& added) {
    for (uint64_t edge : added.edges) genome_.edges.at(edge).enabled = false;
    for (uint64_t node : added.nodes) {
      occupied_.erase(pos_key(genome_.nodes.at(node).data.pos));
      genome_.nodes.erase(node);
      std::erase_if(genome_.edges, [&](const auto& entry) {
        return entry.second.node1 == node || entry.second.node2 == node;
      });
    }
  }

  void restore(const Added& added) {
    for (uint64_t edge : added.edges) genome_.edges.at(edge).enabled = true;
  }

 private:
  std::optional<double> removed_by_edge(const Loop& loop, double share, uint64_t& edge_id) {
    if (linked(genome_.edges, loop.a, loop.b)) return std::nullopt;
    const auto number = edge_number(genome_, loop.a, loop.b);
    if (!number) return std::nullopt;
    edge_id = *number;
    auto [slot, added] = genome_.edges.try_emplace(edge_id, weave::Edge{edge_id, loop.a, loop.b, true});
    const bool was_enabled = slot->second.enabled;
    slot->second.enabled = true;
    const double removed = share - weave::calculate_bridge_share(genome_.nodes, genome_.edges,
                                                                 weave::separation_of(genome_, map_));
    if (added)
      genome_.edges.erase(slot);
    else
      slot->second.enabled = was_enabled;
    return removed;
  }

  // Tries the path with scratch numbers above every number in use, so that no
  // registry number is spent on a path that is not taken.
  std::optional<double> removed_by_path(const Loop& loop, double share) {
    for (const Cell& bend : loop.bends)
      if (occupied_.contains(pos_key(bend))) return std::nullopt;
    uint64_t node = max_key(genome_.nodes), edge = max_key(genome_.edges);
    std::vector<uint64_t> nodes, edges;
    uint64_t previous = loop.a;
    auto link = [&](uint64_t from, uint64_t to) {
      genome_.edges.emplace(++edge, weave::Edge{edge, from, to, true});
      edges.push_back(edge);
    };
    for (const Cell& bend : loop.bends) {
      genome_.nodes.emplace(++node, weave::WeaveNode{node, {bend, weave::NodeType::Flexible}});
      nodes.push_back(node);
      link(previous, node);
      previous = node;
    }
    link(previous, loop.b);
    const double removed = share - weave::calculate_bridge_share(genome_.nodes, genome_.edges,
                                                                 weave::separation_of(genome_, map_));
    for (uint64_t id : edges) genome_.edges.erase(id);
    for (uint64_t id : nodes) genome_.nodes.erase(id);
    return removed;
  }

  template <class Map>
  static uint64_t max_key(const Map& map) {
    uint64_t top = 0;
    for (const auto& entry : map) top = std::max(top, entry.first);
    return top;
  }

  weave::Genome& genome_;
  const weave::CostMap& map_;
  std::unordered_set<uint64_t> occupied_;
};

}  // namespace

std::vector<weave::Genome> redundancy_chain(const weave::Genome& genome, const weave::CostMap& map,
                                            size_t steps, const RedundancyOptions& options) {
  std::vector<weave::Genome> chain;
  weave::Genome current = genome.clone();
  if (!weave::is_connected(current.nodes, current.edges, {}, {}, map.attachments)) return chain;
  std::vector<Loop> loops = straight_loops(current, map);
  if (options.routed) {
    try {
      const auto any = [](uint64_t) { return true; };
      auto routed = routed_loops(current, map, options.neighbours, options.lookahead, any, any);
      loops.insert(loops.end(), std::make_move_iterator(routed.begin()),
                   std::make_move_iterator(routed.end()));
    } catch (const evocore::DeadlinePassed&) {
      // Out of time: the straight loops alone make the chain.
    }
  }
  Chain builder(current, map);
  for (size_t step = 0; step < steps && !evocore::deadline_passed(); ++step) {
    evocore::check_interrupt();
    const Addition addition = builder.best(loops);
    if (addition.gain <= 0.0 || !builder.add(addition)) break;
    weave::evaluate_genome(current, map);
    chain.push_back(current.clone());
  }
  return chain;
}

namespace {

bool bridgeless(const weave::Genome& genome, const weave::CostMap& map) {
  return weave::is_connected(genome.nodes, genome.edges) &&
         weave::calculate_bridge_share(genome.nodes, genome.edges, weave::separation_of(genome, map)) == 0.0;
}

// Drops every addition that the network can do without, dearest first: with
// its edges disabled and its bend nodes gone, the rest must stay bridgeless.
void prune(weave::Genome& genome, const weave::CostMap& map, Chain& builder, std::vector<Added>& added) {
  std::sort(added.begin(), added.end(), [](const Added& a, const Added& b) { return a.cost > b.cost; });
  for (const Added& addition : added) {
    evocore::check_interrupt();
    for (uint64_t edge : addition.edges) genome.edges.at(edge).enabled = false;
    weave::Genome trial = genome.clone();
    for (uint64_t node : addition.nodes) {
      trial.nodes.erase(node);
      std::erase_if(trial.edges, [&](const auto& entry) {
        return entry.second.node1 == node || entry.second.node2 == node;
      });
    }
    if (bridgeless(trial, map))
      builder.remove(addition);
    else
      builder.restore(addition);
  }
}

}  // namespace

std::optional<weave::Genome> augment_tree(const weave::Genome& genome, const weave::CostMap& map,
                                          const RedundancyOptions& options) {
  weave::Genome current = genome.clone();
  if (!weave::is_connected(current.nodes, current.edges)) return std::nullopt;
  std::vector<Loop> loops = straight_loops(current, map);
  std::unordered_map<uint64_t, size_t> degree;
  for (const auto& [id, edge] : current.edges)
    if (edge.enabled && edge.node1 != edge.node2) ++degree[edge.node1], ++degree[edge.node2];
  const auto leaf = [&](uint64_t id) { return degree[id] <= 1; };
  const auto any = [](uint64_t) { return true; };
  try {
    // Leaves must each gain a connection: to other leaves, and to any node.
    for (auto routed : {routed_loops(current, map, options.neighbours, options.lookahead, leaf, leaf),
                        routed_loops(current, map, options.neighbours, options.lookahead, leaf, any)})
      loops.insert(loops.end(), std::make_move_iterator(routed.begin()),
                   std::make_move_iterator(routed.end()));
  } catch (const evocore::DeadlinePassed&) {
  }
  Chain builder(current, map);
  std::vector<Added> added;
  while (!bridgeless(current, map) && !evocore::deadline_passed()) {
    evocore::check_interrupt();
    const Addition addition = builder.best(loops);
    Added made;
    if (addition.gain <= 0.0 || !builder.add(addition, &made)) break;
    made.cost = addition.loop->cost;
    added.push_back(std::move(made));
  }
  if (!bridgeless(current, map)) return std::nullopt;
  prune(current, map, builder, added);
  weave::evaluate_genome(current, map);
  return current;
}

}  // namespace localsearch
