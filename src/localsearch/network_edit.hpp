#pragma once
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <unordered_set>
#include <vector>

#include "../weave/evaluation/attachments.hpp"
#include "../weave/evaluation/edge_ends.hpp"
#include "../weave/evaluation/network_cost.hpp"
#include "../weave/specialization.hpp"

namespace localsearch {

inline uint64_t pos_key(weave::Cell pos) {
  return (static_cast<uint64_t>(static_cast<uint32_t>(pos.row)) << 32) | static_cast<uint32_t>(pos.column);
}

// True when `proposed` is cheaper than `current` by more than rounding noise
// (an infinite current cost is improved by any finite one).
inline bool cheaper(double proposed, double current) {
  return proposed < current - 1e-9 * std::max(1.0, std::abs(current));
}

// What the local searches read of the network they edit in place: its edges
// and nodes, their exact prices on the map, and the cells its nodes occupy.
class NetworkEdit {
 protected:
  NetworkEdit(weave::Genome& genome, const weave::CostMap& map) : genome_(genome), map_(map) {
    for (const auto& entry : genome_.nodes) occupied_.insert(pos_key(entry.second.data.pos));
  }

  // Enabled edges from `node` to other nodes (self-loops have no length and no cost), by id.
  std::vector<const weave::Edge*> incident(uint64_t node) const {
    std::vector<const weave::Edge*> found;
    for (const auto& [id, edge] : genome_.edges)
      if (edge.enabled && edge.node1 != edge.node2 && (edge.node1 == node || edge.node2 == node))
        found.push_back(&edge);
    std::sort(found.begin(), found.end(),
              [](const weave::Edge* a, const weave::Edge* b) { return a->id < b->id; });
    return found;
  }

  weave::Cell pos_of(uint64_t node) const { return genome_.nodes.at(node).data.pos; }
  uint64_t other_end(const weave::Edge& edge, uint64_t node) const {
    return edge.node1 == node ? edge.node2 : edge.node1;
  }

  double edge_cost(const weave::Edge& edge) const {
    return weave::edge_cost(weave::edge_end(genome_.nodes, edge, edge.node1).data.pos,
                            weave::edge_end(genome_.nodes, edge, edge.node2).data.pos, map_);
  }

  // The node's own cell plus its incident edges, as if it stood at `pos`.
  double local_cost(const std::vector<const weave::Edge*>& edges, uint64_t node, weave::Cell pos) const {
    double cost = weave::node_cost(pos, map_);
    for (const weave::Edge* edge : edges) cost += weave::edge_cost(pos, pos_of(other_end(*edge, node)), map_);
    return cost;
  }

  // A node that joins the existing network or reaches a region is never
  // dropped, and moves only to cells that keep the same joins.
  bool anchored(weave::Cell pos) const { return map_.attachments && map_.attachments->anchors(pos); }
  bool keeps_joins(weave::Cell from, weave::Cell to) const {
    return !anchored(from) || map_.attachments->same_anchors(from, to);
  }

  // Flexible node ids in ascending order; with `droppable`, only those the search may remove.
  std::vector<uint64_t> flexible_nodes(bool droppable = false) const {
    std::vector<uint64_t> ids;
    for (const auto& [id, node] : genome_.nodes)
      if (node.data.type == weave::NodeType::Flexible && !(droppable && anchored(node.data.pos)))
        ids.push_back(id);
    std::sort(ids.begin(), ids.end());
    return ids;
  }

  bool inside_map(weave::Cell pos) const { return weave::detail::on_grid(pos, map_.rows, map_.cols); }

  void erase_node(uint64_t node) {
    occupied_.erase(pos_key(pos_of(node)));
    genome_.nodes.erase(node);
    std::erase_if(genome_.edges, [&](const auto& entry) {
      return entry.second.node1 == node || entry.second.node2 == node;
    });
  }

  weave::Genome& genome_;
  const weave::CostMap& map_;
  std::unordered_set<uint64_t> occupied_;
};

}  // namespace localsearch
