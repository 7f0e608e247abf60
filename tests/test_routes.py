"""Least-cost heuristics, polish and the start of evolve(): exact against the evaluation."""

import heapq
import math
import warnings

import numpy as np
import pytest

import gridweave as gw
from gridweave import evolve, routes
from gridweave.config import make_config
from gridweave.measure import network_cost
from gridweave.problems import make_barriers, make_mountains, make_terrain, quality_suite

PROBLEMS = [make_terrain((40, 32), 5, seed=3), make_mountains((48, 48), 6, seed=1),
            make_barriers((56, 40), 7, seed=2)]


def evaluated_cost(problem, structure):
    genome = routes.genome_from_structure(make_config(problem.grid_size, problem.terminals), structure)
    gw.evaluate_genomes([genome], problem.cost_map)
    return 1.0 / genome.fitness


@pytest.mark.parametrize("problem", PROBLEMS, ids=lambda p: p.name)
@pytest.mark.parametrize("build", [
    lambda p: routes.spanning_tree(p.cost_map, p.terminals),
    lambda p: routes.steiner_tree(p.cost_map, p.terminals, method="voronoi"),
    lambda p: routes.steiner_tree(p.cost_map, p.terminals, method="grow", roots=2),
    lambda p: routes.steiner_tree(p.cost_map, p.terminals, lookahead=5),
    lambda p: routes.steiner_trees(p.cost_map, p.terminals)[-1],
], ids=["mst", "voronoi", "grow", "short-lookahead", "candidate"])
def test_heuristic_networks_are_trees_priced_like_the_evaluation(problem, build):
    structure = build(problem)
    nodes = structure["nodes"]
    assert [tuple(n["data"]["pos"]) for n in nodes[:len(problem.terminals)]] == list(problem.terminals)
    assert all(n["data"]["type"] == "Fixed" for n in nodes[:len(problem.terminals)])
    assert all(n["data"]["type"] == "Flexible" for n in nodes[len(problem.terminals):])
    assert len(structure["edges"]) == len(nodes) - 1
    assert math.isclose(structure["cost"], evaluated_cost(problem, structure), rel_tol=1e-12)
    assert build(problem) == structure  # deterministic


@pytest.mark.parametrize("problem", PROBLEMS, ids=lambda p: p.name)
@pytest.mark.parametrize("exchange", [False, True])
def test_polish_lowers_the_cost_to_what_the_evaluation_reports(problem, exchange):
    config = make_config(problem.grid_size, problem.terminals)
    networks = [routes.spanning_tree(problem.cost_map, problem.terminals),
                routes.steiner_tree(problem.cost_map, problem.terminals)]
    genomes = [routes.genome_from_structure(config, n) for n in networks]
    costs = routes.polish(genomes, problem.cost_map, exchange=exchange)
    for network, genome, cost in zip(networks, genomes, costs):
        assert cost <= network["cost"]
        assert genome.fitness == pytest.approx(1.0 / cost, rel=1e-12)
        fixed = {n.data.pos for n in genome.nodes.values() if n.data.type_ == "Fixed"}
        assert fixed == set(problem.terminals)
        again = routes.genome_from_structure(config, genome.get_structure())
        gw.evaluate_genomes([again], problem.cost_map)
        assert again.fitness == pytest.approx(genome.fitness, rel=1e-12)


def test_least_cost_distances_and_paths_follow_the_gap():
    cost = np.ones((9, 9))
    cost[4, :7] = np.inf
    distances = routes.least_cost_distances(cost, [(0, 0)])
    assert distances[0, 0] == 0 and np.isinf(distances[4, 0])
    path = routes.least_cost_path(cost, (0, 0), (8, 0))
    assert path[0] == (0, 0) and path[-1] == (8, 0)
    assert (4, 7) in path or (4, 8) in path
    steps = [max(abs(a[0] - b[0]), abs(a[1] - b[1])) for a, b in zip(path, path[1:])]
    assert steps == [1] * len(steps)


