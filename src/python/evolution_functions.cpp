#include <optional>
#include <tuple>
#include <vector>

#include "../evocore/compatibility.hpp"
#include "../evocore/genome_batch.hpp"
#include "../evocore/lock_pair.hpp"
#include "../evocore/multi_objective.hpp"
#include "../evocore/mutation.hpp"
#include "../evocore/non_dominated.hpp"
#include "../evocore/objective_table.hpp"
#include "../evocore/reproduction.hpp"
#include "../evocore/selection.hpp"
#include "../evocore/thread_pool.hpp"
#include "convert.hpp"
#include "functions.hpp"
#include "interrupts.hpp"
#include "locking.hpp"

namespace gwpy {
namespace {

// Refuses genomes that draw their numbers from another population's registry:
// their innovation numbers mean other structures here.
void require_members_of(const Population& population, const GenomeList& genomes, const char* argument) {
  for (const auto& genome : genomes)
    if (genome.read()->state != population.state)
      evocore::refuse("argument '" + std::string(argument) + "': a genome of another population");
}

PyObject* mutate_genomes(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"genomes", "pop", nullptr};
    PyObject *genomes_obj = nullptr, *pop_obj = nullptr;
    parse_args(args, kwargs, "OO:mutate_genomes", keywords, &genomes_obj, &pop_obj);
    GenomeList genomes = convert_arg("genomes", [&] { return to_genome_list(genomes_obj); });
    PopulationHandle handle = convert_arg("pop", [&] { return to_population(pop_obj); });
    const InterruptScope interruptible;
    without_gil([&] {
      const auto [config, specialization, registry] = [&] {
        auto population = handle.read();
        return std::tuple{population->config, population->specialization, population->state};
      }();
      const uint64_t base = evocore::thread_rng().next_u64();
      evocore::change_genomes(
          genomes,
          [&](Genome& genome, size_t i) {
            // Most genomes share the population's settings already: no count to bump on a shared line.
            if (!genome.config.shares(config)) genome.config = config;
            if (!genome.specialization.config.shares(specialization.config))
              genome.specialization = specialization;
            evocore::Rng rng(evocore::item_seed(base, i));
            evocore::mutate(genome, rng);
          },
          registry);
    });
    Py_RETURN_NONE;
  });
}

PyObject* make_offspring(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"pop", "count", nullptr};
    PyObject *pop_obj = nullptr, *count_obj = nullptr;
    parse_args(args, kwargs, "OO:make_offspring", keywords, &pop_obj, &count_obj);
    PopulationHandle handle = convert_arg("pop", [&] { return to_population(pop_obj); });
    const uint64_t count = convert_arg("count", [&] { return read_u64(count_obj); });
    if (count > evocore::kMaxPopulationSize)
      raise(PyExc_ValueError, "argument 'count': " + std::to_string(count) +
                                  " is larger than the largest population (" +
                                  std::to_string(evocore::kMaxPopulationSize) + ")");
    const InterruptScope interruptible;
    auto [elites, species_elites, children] = without_gil([&] {
      return handle.update([&](Population& population) {
        return evocore::reproduce(population, count, evocore::thread_rng());
      });
    });
    return nb::make_tuple(genome_list_object(elites), genome_list_object(species_elites),
                          genome_list_object(children))
        .release()
        .ptr();
  });
}

PyObject* select(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"pop", "elites", "species_elites", "children", nullptr};
    PyObject *pop_obj = nullptr, *elites_obj = nullptr, *species_obj = nullptr, *children_obj = nullptr;
    parse_args(args, kwargs, "OOOO:select", keywords, &pop_obj, &elites_obj, &species_obj, &children_obj);
    PopulationHandle handle = convert_arg("pop", [&] { return to_population(pop_obj); });
    GenomeList elites = convert_arg("elites", [&] { return to_genome_list(elites_obj); });
    GenomeList species_elites = convert_arg("species_elites", [&] { return to_genome_list(species_obj); });
    GenomeList children = convert_arg("children", [&] { return to_genome_list(children_obj); });
    const InterruptScope interruptible;
    without_gil([&] {
      handle.update([&](Population& population) {
        require_members_of(population, elites, "elites");
        require_members_of(population, species_elites, "species_elites");
        require_members_of(population, children, "children");
        evocore::select(population, std::move(elites), std::move(species_elites), std::move(children),
                        evocore::thread_rng());
      });
    });
    Py_RETURN_NONE;
  });
}

