import inspect
import math
import threading
from operator import itemgetter

import numpy as np
import pytest

import gridweave as gw
from conftest import make_config

CLASSES = ["Genome", "Population", "Species", "Node", "NodeData", "Edge"]
FUNCTIONS = {
    "evaluate_genomes": "(genomes, cost_map, *, existing=None, regions=None)",
    "mutate_genomes": "(genomes, pop)",
    "make_offspring": "(pop, count)",
    "select": "(pop, elites, species_elites, children)",
    "get_genome_mask": "(genome, shape)",
    "get_trace_difference": "(g1, g2, shape, sigma)",
    "genome_compatibility": "(g1, g2)",
    "get_pareto_front": "(genomes)",
    "process_multi_objective": "(pop, genomes)",
    "least_cost_distances": "(cost_map, sources)",
    "least_cost_path": "(cost_map, start, end)",
    "steiner_network": "(cost_map, terminals, method='best', roots=4, lookahead=64, deadline=None)",
    "steiner_candidates": "(cost_map, terminals, method='best', roots=4, lookahead=64, deadline=None)",
    "spanning_network": "(cost_map, terminals)",
    "polish_genomes": "(genomes, cost_map, radius=2, max_rounds=64, split_edges=True, exchange=False,"
                      " deadline=None, keep_redundancy=False, *, existing=None, regions=None)",
    "redundancy_chain": "(genome, cost_map, steps=64, routed=False, deadline=None)",
    "ring_network": "(cost_map, terminals, lookahead=64, deadline=None)",
    "augment_tree": "(genome, cost_map, neighbours=8, deadline=None)",
    "get_fitness_values": "(genomes)",
    "get_objective_vectors": "(genomes)",
    "network_costs": "(genomes, cost_map, *, existing=None)",
}


def two_node_structure(enabled=True, ids=True):
    nodes = [
        {"id": 1, "data": {"pos": (0, 0), "type": "Fixed"}},
        {"id": 2, "data": {"pos": (3, 0), "type": "Flexible"}},
    ]
    edges = [{"id": 1, "node1": 1, "node2": 2, "enabled": enabled}]
    if not ids:
        for entry in nodes + edges:
            del entry["id"]
        edges[0]["node1"], edges[0]["node2"] = 1, 2
    return {"nodes": nodes, "edges": edges}


@pytest.fixture
def pop():
    return gw.Population(make_config())


def test_module_exports_and_signatures():
    python_level = {"evolve", "make_config", "EvolutionResult", "__version__", "resume"}
    assert set(gw.__all__) == set(CLASSES) | set(FUNCTIONS) | {"InternalError"} | python_level
    for name, signature in FUNCTIONS.items():
        function = getattr(gw, name)
        assert function.__text_signature__ == signature
        assert str(inspect.signature(function)) == signature
    assert gw.Population.get_edge_id.__text_signature__ == "($self, n1, n2)"
    assert gw.Population.create_genome.__doc__.startswith("Creates a genome from a Python dict structure")


@pytest.mark.parametrize("name", ["Genome", "Species", "Node", "NodeData", "Edge"])
def test_classes_without_constructor(name):
    with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
        getattr(gw, name)()


@pytest.mark.parametrize("name", CLASSES)
def test_classes_are_final_and_have_no_dict(name):
    cls = getattr(gw, name)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert "__dict__" not in dir(cls)


def test_uninitialised_instance_is_refused():
    with pytest.raises(TypeError):
        _ = gw.Genome.__new__(gw.Genome).fitness


def test_population_basics(pop):
    assert len(pop.members) == 10
    assert len(pop.get_initial_genomes()) == 10
    assert pop.current_species_threshold > 0
    best, mean, n_species, per_species = pop.get_stats()
    assert (best, mean) == (0.0, 0.0)
    assert n_species == len(pop.species) == len(per_species)
    for species in pop.species:
        assert species.members
        assert isinstance(species.representative, gw.Genome)


def test_single_member_population_has_one_species():
    pop = gw.Population(make_config(population_size=1))
    assert len(pop.members) == 1 and len(pop.species) == 1


