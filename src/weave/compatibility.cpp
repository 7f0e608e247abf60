#include <memory>

#include "evaluation/sparse_trace.hpp"
#include "specialization.hpp"

namespace weave {

static_assert(evocore::HasCompatibilitySignature<WeaveSpecialization>);

// Distance of the max-pooled traces, computed from the touched cells only; equal
// to the Euclidean distance of the dense pooled grids.
double WeaveSpecialization::compatibility(const GenomeT& a, const GenomeT& b,
                                          std::span<const uint64_t>) const {
  return compatibility(signature(a), signature(b));
}

WeaveSpecialization::Signature WeaveSpecialization::signature(const GenomeT& genome) const {
  const auto& size = config->grid_size;
  return std::make_shared<const PooledTrace>(
      pooled_trace(size.rows, size.columns, config->compatibility_sigma, genome.nodes, genome.edges));
}

bool WeaveSpecialization::accepts(const Signature& signature) const {
  return signature->rows == config->grid_size.rows && signature->cols == config->grid_size.columns &&
         signature->window == config->compatibility_sigma;
}

double WeaveSpecialization::compatibility(const Signature& a, const Signature& b) const {
  return config->c3 * pooled_distance(*a, *b);
}

}  // namespace weave