@pytest.mark.parametrize("call, message", [
    (lambda c: routes.steiner_tree(c, [(0, 0), (0, 0)]), "given twice"),
    (lambda c: routes.steiner_tree(c, [(0, 0), (9, 0)]), "outside the cost map"),
    (lambda c: routes.spanning_tree(c, [(-1, 0)]), "outside the cost map"),
    (lambda c: routes.steiner_tree(c, [(0, 0), (1, 1)], method="fast"), "'best', 'voronoi' or 'grow'"),
    (lambda c: routes.steiner_tree(c, [(0, 0), (1, 1)], lookahead=0), "at least 1"),
    (lambda c: routes.steiner_tree(np.where(c > 0, -1.0, 0), [(0, 0), (1, 1)]), "negative"),
    (lambda c: routes.least_cost_path(np.full((9, 9), np.nan), (0, 0), (1, 1)), "NaN"),
    (lambda c: routes.steiner_tree(np.where(np.arange(9)[:, None] == 4, np.inf, c), [(0, 0), (8, 8)]),
     "cannot be joined"),
    (lambda c: routes.least_cost_path(np.where(np.arange(9)[:, None] == 4, np.inf, c), (0, 0), (8, 8)),
     "cannot be reached"),
    (lambda c: gw.polish_genomes([], c, radius=0), "radius"),
    (lambda c: routes.steiner_tree(c, [(1, 1), (7, 7)], method="grow", roots=0), "roots"),
    (lambda c: routes.steiner_tree(np.where(np.arange(9)[:, None] == 1, np.inf, c), [(1, 1), (7, 7)],
                                   method="voronoi"), "cannot be joined"),
    (lambda c: routes.steiner_trees(np.where(np.arange(9)[:, None] == 1, np.inf, c), [(1, 1), (7, 7), (7, 1)],
                                    method="voronoi"), "cannot be joined"),
    # A search over negative steps would never settle: every entry that searches refuses them.
    (lambda c: routes.polish([_tree(c)], -c, exchange=True), "negative"),
    (lambda c: gw.redundancy_chain(_tree(c), -c, routed=True), "negative"),
    (lambda c: routes.polish([_tree(c)], np.full_like(c, np.nan)), "NaN"),
    (lambda c: routes.polish([_tree(c)], c, deadline=float("nan")), "deadline"),
])
def test_bad_inputs_name_the_argument(call, message):
    with pytest.raises(ValueError, match=message):
        call(np.ones((9, 9)))


def _tree(cost):
    cfg = make_config(cost.shape, [(0, 0), (8, 8), (0, 8)])
    return routes.genome_from_structure(cfg, routes.spanning_tree(cost, [(0, 0), (8, 8), (0, 8)]))


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_float32_maps_are_read_as_they_are_and_priced_exactly(dtype):
    problem = make_terrain((48, 48), n_terminals=5, seed=3)
    cost = problem.cost_map.astype(dtype)
    exact = cost.astype(np.float64)
    cfg = make_config(problem.grid_size, problem.terminals, population_size=12)
    result = gw.evolve(cost, cfg, 3, progress=False, seed=2)
    assert result.best_cost == pytest.approx(network_cost(result.best_genome, exact), rel=1e-12)
    assert np.array_equal(routes.least_cost_distances(cost, [(0, 0)]),
                          routes.least_cost_distances(exact, [(0, 0)]))
    assert routes.steiner_tree(cost, problem.terminals) == routes.steiner_tree(exact, problem.terminals)


def test_an_expired_deadline_keeps_what_was_there():
    problem = make_terrain((64, 64), n_terminals=6, seed=5)
    cost, terminals = problem.cost_map, problem.terminals
    assert routes.steiner_trees(cost, terminals, deadline=0) == []
    assert routes.steiner_tree(cost, terminals, deadline=0) == routes.spanning_tree(cost, terminals)
    genome = routes.genome_from_structure(make_config(cost.shape, terminals),
                                          routes.spanning_tree(cost, terminals))
    before = genome.get_structure()
    [after] = routes.polish([genome], cost, exchange=True, deadline=0)
    assert genome.get_structure() == before
    gw.evaluate_genomes([genome], cost)
    assert after == pytest.approx(1 / genome.fitness)
    assert gw.redundancy_chain(genome, cost, routed=True, deadline=0) == []


def test_the_time_limit_bounds_the_start_and_says_what_it_cut():
    problem = make_terrain((256, 256), n_terminals=12, seed=4)
    cfg = make_config(problem.grid_size, problem.terminals, population_size=20,
                      selection_strategy="NSGA2", evaluation_strategy="MultiObjectiveBridge")
    result = gw.evolve(problem.cost_map, cfg, 10**6, time_limit=0.05, progress=False, seed=1)
    assert result.stop_reason == "time"
    assert {"spanning tree", "Steiner trees", "polish", "final polish"} <= set(result.phase_seconds)
    assert result.cut_short and set(result.cut_short) <= set(result.phase_seconds)
    assert result.best_fitness > 0 and math.isfinite(result.best_cost)


def test_polish_refuses_uninitialised_genomes_and_wrong_types():
    with pytest.raises(TypeError, match="genomes"):
        gw.polish_genomes([gw.Genome.__new__(gw.Genome)], np.ones((4, 4)))
    with pytest.raises(TypeError, match="terminals"):
        routes.steiner_tree(np.ones((4, 4)), ["ab", (1, 1)])


