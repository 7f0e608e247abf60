"""Pickling and copying of genomes and populations, and refusal of damaged states."""

import copy
import os
import pickle
import struct

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import gridweave as gw
from conftest import make_config

FUZZ_EXAMPLES = int(os.environ.get("GRIDWEAVE_FUZZ_EXAMPLES", "300"))


def evolved_population(generations=3, **changes):
    """A population a few generations in, evaluated, with several species."""
    pop = gw.Population(make_config(population_size=16, **changes))
    cost = np.ones((32, 32))
    for _ in range(generations):
        gw.evaluate_genomes(pop.members, cost)
        elites, species_elites, children = gw.make_offspring(pop, 16)
        gw.mutate_genomes(children, pop)
        gw.evaluate_genomes(children, cost)
        gw.select(pop, elites, species_elites, children)
    gw.evaluate_genomes(pop.members, cost)
    return pop


def genome_view(genome):
    """Everything observable of a genome, in table order."""
    return (
        [(i, n.data.pos, n.data.type_) for i, n in genome.nodes.items()],
        [(i, e.node1, e.node2, e.enabled) for i, e in genome.edges.items()],
        genome.fitness,
        genome.objectives,
    )


def population_view(pop):
    return (
        [genome_view(g) for g in pop.members],
        [([genome_view(g) for g in s.members], genome_view(s.representative)) for s in pop.species],
        pop.current_species_threshold,
        pop.get_stats(),
    )


@pytest.mark.parametrize("copier", [lambda o: pickle.loads(pickle.dumps(o)), copy.deepcopy, copy.copy])
def test_population_round_trip_keeps_everything_and_the_numbering(copier):
    pop = evolved_population(selection_strategy="NEAT")
    pop.members[0].objectives = [1.5, 2.5]
    loaded = copier(pop)
    assert population_view(loaded) == population_view(pop)
    # The next numbers equal the ones the original hands out, and the two registries are independent.
    assert [loaded.new_node_id(), loaded.get_edge_id(10**6, 10**6 + 1)] == [
        pop.new_node_id(),
        pop.get_edge_id(10**6, 10**6 + 1),
    ]
    loaded.new_node_id()
    assert loaded.new_node_id() == pop.new_node_id() + 1


def test_loaded_population_shares_one_registry_and_one_object_per_genome():
    pop = evolved_population()
    loaded = pickle.loads(pickle.dumps(pop))
    species_member = loaded.species[0].members[0]
    member = next(g for g in loaded.members if genome_view(g) == genome_view(species_member))
    member.fitness = -7.0  # a member that is also a species member is one genome
    assert species_member.fitness == -7.0
    # Children of the loaded population draw from its registry, not the original's.
    before = pop.new_node_id()
    children = gw.make_offspring(loaded, 16)[2]
    gw.mutate_genomes(children, loaded)
    assert pop.new_node_id() == before + 1


def test_genome_round_trip_carries_its_own_registry():
    # No removals: the node that the mutation adds must stay to be checked.
    pop = gw.Population(make_config(add_node_mutation_prob=1.0, remove_node_mutation_prob=0.0,
                                    remove_node_single_mutation_prob=0.0))
    genome = pop.initialize_genome()
    genome.objectives = [0.25, float("inf")]
    loaded = pickle.loads(pickle.dumps(genome))
    assert genome_view(loaded) == genome_view(genome)
    clone = copy.deepcopy(genome)
    clone.fitness = 123.0
    assert genome.fitness != 123.0
    # The loaded genome draws from its own copy of the registry, which goes on
    # from the same counters as the population's.
    next_node = pop.new_node_id()
    gw.mutate_genomes([loaded], pop)
    assert max(loaded.nodes) == next_node
    assert pop.new_node_id() == next_node + 1


def test_run_state_keeps_shared_genomes_shared():
    pop = evolved_population()
    best = pop.members[3]
    outsider = pop.create_genome({"nodes": [{"data": {"pos": (1, 1), "type": "Fixed"}}], "edges": []})
    loaded, (best_again, outsider_again, best_twice) = gw._core._load_run(
        gw._core._save_run(pop, [best, outsider, best])
    )
    best_again.fitness = -1.0
    assert best_twice.fitness == -1.0
    assert any(g.fitness == -1.0 for g in loaded.members)
    assert genome_view(outsider_again) == genome_view(outsider)


