#pragma once
#include <cstdint>

#include "../evocore/population.hpp"
#include "../weave/specialization.hpp"
#include "../weave/types.hpp"

namespace gwpy {

using Weave = weave::WeaveSpecialization;
using Genome = evocore::Genome<Weave>;
using GenomeHandle = evocore::GenomeHandle<Weave>;
using Population = evocore::Population<Weave>;
using PopulationHandle = evocore::PopulationHandle<Weave>;
using Species = evocore::Species<Weave>;
using GenomeList = std::vector<GenomeHandle>;

// Python wrapper types. Each holds a handle or a copied value.
struct PyGenome {
  GenomeHandle handle;
};

struct PyPopulation {
  PopulationHandle handle;
};

struct PySpecies {
  Species snapshot;  // representative by value, members as shared handles
};

struct PyNodeData {
  weave::WeaveNodeData value;
};

struct PyNode {
  uint64_t id = 0;
  weave::WeaveNodeData data;
};

struct PyEdge {
  evocore::Edge value;
};

}  // namespace gwpy
