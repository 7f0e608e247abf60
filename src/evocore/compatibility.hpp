#pragma once
#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "genome.hpp"
#include "specialization.hpp"

namespace evocore {

struct EdgeDifference {
  uint32_t excess = 0;
  uint32_t disjoint = 0;
};

// Merges two ascending edge-id lists. Matching ids go to `matching` when it is given.
inline EdgeDifference compare_edge_ids(std::span<const uint64_t> a, std::span<const uint64_t> b,
                                       std::vector<uint64_t>* matching) {
  const uint64_t max_a = a.empty() ? 0 : a.back();
  const uint64_t max_b = b.empty() ? 0 : b.back();
  EdgeDifference difference;
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (a[i] == b[j]) {
      if (matching) matching->push_back(a[i]);
      ++i;
      ++j;
    } else if (a[i] < b[j]) {
      ++(a[i] > max_b ? difference.excess : difference.disjoint);
      ++i;
    } else {
      ++(b[j] > max_a ? difference.excess : difference.disjoint);
      ++j;
    }
  }
  // Counters are 32-bit and wrap like repeated increments would.
  difference.excess += static_cast<uint32_t>((a.size() - i) + (b.size() - j));
  return difference;
}

// c1 * excess / N + c2 * disjoint / N, with N the larger edge count (1 when both have none).
template <class Config>
double edge_distance(const Config& config, EdgeDifference difference, size_t count_a, size_t count_b) {
  const size_t larger = std::max(count_a, count_b);
  const double n = larger == 0 ? 1.0 : static_cast<double>(larger);
  return config.c1 * difference.excess / n + config.c2 * difference.disjoint / n;
}

// NEAT distance of two genomes; weights and the specialization term come from `a`.
template <Specialization S>
double calculate_compatibility(const Genome<S>& a, const Genome<S>& b) {
  const auto ids_a = a.sorted_edge_ids();
  const auto ids_b = b.sorted_edge_ids();
  std::vector<uint64_t> matching;
  matching.reserve(std::min(ids_a.size(), ids_b.size()));
  const EdgeDifference difference = compare_edge_ids(ids_a, ids_b, &matching);
  const double special = a.specialization.compatibility(a, b, std::span<const uint64_t>(matching));
  return special + edge_distance(*a.config, difference, ids_a.size(), ids_b.size());
}

// What a genome contributes to every distance it takes part in, computed once
// per genome: its sorted edge ids and, when the specialization offers one, its
// signature (made with the genome's own specialization).
template <Specialization S>
struct CompatibilityProfile {
  std::vector<uint64_t> edge_ids;
};

template <Specialization S>
  requires HasCompatibilitySignature<S>
struct CompatibilityProfile<S> {
  std::vector<uint64_t> edge_ids;
  typename S::Signature signature;
};

template <Specialization S>
CompatibilityProfile<S> make_profile(const Genome<S>& genome) {
  if constexpr (HasCompatibilitySignature<S>)
    return {genome.sorted_edge_ids(), genome.specialization.signature(genome)};
  else
    return {genome.sorted_edge_ids()};
}

// Same value as calculate_compatibility(a, b), from the genomes' profiles.
template <Specialization S>
double calculate_compatibility(const Genome<S>& a, const CompatibilityProfile<S>& profile_a,
                               const Genome<S>& b, const CompatibilityProfile<S>& profile_b) {
  const size_t count_a = profile_a.edge_ids.size(), count_b = profile_b.edge_ids.size();
  if constexpr (HasCompatibilitySignature<S>) {
    if (a.specialization.accepts(profile_b.signature)) {
      const EdgeDifference difference = compare_edge_ids(profile_a.edge_ids, profile_b.edge_ids, nullptr);
      const double special = a.specialization.compatibility(profile_a.signature, profile_b.signature);
      return special + edge_distance(*a.config, difference, count_a, count_b);
    }
  }
  std::vector<uint64_t> matching;
  matching.reserve(std::min(count_a, count_b));
  const EdgeDifference difference = compare_edge_ids(profile_a.edge_ids, profile_b.edge_ids, &matching);
  const double special = a.specialization.compatibility(a, b, std::span<const uint64_t>(matching));
  return special + edge_distance(*a.config, difference, count_a, count_b);
}

}  // namespace evocore
