"""Bridgeless seeds, the polish that keeps redundancy, feasible fronts and the price of redundancy."""

import math

import numpy as np
import pytest

import gridweave as gw
from gridweave import evolve, routes
from gridweave.config import make_config
from gridweave.measure import network_cost
from gridweave.pareto import Archive, front_point
from gridweave.problems import make_barriers, make_mountains, make_terrain

PROBLEMS = [(make_terrain, (40, 40), 5, 1), (make_mountains, (48, 48), 6, 2), (make_barriers, (48, 40), 7, 3),
            (make_terrain, (64, 64), 9, 4)]


def bridge_config(problem, **options):
    return make_config(problem.grid_size, problem.terminals, evaluation_strategy="MultiObjectiveBridge", **options)


def tree_genome(problem, config):
    genome = routes.genome_from_structure(config, routes.start_network(problem.cost_map, config))
    gw.evaluate_genomes([genome], problem.cost_map)
    return genome


@pytest.fixture(scope="module", params=PROBLEMS, ids=lambda p: f"{p[0].__name__}-{p[2]}")
def problem(request):
    build, size, terminals, seed = request.param
    return build(size, terminals, seed=seed)


def test_ring_and_augmented_tree_have_no_bridges_and_hold_every_terminal(problem):
    config = bridge_config(problem)
    ring = routes.genome_from_structure(config, routes.ring(problem.cost_map, problem.terminals))
    augmented = gw.augment_tree(tree_genome(problem, config), problem.cost_map)
    assert augmented is not None
    gw.evaluate_genomes([ring, augmented], problem.cost_map)
    for genome in (ring, augmented):
        assert genome.objectives[1] == 1.0 and genome.fitness > 0
        fixed = sorted(tuple(n.data.pos) for n in genome.nodes.values() if n.data.type_ == "Fixed")
        assert fixed == sorted(map(tuple, problem.terminals))


def test_ring_carries_the_cost_the_evaluation_gives(problem):
    structure = routes.ring(problem.cost_map, problem.terminals)
    genome = routes.genome_from_structure(bridge_config(problem), structure)
    gw.evaluate_genomes([genome], problem.cost_map)
    assert structure["cost"] == pytest.approx(1.0 / genome.fitness, rel=1e-12)


@pytest.mark.parametrize("cells,edges", [([(0, 0)], 0), ([(0, 0), (5, 5)], 0), ([(0, 0), (5, 5), (0, 9)], 3)])
def test_ring_of_few_terminals(cells, edges):
    assert len(routes.ring(np.ones((10, 10)), cells)["edges"]) >= edges
    if len(cells) < 3:
        assert routes.ring(np.ones((10, 10)), cells)["edges"] == []


def test_ring_refuses_terminals_that_cannot_meet():
    cost = np.ones((12, 12))
    cost[:, 6] = np.inf
    with pytest.raises(ValueError, match="cannot be joined"):
        routes.ring(cost, [(1, 1), (10, 1), (5, 10)])


def networks_along_the_front(problem, config):
    """Trees, greedy loops, the augmented tree and the ring, each with random node moves."""
    tree = tree_genome(problem, config)
    genomes = [tree, *gw.redundancy_chain(tree, problem.cost_map, 6, routed=True),
               gw.augment_tree(tree, problem.cost_map),
               routes.genome_from_structure(config, routes.ring(problem.cost_map, problem.terminals))]
    rng = np.random.default_rng(5)
    shaken = []
    for genome in genomes:
        structure = genome.get_structure()
        for node in structure["nodes"]:
            if node["data"]["type"] == "Flexible":
                x, y = (int(np.clip(v + rng.integers(-3, 4), 0, s - 1))
                        for v, s in zip(node["data"]["pos"], problem.grid_size))
                node["data"]["pos"] = (x, y)
        cells = [tuple(n["data"]["pos"]) for n in structure["nodes"]]
        if len(set(cells)) == len(cells):
            shaken.append(routes.genome_from_structure(config, structure))
    return genomes + shaken


def test_polish_keeping_redundancy_never_raises_cost_or_bridge_share(problem):
    config = bridge_config(problem)
    genomes = networks_along_the_front(problem, config)
    gw.evaluate_genomes(genomes, problem.cost_map)
    before = [(g.fitness, g.objectives[1]) for g in genomes]
    costs = routes.polish(genomes, problem.cost_map, keep_redundancy=True)
    improved = 0
    for genome, cost, (fitness, redundancy) in zip(genomes, costs, before):
        assert genome.fitness >= fitness and genome.objectives[1] >= redundancy
        assert cost == pytest.approx(1.0 / genome.fitness, rel=1e-12)
        improved += genome.fitness > fitness * (1 + 1e-9)
    assert improved > 0


