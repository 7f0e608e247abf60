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

// Share of the total enabled edge length that lies on bridges, in [0, 1].
// Exactly 0 without bridges and exactly 1 when every edge of nonzero length is one.
double calculate_bridge_share(const WeaveNodeMap& nodes, const EdgeMap& edges);

// Ids of the enabled edges that are bridges, by the same search (every edge
// between a bridge's two nodes is listed).
std::unordered_set<uint64_t> bridge_edge_ids(const WeaveNodeMap& nodes, const EdgeMap& edges);

}  // namespace weave