def test_elite_marks_and_adjusted_fitness_survive():
    """Elite genomes stay unchanged by mutation after loading."""
    pop = evolved_population()
    elites = gw.make_offspring(pop, 16)[0]
    assert elites
    loaded = pickle.loads(pickle.dumps(elites[0]))
    before = genome_view(loaded)
    gw.mutate_genomes([loaded], pop)
    assert genome_view(loaded) == before


def valid_states():
    pop = evolved_population(generations=1)
    return [pop.__getstate__(), pop.members[0].__getstate__()]


STATES = valid_states()


@settings(max_examples=FUZZ_EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    which=st.integers(0, 1),
    edits=st.lists(st.tuples(st.integers(0, 10**9), st.integers(0, 255)), max_size=6),
    cut=st.one_of(st.none(), st.integers(0, 10**9)),
)
def test_damaged_states_raise_value_error(which, edits, cut):
    state = bytearray(STATES[which])
    for at, value in edits:
        state[at % len(state)] = value
    if cut is not None:
        state = state[: cut % len(state)]
    cls = (gw.Population, gw.Genome)[which]
    obj = cls.__new__(cls)
    try:
        obj.__setstate__(bytes(state))
    except ValueError:
        return
    # A state that still loads gives a usable object.
    pickle.dumps(obj)


@pytest.mark.parametrize(
    "cls, state",
    [
        (gw.Genome, STATES[0]),  # a population's state
        (gw.Population, STATES[1]),  # a genome's state
        (gw.Genome, b""),
        (gw.Population, "not bytes"),
        (gw.Genome, STATES[1][:4] + b"\x63\x00\x00\x00" + STATES[1][8:]),  # another format
    ],
)
def test_foreign_states_raise_value_error(cls, state):
    with pytest.raises(ValueError, match="not a valid gridweave state"):
        cls.__new__(cls).__setstate__(state)


def test_evolution_result_round_trip():
    from gridweave import evolve
    from gridweave.config import make_config as full_config
    from gridweave.problems import make_terrain

    p = make_terrain((16, 16), 3, seed=0)
    result = evolve(p.cost_map, full_config(p.grid_size, p.terminals, population_size=8), 2,
                    progress=False, seed=4)
    again = pickle.loads(pickle.dumps(result))
    assert again.best_structure == result.best_structure and again.history == result.history
    assert genome_view(again.best_genome) == genome_view(result.best_genome)
    assert population_view(again.population) == population_view(result.population)


def table_heads(state, genome):
    """Offsets in `state` of the bucket counts of the genome's node and edge tables
    (a table is saved as its bucket count, its size, then its entries)."""
    heads = []
    for table, entry in ((genome.nodes, lambda i, n: struct.pack("<Qii", i, *n.data.pos)),
                         (genome.edges, lambda i, e: struct.pack("<QQQ?", i, e.node1, e.node2,
                                                                  e.enabled))):
        pattern = struct.pack("<Q", len(table)) + entry(*next(iter(table.items())))
        at = state.find(pattern)
        while at >= 0:
            heads.append(at - 8)
            at = state.find(pattern, at + 1)
    return heads


def with_edge_end(state, genome, end, node):
    """`state` with one end of the genome's first edge changed to `node`."""
    edge_id, edge = next(iter(genome.edges.items()))
    old = struct.pack("<QQQ?", edge_id, edge.node1, edge.node2, edge.enabled)
    ends = [edge.node1, edge.node2]
    ends[end] = node
    assert state.count(old) >= 1
    return state.replace(old, struct.pack("<QQQ?", edge_id, *ends, edge.enabled))


@pytest.mark.parametrize("end", [0, 1])
@pytest.mark.parametrize("missing", ["issued elsewhere", "never issued", "zero"])
@pytest.mark.parametrize("cls", [gw.Genome, gw.Population])
def test_an_edge_naming_a_node_its_genome_lacks_is_refused(end, missing, cls):
    pop = evolved_population(generations=1)
    genome = pop.members[0]
    issued = {n for g in pop.members for n in g.nodes} - set(genome.nodes)
    node = {"issued elsewhere": min(issued, default=max(genome.nodes) + 1),
            "never issued": 2**40, "zero": 0}[missing]
    state = (genome if cls is gw.Genome else pop).__getstate__()
    damaged = with_edge_end(state, genome, end, node)
    with pytest.raises(ValueError, match=f"names node {node}, which its genome lacks"):
        cls.__new__(cls).__setstate__(damaged)


