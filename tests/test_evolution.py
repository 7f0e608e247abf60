import importlib.util
import math
from pathlib import Path

import numpy as np
import pytest

import gridweave as gw
from conftest import make_config

EMPTY = {"nodes": [], "edges": []}


def blank_genomes(pop, count):
    return [pop.create_genome(EMPTY) for _ in range(count)]


def with_objectives(pop, vectors):
    genomes = blank_genomes(pop, len(vectors))
    for genome, vector in zip(genomes, vectors):
        genome.objectives = vector
    return genomes


@pytest.mark.parametrize("strategy, vectors, expected", [
    ("NSGA2", [[1, 1]], [6.0]),
    ("NSGA2", [[2, 2], [1, 1]], [10.0, 7.0]),
    ("NSGA2", [[1, 3], [2, 2], [3, 1]], [8.0, 6.0, 8.0]),
    ("SPEA2", [[1, 1]], [1 / 1.5]),
    ("SPEA2", [[2, 2], [1, 1]], [1 / (1 + 1 / (math.sqrt(2) + 2)), 1 / (2 + 1 / (math.sqrt(2) + 2))]),
])
def test_process_multi_objective(strategy, vectors, expected):
    pop = gw.Population(make_config(population_size=0, selection_strategy=strategy))
    genomes = with_objectives(pop, vectors)
    gw.process_multi_objective(pop, genomes)
    assert [g.fitness for g in genomes] == pytest.approx(expected)


@pytest.mark.parametrize("strategy", ["NEAT", "NSGA2"])
def test_ranking_skipped_without_objectives_or_under_neat(strategy):
    pop = gw.Population(make_config(population_size=0, selection_strategy=strategy))
    genomes = blank_genomes(pop, 2)
    genomes[1].objectives = [1.0, 2.0]
    for g in genomes:
        g.fitness = 0.5
    gw.process_multi_objective(pop, genomes)
    assert [g.fitness for g in genomes] == [0.5, 0.5]


def test_pareto_front():
    pop = gw.Population(make_config(population_size=0))
    genomes = with_objectives(pop, [[1, 2], [2, 1], [1, 1]])
    front = gw.get_pareto_front(genomes)
    assert [g.objectives for g in front] == [[1.0, 2.0], [2.0, 1.0]]
    assert gw.get_pareto_front(blank_genomes(pop, 3)) == []
    twice = gw.get_pareto_front([genomes[0], genomes[0]])
    assert len(twice) == 2
    with pytest.raises(ValueError, match="argument 'genomes'"):
        gw.get_pareto_front(with_objectives(pop, [[1, 2], [1]]) [::-1])


def test_select_neat_keeps_the_first_candidates_in_order():
    pop = gw.Population(make_config(population_size=10))
    children, elites, species_elites = (blank_genomes(pop, n) for n in (6, 3, 3))
    marks = children + elites + species_elites
    for value, genome in enumerate(marks):
        genome.fitness = -value  # fitness must not matter
    gw.select(pop, elites, species_elites, children)
    assert [g.fitness for g in pop.members] == [-v for v in range(10)]
    assert sum(len(s.members) for s in pop.species) == 10


def test_select_nsga2_sorts_stably_and_allows_duplicates():
    pop = gw.Population(make_config(population_size=4, selection_strategy="NSGA2"))
    for member in pop.members:
        member.fitness = 1.0
    elite = pop.members[0]
    elite.fitness = 5.0
    child = pop.create_genome(EMPTY)
    child.fitness = 1.0
    gw.select(pop, [elite], [], [child])
    fitness = [g.fitness for g in pop.members]
    assert fitness == [5.0, 5.0, 1.0, 1.0]
    assert pop.members[2].get_structure() == child.get_structure()


