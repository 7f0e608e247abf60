#pragma once
#include <cstddef>
#include <cstdint>

#include "../weave/evaluation/evaluate.hpp"
#include "../weave/specialization.hpp"

// Exact local search on one network: moves, removals and splits that each
// lower the network's cost on the map, priced from the few terms they change.
namespace localsearch {

struct PolishOptions {
  int32_t radius = 2;      // a node may move to any free cell this many cells away per step
  size_t max_rounds = 64;  // rounds over all nodes and edges; polishing stops earlier when nothing improves
  bool split_edges = true;
  bool break_cycles = false;    // drop edges on cycles; polish_genome sets it under SingleObjective
  bool exchange_paths = false;  // key-path exchange between rounds of local moves (trees only)
  size_t lookahead = 64;        // longest straight edge of an exchanged path, in path cells
};

struct PolishOutcome {
  double cost_before = 0.0;  // trace cost, as the evaluation computes it
  double cost_after = 0.0;
  size_t changes = 0;
};

// Until nothing improves: under the SingleObjective strategy drops edges that
// lie on cycles (under MultiObjectiveBridge cycles are the redundancy the
// second objective rewards, so they stay), deletes flexible leaves, replaces a flexible node of
// degree two by a straight edge between its neighbours, moves flexible nodes to
// cheaper free cells and splits edges by a bend. Fixed nodes never move and are
// never removed, and the network stays connected. A disconnected network is
// left unchanged. With exchange_paths, key paths of a tree are also exchanged
// for cheaper least-cost connections (see exchange_key_paths). Ends by evaluating the genome as
// evaluate_genome does.
PolishOutcome polish_genome(weave::Genome& genome, const weave::CostMap& map, const PolishOptions& options);

}  // namespace localsearch