def test_start_genome_sets_registry_counters(pop):
    structure = {
        "nodes": [{"id": 40, "data": {"pos": (1, 1), "type": "Fixed"}},
                  {"id": 3, "data": {"pos": (5, 5), "type": "Fixed"}}],
        # a number no mutation of the fixture's members has drawn yet
        "edges": [{"id": 1200, "node1": 3, "node2": 40, "enabled": True}],
    }
    start = pop.create_genome(structure)
    start.fitness = 5.0
    zero = make_config(add_node_mutation_prob=0.0, add_edge_mutation_prob=0.0, remove_edge_mutation_prob=0.0,
                       remove_node_mutation_prob=0.0, remove_node_single_mutation_prob=0.0,
                       move_node_mutation_prob=0.0)
    fresh = gw.Population(zero, start_genome=start)
    assert fresh.new_node_id() == 41
    assert fresh.get_edge_id(40, 3) == 1200
    assert fresh.get_edge_id(1000, 1001) == 1201
    assert all(m.fitness == 0.0 and m.objectives is None for m in fresh.members)


def test_create_genome_numbering(pop):
    first = pop.new_node_id()
    genome = pop.create_genome({
        "nodes": [{"data": {"pos": (0, 0), "type": "Fixed"}}, {"data": {"pos": (1, 1), "type": "Flexible"}}],
        "edges": [{"node1": first + 1, "node2": first + 2, "enabled": True}],
    })
    assert sorted(genome.nodes) == [first + 1, first + 2]
    (edge_id,) = genome.edges
    assert pop.get_edge_id(first + 2, first + 1) == edge_id

    pop.create_genome({"nodes": [{"id": 100, "data": {"pos": (0, 0), "type": "Fixed"}},
                                 {"id": 101, "data": {"pos": (0, 1), "type": "Fixed"}}], "edges": []})
    assert pop.new_node_id() >= 102
    pop.create_genome({"nodes": [], "edges": [{"id": 10**5, "node1": 3, "node2": 5, "enabled": True}]})
    assert pop.get_edge_id(5, 3) == 10**5


def test_duplicate_node_ids_keep_the_last(pop):
    genome = pop.create_genome({"nodes": [{"id": 9, "data": {"pos": (0, 0), "type": "Fixed"}},
                                          {"id": 9, "data": {"pos": (4, 4), "type": "Flexible"}}], "edges": []})
    assert genome.nodes[9].data.pos == (4, 4)


def test_structure_round_trip_and_reprs(pop):
    genome = pop.create_genome(two_node_structure(enabled=False))
    structure = genome.get_structure()
    assert list(structure) == ["nodes", "edges"]
    again = pop.create_genome(structure).get_structure()
    key = itemgetter("id")
    assert sorted(again["nodes"], key=key) == sorted(structure["nodes"], key=key)
    assert sorted(again["edges"], key=key) == sorted(structure["edges"], key=key)
    node = genome.nodes[1]
    assert repr(node) == "Node(id=1, data=NodeData(pos=(0, 0), type=Fixed))"
    assert node.data.type_ == "Fixed" and node.data.pos == (0, 0)
    assert repr(genome.edges[1]) == "Edge(id=1, 1 -> 2, enabled=false)"
    negative = pop.create_genome({"nodes": [{"id": 5, "data": {"pos": (-1, 4), "type": "Flexible"}}], "edges": []})
    assert repr(negative.nodes[5].data) == "NodeData(pos=(-1, 4), type=Flexible)"


def test_genome_properties(pop):
    genome = pop.members[0]
    other_view = pop.members[0]
    assert genome is not other_view
    genome.fitness = 2.5
    assert other_view.fitness == 2.5
    with pytest.raises(TypeError, match="^argument 'v': "):
        genome.fitness = "high"
    assert genome.fitness == 2.5
    assert genome.objectives is None
    genome.objectives = [1.0, 2]
    assert other_view.objectives == [1.0, 2.0]
    with pytest.raises(TypeError, match="^argument 'v': "):
        genome.objectives = "12"
    genome.objectives = None
    assert genome.objectives is None
    for name in ("fitness", "objectives"):
        with pytest.raises(AttributeError, match="can't delete attribute"):
            delattr(genome, name)


def test_species_representative_is_a_copy(pop):
    species = pop.species[0]
    representative = species.representative
    representative.fitness = 123.0
    assert species.representative.fitness != 123.0
    assert all(m.fitness != 123.0 for m in pop.members)