PyObject* process_multi_objective(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"pop", "genomes", nullptr};
    PyObject *pop_obj = nullptr, *genomes_obj = nullptr;
    parse_args(args, kwargs, "OO:process_multi_objective", keywords, &pop_obj, &genomes_obj);
    PopulationHandle handle = convert_arg("pop", [&] { return to_population(pop_obj); });
    GenomeList genomes = convert_arg("genomes", [&] { return to_genome_list(genomes_obj); });
    const InterruptScope interruptible;
    without_gil([&] { evocore::process_multi_objective(*handle.read(), genomes); });
    Py_RETURN_NONE;
  });
}

PyObject* get_pareto_front(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"genomes", nullptr};
    PyObject* genomes_obj = nullptr;
    parse_args(args, kwargs, "O:get_pareto_front", keywords, &genomes_obj);
    GenomeList genomes = convert_arg("genomes", [&] { return to_genome_list(genomes_obj); });
    std::vector<std::optional<std::vector<double>>> vectors;
    vectors.reserve(genomes.size());
    for (const auto& genome : genomes)
      vectors.push_back(read_locked(genome, [](const Genome& g) { return g.objectives; }));
    std::vector<size_t> lengths;
    for (const auto& vector : vectors) lengths.push_back(vector ? vector->size() : 0);
    evocore::require_equal_lengths(lengths, "argument 'genomes'");
    GenomeList front;
    for (size_t j : evocore::non_dominated(vectors, evocore::EqualVectors::KeepAll))
      front.push_back(genomes[j]);
    return genome_list_object(front).release().ptr();
  });
}

PyObject* genome_compatibility(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"g1", "g2", nullptr};
    PyObject *g1_obj = nullptr, *g2_obj = nullptr;
    parse_args(args, kwargs, "OO:genome_compatibility", keywords, &g1_obj, &g2_obj);
    GenomeHandle g1 = convert_arg("g1", [&] { return to_genome(g1_obj); });
    GenomeHandle g2 = convert_arg("g2", [&] { return to_genome(g2_obj); });
    const double distance = without_gil([&] {
      evocore::ReadPair<Genome> pair(g1, g2);
      return evocore::calculate_compatibility(pair.first(), pair.second());
    });
    return PyFloat_FromDouble(distance);
  });
}

PyMethodDef mutate_genomes_def =
    keyword_def<mutate_genomes>("mutate_genomes", "mutate_genomes(genomes, pop)\n--\n\n");
PyMethodDef make_offspring_def =
    keyword_def<make_offspring>("make_offspring", "make_offspring(pop, count)\n--\n\n");
PyMethodDef select_def =
    keyword_def<select>("select", "select(pop, elites, species_elites, children)\n--\n\n");
PyMethodDef genome_compatibility_def =
    keyword_def<genome_compatibility>("genome_compatibility", "genome_compatibility(g1, g2)\n--\n\n");
PyMethodDef get_pareto_front_def =
    keyword_def<get_pareto_front>("get_pareto_front", "get_pareto_front(genomes)\n--\n\n");
PyMethodDef process_multi_objective_def = keyword_def<process_multi_objective>(
    "process_multi_objective", "process_multi_objective(pop, genomes)\n--\n\n");

}  // namespace

PyMethodDef* mutate_genomes_function() { return &mutate_genomes_def; }
PyMethodDef* make_offspring_function() { return &make_offspring_def; }
PyMethodDef* select_function() { return &select_def; }
PyMethodDef* genome_compatibility_function() { return &genome_compatibility_def; }
PyMethodDef* get_pareto_front_function() { return &get_pareto_front_def; }
PyMethodDef* process_multi_objective_function() { return &process_multi_objective_def; }

}  // namespace gwpy