@pytest.mark.parametrize("vectors, lengths, table", [
    ([], [], np.zeros((0, 0))),
    ([None, []], [-1, 0], np.zeros((2, 0))),
    ([[1, 2], None, [], [3]], [2, -1, 0, 1], [[1, 2], [np.nan, np.nan], [np.nan, np.nan], [3, np.nan]]),
])
def test_batch_reads_match_the_genome_fields(vectors, lengths, table):
    pop = gw.Population(make_config(population_size=0))
    genomes = with_objectives(pop, vectors)
    for i, genome in enumerate(genomes):
        genome.fitness = i / 2
    fitness = gw.get_fitness_values(genomes + genomes[:1])
    assert fitness.dtype == np.float64 and fitness.tolist() == [g.fitness for g in genomes + genomes[:1]]
    values, found = gw.get_objective_vectors(genomes)
    assert found.tolist() == lengths
    np.testing.assert_array_equal(values, np.array(table, dtype=float), strict=True)


@pytest.mark.parametrize("count", [0, 1, 7])
def test_global_tournament_counts(count):
    pop = gw.Population(make_config(population_size=5, mating_strategy="GlobalTournament", num_elites_global=2))
    elites, species_elites, children = gw.make_offspring(pop, count)
    assert species_elites == []
    assert len(elites) + len(children) == max(count, 2)


def test_make_offspring_changes_population_size():
    pop = gw.Population(make_config(population_size=12))
    gw.evaluate_genomes(pop.members, np.ones((32, 32)))
    elites, species_elites, children = gw.make_offspring(pop, 6)
    assert all(g.fitness == 0.0 for g in children)
    gw.mutate_genomes(children, pop)
    gw.select(pop, elites, species_elites, children + blank_genomes(pop, 10))
    assert len(pop.members) == 6


def test_neat_speciation_allots_by_shared_fitness():
    pop = gw.Population(make_config(population_size=10, num_elites_global=0, num_elites_species=0))
    for member in pop.members:
        member.fitness = 1.0
    elites, species_elites, children = gw.make_offspring(pop, 10)
    assert elites == [] and species_elites == []
    assert len(children) >= 10 - len(pop.species)


def test_genome_compatibility_with_itself():
    pop = gw.Population(make_config(population_size=2))
    genome = pop.members[0]
    assert gw.genome_compatibility(genome, genome) == 0.0
    assert gw.genome_compatibility(g1=genome, g2=pop.members[1]) >= 0.0


def test_mutate_genomes_empty_and_elites_untouched():
    pop = gw.Population(make_config(population_size=6, num_elites_global=6))
    assert gw.mutate_genomes([], pop) is None
    elites, _, _ = gw.make_offspring(pop, 6)
    before = [g.get_structure() for g in elites]
    gw.mutate_genomes(elites * 3, pop)
    assert [g.get_structure() for g in elites] == before


def test_failure_marks_the_genome_broken():
    pop = gw.Population(make_config(population_size=2))
    # Each node reaches one missing node, so the reached count passes the connectivity count,
    # then the trace computation meets the missing node.
    genome = pop.create_genome({
        "nodes": [{"id": 1, "data": {"pos": (0, 0), "type": "Fixed"}},
                  {"id": 2, "data": {"pos": (1, 1), "type": "Fixed"}}],
        "edges": [{"id": 10**6, "node1": 1, "node2": 99, "enabled": True},
                  {"id": 10**6 + 1, "node1": 2, "node2": 98, "enabled": True}],
    })
    with pytest.raises(gw.InternalError):
        gw.evaluate_genomes([genome], np.ones((4, 4)))
    with pytest.raises(gw.InternalError):
        _ = genome.fitness
    with pytest.raises(gw.InternalError):
        gw.mutate_genomes([genome], pop)


def test_minimal_example_runs():
    path = Path(__file__).parent.parent / "examples" / "evolve_minimal.py"
    loader_info = importlib.util.spec_from_file_location("evolve_minimal", path)
    module = importlib.util.module_from_spec(loader_info)
    loader_info.loader.exec_module(module)
    history = module.main(generations=3)
    assert len(history) == 4 and history[-1] >= history[0] > 0
