#pragma once
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "../evocore/genome.hpp"
#include "../evocore/rng.hpp"
#include "../evocore/specialization.hpp"
#include "evaluation/sparse_trace.hpp"
#include "types.hpp"

namespace weave {

// The grid-network implementation of the engine's specialization interface.
struct WeaveSpecialization {
  using NodeData = WeaveNodeData;
  using Config = WeaveConfig;
  using Signature = std::shared_ptr<const PooledTrace>;  // never null; copies share one trace
  using GenomeT = evocore::Genome<WeaveSpecialization>;

  evocore::SharedSettings<WeaveConfig> config;  // shared with the population and its genomes

  std::pair<std::vector<WeaveNode>, std::vector<Edge>> initialize_genome(
      evocore::PopulationState& state) const;

  bool add_node(WeaveNode& new_node, const Edge& split, const Edge& first, const Edge& second,
                const WeaveNodeMap& nodes, const EdgeMap& edges, evocore::Rng& rng) const;
  bool remove_edge(const Edge& edge, const WeaveNodeMap& nodes, const EdgeMap& edges,
                   evocore::Rng& rng) const;
  bool remove_node(const WeaveNode& node, const Edge& first, const Edge& second, const Edge& bridge,
                   const WeaveNodeMap& nodes, const EdgeMap& edges, evocore::Rng& rng) const;
  bool remove_node_single(const WeaveNode& node, const Edge& incident, const WeaveNodeMap& nodes,
                          const EdgeMap& edges) const;
  void mutate_structure(WeaveNodeMap& nodes, EdgeMap& edges, evocore::Rng& rng) const;
  double compatibility(const GenomeT& a, const GenomeT& b, std::span<const uint64_t> matching) const;

  // Pooled trace of a genome under this specialization's settings, so that many
  // pairs can be compared without rasterising again.
  Signature signature(const GenomeT& genome) const;
  bool accepts(const Signature& signature) const;
  double compatibility(const Signature& a, const Signature& b) const;
};

using Genome = evocore::Genome<WeaveSpecialization>;
using GenomeHandle = evocore::GenomeHandle<WeaveSpecialization>;

}  // namespace weave
