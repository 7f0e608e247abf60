#include <algorithm>

#include "evaluation/sparse_trace.hpp"
#include "specialization.hpp"

namespace weave {

static_assert(evocore::HasCompatibilitySignature<WeaveSpecialization>);

namespace {

// What the trace of a genome depends on, in map order.
std::vector<int64_t> structure_of(const WeaveNodeMap& nodes, const EdgeMap& edges) {
  std::vector<int64_t> structure;
  structure.reserve(3 * nodes.size() + 4 * edges.size() + 1);
  structure.push_back(static_cast<int64_t>(nodes.size()));
  for (const auto& [id, node] : nodes)
    structure.insert(structure.end(), {static_cast<int64_t>(id), node.data.pos.x, node.data.pos.y});
  for (const auto& [id, edge] : edges)
    structure.insert(structure.end(), {static_cast<int64_t>(id), static_cast<int64_t>(edge.node1),
                                       static_cast<int64_t>(edge.node2), edge.enabled ? 1 : 0});
  return structure;
}

bool same_structure(const std::vector<int64_t>& recorded, const WeaveNodeMap& nodes, const EdgeMap& edges) {
  if (recorded.size() != 1 + 3 * nodes.size() + 4 * edges.size()) return false;
  if (recorded[0] != static_cast<int64_t>(nodes.size())) return false;
  auto at = recorded.begin() + 1;
  for (const auto& [id, node] : nodes) {
    if (at[0] != static_cast<int64_t>(id) || at[1] != node.data.pos.x || at[2] != node.data.pos.y) return false;
    at += 3;
  }
  for (const auto& [id, edge] : edges) {
    if (at[0] != static_cast<int64_t>(id) || at[1] != static_cast<int64_t>(edge.node1) ||
        at[2] != static_cast<int64_t>(edge.node2) || at[3] != (edge.enabled ? 1 : 0))
      return false;
    at += 4;
  }
  return true;
}

}  // namespace

// Distance of the max-pooled traces, computed from the touched cells only; equal
// to the Euclidean distance of the dense pooled grids.
double WeaveSpecialization::compatibility(const GenomeT& a, const GenomeT& b,
                                          std::span<const uint64_t>) const {
  return compatibility(signature(a), signature(b));
}

WeaveSpecialization::Signature WeaveSpecialization::signature(const GenomeT& genome) const {
  const auto& size = config.grid_size;
  const SignatureCache& cache = genome.specialization.signature_cache;
  auto entry = cache.get();
  if (entry && accepts(Signature(entry, &entry->trace)) && same_structure(entry->structure, genome.nodes, genome.edges))
    return Signature(entry, &entry->trace);
  auto fresh = std::make_shared<SignatureCache::Entry>(SignatureCache::Entry{
      structure_of(genome.nodes, genome.edges),
      pooled_trace(size.width, size.height, config.compatibility_sigma, genome.nodes, genome.edges)});
  cache.put(fresh);
  return Signature(fresh, &fresh->trace);
}

bool WeaveSpecialization::accepts(const Signature& signature) const {
  return signature->rows == config.grid_size.width && signature->cols == config.grid_size.height &&
         signature->window == config.compatibility_sigma;
}

double WeaveSpecialization::compatibility(const Signature& a, const Signature& b) const {
  return config.c3 * pooled_distance(*a, *b);
}

}  // namespace weave