@pytest.mark.parametrize("claim, loads", [
    ("every table 2**20", False),  # a small state asking for gigabytes
    ("one table as many as the state has bytes", False),
    ("one table 1000", True),
])
def test_bucket_counts_are_bounded_by_the_state_size(claim, loads):
    pop = evolved_population(generations=1)
    state = pop.__getstate__()
    genomes = list(pop.members) + [s.representative for s in pop.species]
    heads = sorted({h for g in genomes for h in table_heads(state, g)})
    assert len(heads) >= 2 * len(pop.species)
    edited = bytearray(state)
    for head in heads if claim.startswith("every") else heads[:1]:
        struct.pack_into("<Q", edited, head, 2**20 if "2**20" in claim else
                         len(state) if "bytes" in claim else 1000)
    loaded = gw.Population.__new__(gw.Population)
    if not loads:
        with pytest.raises(ValueError, match="buckets, more than the state could fill"):
            loaded.__setstate__(bytes(edited))
        return
    loaded.__setstate__(bytes(edited))
    tables = [(sorted(g.nodes), sorted(g.edges)) for g in pop.members]
    assert [(sorted(g.nodes), sorted(g.edges)) for g in loaded.members] == tables


# A genome's state of format 1, as written before the settings were written
# from the key table: it must load, and be written in the current format with
# nothing changed but the format number and min_separation (0) after each c3.
PINNED_GENOME_STATE = bytes.fromhex(
    "47575354010000000101000000000000001e0000000000000029000000000000000b0000000000000001000000000000"
    "000300000000000000080000000000000001000000000000001e00000000000000280000000000000002000000000000"
    "000700000000000000090000000000000002000000000000001e00000000000000290000000000000003000000000000"
    "000400000000000000010000000000000003000000000000000600000000000000020000000000000004000000000000"
    "000500000000000000030000000000000004000000000000000700000000000000040000000000000005000000000000"
    "000800000000000000050000000000000006000000000000000700000000000000060000000000000007000000000000"
    "00080000000000000007000000000000000b000000000000000100000000000000030000000000000004000000000000"
    "000200000000000000030000000000000006000000000000000300000000000000040000000000000005000000000000"
    "000400000000000000040000000000000007000000000000000500000000000000050000000000000008000000000000"
    "000600000000000000060000000000000007000000000000000700000000000000070000000000000008000000000000"
    "000800000000000000010000000000000003000000000000000900000000000000020000000000000007000000000000"
    "00280000000000000001000000000000001e00000000000000290000000000000002000000000000001e000000000000"
    "00010000000000000000000000000000000000000000000000333333333333d33f9a9999999999c93f9a9999999999b9"
    "3f9a9999999999b93f9a9999999999b93f01000000000000000200000000000000000000000000e03f03000000000000"
    "00000000000000084000000000000000000000020001000000000000f03f000000000000f03f08000000000000000600"
    "000000000000020000000000000001000000010000000600000004000000333333333333d33f00000000000000400101"
    "020000000300000004000000000000000000000000000440080000000000000006000000000000000200000000000000"
    "01000000010000000600000004000000333333333333d33f000000000000004001010200000003000000040000000000"
    "000000000000000004400000000000000000000000000000000000000d0000000000000003000000000000001e000000"
    "00000000030000000200000001020000000000000006000000040000000001000000000000000100000001000000000d"
    "00000000000000020000000000000029000000000000001e000000000000000200000000000000002800000000000000"
    "01000000000000001e0000000000000001000000000000f83f00"
)


def test_a_pinned_genome_state_loads_and_is_written_in_the_current_format():
    genome = gw.Genome.__new__(gw.Genome)
    genome.__setstate__(PINNED_GENOME_STATE)
    assert sorted(genome.nodes) == [1, 2, 30] and genome.fitness == 1.5
    assert (genome.nodes[30].data.pos, genome.edges[41].enabled) == ((3, 2), False)
    c3 = struct.pack("<d", 2.5)
    assert PINNED_GENOME_STATE.count(c3) == 2  # the genome's settings and its specialization's
    expected = PINNED_GENOME_STATE[:4] + struct.pack("<I", 2) + PINNED_GENOME_STATE[8:]
    assert genome.__getstate__() == expected.replace(c3, c3 + bytes(8))
