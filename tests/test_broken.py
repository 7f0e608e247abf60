"""An engine failure under a write lock breaks exactly the locked object.

Afterwards every use of a broken object raises InternalError; objects that were
only read stay usable.
"""

import faulthandler

import numpy as np
import pytest

import gridweave as gw
from conftest import make_config

COST = np.ones((32, 32))


@pytest.fixture(autouse=True)
def watchdog():
    # A later use that waits on a broken lock instead of raising would hang here.
    faulthandler.dump_traceback_later(60, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


def malformed(pop, enabled=True):
    """Edges that name missing nodes: reading its traces (or, when the edges are
    disabled, removing one of them) fails inside the engine."""
    return pop.create_genome({
        "nodes": [{"id": 1, "data": {"pos": (0, 0), "type": "Fixed"}},
                  {"id": 2, "data": {"pos": (1, 1), "type": "Fixed"}}],
        "edges": [{"id": 10**6, "node1": 1, "node2": 99, "enabled": enabled},
                  {"id": 10**6 + 1, "node1": 2, "node2": 98, "enabled": enabled}],
    })


def fail_in_select(pop):
    gw.select(pop, [], [], [malformed(pop)] + pop.members)


def fail_in_make_offspring(pop):
    member = malformed(pop, enabled=False)
    gw.select(pop, [], [], [member] + pop.members)
    # No edge may be added first: the removal must pick one of the malformed edges.
    failing_mutation = gw.Population(
        make_config(population_size=0, remove_edge_mutation_prob=1.0, add_edge_mutation_prob=0.0)
    )
    with pytest.raises(gw.InternalError):
        gw.mutate_genomes([member], failing_mutation)  # breaks that member only
    gw.make_offspring(pop, 4)


def fail_in_create_genome(pop):
    node = {"data": {"pos": (0, 0), "type": "Fixed"}}
    pop.create_genome({"nodes": [{"id": 2**64 - 1, **node}, node], "edges": []})


def population_uses(pop, genome):
    return {
        "members": lambda: pop.members,
        "species": lambda: pop.species,
        "threshold": lambda: pop.current_species_threshold,
        "get_stats": pop.get_stats,
        "new_node_id": pop.new_node_id,
        "get_edge_id": lambda: pop.get_edge_id(1, 2),
        "create_genome": lambda: pop.create_genome({"nodes": [], "edges": []}),
        "initialize_genome": pop.initialize_genome,
        "get_initial_genomes": pop.get_initial_genomes,
        "augment_diversity": lambda: pop.augment_diversity([genome]),
        "mutate_genomes": lambda: gw.mutate_genomes([genome], pop),
        "make_offspring": lambda: gw.make_offspring(pop, 2),
        "select": lambda: gw.select(pop, [], [], [genome]),
        "process_multi_objective": lambda: gw.process_multi_objective(pop, [genome]),
    }


@pytest.mark.parametrize("strategy", ["NEAT", "NSGA2"])
@pytest.mark.parametrize("failing_call", [fail_in_select, fail_in_make_offspring, fail_in_create_genome])
def test_failure_under_population_write_lock_breaks_the_population(failing_call, strategy):
    if failing_call is fail_in_select and strategy != "NEAT":
        pytest.skip("only NEAT selection reads the graphs (speciation)")
    pop = gw.Population(make_config(population_size=4, selection_strategy=strategy))
    bystander = pop.initialize_genome()
    gw.evaluate_genomes([bystander], COST)
    with pytest.raises(gw.InternalError):
        failing_call(pop)
    for name, use in population_uses(pop, bystander).items():
        with pytest.raises(gw.InternalError, match="broken"):
            use()
            pytest.fail(f"{name} used a broken population")
    # Genomes were only read: they and other populations stay usable.
    assert bystander.fitness > 0
    assert gw.genome_compatibility(bystander, bystander) == 0 and bystander.get_structure()["nodes"]


def test_failure_inside_mutate_genomes_breaks_only_that_genome():
    pop = gw.Population(make_config(population_size=3, add_node_mutation_prob=1.0))
    good, bad = pop.initialize_genome(), malformed(pop)
    with pytest.raises(gw.InternalError):
        gw.mutate_genomes([good, bad], pop)
    for use in (lambda: bad.fitness, bad.get_structure, lambda: gw.mutate_genomes([bad], pop),
                lambda: gw.evaluate_genomes([bad], COST), lambda: gw.genome_compatibility(good, bad)):
        with pytest.raises(gw.InternalError, match="broken"):
            use()
    gw.evaluate_genomes([good], COST)
    assert good.fitness > 0 and len(pop.members) == 3
    gw.select(pop, *gw.make_offspring(pop, 3))


@pytest.mark.parametrize("key", ["id", "edge_id"])
def test_exhausted_numbers_never_wrap(key):
    pop = gw.Population(make_config(population_size=0))
    if key == "id":
        with pytest.raises(gw.InternalError, match="node numbers are exhausted"):
            fail_in_create_genome(pop)
    else:
        a, b = pop.new_node_id(), pop.new_node_id()
        pop.create_genome({"nodes": [], "edges": [{"id": 2**64 - 1, "node1": a, "node2": b, "enabled": True}]})
        assert pop.get_edge_id(a, b) == 2**64 - 1
        with pytest.raises(gw.InternalError, match="edge numbers are exhausted"):
            pop.get_edge_id(a, a + 7)
