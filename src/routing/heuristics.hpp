#pragma once
#include <cstdint>
#include <vector>

#include "network.hpp"
#include "steiner.hpp"

// Networks that join a list of terminal cells, built by classical methods.
namespace routing {

enum class SteinerMethod { Voronoi, Grow, Best };

struct SteinerOptions {
  SteinerMethod method = SteinerMethod::Best;
  size_t roots = 4;       // roots tried by the growing heuristic
  size_t lookahead = 64;  // longest straight edge of the straightening, in path cells
};

// Every straightened Steiner tree the chosen heuristics build: the Voronoi
// tree first (unless only growing is asked for), then one grown tree per root.
std::vector<Network> steiner_candidates(const CostMap& map, const std::vector<Cell>& terminals,
                                        const SteinerOptions& options);

// The cheapest straightened Steiner tree of the chosen heuristics. Throws
// Unreachable when the terminals cannot all be joined over finite costs.
// Terminals must be distinct cells of the map.
Network steiner_network(const CostMap& map, const std::vector<Cell>& terminals,
                        const SteinerOptions& options);

// Minimum spanning tree over the terminals, each pair joined by a straight
// edge priced by its exact trace cost.
Network spanning_network(const CostMap& map, const std::vector<Cell>& terminals);

}  // namespace routing
