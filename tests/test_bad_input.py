"""Bad input is refused with ValueError (or TypeError) before anything changes,
and the objects involved stay usable."""

import math
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import gridweave as gw
from conftest import make_config

COST = np.ones((32, 32))


def run_isolated(code):
    """Runs `code` (with gw and make_config imported) in its own interpreter."""
    prelude = "import gridweave as gw\nfrom conftest import make_config\n"
    env = {**os.environ, "PYTHONPATH": str(Path(__file__).parent)}
    return subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120, env=env)


UNINITIALISED_CALLS = {
    "make_offspring": "gw.make_offspring(P, 1)",
    "get_genome_mask": "gw.get_genome_mask(G, (4, 4))",
    "mutate_genomes": "gw.mutate_genomes([G], gw.Population(make_config(population_size=0)))",
    "select": "gw.select(P, [], [], [])",
    "process_multi_objective": "gw.process_multi_objective(P, [])",
    "get_pareto_front": "gw.get_pareto_front([G])",
    "genome_compatibility": "gw.genome_compatibility(G, G)",
}


@pytest.mark.parametrize("call", UNINITIALISED_CALLS.values(), ids=UNINITIALISED_CALLS.keys())
def test_uninitialised_objects_are_refused(call):
    result = run_isolated(f"""
        P, G = gw.Population.__new__(gw.Population), gw.Genome.__new__(gw.Genome)
        try:
            {call}
        except TypeError as error:
            assert "argument '" in str(error) and "uninitialized" in str(error), error
            print("refused")
    """)
    assert result.returncode == 0 and result.stdout.strip() == "refused", result.stderr


@pytest.mark.parametrize("changes, key", [
    ({"population_size": 2**62}, "population_size"),
    ({"tournament_size": 2**63}, "tournament_size"),
    ({"grid_size": [2**40, 2**40]}, "grid_size"),
    ({"graph_init": {"Grid": [3000, 3000]}}, "graph_init"),
    ({"grid_size": [8, 8], "graph_init": {"Grid": [16, 16]}}, "graph_init"),
    ({"add_node_mutation_prob": 1.5}, "add_node_mutation_prob"),
    ({"remove_edge_mutation_prob": math.nan}, "remove_edge_mutation_prob"),
    ({"move_node_mutation_prob": -0.1}, "move_node_mutation_prob"),
    ({"compatibility_sigma": 0}, "compatibility_sigma"),
])
def test_configuration_that_cannot_be_meant_is_refused(changes, key):
    with pytest.raises(ValueError, match=f"'{key}'"):
        gw.Population(make_config(**changes))


def test_small_lattices_on_small_grids_stay_accepted():
    gw._core._seed(3)  # the free-cell search draws random cells
    pop = gw.Population(make_config(population_size=2, grid_size=[2, 2], fixed_nodes=[],
                                    graph_init={"Grid": [4, 1]}))
    assert len(pop.initialize_genome().nodes) == 4


def usable(pop):
    gw.evaluate_genomes(pop.members, COST)
    gw.select(pop, *gw.make_offspring(pop, 4))
    return len(pop.members)


@pytest.mark.parametrize("strategy, size, count, error", [
    ("NEATSpeciation", 10, 2**62, ValueError),
    ("GlobalTournament", 10, 2**62, ValueError),
    ("GlobalTournament", 0, 4, ValueError),
])
def test_make_offspring_refusals_leave_the_population_usable(strategy, size, count, error):
    pop = gw.Population(make_config(population_size=size, mating_strategy=strategy))
    with pytest.raises(error, match="argument 'count'"):
        gw.make_offspring(pop, count)
    if size:
        assert usable(pop) == 4
    assert gw.make_offspring(pop, 0) is not None


def test_select_refuses_genomes_of_another_population():
    pop, other = gw.Population(make_config()), gw.Population(make_config())
    before = [g.get_structure() for g in pop.members]
    for argument in ("elites", "species_elites", "children"):
        lists = {"elites": [], "species_elites": [], "children": [], argument: other.members[:3]}
        with pytest.raises(ValueError, match=f"argument '{argument}'"):
            gw.select(pop, **lists)
    assert [g.get_structure() for g in pop.members] == before
    assert usable(pop) == 4


def structure_with_edge(edge_id, node1, node2):
    nodes = [{"id": n, "data": {"pos": (n, n), "type": "Flexible"}} for n in {node1, node2}]
    return {"nodes": nodes, "edges": [{"id": edge_id, "node1": node1, "node2": node2, "enabled": True}]}


def test_create_genome_refuses_an_edge_id_held_by_another_pair():
    pop = gw.Population(make_config(population_size=0))
    a, b, c = (pop.new_node_id() for _ in range(3))
    taken = pop.get_edge_id(a, b)
    with pytest.raises(ValueError, match=f"edge id {taken}"):
        pop.create_genome(structure_with_edge(taken, a, c))
    with pytest.raises(ValueError, match="edge id 500"):
        pop.create_genome({"nodes": [], "edges": [structure_with_edge(500, a, b)["edges"][0],
                                                  structure_with_edge(500, a, c)["edges"][0]]})
    assert pop.get_edge_id(b, a) == taken and pop.new_node_id() == c + 1
    # The number already held by the same pair, and a number not in use, are accepted.
    assert list(pop.create_genome(structure_with_edge(taken, b, a)).edges) == [taken]
    assert list(pop.create_genome(structure_with_edge(10**4, a, c)).edges) == [10**4]
    assert pop.get_edge_id(c, a) == 10**4


@pytest.mark.parametrize("vectors", [[[1.0, 2.0], [1.0]], [[1.0], [1.0, 2.0]], [[1.0, 3.0], None, [3.0, 1.0], [5.0]]])
@pytest.mark.parametrize("strategy", ["NSGA2", "SPEA2"])
def test_objective_vectors_of_different_lengths_are_refused(vectors, strategy):
    pop = gw.Population(make_config(population_size=0, selection_strategy=strategy))
    genomes = [pop.initialize_genome() for _ in vectors]
    for genome, vector in zip(genomes, vectors):
        genome.objectives, genome.fitness = vector, 7.0
    with pytest.raises(ValueError, match="argument 'genomes'"):
        gw.process_multi_objective(pop, genomes)
    assert [g.fitness for g in genomes] == [7.0] * len(vectors)
    for order in (genomes, genomes[::-1]):
        with pytest.raises(ValueError, match="argument 'genomes'"):
            gw.get_pareto_front(order)
