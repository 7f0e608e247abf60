"""The exact reference network: brute force on tiny maps, the evaluation's cost, refusals."""

import itertools
import math

import numpy as np
import pytest

import gridweave as gw
from gridweave import routes
from gridweave.config import make_config
from gridweave.problems import TRAP_KINDS, WALL_COST, make_trap, trap_suite


def evaluated_cost(cost, terminals, structure):
    genome = routes.genome_from_structure(make_config(cost.shape, terminals, graph_init={"Grid": [0, 0]}), structure)
    gw.evaluate_genomes([genome], cost)
    return 1.0 / genome.fitness


def edge_weights(cost, cells):
    """Trace cost of the straight edge between every pair of cells, the cheaper direction."""
    config = make_config(cost.shape, cells[:2], graph_init={"Grid": [0, 0]})
    pairs = [(a, b) for a in range(len(cells)) for b in range(len(cells)) if a != b]
    genomes = [routes.genome_from_structure(config, routes.network_structure(
        [cells[a], cells[b]], 2, [(0, 1)], 0.0)) for a, b in pairs]
    gw.evaluate_genomes(genomes, cost)
    scale = 1.0 / sum(cost.shape)
    weight = {}
    for (a, b), genome in zip(pairs, genomes):
        value = 1.0 / genome.fitness - (cost[cells[a]] + cost[cells[b]]) * scale
        weight[a, b] = weight[b, a] = min(weight.get((a, b), math.inf), value)
    return weight


def brute_force(cost, terminals):
    """Cheapest network over every set of node cells: each set's cheapest network is its MST."""
    cells = list(terminals) + [c for c in itertools.product(*map(range, cost.shape)) if c not in terminals]
    weight = edge_weights(cost, cells)
    scale = 1.0 / sum(cost.shape)
    k, best = len(terminals), math.inf
    for extra in range(len(cells) - k + 1):
        for chosen in itertools.combinations(range(k, len(cells)), extra):
            nodes = list(range(k)) + list(chosen)
            total = sum(cost[cells[v]] for v in nodes) * scale
            link = {v: weight[nodes[0], v] for v in nodes[1:]}
            while link and total < best:
                v = min(link, key=link.get)
                total += link.pop(v)
                for u in link:
                    link[u] = min(link[u], weight[v, u])
            best = min(best, total)
    return best


@pytest.mark.parametrize("seed, shape, terminals", [
    (1, (4, 4), [(0, 0), (3, 3), (0, 3)]),
    (2, (4, 4), [(0, 1), (3, 0), (2, 3)]),
    (3, (3, 5), [(0, 0), (2, 4), (2, 0), (0, 4)]),
    (4, (4, 4), [(1, 1), (3, 2)]),
])
def test_optimum_equals_brute_force_and_evaluation(seed, shape, terminals):
    rng = np.random.default_rng(seed)
    cost = rng.choice([1.0, 2.0, 9.0, 40.0], size=shape, p=[0.4, 0.3, 0.2, 0.1])
    for t in terminals:
        cost[t] = 1.0
    net = routes.optimal_network(cost, terminals)
    assert net["cost"] == pytest.approx(brute_force(cost, terminals), rel=1e-6)
    assert evaluated_cost(cost, terminals, net) == pytest.approx(net["cost"], rel=1e-12)


@pytest.mark.parametrize("seed", range(4))
def test_pruning_keeps_the_optimum(seed):
    rng = np.random.default_rng(seed)
    cost = 1.0 + rng.exponential(2.0, size=(11, 10))
    cost[rng.random(cost.shape) < 0.15] = 60.0
    terminals = [(0, 0), (10, 9), (0, 9), (10, 0), (5, 5)][: 3 + seed % 3]
    for t in terminals:
        cost[t] = 1.0
    pruned = routes.optimal_network(cost, terminals)
    unpruned = routes.optimal_network(cost, terminals, upper_bound=1e300)
    assert pruned["cost"] == pytest.approx(unpruned["cost"], rel=1e-6)
    assert pruned["cost"] <= routes.heuristic_cost(cost, terminals) * (1 + 1e-9)
    # Restricted to the cells of the optimal tree, the optimum is the same tree's cost.
    cells = [tuple(n["data"]["pos"]) for n in pruned["nodes"]]
    restricted = routes.optimal_network(cost, terminals, candidates=cells, upper_bound=1e300)
    assert restricted["cost"] == pytest.approx(pruned["cost"], rel=1e-6)
    assert {tuple(n["data"]["pos"]) for n in restricted["nodes"]} <= set(cells)


@pytest.mark.parametrize("shape, count, limits", [
    ((512, 512), 12, {}),
    ((2048, 2048), 30, {}),
    ((64, 64), 8, {"max_seconds": 1e-3}),
    ((64, 64), 8, {"max_memory": 1e3}),
])
def test_oversized_problems_are_refused_with_the_estimate(shape, count, limits):
    rng = np.random.default_rng(0)
    cells = {(int(rng.integers(shape[0])), int(rng.integers(shape[1]))) for _ in range(4 * count)}
    terminals = sorted(cells)[:count]
    with pytest.raises(ValueError, match=r"estimated about .* s and .* MB"):
        routes.optimal_network(np.ones(shape), terminals, **limits)


