#pragma once
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "../types.hpp"
#include "attachments.hpp"

namespace weave {

using EdgeDict = std::unordered_map<uint64_t, std::pair<uint64_t, uint64_t>>;

// True when the ids reached from ids[0] over the edges number exactly ids.size()
// (ids reached through the edges count even when they are not listed).
// An empty list is connected.
bool check_connectivity_dict(const std::vector<uint64_t>& ids, const EdgeDict& edges);

// check_connectivity_dict over a genome's node ids (map order) and enabled edges,
// optionally as if one node (with every edge touching it) or one edge were gone.
// With attachments, nodes on the existing network are joined through it, the
// existing network must be reached, and so must every region.
bool is_connected(const WeaveNodeMap& nodes, const EdgeMap& edges, std::optional<uint64_t> without_node = {},
                  std::optional<uint64_t> without_edge = {}, const Attachments* attachments = nullptr);

// How far another route must keep from an edge to protect it, in cells, and
// the shape of the map whose cells the edges are traced on.
//
// With cells = s > 0 an enabled edge e between nodes u and v is protected when
// the network without every edge joining u and v holds a u-v path none of
// whose cells is near e: a cell is near e when its Chebyshev distance
// max(|dx|, |dy|) to some cell of e is below s while its distance to u and to
// v is at least s (the route has to leave u and reach v). The cells of an
// edge are the cells its trace passes through plus both end cells. With s = 0
// an edge is protected when it is no bridge.
struct Separation {
  uint64_t cells = 0;
  uint64_t rows = 0;
  uint64_t cols = 0;
};

// Share of the total enabled edge length that lies on unprotected edges, in
// [0, 1]; with the default separation, the share on bridges (the edges between
// a bridge's two nodes count its length once). Exactly 0 when every edge is
// protected and exactly 1 when no edge of nonzero length is.
double calculate_bridge_share(const WeaveNodeMap& nodes, const EdgeMap& edges,
                              const Separation& separation = {});

// Ids of the enabled edges that are not protected, by the same rule (with the
// default separation: the bridges, every edge between a bridge's two nodes).
std::unordered_set<uint64_t> bridge_edge_ids(const WeaveNodeMap& nodes, const EdgeMap& edges,
                                             const Separation& separation = {});

}  // namespace weave
