#include <gtest/gtest.h>

#include <cmath>

#include "weave/evaluation/connectivity.hpp"
#include "weave_graphs.hpp"

using namespace weave;
using namespace weave::testing;

TEST(WeaveConnectivity, DictionaryCases) {
  struct Case {
    const char* name;
    std::vector<uint64_t> ids;
    EdgeDict edges;
    bool connected;
  };
  const Case cases[] = {
      {"empty list", {}, {}, true},
      {"single id", {4}, {}, true},
      {"two ids without edges", {4, 5}, {}, false},
      {"two ids joined", {4, 5}, {{1, {5, 4}}}, true},
      {"self loop only", {4}, {{1, {4, 4}}}, true},
      {"extra id reached", {4, 5}, {{1, {4, 5}}, {2, {5, 9}}}, false},
      {"path of three", {1, 2, 3}, {{7, {1, 2}}, {8, {3, 2}}}, true},
      {"isolated last id", {1, 2, 3}, {{7, {1, 2}}}, false},
      {"edges elsewhere", {1, 2}, {{7, {3, 4}}}, false},
  };
  for (const auto& c : cases) EXPECT_EQ(check_connectivity_dict(c.ids, c.edges), c.connected) << c.name;
}

TEST(WeaveConnectivity, GenomeFormLeavesOutDisabledAndRemovedParts) {
  const auto nodes = nodes_of({{1, 0, 0}, {2, 1, 0}, {3, 2, 0}});
  const auto path = edges_of({{1, 1, 2}, {2, 2, 3}, {3, 1, 3, false}});
  EXPECT_TRUE(is_connected(nodes, path));
  EXPECT_FALSE(is_connected(nodes, path, std::nullopt, 1));
  EXPECT_FALSE(is_connected(nodes, path, 2));
  EXPECT_TRUE(is_connected(nodes, path, 3));
  EXPECT_TRUE(is_connected(nodes_of({{1, 0, 0}}), {}, 1));  // nothing left counts as connected
}

// Nodes {id, row, column} on a map of 10 columns; the existing network is row 0.
TEST(WeaveConnectivity, JoinsThroughTheExistingNetworkAndReachesRegions) {
  Attachments plan;
  plan.cols = 10;
  for (uint64_t c = 0; c < 10; ++c) plan.existing.push_back(c);
  plan.regions = {{95, 96}};  // cells (9, 5) and (9, 6)
  const auto nodes = nodes_of({{1, 3, 1}, {2, 0, 1}, {3, 3, 8}, {4, 0, 8}, {5, 9, 5}, {6, 8, 8}});
  const auto edges = edges_of({{1, 1, 2}, {2, 3, 4}, {3, 5, 6}, {4, 6, 3}});
  EXPECT_FALSE(is_connected(nodes, edges));  // two pieces without the existing network
  EXPECT_TRUE(is_connected(nodes, edges, {}, {}, &plan));
  EXPECT_FALSE(is_connected(nodes, edges, 2, {}, &plan));  // the left piece loses its join
  EXPECT_FALSE(is_connected(nodes, edges, 5, {}, &plan));  // the region's only node
  EXPECT_FALSE(is_connected(nodes, edges, {}, 1, &plan));  // a link of the left piece
  const auto apart = nodes_of({{1, 3, 1}, {2, 4, 1}});
  EXPECT_FALSE(is_connected(apart, edges_of({{1, 1, 2}}), {}, {}, &plan));  // never reaches it
  Attachments regions_only{10, {}, {{95}}};
  EXPECT_TRUE(is_connected(nodes_of({{1, 9, 5}}), {}, {}, {}, &regions_only));
  EXPECT_FALSE(is_connected({}, {}, {}, {}, &regions_only));  // an empty network reaches nothing
}

