#pragma once
#include "../weave/evaluation/evaluate.hpp"
#include "../weave/specialization.hpp"
#include "polish.hpp"

// Local search for the bridge objective: a move is taken only when it makes
// the network cheaper without raising its bridge share, so every network of a
// cost-redundancy front can be improved without leaving its place on it.
namespace localsearch {

// Until nothing improves (or options.max_rounds rounds): deletes flexible
// leaves, replaces a flexible node of degree two by a straight edge between
// its neighbours, moves flexible nodes to cheaper free cells (within
// options.radius and by longer jumps) and, with options.split_edges, gives an
// edge a bend. Every move lowers the cost and leaves the bridge share where it
// was or lower. Fixed nodes stay; a disconnected network is left unchanged.
// Ends by evaluating the genome as evaluate_genome does.
PolishOutcome polish_keeping_redundancy(weave::Genome& genome, const weave::CostMap& map,
                                        const PolishOptions& options);

}  // namespace localsearch