@pytest.mark.parametrize("fitness, expected", [
    ([-1.0, -2.0], (0.0, -1.5)),
    ([1.0, float("nan"), 3.0], (3.0, float("nan"))),
])
def test_get_stats(fitness, expected):
    pop = gw.Population(make_config(population_size=len(fitness)))
    for genome, value in zip(pop.members, fitness):
        genome.fitness = value
    best, mean, _, _ = pop.get_stats()
    assert best == expected[0]
    assert (math.isnan(mean) and math.isnan(expected[1])) or mean == expected[1]


def test_empty_population_stats():
    pop = gw.Population(make_config(population_size=0))
    best, mean, n_species, per_species = pop.get_stats()
    assert best == 0.0 and mean == 0.0 and math.copysign(1, mean) == -1.0
    assert n_species == 0 and per_species == []


@pytest.mark.parametrize("call, prefix, exc", [
    (lambda p: gw.get_pareto_front("abc"), "argument 'genomes': ", TypeError),
    (lambda p: gw.get_pareto_front([1]), "argument 'genomes': 'int' object cannot be converted to 'Genome'", TypeError),
    (lambda p: gw.get_fitness_values([1]), "argument 'genomes': 'int' object cannot be converted to 'Genome'",
     TypeError),
    (lambda p: gw.get_objective_vectors(3), "argument 'genomes': ", TypeError),
    (lambda p: gw.network_costs(p.members, "map"), "argument 'cost_map': ", TypeError),
    (lambda p: gw.make_offspring(1, 3), "argument 'pop': 'int' object cannot be converted to 'Population'", TypeError),
    (lambda p: gw.make_offspring(p, 2.0), "argument 'count': ", TypeError),
    (lambda p: p.create_genome([]), "argument 'structure': 'list' object cannot be converted to 'PyDict'", TypeError),
    (lambda p: gw.Population({}, start_genome=3), "argument 'start_genome': ", TypeError),
    (lambda p: gw.get_genome_mask(p.members[0], [4, 4]), "argument 'shape': ", TypeError),
    (lambda p: gw.evaluate_genomes(p.members, np.zeros((4, 4), np.int32)), "argument 'cost_map': ", TypeError),
    (lambda p: gw.evaluate_genomes(p.members, np.zeros((4, 4, 1))), "argument 'cost_map': ", TypeError),
    (lambda p: p.get_edge_id(-1, 2), "", OverflowError),
])
def test_argument_errors(pop, call, prefix, exc):
    with pytest.raises(exc) as info:
        call(pop)
    assert str(info.value).startswith(prefix)


def test_keyword_arguments_work(pop):
    assert gw.select(pop=pop, elites=[], species_elites=[], children=[]) is None
    with pytest.raises(TypeError):
        gw.select(pop, [], [])


@pytest.mark.parametrize("cell, fitness", [((7, 7), 16 / 6), ((2, 0), 0.0)])
@pytest.mark.parametrize("layout", [np.ascontiguousarray, np.asfortranarray])
def test_nan_cell_is_impassable_where_touched(pop, cell, fitness, layout):
    genome = pop.create_genome(two_node_structure())
    cost = np.ones((8, 8))
    cost[cell] = np.nan
    gw.evaluate_genomes([genome], layout(cost))
    assert genome.fitness == pytest.approx(fitness)


def test_evaluation_functions(pop):
    genome = pop.create_genome(two_node_structure())
    assert gw.evaluate_genomes([], np.ones((4, 4))) is None
    cost = np.arange(16.0).reshape(4, 4)
    gw.evaluate_genomes([genome], cost)
    c_order = genome.fitness
    gw.evaluate_genomes([genome], np.asfortranarray(cost))
    assert genome.fitness == pytest.approx(c_order)
    gw.evaluate_genomes([genome], np.ones((4, 8))[:, ::2])
    assert genome.fitness == pytest.approx(1 / 0.75)
    mask = gw.get_genome_mask(genome, (4, 4))
    assert mask.flags.c_contiguous and mask.dtype == np.float64
    assert mask[:, 0].tolist() == [0.25, 0.125, 0.125, 0.25] and mask.sum() == pytest.approx(0.75)
    assert gw.get_genome_mask(genome, (0, 5)).shape == (0, 5)
    # Map units: the evaluation's cost without the 1 / (rows + columns) scale, and the mask's dot product.
    gw.evaluate_genomes([genome], cost)
    units = gw.network_costs([genome, genome], cost)
    assert units.tolist() == [units[0]] * 2 and units[0] == pytest.approx(8 / c_order)
    assert units[0] == pytest.approx(float(np.sum(mask * cost)) * 8)
    assert gw.network_costs([], cost).shape == (0,)
    assert np.array_equal(gw.get_trace_difference(genome, genome, (10, 10), 3), np.zeros((3, 3)))
    assert gw.get_trace_difference(genome, genome, (5, 5), 10).shape == (0, 0)
    with pytest.raises(gw.InternalError):
        gw.get_trace_difference(genome, genome, (5, 5), 0)


