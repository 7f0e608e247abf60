#pragma once
#include <nanobind/nanobind.h>

#include "handles.hpp"

// Saved states of genomes and populations (pickling, copying, checkpoints).
// A state is a bytes object: a format number, the innovation registries, a
// table of genomes, then what was saved. Loading checks everything it reads
// and refuses a damaged or foreign state with ValueError.

namespace gwpy {
namespace nb = nanobind;

// Format of the states written now; states of other formats are refused, but
// for kOldStateFormat (before min_separation, which then reads as 0).
inline constexpr uint32_t kStateFormat = 2;
inline constexpr uint32_t kOldStateFormat = 1;

// Genome.__getstate__ / __setstate__: the genome with a snapshot of its registry.
nb::bytes genome_state(const PyGenome& genome);
void restore_genome(PyGenome* self, nb::handle state);

// Population.__getstate__ / __setstate__: members, species and their registry.
nb::bytes population_state(const PyPopulation& population);
void restore_population(PyPopulation* self, nb::handle state);

// `_save_run(population, genomes)` and `_load_run(state)`: a population saved
// together with further genomes, so that shared genomes and registries stay shared.
void register_state_functions(nb::module_& module);

}  // namespace gwpy
