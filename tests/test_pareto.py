"""Fronts, hypervolume and the archive against brute force; the archive in evolve()."""

import itertools
import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import gridweave as gw
from gridweave import evolve
from gridweave.config import make_config
from gridweave.pareto import Archive, dominates, hypervolume, knee_point, non_dominated
from gridweave.problems import make_barriers

small_points = st.lists(st.tuples(st.integers(0, 6), st.integers(0, 6)), min_size=1, max_size=12)


def brute_force_area(points, reference=(0, 0)):
    """Unit cells above the reference that some point dominates (integer points)."""
    return sum(
        any(x < px and y < py for px, py in points)
        for x, y in itertools.product(range(reference[0], 7), range(reference[1], 7))
    )


@settings(max_examples=200, deadline=None)
@given(small_points, st.tuples(st.integers(-1, 2), st.integers(-1, 2)))
def test_hypervolume_equals_counted_cells(points, reference):
    assert hypervolume(points, reference) == brute_force_area(points, reference)


@settings(max_examples=200, deadline=None)
@given(st.lists(st.tuples(st.integers(0, 5), st.integers(0, 5), st.integers(0, 3)), min_size=1, max_size=10)
       | small_points)
def test_non_dominated_matches_the_definition(points):
    kept = non_dominated(points)
    for i, p in enumerate(points):
        dominated = any(dominates(q, p) for q in points)
        repeated = tuple(p) in [tuple(q) for q in points[:i]]
        assert (i in kept) == (not dominated and not repeated)


@pytest.mark.parametrize("points, kept", [
    ([(1.0, float("nan")), (0.0, 0.0)], [1]),
    ([(-math.inf, 2.0), (1.0, -math.inf), (math.inf, -math.inf)], [0, 2]),
    ([(1, 2, 3), (1, 2, 3), (0, 0, 4), (1, 2, float("nan"))], [0, 2]),
])
def test_non_dominated_leaves_out_nan_and_keeps_infinite_extremes(points, kept):
    assert non_dominated(points) == kept
    with pytest.raises(ValueError, match="argument 'points'"):
        non_dominated([*points, (1.0,)])


@settings(max_examples=200, deadline=None)
@given(st.lists(st.tuples(st.integers(0, 20), st.integers(0, 20)), max_size=40), st.integers(2, 6))
def test_archive_holds_no_dominated_point_and_every_front_point_up_to_its_bound(points, capacity):
    bounded, roomy = Archive(capacity), Archive(len(points) + 2)
    for i, p in enumerate(points):
        bounded.add(i, p)
        roomy.add(i, p)
    front = {tuple(map(float, points[i])) for i in non_dominated(points)}
    assert set(roomy.points()) == front  # never over its bound: exactly the front
    kept = bounded.points()
    assert len(kept) <= capacity and set(kept) <= {tuple(map(float, p)) for p in points}
    assert not any(dominates(a, b) for a in kept for b in kept)
    if front:  # the extremes of each objective stay
        assert max(front) in kept and max(front, key=lambda p: (p[1], p[0])) in kept


def test_knee_and_refusals():
    assert knee_point([(10, 0), (9, 5), (2, 6), (0, 7)]) == 1
    with pytest.raises(ValueError):
        knee_point([(float("nan"), 1.0)])
    with pytest.raises(ValueError):
        Archive(1)
    assert hypervolume([(float("nan"), 1)]) == 0.0 and non_dominated([]) == []


@pytest.mark.parametrize("selection", ["NSGA2", "SPEA2"])
def test_evolve_front_comes_from_the_archive(selection):
    problem = make_barriers((40, 40), 4, seed=1)
    config = make_config(problem.grid_size, problem.terminals, population_size=12, selection_strategy=selection,
                         evaluation_strategy="MultiObjectiveBridge")
    result = evolve(problem.cost_map, config, 4, archive_size=5, progress=False, seed=3)
    front = result.pareto_front
    assert 1 <= len(front) <= 6  # the bound, plus the polished best
    points = [tuple(g.objectives) for g in front]
    assert not any(dominates(a, b) for a in points for b in points)
    gw.evaluate_genomes(front, problem.cost_map)  # the objectives they carry are their evaluation
    assert np.allclose([g.objectives for g in front], points, rtol=1e-12, atol=0)
    assert max(p[0] for p in points) == pytest.approx(result.best_fitness, rel=1e-12)


def test_many_objective_hypervolume_uses_moocore():
    pytest.importorskip("moocore")
    points = [(1, 2, 3), (3, 2, 1), (2, 2, 2)]
    # unit cells of the 3x3x3 box that some point dominates
    cells = sum(any(x < a and y < b and z < c for a, b, c in points)
                for x, y, z in itertools.product(range(3), repeat=3))
    assert hypervolume(points, (0, 0, 0)) == pytest.approx(cells)


@pytest.mark.parametrize("selection", ["NEAT", "NSGA2", "SPEA2"])
def test_first_front_spans_from_the_tree_to_redundant_networks(selection):
    problem = make_barriers((48, 48), 5, seed=2)
    config = make_config(problem.grid_size, problem.terminals, population_size=10, selection_strategy=selection,
                         evaluation_strategy="MultiObjectiveBridge")
    result = evolve(problem.cost_map, config, 0, progress=False, seed=1)
    redundancy = sorted(g.objectives[1] for g in result.pareto_front)
    assert redundancy[0] == 0.0 and redundancy[-1] > 0.5


def test_redundancy_chain_adds_one_cheapest_loop_at_a_time():
    cost = np.ones((20, 20))
    config = make_config((20, 20), [(1, 1), (1, 18), (18, 1), (18, 18)], evaluation_strategy="MultiObjectiveBridge")
    tree = gw.Population({**config, "population_size": 0}).create_genome({
        "nodes": [{"id": i + 1, "data": {"pos": p, "type": "Fixed"}}
                  for i, p in enumerate([(1, 1), (1, 18), (18, 1), (18, 18)])],
        "edges": [{"node1": 1, "node2": 2, "enabled": True}, {"node1": 1, "node2": 3, "enabled": True},
                  {"node1": 3, "node2": 4, "enabled": True}]})
    chain = gw.redundancy_chain(tree, cost)
    assert len(chain) == 1  # closing the square removes every bridge
    assert chain[0].objectives[1] == 1.0 and len(chain[0].edges) == 4
    assert gw.redundancy_chain(chain[0], cost) == []


def test_routed_redundancy_goes_around_an_obstacle_the_straight_edge_crosses():
    cost = np.ones((40, 40))
    cost[2:9, 17:24] = 1000.0  # a block between the two upper terminals
    terminals = [(5, 5), (5, 35), (35, 20)]
    config = make_config((40, 40), terminals, evaluation_strategy="MultiObjectiveBridge")
    tree = gw.Population({**config, "population_size": 0}).create_genome({
        "nodes": [{"id": i + 1, "data": {"pos": p, "type": "Fixed"}} for i, p in enumerate(terminals)],
        "edges": [{"node1": 1, "node2": 3, "enabled": True}, {"node1": 3, "node2": 2, "enabled": True}]})
    straight, routed = gw.redundancy_chain(tree, cost), gw.redundancy_chain(tree, cost, routed=True)
    assert straight[0].objectives[1] == routed[0].objectives[1] == 1.0
    assert routed[0].fitness > straight[0].fitness
    assert {n["data"]["pos"] for n in routed[0].get_structure()["nodes"]} > set(terminals)  # bends were added
    fitness = routed[0].fitness
    gw.evaluate_genomes([routed[0]], cost)
    assert routed[0].fitness == fitness
