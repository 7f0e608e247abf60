"""The cheapest network without bridges over a candidate graph, against the ring.

A measuring stick for the redundant end of a front: how far below the ring
can a network without bridges go at all? For each chosen problem of
``gridweave.problems.quality_suite()`` the candidate graph holds the
terminals and, as Steiner cells, every node of the heuristic tree, the ring,
the tree augmentation and the greedy chain, every ``--path-step``-th cell of
the least-cost path between each two terminals (the valleys), plus a lattice
of cells every ``--spacing`` cells; its edges are straight lines between candidates at most
``--radius`` cells apart and every edge of those networks, each priced by the
evaluation's trace kernel (``gridweave.network_costs``). A mixed-integer
programme (HiGHS, ``pip install highspy``) then picks the cheapest edge set
that leaves two edge-disjoint paths from the first terminal to every other
one (so no edge is a bridge between terminals), paying each Steiner cell's
cost once. The chosen network is rebuilt as a genome and evaluated, so its
cost and redundancy are the engine's own.

Printed per problem: candidates, edges, the ring's cost, the programme's best
network and lower bound over the ring (exact over the candidate graph when
the gap is 0), the evaluated redundancy of that network, seconds and the
candidate graph's options. Without options each problem takes the graph
that its programme solves in minutes (``GRAPHS``); the table goes into
docs/benchmarks.md.

Run: .venv/bin/python bench/bench_bridgeless_optimum.py [--problems 0 1 2 3] [--time-limit 300]
     [--spacing 6 --radius 16 --path-step 4]
"""

import argparse
import itertools
import math
import time

import highspy
import numpy as np

import gridweave as gw
import report  # noqa: E402
from gridweave import routes
from gridweave.config import make_config
from gridweave.measure import network_cost
from gridweave.problems import quality_suite


def reference_networks(problem, config):
    tree = routes.genome_from_structure(config, routes.steiner_tree(problem.cost_map, problem.terminals))
    ring = routes.genome_from_structure(config, routes.ring(problem.cost_map, problem.terminals))
    gw.evaluate_genomes([tree, ring], problem.cost_map)
    networks = [tree, ring, *gw.redundancy_chain(tree, problem.cost_map)[-1:]]
    augmented = gw.augment_tree(tree, problem.cost_map)
    if augmented is not None:
        networks.append(augmented)
    return ring, networks