def test_quality_suite_spans_the_sizes_and_terminal_counts():
    suite = quality_suite()
    assert len(suite) >= 8
    assert {p.grid_size for p in suite} >= {(64, 64), (512, 512)}
    assert min(len(p.terminals) for p in suite) == 5 and max(len(p.terminals) for p in suite) == 30
    for problem in suite[:3]:
        assert len(set(problem.terminals)) == len(problem.terminals)


# --- evolve(): start network, polish and the time limit ------------------------------------

PROBLEM = PROBLEMS[2]


@pytest.mark.parametrize("start", ["steiner", "mst", "config"])
def test_evolve_never_ends_worse_than_its_start_network(start):
    config = make_config(PROBLEM.grid_size, PROBLEM.terminals, population_size=16)
    result = evolve(PROBLEM.cost_map, config, 3, start=start, progress=False, seed=2)
    assert math.isclose(1 / result.best_fitness, evaluated_cost(PROBLEM, result.best_structure), rel_tol=1e-12)
    if start != "config":
        start_cost = routes.start_network(PROBLEM.cost_map, config, start)["cost"]
        assert 1 / result.best_fitness <= start_cost * (1 + 1e-12)


def test_heuristic_start_beats_pure_evolution_and_the_spanning_tree():
    config = make_config(PROBLEM.grid_size, PROBLEM.terminals, population_size=16)
    seeded = evolve(PROBLEM.cost_map, config, 5, progress=False, seed=1)
    pure = evolve(PROBLEM.cost_map, config, 5, start="config", progress=False, seed=1)
    mst = routes.spanning_tree(PROBLEM.cost_map, PROBLEM.terminals)["cost"]
    assert 1 / seeded.best_fitness < min(1 / pure.best_fitness, mst)


def test_time_limit_and_option_checks():
    config = make_config(PROBLEM.grid_size, PROBLEM.terminals, population_size=8)
    result = evolve(PROBLEM.cost_map, config, 10_000, time_limit=0.2, progress=False)
    assert result.stop_reason == "time" and result.generations < 10_000
    with pytest.raises(ValueError, match="start"):
        evolve(PROBLEM.cost_map, config, 1, start="random", progress=False)
    with pytest.raises(ValueError, match="polish_children"):
        evolve(PROBLEM.cost_map, config, 1, polish_children=-1, progress=False)


def test_impassable_terminals_fall_back_to_the_configured_graph():
    cost = np.ones((20, 20))
    cost[10, :] = np.inf
    config = make_config((20, 20), [(2, 2), (17, 17)], population_size=6, graph_init="FCN")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = evolve(cost, config, 1, progress=False)
    assert any("graph_init" in str(w.message) for w in caught)
    assert result.best_fitness == 0.0


def reference_distances(cost, sources):
    """Plain Dijkstra over the 8-connected cells: a step costs length x mean of its two cells."""
    rows, cols = cost.shape
    distance = np.full(cost.shape, np.inf)
    queue = []
    for source in sources:
        distance[source] = 0.0
        heapq.heappush(queue, (0.0, source))
    while queue:
        reached, (x, y) = heapq.heappop(queue)
        if reached > distance[x, y]:
            continue
        for dx in (-1, 0, 1):
            for dy in (-1, 0, 1):
                nx, ny = x + dx, y + dy
                if (dx or dy) and 0 <= nx < rows and 0 <= ny < cols:
                    length = 1.4142135623730951 if dx and dy else 1.0
                    candidate = reached + length * 0.5 * (float(cost[x, y]) + float(cost[nx, ny]))
                    if candidate < distance[nx, ny]:
                        distance[nx, ny] = candidate
                        heapq.heappush(queue, (candidate, (nx, ny)))
    return distance


def random_costs(kind, shape, rng):
    if kind == "real":
        return rng.uniform(0.5, 9.0, shape)
    costs = rng.integers(0, 4, shape).astype(float)  # ties and free (zero-cost) cells
    if kind == "blocked":
        costs[rng.random(shape) < 0.25] = np.inf
    return costs


@pytest.mark.parametrize("kind", ["real", "integers", "blocked"])
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("shape, n_sources", [((1, 9), 1), ((13, 17), 1), ((20, 11), 3)])
def test_least_cost_distances_equal_a_plain_dijkstra(kind, dtype, shape, n_sources):
    rng = np.random.default_rng(sum(shape) + n_sources)
    cost = random_costs(kind, shape, rng).astype(dtype)
    sources = [(int(rng.integers(shape[0])), int(rng.integers(shape[1]))) for _ in range(n_sources)]
    distances = routes.least_cost_distances(cost, sources)
    expected = reference_distances(cost, sources)
    # The same sums in the same order: equal to the last bit.
    assert np.array_equal(distances, expected)
