#pragma once
#include <cstdint>
#include <optional>
#include <vector>

#include "network.hpp"
#include "steiner.hpp"

// Networks that extend an existing one and reach regions (map.attachments),
// besides joining point terminals.
namespace routing {

struct AttachedTree {
  CellTree tree;
  std::vector<uint64_t> waypoints;  // where the tree meets the existing network or enters a region
};

// Grows a tree of least-cost cell paths from the existing network (or from the
// terminal `root`, the existing network then being joined where the tree first
// reaches it; without one, from the first terminal or region), each time
// joining the nearest terminal, region or existing network not yet reached.
// One incremental search over the map; throws Unreachable when some cannot be
// reached over finite-cost cells.
AttachedTree grow_attached(const CostMap& map, const std::vector<uint64_t>& terminals,
                           std::optional<size_t> root = {});

// grow_attached, straightened; nodes [0, terminals.size()) are the terminals.
Network attached_network(const CostMap& map, const std::vector<uint64_t>& terminals, size_t lookahead,
                         std::optional<size_t> root = {});

}  // namespace routing