def test_small_cases_and_bad_arguments():
    cost = np.ones((6, 6))
    assert routes.optimal_network(cost, [])["nodes"] == []
    single = routes.optimal_network(cost, [(2, 3)])
    assert single["cost"] == pytest.approx(1 / 12) and single["edges"] == []
    walled = cost.copy()
    walled[3, :] = np.inf
    with pytest.raises(ValueError, match="cannot be joined"):
        routes.optimal_network(walled, [(0, 0), (5, 5)])
    with pytest.raises(ValueError, match="upper_bound"):
        routes.optimal_network(cost, [(0, 0), (5, 5)], upper_bound=1e-3)
    with pytest.raises(ValueError, match="max_seconds"):
        routes.optimal_network(cost, [(0, 0), (5, 5)], max_seconds=-1.0)


@pytest.mark.parametrize("kind", TRAP_KINDS)
def test_trap_problems_are_seeded_and_every_terminal_can_be_reached(kind):
    problem = make_trap(kind, (40, 40), 5, seed=3)
    again = make_trap(kind, (40, 40), 5, seed=3)
    assert problem.terminals == again.terminals and np.array_equal(problem.cost_map, again.cost_map)
    assert problem.name == f"{kind}-40x40-seed3" and len(set(problem.terminals)) == 5
    # Walls and lakes block: every terminal is reached around them.
    open_land = np.where(problem.cost_map >= WALL_COST, np.inf, problem.cost_map)
    distances = routes.least_cost_distances(open_land, problem.terminals[:1])
    assert all(np.isfinite(distances[t]) for t in problem.terminals)


def test_trap_suite_sizes():
    shapes = [(p.grid_size, len(p.terminals)) for p in trap_suite()]
    assert len(shapes) >= 8
    assert all(64 <= min(size) and max(size) <= 128 and 6 <= n <= 12 for size, n in shapes)


@pytest.mark.parametrize("kind, seed", [("border-pass", 1), ("maze", 2), ("roads", 3)])
def test_start_network_reaches_the_optimum_where_it_is_cheap(kind, seed):
    problem = make_trap(kind, (28, 28), 4, seed=seed)
    config = make_config(problem.grid_size, problem.terminals)
    start = routes.start_network(problem.cost_map, config)
    optimum = routes.optimal_network(problem.cost_map, problem.terminals)
    assert start["cost"] == pytest.approx(optimum["cost"], rel=1e-6)
    assert evaluated_cost(problem.cost_map, problem.terminals, start) == pytest.approx(start["cost"])
    # On a lattice of candidates with the polished networks' surroundings the start stays valid.
    genome = routes.genome_from_structure(config, start)
    cells = routes.candidate_cells(problem.grid_size, [genome], 4, along_edges=True)
    assert set(problem.terminals) <= set(cells)
    assert all(tuple(n["data"]["pos"]) in cells for n in start["nodes"])


def test_groups_are_joined_at_their_cheapest_members():
    cost = np.ones((20, 20))
    left, right = [(2, 2), (10, 3), (17, 2)], [(3, 15), (10, 12), (16, 17)]
    joined = gw._core.optimal_network(cost, [left[0], right[0]], groups=[left, right], candidates=[])
    nodes, _, edges, _ = joined
    # One straight edge between the closest members: no bend pays on a flat map.
    assert [tuple(sorted((tuple(nodes[a]), tuple(nodes[b])))) for a, b in edges] == [((10, 3), (10, 12))]
    with pytest.raises(ValueError, match="groups"):
        gw._core.optimal_network(cost, [left[0], right[0]], groups=[left])


@pytest.mark.parametrize("kind, seed", [("roads", 0), ("lakes", 1), ("maze", 2)])
def test_rejoined_windows_stay_connected_and_cheaper(kind, seed):
    problem = make_trap(kind, (72, 72), 7, seed=seed)
    config = make_config(problem.grid_size, problem.terminals)
    tree = routes.steiner_tree(problem.cost_map, problem.terminals, method="voronoi")
    genome = routes.genome_from_structure(config, tree)
    gw.evaluate_genomes([genome], problem.cost_map)
    bends = [tuple(n["data"]["pos"]) for n in tree["nodes"] if n["data"]["type"] == "Flexible"]
    improved = 0
    for centre in bends[:4]:
        better = routes.rejoin_window(problem.cost_map, config, genome, centre)
        if better is None:
            continue
        assert 0 < genome.fitness < better.fitness
        fixed = sorted(tuple(n.data.pos) for n in better.nodes.values() if n.data.type_ == "Fixed")
        assert fixed == sorted(problem.terminals)
        genome, improved = better, improved + 1
    assert improved > 0
    final = routes.rejoin_windows(problem.cost_map, config, genome, lambda: None)
    assert final.fitness >= genome.fitness > 0


def test_the_first_members_hold_the_other_heuristic_networks():
    from gridweave.problems import make_terrain

    problem = make_terrain((48, 48), n_terminals=6, seed=3)
    config = make_config(problem.grid_size, problem.terminals, population_size=20)
    start = routes.start_network(problem.cost_map, config)
    costs = [a["cost"] for a in start["alternatives"]]
    assert costs == sorted(costs) and len(set(costs)) == len(costs) and start["cost"] not in costs
    first = []
    gw.evolve(problem.cost_map, config, 3, progress=False, seed=1,
              callbacks=[lambda record, pop: first.extend(1 / g.fitness for g in pop.members) or True])
    assert all(any(abs(c - f) <= 1e-9 * c for f in first) for c in costs)
