#include "redundancy.hpp"

#include <algorithm>
#include <vector>

#include "../weave/evaluation/connectivity.hpp"
#include "../weave/evaluation/network_cost.hpp"
#include "../weave/genome_evaluation.hpp"
#include "edges.hpp"

namespace localsearch {

namespace {

struct Addition {
  uint64_t a = 0, b = 0, id = 0;
  double gain = 0.0;  // bridge share removed per unit of added cost
};

Addition best_addition(weave::Genome& genome, const weave::CostMap& map) {
  std::vector<uint64_t> ids;
  for (const auto& entry : genome.nodes) ids.push_back(entry.first);
  std::sort(ids.begin(), ids.end());
  const double share = weave::calculate_bridge_share(genome.nodes, genome.edges);
  const double scale = weave::detail::trace_scale(map.rows, map.cols);
  Addition best;
  for (size_t i = 0; i < ids.size(); ++i)
    for (size_t j = i + 1; j < ids.size(); ++j) {
      const uint64_t a = ids[i], b = ids[j];
      const weave::Pos pa = genome.nodes.at(a).data.pos, pb = genome.nodes.at(b).data.pos;
      if (pa == pb || linked(genome.edges, a, b)) continue;
      const auto number = edge_number(genome, a, b);
      if (!number) continue;
      const uint64_t id = *number;
      const double cost = scale * weave::edge_cost(pa, pb, map);
      if (!(cost > 0.0)) continue;
      auto [slot, added] = genome.edges.try_emplace(id, weave::Edge{id, a, b, true});
      const bool was_enabled = slot->second.enabled;
      slot->second.enabled = true;
      const double removed = share - weave::calculate_bridge_share(genome.nodes, genome.edges);
      if (added) genome.edges.erase(slot); else slot->second.enabled = was_enabled;
      if (removed > 0.0 && removed / cost > best.gain) best = {a, b, id, removed / cost};
    }
  return best;
}

}  // namespace

std::vector<weave::Genome> redundancy_chain(const weave::Genome& genome, const weave::CostMap& map, size_t steps) {
  std::vector<weave::Genome> chain;
  weave::Genome current = genome.clone();
  if (!weave::is_connected(current.nodes, current.edges)) return chain;
  for (size_t step = 0; step < steps; ++step) {
    const Addition addition = best_addition(current, map);
    if (addition.gain <= 0.0) break;
    join(current, addition.a, addition.b);
    weave::evaluate_genome(current, map);
    chain.push_back(current.clone());
  }
  return chain;
}

}  // namespace localsearch