def two_node_genome(pop, p1, p2):
    return pop.create_genome({"nodes": [{"id": 1, "data": {"pos": p1, "type": "Fixed"}},
                                        {"id": 2, "data": {"pos": p2, "type": "Fixed"}}],
                              "edges": [{"id": 1, "node1": 1, "node2": 2, "enabled": True}]})


def sampled_mask(p1, p2, shape):
    """The trace rule sample by sample: nearest index (halves away from zero), negatives on index 0."""
    (x1, y1), (x2, y2) = p1, p2
    major, minor = max(abs(x2 - x1), abs(y2 - y1)), min(abs(x2 - x1), abs(y2 - y1))
    t = np.arange(major + 1) / major
    u, v = (np.maximum(np.trunc(c + np.copysign(0.5, c)), 0).astype(np.int64)
            for c in (t * x2 + (1 - t) * x1, t * y2 + (1 - t) * y1))
    inside = (u < shape[0]) & (v < shape[1])
    mask = np.zeros(shape)
    np.add.at(mask, (u[inside], v[inside]), np.hypot(major, minor) / major)
    for x, y in (p1, p2):
        if 0 <= x < shape[0] and 0 <= y < shape[1]:
            mask[x, y] += 1.0
    return mask / sum(shape)


@pytest.mark.parametrize("p1, p2", [
    ((-200_000, 5), (3, 5)),            # along a row, far beyond the low border
    ((-150_000, -90_000), (12, 7)),     # both axes saturated, then across the grid
    ((-120_000, 2), (-119_990, 40)),    # the minor axis crosses the grid while the major is saturated
    ((5, -170_000), (-3, 20)),
])
def test_edges_far_beyond_the_low_border_follow_the_sample_rule(pop, p1, p2):
    mask = gw.get_genome_mask(two_node_genome(pop, p1, p2), (16, 16))
    np.testing.assert_allclose(mask, sampled_mask(p1, p2, (16, 16)), rtol=1e-12, atol=1e-12)


def test_edge_from_the_int32_corner_is_counted_at_once(pop):
    # 2^31 + 1 samples fall on cell (0, 5): one multiplication, not billions of additions.
    genome = two_node_genome(pop, (-2**31, 5), (3, 5))
    mask = gw.get_genome_mask(genome, (8, 8))
    assert mask[0, 5] == (2**31 + 1) / 16 and mask[3, 5] == 2 / 16
    gw.evaluate_genomes([genome], np.ones((8, 8)))
    assert genome.fitness == pytest.approx(16 / (2**31 + 1 + 1 + 1 + 2))
    assert gw.genome_compatibility(genome, genome) == 0


def test_malformed_genome_raises_internal_error(pop):
    genome = pop.create_genome({"nodes": [{"id": 1, "data": {"pos": (0, 0), "type": "Fixed"}}],
                                "edges": [{"id": 10**6, "node1": 1, "node2": 99, "enabled": True}]})
    with pytest.raises(gw.InternalError):
        gw.get_genome_mask(genome, (4, 4))


def test_evaluation_releases_the_interpreter_lock():
    pop = gw.Population(make_config(population_size=200, grid_size=[512, 512], graph_init={"Grid": [6, 6]}))
    cost = np.random.default_rng(0).random((512, 512))
    counter = 0
    running = True

    def spin():
        nonlocal counter
        while running:
            counter += 1

    thread = threading.Thread(target=spin)
    thread.start()
    try:
        before = counter
        gw.evaluate_genomes(pop.members * 5, cost)
        progressed = counter - before
    finally:
        running = False
        thread.join()
    assert progressed > 100
