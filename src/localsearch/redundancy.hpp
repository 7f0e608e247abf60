#pragma once
#include <cstddef>
#include <optional>
#include <vector>

#include "../weave/evaluation/evaluate.hpp"
#include "../weave/specialization.hpp"

namespace localsearch {

struct RedundancyOptions {
  bool routed = false;    // also offer least-cost paths (straightened) between nodes near along the map
  size_t neighbours = 8;  // routed paths from each node to this many nodes nearest along the map
  size_t lookahead = 32;  // longest straight edge of a routed path, in path cells
};

// Greedy redundancy: starting from `genome`, adds one straight edge between two
// of its nodes at a time (with options.routed, or a straightened least-cost
// path through new flexible nodes), each the one that removes the most bridge
// share per unit of added cost, until `steps` are added or none removes any.
// Returns the network after each addition (new genomes sharing the registry).
std::vector<weave::Genome> redundancy_chain(const weave::Genome& genome, const weave::CostMap& map,
                                            size_t steps, const RedundancyOptions& options = {});

// Tree augmentation: from a connected network (usually a tree), adds the
// connection that protects the most bridge length per unit of added cost
// (straight edges between nodes, and straightened least-cost paths from each
// leaf to its options.neighbours nearest leaves and nodes) until no bridge is
// left, then drops each addition the network can do without, dearest first.
// nullopt when the connections on offer cannot remove every bridge (or time
// runs out first). The result is evaluated and shares the registry.
std::optional<weave::Genome> augment_tree(const weave::Genome& genome, const weave::CostMap& map,
                                          const RedundancyOptions& options = {});

}  // namespace localsearch
