// Bridge edges and the exact ends of the bridge share.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <unordered_set>

#include "weave/evaluation/connectivity.hpp"
#include "weave_graphs.hpp"

namespace {

using namespace weave;
using namespace weave::testing;

// An enabled edge of a connected network is a bridge when the network without
// every edge between its two nodes is no longer connected.
bool brute_force_bridge(const WeaveNodeMap& nodes, const EdgeMap& edges, const Edge& edge) {
  EdgeMap without;
  for (const auto& [id, other] : edges)
    if (std::minmax(other.node1, other.node2) != std::minmax(edge.node1, edge.node2))
      without.emplace(id, other);
  return edge.node1 != edge.node2 && !is_connected(nodes, without);
}

std::string dump(const WeaveNodeMap& nodes, const EdgeMap& edges) {
  std::string text;
  for (const auto& [id, node] : nodes) text += " n" + std::to_string(id);
  for (const auto& [id, edge] : edges)
    text += " e" + std::to_string(id) + ":" + std::to_string(edge.node1) + "-" + std::to_string(edge.node2) +
            (edge.enabled ? "" : "x");
  return text;
}

TEST(BridgeEdges, AgreeWithRemovingEachEdgeOnRandomConnectedNetworks) {
  evocore::Rng rng(7);
  for (int trial = 0; trial < 300; ++trial) {
    auto [nodes, edges] = random_network(rng, 12, 12, 2 + trial % 14, trial % 6);
    if (!is_connected(nodes, edges)) continue;
    const auto bridges = bridge_edge_ids(nodes, edges);
    for (const auto& [id, edge] : edges)
      EXPECT_EQ(bridges.contains(id), edge.enabled && brute_force_bridge(nodes, edges, edge))
          << "trial " << trial << " edge " << id << dump(nodes, edges);
  }
}

TEST(BridgeShare, IsExactlyOneForTreesAndExactlyZeroWithoutBridges) {
  evocore::Rng rng(11);
  for (int trial = 0; trial < 200; ++trial) {
    // A path over random cells: every edge is a bridge, lengths sum in any order.
    const int count = 3 + trial % 20;
    WeaveNodeMap nodes;
    EdgeMap edges;
    for (int i = 1; i <= count; ++i)
      nodes[i] = WeaveNode{
          static_cast<uint64_t>(i),
          {{static_cast<int32_t>(rng.uniform_int(0, 999)), static_cast<int32_t>(rng.uniform_int(0, 999))},
           NodeType::Flexible}};
    for (int i = 1; i < count; ++i)
      edges[i] = Edge{static_cast<uint64_t>(i), static_cast<uint64_t>(i), static_cast<uint64_t>(i + 1), true};
    if (nodes.size() != static_cast<size_t>(count)) continue;
    EXPECT_EQ(calculate_bridge_share(nodes, edges), 1.0);
    edges[count] =
        Edge{static_cast<uint64_t>(count), static_cast<uint64_t>(count), 1, true};  // close the ring
    EXPECT_EQ(calculate_bridge_share(nodes, edges), 0.0);
  }
}

TEST(BridgeShare, CountsATwoEdgePairAsOneBridgeAndZeroLengthEdgesAsNothing) {
  const auto nodes = nodes_of({{1, 0, 0}, {2, 3, 4}, {3, 3, 4}});
  EXPECT_DOUBLE_EQ(calculate_bridge_share(nodes, edges_of({{1, 1, 2}, {2, 2, 1}, {3, 2, 3}})), 0.5);
  EXPECT_EQ(calculate_bridge_share(nodes, edges_of({{1, 1, 2}, {3, 2, 3}})), 1.0);
}

TEST(BridgeEdges, AtASeparationListTheCloseParallelLinesAndAddUpToTheShare) {
  // A rectangle of lines of length 20, two cells apart: only its short sides are protected at 3.
  const auto nodes = nodes_of({{1, 5, 5}, {2, 5, 25}, {3, 7, 25}, {4, 7, 5}});
  const auto edges = edges_of({{1, 1, 2}, {2, 2, 3}, {3, 3, 4}, {4, 4, 1}});
  EXPECT_EQ(bridge_edge_ids(nodes, edges, {3, 30, 30}), (std::unordered_set<uint64_t>{1, 3}));
  EXPECT_TRUE(bridge_edge_ids(nodes, edges, {2, 30, 30}).empty());
  evocore::Rng rng(5);
  for (int trial = 0; trial < 300; ++trial) {
    auto [random_nodes, random_edges] = random_network(rng, 12, 12, 3 + trial % 10, trial % 6);
    std::set<std::pair<uint64_t, uint64_t>> pairs;  // a bridge's length counts once however many edges it has
    size_t enabled = 0;
    for (const auto& [id, edge] : random_edges)
      if (edge.enabled) ++enabled, pairs.insert(std::minmax(edge.node1, edge.node2));
    if (!is_connected(random_nodes, random_edges) || pairs.size() != enabled) continue;
    const Separation separation{static_cast<uint64_t>(1 + trial % 4), 12, 12};
    const auto listed = bridge_edge_ids(random_nodes, random_edges, separation);
    EXPECT_TRUE(std::ranges::all_of(bridge_edge_ids(random_nodes, random_edges),
                                    [&](uint64_t id) { return listed.contains(id); }));
    double unprotected = 0.0, total = 0.0;
    for (const auto& [id, edge] : random_edges) {
      if (!edge.enabled) continue;
      const double length =
          distance(random_nodes.at(edge.node1).data.pos, random_nodes.at(edge.node2).data.pos);
      total += length;
      if (listed.contains(id)) unprotected += length;
    }
    if (total > 0.0)
      expect_relative_near(calculate_bridge_share(random_nodes, random_edges, separation),
                           unprotected / total);
  }
}

}  // namespace