@pytest.mark.parametrize("selection", ["NSGA2", "SPEA2"])
def test_price_of_redundancy_agrees_with_the_front(selection):
    problem = make_barriers((48, 48), 6, seed=4)
    config = bridge_config(problem, population_size=16, selection_strategy=selection)
    result = evolve(problem.cost_map, config, 5, progress=False, seed=2)
    front = result.pareto_front
    assert [network_cost(g, problem.cost_map) for g in front] == pytest.approx(result.front_costs, rel=1e-12)
    levels = (0.0, 0.3, 0.8, 1.0)
    prices = result.price_of_redundancy(levels)
    cheapest = min(result.front_costs)
    assert [p["level"] for p in prices] == list(levels)
    for price in prices:
        reaching = [c for g, c in zip(front, result.front_costs) if g.objectives[1] >= price["level"]]
        assert price["cost"] == min(reaching)  # the bridgeless seeds reach every level
        assert front[price["index"]].objectives[1] == price["redundancy"] >= price["level"]
        assert price["relative_cost"] == pytest.approx(price["cost"] / cheapest, rel=1e-12)
    assert prices[0]["relative_cost"] == 1.0


def test_price_of_redundancy_marks_levels_no_network_reaches():
    problem = make_terrain((24, 24), 2, seed=1)  # two terminals: no network without bridges
    result = evolve(problem.cost_map, bridge_config(problem, population_size=8), 2, progress=False, seed=1)
    top = result.price_of_redundancy((1.0,))[0]
    assert top["cost"] is None and top["index"] is None and top["relative_cost"] is None
    assert evolve(problem.cost_map, make_config(problem.grid_size, problem.terminals, population_size=8), 1,
                  progress=False, seed=1).price_of_redundancy() == []


@pytest.mark.parametrize("selection", ["NSGA2", "SPEA2"])
def test_front_keeps_no_network_that_crosses_impassable_cells(selection):
    # A triangle through nodata scores fitness 0 with redundancy 1: it dominates nothing feasible
    # by cost, but once it was the front's "most redundant" end.
    cost = np.ones((20, 20))
    cost[8:12, 8:12] = np.nan
    terminals = [(2, 2), (2, 17), (17, 10)]
    config = make_config((20, 20), terminals, population_size=10, selection_strategy=selection,
                         evaluation_strategy="MultiObjectiveBridge")
    triangle = {"nodes": [{"id": i + 1, "data": {"pos": p, "type": "Fixed"}} for i, p in enumerate(terminals)]
                + [{"id": 4, "data": {"pos": (10, 10), "type": "Flexible"}}],
                "edges": [{"node1": 1, "node2": 2, "enabled": True}, {"node1": 2, "node2": 3, "enabled": True},
                          {"node1": 3, "node2": 1, "enabled": True}, {"node1": 4, "node2": 1, "enabled": True},
                          {"node1": 4, "node2": 3, "enabled": True}]}
    result = evolve(cost, config, 3, start_genome=triangle, polish=False, progress=False, seed=1)
    assert result.pareto_front
    assert all(g.objectives[0] > 0 and math.isfinite(c) for g, c in zip(result.pareto_front, result.front_costs))


def test_archive_keeps_networks_equal_up_to_rounding_once():
    archive = Archive(capacity=10)
    assert archive.add("tree", front_point((0.1 + 0.2, 5.55e-16)))
    assert not archive.add("same tree, other order", front_point((0.3, 0.0)))
    assert not archive.add("again", front_point((0.30000000000000004, -1e-17)))
    assert archive.add("ring", front_point((0.2, 1.0000000000000002)))
    assert archive.points() == [(0.3, 0.0), (0.2, 1.0)]


@pytest.mark.parametrize("call,error,argument", [
    (lambda: gw.ring_network(np.ones((8, 8)), [(0, 0), (9, 9), (4, 4)]), ValueError, "terminals"),
    (lambda: gw.ring_network(np.ones((8, 8)), [(0, 0), (0, 0), (4, 4)]), ValueError, "terminals"),
    (lambda: gw.ring_network(np.ones((8, 8)), [(0, 0), (7, 7), (4, 4)], lookahead=0), ValueError, "lookahead"),
    (lambda: gw.ring_network(-np.ones((8, 8)), [(0, 0), (7, 7), (4, 4)]), ValueError, "cost_map"),
    (lambda: gw.ring_network(np.ones((8, 8)), "ab"), TypeError, None),
    (lambda: gw.augment_tree("tree", np.ones((8, 8))), TypeError, "genome"),
    (lambda: gw.augment_tree(None, np.ones((8, 8)), deadline=float("nan")), TypeError, "genome"),
])
def test_seed_functions_refuse_bad_arguments(call, error, argument):
    with pytest.raises(error, match=argument):
        call()


def test_seed_functions_stop_at_a_passed_deadline():
    problem = make_mountains((64, 64), 8, seed=1)
    config = bridge_config(problem)
    assert gw.ring_network(problem.cost_map, problem.terminals, deadline=0.0) is None
    assert gw.augment_tree(tree_genome(problem, config), problem.cost_map, deadline=0.0) is None


def test_partial_rings_join_every_terminal_with_a_ring_and_branches(problem):
    config = bridge_config(problem)
    structures = routes.partial_rings(problem.cost_map, problem.terminals, 3)
    assert len(structures) == min(3, len(problem.terminals) - 3)
    genomes = [routes.genome_from_structure(config, s) for s in structures]
    gw.evaluate_genomes(genomes, problem.cost_map)
    for genome in genomes:
        fixed = sorted(tuple(n.data.pos) for n in genome.nodes.values() if n.data.type_ == "Fixed")
        assert fixed == sorted(map(tuple, problem.terminals))
        assert genome.fitness > 0 and 0.0 < genome.objectives[1] < 1.0