def candidate_graph(problem, networks, spacing, radius, path_step):
    """Cells (terminals first) and undirected edges as index pairs."""
    terminals = [tuple(t) for t in problem.terminals]
    cells = list(terminals)
    seen = set(cells)
    kept_edges = set()
    for genome in networks:
        structure = genome.get_structure()
        positions = {n["id"]: tuple(n["data"]["pos"]) for n in structure["nodes"]}
        for pos in positions.values():
            if pos not in seen:
                seen.add(pos)
                cells.append(pos)
        for e in structure["edges"]:
            if e["enabled"]:
                kept_edges.add(frozenset((positions[e["node1"]], positions[e["node2"]])))
    for a, b in itertools.combinations(terminals, 2):  # valleys: least-cost paths between terminals
        for pos in routes.least_cost_path(problem.cost_map, a, b)[::path_step]:
            if tuple(pos) not in seen:
                seen.add(tuple(pos))
                cells.append(tuple(pos))
    rows, cols = problem.grid_size
    for x, y in itertools.product(range(spacing // 2, rows, spacing), range(spacing // 2, cols, spacing)):
        if (x, y) not in seen:
            seen.add((x, y))
            cells.append((x, y))
    index = {cell: i for i, cell in enumerate(cells)}
    edges = {tuple(sorted((index[a], index[b]))) for a, b in (tuple(e) for e in kept_edges if len(e) == 2)}
    points = np.array(cells)
    for i in range(len(cells)):
        near = np.nonzero(np.hypot(*(points - points[i]).T) <= radius)[0]
        edges.update((i, int(j)) for j in near if j > i)
    return cells, sorted(edges)


def priced(problem, config, cells, edges):
    """Map-unit cost of each cell and of each edge alone (the kernel's terms)."""
    builder = gw.Population({**config, "population_size": 0,
                             "special": {**config["special"], "graph_init": {"Grid": [0, 0]}, "fixed_nodes": []}})
    genomes = []
    for a, b in edges:
        genomes.append(builder.create_genome({
            "nodes": [{"id": 1, "data": {"pos": cells[a], "type": "Flexible"}},
                      {"id": 2, "data": {"pos": cells[b], "type": "Flexible"}}],
            "edges": [{"id": 1, "node1": 1, "node2": 2, "enabled": True}]}))
    totals = gw.network_costs(genomes, problem.cost_map)
    cell_cost = np.array([float(problem.cost_map[c]) for c in cells])
    return cell_cost, np.array([t - cell_cost[a] - cell_cost[b] for t, (a, b) in zip(totals, edges)])


def ring_start(n_terminals, n_cells, edges, cycle):
    """Column values of the ring (a cycle of cell indices through every terminal):
    from terminal 0 one unit of flow each way round to every other terminal."""
    index = {edge: k for k, edge in enumerate(edges)}
    n_edges, steiner = len(edges), n_cells - n_terminals
    values = np.zeros(n_edges + steiner + 2 * n_edges * (n_terminals - 1))
    steps = [(a, b, index[tuple(sorted((a, b)))]) for a, b in zip(cycle, cycle[1:] + cycle[:1])]
    for a, b, k in steps:
        values[k] = 1.0
        for v in (a, b):
            if v >= n_terminals:
                values[n_edges + v - n_terminals] = 1.0
    start = cycle.index(0)
    for t in range(1, n_terminals):
        base = n_edges + steiner + (t - 1) * 2 * n_edges
        for direction in (1, -1):
            at = start
            while cycle[at] != t:
                nxt = (at + direction) % len(cycle)
                a, b = cycle[at], cycle[nxt]
                k = index[tuple(sorted((a, b)))]
                values[base + k if a < b else base + n_edges + k] = 1.0
                at = nxt
    return values


def solve(n_terminals, cell_cost, edges, edge_cost, time_limit, start=None):
    """Cheapest edge set with two edge-disjoint paths from terminal 0 to each other terminal."""
    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    h.setOptionValue("time_limit", float(time_limit))
    h.setOptionValue("threads", 1)
    n_cells, n_edges = len(cell_cost), len(edges)
    inf = highspy.kHighsInf
    x = [h.addVariable(0, 1, cost) for cost in edge_cost]
    y = [None] * n_cells
    for v in range(n_terminals, n_cells):
        y[v] = h.addVariable(0, 1, float(cell_cost[v]))
    h.changeColsIntegrality(n_edges, np.arange(n_edges, dtype=np.int32),
                            np.full(n_edges, highspy.HighsVarType.kInteger))
    steiner = n_cells - n_terminals
    h.changeColsIntegrality(steiner, np.arange(n_edges, n_edges + steiner, dtype=np.int32),
                            np.full(steiner, highspy.HighsVarType.kInteger))
    incident = [[] for _ in range(n_cells)]
    for k, (a, b) in enumerate(edges):
        incident[a].append(k)
        incident[b].append(k)
        for v in (a, b):
            if y[v] is not None:
                h.addConstr(x[k] <= y[v])
    for v in range(n_terminals, n_cells):  # a Steiner cell in use has two edges
        if incident[v]:
            h.addConstr(sum(x[k] for k in incident[v]) >= 2 * y[v])
    for t in range(1, n_terminals):
        forward = [h.addVariable(0, 1) for _ in edges]
        backward = [h.addVariable(0, 1) for _ in edges]
        for k in range(n_edges):
            h.addConstr(forward[k] <= x[k])
            h.addConstr(backward[k] <= x[k])
        for v in range(n_cells):
            out = sum(forward[k] if edges[k][0] == v else backward[k] for k in incident[v]) - \
                sum(backward[k] if edges[k][0] == v else forward[k] for k in incident[v])
            demand = 2 if v == 0 else -2 if v == t else 0
            if incident[v]:
                h.addConstr(out == demand)
            elif demand:
                return None
    del inf
    if start is not None:
        h.setSolution(len(start), np.arange(len(start), dtype=np.int32), start)
    h.run()
    values = h.getSolution().col_value
    chosen = [edges[k] for k in range(n_edges) if values[k] > 0.5]
    info = h.getInfo()
    return chosen, info.objective_function_value, info.mip_dual_bound


def ring_cycle(ring, cells):
    """The ring's nodes in tour order, as candidate indices."""
    structure = ring.get_structure()
    index = {cell: i for i, cell in enumerate(cells)}
    position = {n["id"]: index[tuple(n["data"]["pos"])] for n in structure["nodes"]}
    neighbours = {v: [] for v in position.values()}
    for e in structure["edges"]:
        if e["enabled"]:
            a, b = position[e["node1"]], position[e["node2"]]
            neighbours[a].append(b)
            neighbours[b].append(a)
    cycle = [0]
    while len(cycle) < len(neighbours):
        options = [v for v in neighbours[cycle[-1]] if v not in cycle]
        if not options:
            return None
        cycle.append(options[0])
    return cycle


def genome_of(config, cells, chosen, n_terminals):
    used = sorted({v for edge in chosen for v in edge} | set(range(n_terminals)))
    structure = {"nodes": [{"id": v + 1, "data": {"pos": cells[v], "type": "Fixed" if v < n_terminals else "Flexible"}}
                           for v in used],
                 "edges": [{"id": k + 1, "node1": a + 1, "node2": b + 1, "enabled": True}
                           for k, (a, b) in enumerate(chosen)]}
    return routes.genome_from_structure(config, structure)


# Lattice spacing, radius and path step per problem of the suite: denser
# graphs of the larger maps leave the programme with no useful bound in 240 s.
GRAPHS = {0: (6, 16.0, 4), 1: (10, 14.0, 6), 2: (16, 12.0, 8), 3: (16, 12.0, 8)}
DEFAULT_GRAPH = (6, 16.0, 4)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--problems", type=int, nargs="*", default=[0, 1, 2, 3])
    parser.add_argument("--spacing", type=int, help="lattice spacing in cells (default: per problem)")
    parser.add_argument("--radius", type=float, help="longest candidate edge in cells (default: per problem)")
    parser.add_argument("--path-step", type=int, help="cells between valley candidates (default: per problem)")
    parser.add_argument("--time-limit", type=float, default=300.0)
    args = parser.parse_args()
    with report.section("bridgeless", "Cheapest network without bridges"):
        solve_problems(args)


def solve_problems(args: argparse.Namespace) -> None:
    suite = quality_suite()
    print("| problem | candidates | edges | ring cost | best / ring | bound / ring | redundancy | seconds "
          "| spacing, radius, path step |")
    print("|---|---|---|---|---|---|---|---|---|")
    for i in args.problems:
        graph = GRAPHS.get(i, DEFAULT_GRAPH)
        spacing = args.spacing if args.spacing is not None else graph[0]
        radius = args.radius if args.radius is not None else graph[1]
        path_step = args.path_step if args.path_step is not None else graph[2]
        problem = suite[i]
        started = time.perf_counter()
        config = make_config(problem.grid_size, problem.terminals, evaluation_strategy="MultiObjectiveBridge")
        ring, networks = reference_networks(problem, config)
        ring_cost = network_cost(ring, problem.cost_map)
        cells, edges = candidate_graph(problem, networks, spacing, radius, path_step)
        cell_cost, edge_cost = priced(problem, config, cells, edges)
        usable = [k for k, c in enumerate(edge_cost) if math.isfinite(c)]
        edges, edge_cost = [edges[k] for k in usable], edge_cost[usable]
        cycle = ring_cycle(ring, cells)
        start = ring_start(len(problem.terminals), len(cells), edges, cycle) if cycle else None
        chosen, best, bound = solve(len(problem.terminals), cell_cost, edges, edge_cost, args.time_limit, start)
        genome = genome_of(config, cells, chosen, len(problem.terminals))
        gw.evaluate_genomes([genome], problem.cost_map)
        cost = network_cost(genome, problem.cost_map)
        constant = float(sum(cell_cost[: len(problem.terminals)]))
        print(f"| {problem.name} | {len(cells)} | {len(edges)} | {ring_cost:.1f} | {cost / ring_cost:.4f} "
              f"| {(bound + constant) / ring_cost:.4f} | {genome.objectives[1]:.4f} "
              f"| {time.perf_counter() - started:.0f} | {spacing}, {radius:g}, {path_step} |", flush=True)
        assert abs(cost - (best + constant)) <= 1e-6 * cost, (cost, best + constant)


if __name__ == "__main__":
    main()
