#pragma once
#include <cstddef>

#include "../weave/evaluation/evaluate.hpp"
#include "../weave/specialization.hpp"

namespace localsearch {

// Key-path exchange on a tree network. A key path runs between two nodes that
// are fixed or not of degree two, through flexible nodes of degree two.
// Removing it splits the tree in two; the parts are joined again by a
// least-cost cell path from anywhere on one part (a node, or a point of an
// edge, which then gets a node) to the other, straightened into straight
// edges. The exchange is kept when the network's exact cost falls. Networks
// that are not trees are left alone. Returns the number of exchanges made.
size_t exchange_key_paths(weave::Genome& genome, const weave::CostMap& map, size_t lookahead);

}  // namespace localsearch
