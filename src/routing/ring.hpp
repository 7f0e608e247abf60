#pragma once
#include <cstdint>
#include <vector>

#include "network.hpp"

// The classic bridgeless design: one closed tour through every terminal.
namespace routing {

// Visiting order of a closed tour over a symmetric distance table: nearest
// neighbour from the first terminal, improved by 2-opt and or-opt moves until
// none shortens it. Starts with 0.
std::vector<size_t> tour_order(const std::vector<std::vector<double>>& distance);

// A ring through the terminals in the order of `tour_order` over their
// least-cost distances (from each terminal to its ten nearest; farther pairs
// are priced by their straight edge, never below the longest distance found);
// each leg is the least-cost cell path (avoiding the
// cells of earlier legs where it can, so that the legs form one cycle),
// straightened by best_bends. Nodes [0, terminals.size()) are the terminals.
// With fewer than three terminals the network has no edges. Throws
// Unreachable when the terminals cannot all be joined over finite costs.
Network ring_network(const CostMap& map, const std::vector<Cell>& terminals, size_t lookahead);

}  // namespace routing