TEST(WeaveBridgeShare, WorkedNetworks) {
  struct Case {
    const char* name;
    WeaveNodeMap nodes;
    EdgeMap edges;
    double share;
  };
  const Case cases[] = {
      {"path", nodes_of({{1, 0, 0}, {2, 3, 0}, {3, 3, 4}}), edges_of({{1, 1, 2}, {2, 2, 3}}), 1.0},
      {"triangle", nodes_of({{1, 0, 0}, {2, 3, 0}, {3, 0, 4}}), edges_of({{1, 1, 2}, {2, 2, 3}, {3, 3, 1}}),
       0.0},
      {"triangle with tail", nodes_of({{1, 0, 0}, {2, 3, 0}, {3, 0, 4}, {4, 0, 9}}),
       edges_of({{1, 1, 2}, {2, 2, 3}, {3, 3, 1}, {4, 3, 4}}), 5.0 / 17.0},
      {"parallel edges", nodes_of({{1, 0, 0}, {2, 2, 0}}), edges_of({{1, 1, 2}, {2, 2, 1}}), 0.5},
      {"same cell", nodes_of({{1, 2, 2}, {2, 2, 2}}), edges_of({{1, 1, 2}}), 0.0},
      {"one node", nodes_of({{1, 0, 0}}), edges_of({{1, 1, 1}}), 0.0},
      {"disabled edges only", nodes_of({{1, 0, 0}, {2, 1, 1}}), edges_of({{1, 1, 2, false}}), 0.0},
      {"disabled edge ignored", nodes_of({{1, 0, 0}, {2, 3, 0}, {3, 0, 4}}),
       edges_of({{1, 1, 2}, {2, 2, 3}, {3, 3, 1, false}}), 1.0},
  };
  for (const auto& c : cases) EXPECT_DOUBLE_EQ(calculate_bridge_share(c.nodes, c.edges), c.share) << c.name;
}

TEST(WeaveBridgeShare, MissingNodeFails) {
  EXPECT_THROW(calculate_bridge_share(nodes_of({{1, 0, 0}, {2, 1, 0}}), edges_of({{1, 1, 3}})),
               evocore::InternalError);
}

TEST(WeaveBridgeShare, LongChainDoesNotExhaustTheStack) {
  constexpr uint64_t kLength = 200000;
  WeaveNodeMap nodes;
  EdgeMap edges;
  for (uint64_t i = 1; i <= kLength; ++i) {
    nodes[i] =
        WeaveNode{i, {{static_cast<int32_t>(i % 1000), static_cast<int32_t>(i / 1000)}, NodeType::Flexible}};
    if (i > 1) edges[i] = Edge{i, i - 1, i, true};
  }
  EXPECT_DOUBLE_EQ(calculate_bridge_share(nodes, edges), 1.0);
  edges[kLength + 1] = Edge{kLength + 1, kLength, 1, true};  // closing the ring leaves no bridge
  EXPECT_DOUBLE_EQ(calculate_bridge_share(nodes, edges), 0.0);
}

// All edges of a tree are bridges; the two sums of their lengths, taken in
// different orders, must not push the share above 1.
TEST(WeaveBridgeShare, StaysInTheUnitRangeOnRandomTrees) {
  evocore::Rng rng(23);
  for (int n = 0; n < 2000; ++n) {
    WeaveNodeMap nodes;
    EdgeMap edges;
    const auto count = static_cast<uint64_t>(2 + rng.uniform_int(0, 30));
    for (uint64_t id = 1; id <= count; ++id) {
      nodes[id] = WeaveNode{
          id,
          {{static_cast<int32_t>(rng.uniform_int(0, 999)), static_cast<int32_t>(rng.uniform_int(0, 999))},
           NodeType::Flexible}};
      if (id > 1)
        edges[id] =
            Edge{id, static_cast<uint64_t>(rng.uniform_int(1, static_cast<int64_t>(id) - 1)), id, true};
    }
    const double share = calculate_bridge_share(nodes, edges);
    ASSERT_LE(share, 1.0) << "tree " << n;
    ASSERT_GE(share, 1.0 - 1e-12) << "tree " << n;
  }
}
