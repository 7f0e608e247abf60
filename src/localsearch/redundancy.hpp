#pragma once
#include <cstddef>
#include <vector>

#include "../weave/evaluation/evaluate.hpp"
#include "../weave/specialization.hpp"

namespace localsearch {

// Greedy redundancy: starting from `genome`, adds one straight edge between two
// of its nodes at a time, each the edge that removes the most bridge share per
// unit of added cost, until `steps` edges are added or no edge removes any.
// Returns the network after each addition (new genomes sharing the registry).
std::vector<weave::Genome> redundancy_chain(const weave::Genome& genome, const weave::CostMap& map, size_t steps);

}  // namespace localsearch
