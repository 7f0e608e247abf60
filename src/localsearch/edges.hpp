#pragma once
#include <algorithm>
#include <cstdint>
#include <optional>

#include "../weave/specialization.hpp"

// Edges that local search adds between nodes of a genome, numbered by the
// genome's registry like every other edge.
namespace localsearch {

// The registry's number for the pair a-b, or nullopt when the genome already
// uses that number for another pair (numbers from another registry).
inline std::optional<uint64_t> edge_number(weave::Genome& genome, uint64_t a, uint64_t b) {
  const uint64_t id = genome.state->get_edge_id(a, b);
  const auto found = genome.edges.find(id);
  if (found != genome.edges.end() &&
      std::minmax(found->second.node1, found->second.node2) != std::minmax(a, b))
    return std::nullopt;
  return id;
}

// Enables the edge a-b, adding it under the registry's number when the genome
// lacks it; false (nothing changed) when that number stands for another pair.
inline bool join(weave::Genome& genome, uint64_t a, uint64_t b) {
  const auto id = edge_number(genome, a, b);
  if (!id) return false;
  genome.edges.try_emplace(*id, weave::Edge{*id, a, b, true}).first->second.enabled = true;
  return true;
}

// True when an enabled edge joins a and b.
inline bool linked(const weave::EdgeMap& edges, uint64_t a, uint64_t b) {
  return std::any_of(edges.begin(), edges.end(), [&](const auto& entry) {
    const weave::Edge& e = entry.second;
    return e.enabled && ((e.node1 == a && e.node2 == b) || (e.node1 == b && e.node2 == a));
  });
}

}  // namespace localsearch
