#include "evaluation/sparse_trace.hpp"
#include "specialization.hpp"

namespace weave {

static_assert(evocore::HasCompatibilitySignature<WeaveSpecialization>);

// Distance of the max-pooled traces, computed from the touched cells only; equal
// to the Euclidean distance of the dense pooled grids.
double WeaveSpecialization::compatibility(const GenomeT& a, const GenomeT& b,
                                          std::span<const uint64_t>) const {
  const auto& size = config.grid_size;
  const auto trace_a = compute_sparse_traces(size.width, size.height, a.nodes, a.edges);
  const auto trace_b = compute_sparse_traces(size.width, size.height, b.nodes, b.edges);
  const auto pooled_a = pool_sparse(trace_a, config.compatibility_sigma);
  const auto pooled_b = pool_sparse(trace_b, config.compatibility_sigma);
  return config.c3 * pooled_distance(pooled_a, pooled_b);
}

PooledTrace WeaveSpecialization::signature(const GenomeT& genome) const {
  const auto& size = config.grid_size;
  return pool_sparse(compute_sparse_traces(size.width, size.height, genome.nodes, genome.edges),
                     config.compatibility_sigma);
}

bool WeaveSpecialization::accepts(const PooledTrace& signature) const {
  return signature.rows == config.grid_size.width && signature.cols == config.grid_size.height &&
         signature.window == config.compatibility_sigma;
}

double WeaveSpecialization::compatibility(const PooledTrace& a, const PooledTrace& b) const {
  return config.c3 * pooled_distance(a, b);
}

}  // namespace weave
