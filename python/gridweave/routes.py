"""Classical least-cost networks and exact local polish.

These are the networks a planner would draw with shortest-path tools, built
in the native core with the interpreter lock released:

- :func:`least_cost_distances` and :func:`least_cost_path` search the
  8-connected cell graph of a cost map; a step costs its length (1 or
  sqrt 2) times the mean cost of its two cells, and cells of infinite cost
  cannot be entered;
- :func:`steiner_tree` joins the terminals by a least-cost Steiner tree
  heuristic (Voronoi regions of the terminals, or a tree grown from several
  roots along least-cost paths; ``method="best"`` tries both) and straightens
  its cell paths into straight edges, choosing the bends that minimise the
  exact network cost of the evaluation;
- :func:`spanning_tree` is the trivial baseline: the minimum spanning tree of
  straight edges between the terminals;
- :func:`optimal_network` is the exact reference for small maps: the
  minimum-cost network of straight edges under the evaluation's cost model;
- :func:`polish` improves genomes in place by exact local moves (see
  :func:`gridweave.polish_genomes`).

Networks are returned as structure dictionaries: the terminals as ``Fixed``
nodes 1 to n in the given order, bends and branch points as ``Flexible``
nodes, plus a ``"cost"`` entry, the trace cost that :func:`gridweave.evaluate_genomes`
gives the network (its fitness is ``1 / cost``). They load with
``Population.create_genome`` and serve as ``evolve(start_genome=...)``.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping, Sequence
from typing import Any

import numpy as np

from . import _core
from ._core import Genome
from .config import make_config
from .measure import cost_array
from .planning import Attachments, attachments
from .runtime import UNLIMITED, Budget, PhaseDisplay

__all__ = [
    "least_cost_distances",
    "least_cost_path",
    "steiner_tree",
    "steiner_trees",
    "spanning_tree",
    "ring",
    "optimal_network",
    "network_structure",
    "polish",
    "heuristic_cost",
    "candidate_cells",
    "reduced_optimum",
    "rejoin_window",
    "rejoin_windows",
    "START_METHODS",
    "genome_from_structure",
    "start_network",
    "default_roots",
    "attached_network",
    "extension_start",
]

Cell = Sequence[int]

START_METHODS = ("steiner", "mst", "config")




def least_cost_distances(cost_map: Any, sources: Sequence[Cell]) -> np.ndarray:
    """Least-cost distance of every cell from the nearest source (``inf`` where unreachable).

    Example:
        >>> d = least_cost_distances(np.ones((3, 4)), [(0, 0)])
        >>> float(d[0, 3]), round(float(d[2, 2]), 4)
        (3.0, 2.8284)
    """
    return _core.least_cost_distances(cost_array(cost_map), list(sources))


def least_cost_path(cost_map: Any, start: Cell, end: Cell) -> list[tuple[int, int]]:
    """The cells of a least-cost path from ``start`` to ``end``, both included.

    Example:
        >>> least_cost_path(np.ones((3, 3)), (0, 0), (2, 2))
        [(0, 0), (1, 1), (2, 2)]
    """
    return [(int(x), int(y)) for x, y in _core.least_cost_path(cost_array(cost_map), start, end)]


def network_structure(
    nodes: Sequence[Cell], fixed_count: int, edges: Sequence[tuple[int, int]], cost: float
) -> dict[str, Any]:
    """The structure dictionary of a network given by node cells and index pairs.

    Example:
        >>> s = network_structure([(0, 0), (4, 4), (0, 4)], 2, [(0, 2), (2, 1)], 1.5)
        >>> [n["data"]["type"] for n in s["nodes"]], s["edges"][1]
        (['Fixed', 'Fixed', 'Flexible'], {'id': 2, 'node1': 3, 'node2': 2, 'enabled': True})
    """
    return {
        "nodes": [
            {"id": i + 1, "data": {"pos": [int(x), int(y)], "type": "Fixed" if i < fixed_count else "Flexible"}}
            for i, (x, y) in enumerate(nodes)
        ],
        "edges": [
            {"id": k + 1, "node1": int(a) + 1, "node2": int(b) + 1, "enabled": True}
            for k, (a, b) in enumerate(edges)
        ],
        "cost": float(cost),
    }


def steiner_tree(
    cost_map: Any,
    terminals: Sequence[Cell],
    *,
    method: str = "best",
    roots: int = 4,
    lookahead: int = 64,
    deadline: float | None = None,
    existing: Any = None,
    regions: Sequence[Any] | None = None,
) -> dict[str, Any]:
    """A least-cost Steiner tree over ``terminals``, straightened into straight edges.

    ``method`` is ``"voronoi"`` (fast: one search over the map), ``"grow"``
    (a tree grown from ``roots`` different terminals, each time joining the
    nearest terminal along a least-cost path) or ``"best"`` (both; the
    cheapest network wins). ``lookahead`` bounds the length of a straight
    edge, in path cells, during straightening. Raises ``ValueError`` when
    some terminals cannot be joined without crossing cells of infinite cost.
    ``deadline`` (seconds) stops the grown trees not finished by then; with
    no tree finished in time the straight-line spanning tree is returned.
    With an ``existing`` network or ``regions`` (see :mod:`gridweave.planning`)
    it is the tree of :func:`attached_network`.

    Example:
        >>> cost = np.ones((20, 20)); cost[10, :18] = 50.0
        >>> tree = steiner_tree(cost, [(2, 2), (17, 2)])
        >>> max(n["data"]["pos"][1] for n in tree["nodes"]) >= 18
        True
    """
    if existing is not None or regions is not None:
        return attached_network(cost_map, terminals, existing, regions, lookahead=lookahead, deadline=deadline)
    return network_structure(
        *_core.steiner_network(
            cost_array(cost_map), list(terminals), method, roots=roots, lookahead=lookahead,
            deadline=deadline,
        )
    )


def steiner_trees(
    cost_map: Any,
    terminals: Sequence[Cell],
    *,
    method: str = "best",
    roots: int = 4,
    lookahead: int = 64,
    deadline: float | None = None,
) -> list[dict[str, Any]]:
    """Every tree :func:`steiner_tree` chooses from: the Voronoi tree, then one grown tree per root.

    Trees not finished within ``deadline`` seconds are left out.

    Example:
        >>> len(steiner_trees(np.ones((16, 16)), [(1, 1), (14, 3), (8, 14)], roots=2))
        3
    """
    return [
        network_structure(*network)
        for network in _core.steiner_candidates(
            cost_array(cost_map), list(terminals), method, roots=roots, lookahead=lookahead,
            deadline=deadline,
        )
    ]


def spanning_tree(cost_map: Any, terminals: Sequence[Cell]) -> dict[str, Any]:
    """The minimum spanning tree of straight edges between the terminals.

    Example:
        >>> tree = spanning_tree(np.ones((8, 8)), [(0, 0), (0, 7), (7, 7)])
        >>> len(tree["edges"]), round(tree["cost"], 4)
        (2, 1.1875)
    """
    return network_structure(*_core.spanning_network(cost_array(cost_map), list(terminals)))


def optimal_network(
    cost_map: Any,
    terminals: Sequence[Cell],
    *,
    upper_bound: float | None = None,
    candidates: Sequence[Cell] | None = None,
    max_seconds: float = 1800.0,
    max_memory: float = 4e9,
) -> dict[str, Any]:
    """The minimum-cost network of straight edges that joins ``terminals``.

    Every term of a network's cost is non-negative, so the optimum is a tree:
    a node-weighted Steiner tree in the complete graph over the map's cells,
    an edge weighing the trace cost of its straight segment. It is found by
    the Dreyfus-Wagner programme over that graph, leaving out the cells and
    partial trees that a lower bound shows cannot beat ``upper_bound`` (by
    default the polished heuristic network's cost). Edge weights are held as
    32-bit floats, so the tree is optimal up to a relative 1e-7; the returned
    ``"cost"`` is the exact trace cost :func:`gridweave.evaluate_genomes` gives.
    ``candidates`` restricts bends and branch points to those cells (the
    optimum among such networks). Problems whose worst-case estimate exceeds
    ``max_seconds`` or ``max_memory`` (bytes) are refused with a ``ValueError``
    that gives the estimate, before anything large is allocated.

    Example:
        >>> cost = np.ones((12, 12)); cost[6, :10] = 50.0
        >>> net = optimal_network(cost, [(2, 2), (10, 2)])
        >>> round(net["cost"], 4) <= round(steiner_tree(cost, [(2, 2), (10, 2)])["cost"], 4)
        True
    """
    cost = cost_array(cost_map)
    cells = [tuple(t) for t in terminals]
    chosen = None if candidates is None else list(candidates)
    limits: dict[str, Any] = dict(candidates=chosen, max_seconds=max_seconds, max_memory=max_memory)
    if upper_bound is None and len(cells) > 1:
        _core.optimal_network(cost, cells, estimate_only=True, **limits)  # refuses oversized problems
        upper_bound = heuristic_cost(cost, cells)
    network = _core.optimal_network(cost, cells, upper_bound=upper_bound, **limits)
    assert network is not None  # no deadline was given
    return network_structure(*network)


def heuristic_cost(cost_map: Any, terminals: Sequence[Cell]) -> float:
    """The trace cost of the cheapest polished heuristic network (spanning or Steiner tree).

    Example:
        >>> round(heuristic_cost(np.ones((8, 8)), [(0, 0), (0, 7), (7, 7)]), 4)
        1.1875
    """
    from .config import make_config

    cost = cost_array(cost_map)
    cells = [tuple(t) for t in terminals]
    config = make_config(cost.shape, cells, graph_init={"Grid": [0, 0]})
    networks = [spanning_tree(cost, cells), steiner_tree(cost, cells)]
    genomes = [genome_from_structure(config, n) for n in networks]
    return min([n["cost"] for n in networks] + polish(genomes, cost))


def polish(
    genomes: Sequence[Genome],
    cost_map: Any,
    *,
    radius: int = 2,
    max_rounds: int = 64,
    split_edges: bool = True,
    exchange: bool = False,
    deadline: float | None = None,
    keep_redundancy: bool = False,
    existing: np.ndarray | None = None,
    regions: Sequence[np.ndarray] | None = None,
) -> list[float]:
    """Improve genomes in place by exact local moves; returns each one's cost afterwards.

    Until nothing improves: flexible leaves are deleted, a flexible node of
    degree two gives way to a straight edge between its neighbours, flexible
    nodes move to cheaper free cells within ``radius`` (and by longer jumps),
    and with ``split_edges`` an edge gets a bend, or two edges of a node a
    Steiner point, where that is cheaper. ``exchange`` also replaces key paths
    of tree networks by cheaper least-cost connections (slower). Fixed nodes
    never move, and the network stays connected; disconnected genomes are left
    as they are. The genomes are evaluated as :func:`gridweave.evaluate_genomes`
    would, and each returned cost is ``1 / fitness``. After ``deadline``
    seconds no further move or exchange starts: each genome keeps the moves
    made so far. With ``keep_redundancy`` (for the bridge objective) a move is
    taken only when it lowers the cost without raising the bridge share (no
    key-path exchange then), so a network keeps its place on a front.
    ``existing`` and ``regions`` (cell indices, see :mod:`gridweave.planning`)
    keep the nodes that join an existing network or reach a region joined.
    """
    return _core.polish_genomes(
        list(genomes), cost_array(cost_map), radius=radius, max_rounds=max_rounds,
        split_edges=split_edges, exchange=exchange, deadline=deadline, keep_redundancy=keep_redundancy,
        existing=existing, regions=regions,
    )


def ring(
    cost_map: Any, terminals: Sequence[Cell], *, lookahead: int = 64, deadline: float | None = None
) -> dict[str, Any] | None:
    """A ring through the terminals, the classic network without bridges, as a structure dictionary.

    The visiting order is a travelling-salesman tour over the terminals'
    least-cost distances (nearest neighbour, then 2-opt and or-opt); each leg
    is a least-cost cell path that avoids the earlier legs where it can,
    straightened by the exact bend programme. Terminals come first, as
    ``Fixed`` nodes; with fewer than three there are no edges. The structure
    carries its trace ``"cost"``. ``None`` when ``deadline`` (seconds) passes
    first.

    Example:
        >>> net = ring(np.ones((16, 16)), [(1, 1), (1, 14), (14, 8)])
        >>> len(net["edges"]) >= 3
        True
    """
    cells = [(int(row), int(col)) for row, col in terminals]
    found = _core.ring_network(cost_array(cost_map), cells, lookahead=lookahead, deadline=deadline)
    return None if found is None else network_structure(*found)


def partial_rings(
    cost_map: Any, terminals: Sequence[Cell], count: int = 6, *, deadline: float | None = None,
    full: Mapping[str, Any] | None = None,
) -> list[dict[str, Any]]:
    """Networks between a tree and a ring: a ring through all but the terminals
    dearest to visit, those joined to it by least-cost branches.

    Starting from the ring through every terminal (:func:`ring`, or ``full``
    when the caller has it), the terminal
    whose two legs cost the most leaves the tour, ``count`` times or until
    three remain; each smaller ring gets the terminals left out attached by
    :func:`attached_network` (joined where a branch meets a ring edge). The
    structures carry no cost. Fewer come back when ``deadline`` passes.

    Example:
        >>> cells = [(2, 2), (2, 13), (13, 13), (13, 2), (7, 7)]
        >>> [len(s["nodes"]) >= 5 for s in partial_rings(np.ones((16, 16)), cells, 1)]
        [True]
    """
    cells = [(int(row), int(col)) for row, col in terminals]
    cost = cost_array(cost_map)
    found: list[dict[str, Any]] = []
    inside = list(cells)
    current = full if full is not None else ring(cost, inside, deadline=deadline) if len(cells) >= 4 else None
    while current is not None and len(found) < count and len(inside) > 3:
        inside.remove(_dearest_visit(cost, current, inside))
        current = ring(cost, inside, deadline=deadline)
        if current is None:
            break
        outside = [c for c in cells if c not in inside]
        try:
            branches = attached_network(cost, outside, existing=current, deadline=deadline)
        except TimeoutError:
            break
        found.append(_joined(current, branches))
    return found


def _dearest_visit(cost: np.ndarray, structure: Mapping[str, Any],
                   terminals: Sequence[tuple[int, int]]) -> tuple[int, int]:
    """The terminal of a ring whose two legs (the edge chains to its tour neighbours) cost the most."""
    pos = {n["id"]: (int(n["data"]["pos"][0]), int(n["data"]["pos"][1])) for n in structure["nodes"]}
    links: dict[int, list[int]] = {i: [] for i in pos}
    for e in structure["edges"]:
        links[e["node1"]].append(e["node2"])
        links[e["node2"]].append(e["node1"])
    unit = {i: float(cost[p]) for i, p in pos.items()}
    config = make_config(cost.shape, [])

    def edge_cost(a: int, b: int) -> float:  # the trace kernel's own terms, without the end cells
        structure = network_structure([pos[a], pos[b]], 0, [(0, 1)], 0.0)
        genome = genome_from_structure(config, structure)
        return float(_core.network_costs([genome], cost)[0]) - unit[a] - unit[b]

    wanted = set(terminals)
    terminal_ids = {i for i, p in pos.items() if p in wanted}
    visits: dict[int, float] = {}
    for t in terminal_ids:
        total = 0.0
        for first in links[t]:
            previous, node = t, first
            total += edge_cost(previous, node)
            while node not in terminal_ids:
                previous, node = node, next(n for n in links[node] if n != previous)
                total += edge_cost(previous, node) + unit[previous]
        visits[t] = total
    return pos[max(visits, key=lambda t: (visits[t], pos[t]))]


def _joined(ring_structure: Mapping[str, Any], branches: Mapping[str, Any]) -> dict[str, Any]:
    """One structure of a ring and branches attached to it: a branch node on a
    ring node is that node, one on a ring edge splits the edge nearest to it."""
    nodes = {n["id"]: (tuple(n["data"]["pos"]), n["data"]["type"]) for n in ring_structure["nodes"]}
    edges = [(e["node1"], e["node2"]) for e in ring_structure["edges"] if e["enabled"]]
    by_cell = {cell: i for i, (cell, _) in nodes.items()}
    renumber: dict[int, int] = {}
    for n in branches["nodes"]:
        cell, kind = tuple(n["data"]["pos"]), n["data"]["type"]
        if cell in by_cell:
            renumber[n["id"]] = by_cell[cell]
            continue
        new = max(nodes) + 1
        nodes[new] = (cell, kind)
        by_cell[cell] = new
        renumber[n["id"]] = new
        if cell in {tuple(p) for p in branches.get("attachment_points", [])}:
            k = min(range(len(edges)), key=lambda k: _segment_distance(cell, nodes[edges[k][0]][0],
                                                                        nodes[edges[k][1]][0]))
            a, b = edges.pop(k)
            edges += [(a, new), (new, b)]
    edges += [(renumber[e["node1"]], renumber[e["node2"]]) for e in branches["edges"] if e["enabled"]]
    return {"nodes": [{"id": i, "data": {"pos": list(cell), "type": kind}} for i, (cell, kind) in nodes.items()],
            "edges": [{"id": k + 1, "node1": a, "node2": b, "enabled": True} for k, (a, b) in enumerate(edges)]}


def _segment_distance(p: Cell, a: Cell, b: Cell) -> float:
    dx, dy = b[0] - a[0], b[1] - a[1]
    length = dx * dx + dy * dy
    t = 0.0 if length == 0 else min(1.0, max(0.0, ((p[0] - a[0]) * dx + (p[1] - a[1]) * dy) / length))
    return math.hypot(p[0] - a[0] - t * dx, p[1] - a[1] - t * dy)


def _sorted_structure(genome: Genome) -> dict[str, Any]:
    """A genome's nodes and edges, each sorted by id."""
    structure = genome.get_structure()
    return {"nodes": sorted(structure["nodes"], key=lambda n: n["id"]),
            "edges": sorted(structure["edges"], key=lambda e: e["id"])}


def genome_from_structure(config: Mapping[str, Any], structure: Mapping[str, Any]) -> Genome:
    """A genome of the structure with its own numbers, in a registry of its own.

    The registry starts empty (no initial graph is built), so the structure's
    node and edge numbers never clash with numbers drawn before.

    Example:
        >>> from gridweave.config import make_config
        >>> cfg = make_config((8, 8), [(0, 0), (7, 7)])
        >>> g = genome_from_structure(cfg, spanning_tree(np.ones((8, 8)), [(0, 0), (7, 7)]))
        >>> sorted(g.nodes), sorted(g.edges)
        ([1, 2], [1])
    """
    special = {**config["special"], "graph_init": {"Grid": [0, 0]}, "fixed_nodes": []}
    builder = _core.Population({**config, "population_size": 0, "special": special})
    return builder.create_genome(dict(structure))


# Roots of the grown Steiner trees in the default start, by map size: each tree
# costs a search of the map's part nearer to the tree than its terminals, so
# the count falls as maps grow, to none beyond about 5,800 x 5,800 cells (where
# one grown tree takes longer than the Voronoi tree and the start's share of a
# time limit). On mountain maps a grown tree is the cheapest heuristic network
# (2 to 3 % below the Voronoi tree), so they stay where they fit.
GROW_ROOTS = ((2**21, 8), (2**23, 4), (2**25, 2))


def default_roots(shape: Sequence[int]) -> int:
    """Roots of the grown Steiner trees in the default start for a map of ``shape``.

    Example:
        >>> default_roots((512, 512)), default_roots((4096, 4096)), default_roots((8192, 8192))
        (8, 2, 0)
    """
    cells = int(shape[0]) * int(shape[1])
    return next((roots for limit, roots in GROW_ROOTS if cells <= limit), 0)


def start_network(
    cost_map: Any,
    config: Mapping[str, Any],
    method: str = "steiner",
    roots: int | None = None,
    *,
    budget: Budget = UNLIMITED,
    display: PhaseDisplay | None = None,
) -> dict[str, Any]:
    """The polished heuristic network that :func:`gridweave.evolve` starts from.

    ``"steiner"`` polishes the spanning tree and the Steiner trees of both
    heuristics (the growing one from ``roots`` terminals; by default fewer
    as maps grow, see :func:`default_roots`)
    and takes the cheapest, which is then polished once more with key-path
    exchange; ``"mst"`` takes the polished spanning tree (exchanged likewise).
    ``"alternatives"`` holds the other polished networks (up to
    ``ALTERNATIVES``, cheapest first), which :func:`gridweave.evolve` adds to
    its first members.
    Under the single objective, ``"steiner"`` then solves the Steiner problem
    exactly where that is cheap enough (see :func:`reduced_optimum`), and
    elsewhere cuts the network around each branch node and joins the parts
    again optimally (see :func:`rejoin_windows`), keeping what is cheaper.
    The structure carries the polished network's ``"cost"``. Under a
    ``budget`` each phase stops at its deadline with the best network so far
    (``display`` then records which phases were cut short).

    Example:
        >>> from gridweave.config import make_config
        >>> cfg = make_config((16, 16), [(1, 1), (14, 3), (8, 14)])
        >>> net = start_network(np.ones((16, 16)), cfg)
        >>> [n["data"]["type"] for n in net["nodes"]][:3]
        ['Fixed', 'Fixed', 'Fixed']
    """
    if method not in ("steiner", "mst"):
        raise ValueError(f"start network method must be 'steiner' or 'mst', got {method!r}")
    cost = cost_array(cost_map)
    shown = display if display is not None else PhaseDisplay(False)
    terminals = [tuple(t) for t in config["special"]["fixed_nodes"]]
    candidates = [shown.run("spanning tree", None, lambda: spanning_tree(cost, terminals))]
    if method == "steiner":
        grown = default_roots(cost.shape) if roots is None else roots
        candidates.extend(shown.within(budget, "Steiner trees", lambda left: steiner_trees(
            cost, terminals, method="best" if grown else "voronoi", roots=max(grown, 1), deadline=left())))
    genomes = [genome_from_structure(config, c) for c in candidates]
    costs = shown.within(budget, "polish", lambda left: polish(genomes, cost, deadline=left()))
    best = min(range(len(genomes)), key=lambda i: costs[i])
    # Key-path exchange is slower: only the winner gets it.
    final_cost = shown.within(budget, "key-path exchange", lambda left: polish(
        [genomes[best]], cost, exchange=True, deadline=left()))[0]
    polished = {
        **_sorted_structure(genomes[best]),
        "cost": final_cost,
        "alternatives": _alternatives(genomes, costs, best, final_cost),
    }
    if method != "steiner" or config["special"].get("evaluation_strategy") == "MultiObjectiveBridge":
        return polished
    reduced = shown.within(budget, "exact network", lambda left: reduced_optimum(
        cost, config, terminals, genomes, final_cost, left))
    # The polished heuristic network is one more alternative when an exact one wins.
    others = [{k: v for k, v in polished.items() if k != "alternatives"}, *polished["alternatives"]]
    if reduced is not None and reduced["cost"] < final_cost:
        return {**reduced, "alternatives": others[:ALTERNATIVES]}
    if cost.size > WINDOW_CELLS:
        return polished
    rejoined = shown.within(budget, "exact network", lambda left: rejoin_windows(
        cost, config, genomes[best], left))
    if 1 / rejoined.fitness >= final_cost:
        return polished
    return {
        **_sorted_structure(rejoined),
        "cost": 1 / rejoined.fitness,
        "alternatives": others[:ALTERNATIVES],
    }


# Polished heuristic networks other than the start that join the first members:
# different trees (other roots, other detours) to breed from.
ALTERNATIVES = 4


def _alternatives(genomes: Sequence[Genome], costs: Sequence[float], best: int,
                  final_cost: float) -> list[dict[str, Any]]:
    """Up to ``ALTERNATIVES`` of the other polished networks, cheapest first, each cost once
    (a network of the start's cost is taken for the start itself)."""
    seen = {round(costs[best], 9), round(final_cost, 9)}
    chosen: list[dict[str, Any]] = []
    for i in sorted(range(len(genomes)), key=lambda i: costs[i]):
        if round(costs[i], 9) in seen or not math.isfinite(costs[i]) or len(chosen) == ALTERNATIVES:
            continue
        seen.add(round(costs[i], 9))
        chosen.append({**genomes[i].get_structure(), "cost": costs[i]})
    return chosen


def attached_network(
    cost_map: Any,
    terminals: Sequence[Cell] = (),
    existing: Any = None,
    regions: Sequence[Any] | None = None,
    *,
    transform: Sequence[float] | None = None,
    lookahead: int = 64,
    deadline: float | None = None,
    root: int | None = None,
) -> dict[str, Any]:
    """A network that joins the terminals to an existing network and reaches every region.

    ``existing`` and ``regions`` take the forms of :mod:`gridweave.planning`.
    The network is a tree of least-cost paths grown from the existing network
    (or from the first terminal or region), each time joining the nearest
    terminal or region not yet reached, then straightened (with ``root``, a
    terminal's index, it grows from that terminal instead and joins the
    existing network where it first reaches it). The existing
    network costs nothing: ``"cost"`` is the trace cost of the new
    construction, and ``"attachment_points"`` lists the cells where it joins
    the existing network.

    Example:
        >>> road = [[(0, 0), (0, 9)]]
        >>> net = attached_network(np.ones((10, 10)), [(6, 4)], existing=road)
        >>> net["attachment_points"]
        [(0, 4)]
    """
    cost = cost_array(cost_map)
    plan = attachments(cost.shape, existing, regions, transform)
    native = plan.native() if plan is not None else {}
    if plan is not None:
        cost = plan.free_cost(cost)
    grown = _core.attached_network(cost, list(terminals), lookahead=lookahead, deadline=deadline, root=root,
                                   **native)
    if grown is None:
        raise TimeoutError("attached_network: the deadline passed before the network was grown")
    structure = network_structure(*grown)
    structure["attachment_points"] = plan.attachment_points(structure) if plan is not None else []
    return structure


def extension_start(
    cost: np.ndarray,
    config: Mapping[str, Any],
    plan: Attachments,
    *,
    budget: Budget = UNLIMITED,
    display: PhaseDisplay | None = None,
) -> dict[str, Any]:
    """The polished start of :func:`gridweave.evolve` with an existing network or
    regions: the grown tree of :func:`attached_network`, polished with the
    joins held. ``cost`` must already price the existing network at 0."""
    shown = display if display is not None else PhaseDisplay(False)
    terminals = [tuple(t) for t in config["special"]["fixed_nodes"]]
    native = plan.native()
    # Grown from the existing network, and from a few sites spread over the list.
    count = min(len(terminals), default_roots(cost.shape)) if plan.existing.size else 0
    roots = [None, *sorted({round(i * (len(terminals) - 1) / max(count - 1, 1)) for i in range(count)})]

    def grow(left: Any) -> list[dict[str, Any]]:
        trees: list[dict[str, Any]] = []
        for root in roots:  # the first tree is the start itself: it runs to its end
            grown = _core.attached_network(cost, terminals, deadline=left() if trees else None,
                                           root=root, **native)
            if grown is None:
                break
            trees.append(network_structure(*grown))
        return trees

    trees = shown.within(budget, "Steiner trees", grow)
    genomes = [genome_from_structure(config, tree) for tree in trees]
    costs = shown.within(budget, "polish", lambda left: polish(genomes, cost, deadline=left(), **native))
    best = min(range(len(genomes)), key=lambda i: costs[i])
    return {
        **_sorted_structure(genomes[best]),
        "cost": costs[best],
    }


# The default start solves the Steiner problem exactly over a reduced set of
# candidate cells (the whole map when that fits, else a lattice of every
# `step`-th cell plus the surroundings of the polished networks' nodes) on maps
# of up to this many cells and terminals, when the programme's estimate fits
# a quarter of the time left (a busy machine runs it up to three times slower
# than estimated) or, without a time limit, this many seconds.
EXACT_START_CELLS = 256 * 256
EXACT_START_TERMINALS = 12
EXACT_START_SECONDS = 30.0
LATTICE_STEPS = (1, 2, 3, 4, 6, 8)


def candidate_cells(shape: Sequence[int], networks: Sequence[Genome], step: int,
                    along_edges: bool = False) -> list[tuple[int, int]]:
    """Every ``step``-th cell of both axes and the cells within ``step`` of the networks'
    nodes (with ``along_edges``, of every cell their straight edges pass).

    Example:
        >>> len(candidate_cells((8, 8), [], 4))
        4
    """
    rows, cols = int(shape[0]), int(shape[1])
    marked = np.zeros((rows, cols), dtype=bool)
    marked[::step, ::step] = True
    for network in networks:
        points = [node.data.pos for node in network.nodes.values()]
        if along_edges:
            for edge in network.edges.values():
                a, b = network.nodes[edge.node1].data.pos, network.nodes[edge.node2].data.pos
                count = max(abs(a[0] - b[0]), abs(a[1] - b[1])) + 1
                points.extend(zip(np.rint(np.linspace(a[0], b[0], count)).astype(int),
                                  np.rint(np.linspace(a[1], b[1], count)).astype(int)))
        for x, y in points:
            marked[max(0, x - step) : x + step + 1, max(0, y - step) : y + step + 1] = True
    return [(int(r), int(c)) for r, c in zip(*np.nonzero(marked))]


def solved_network(cost: np.ndarray, config: Mapping[str, Any], terminals: Sequence[Cell],
                   cells: list[tuple[int, int]] | None, limits: dict[str, Any],
                   left: Callable[[], float | None]) -> tuple[Genome, float] | None:
    """The polished optimum over ``cells`` (all cells when None), or None when it does not fit
    ``limits``, the deadline passes or nothing beats the bound."""
    try:
        _core.optimal_network(cost, list(terminals), candidates=cells, estimate_only=True, **limits)
        network = _core.optimal_network(cost, list(terminals), candidates=cells, deadline=left(), **limits)
    except ValueError:  # too large for the time left, or nothing below the bound on these cells
        return None
    if network is None:
        return None
    genome = genome_from_structure(config, network_structure(*network))
    return genome, polish([genome], cost, exchange=True, deadline=left())[0]


def reduced_optimum(cost: np.ndarray, config: Mapping[str, Any], terminals: Sequence[Cell],
                    networks: Sequence[Genome], upper_bound: float,
                    left: Callable[[], float | None]) -> dict[str, Any] | None:
    """The polished optimum over the finest candidate set whose estimate fits, if below ``upper_bound``.

    The candidate sets are the whole map, then lattices of every 2nd, 3rd, ...
    cell with the cells near the nodes of ``networks``; the optimum over a
    lattice is solved once more over the cells near it. None when no candidate
    set fits, the deadline passes, or nothing beats the bound.
    """
    if cost.size > EXACT_START_CELLS or not 2 <= len(terminals) <= EXACT_START_TERMINALS:
        return None
    seconds = left()
    limits: dict[str, Any] = dict(upper_bound=upper_bound, max_memory=2e9,
                                  max_seconds=EXACT_START_SECONDS if seconds is None else max(seconds / 4, 1e-3))
    found = None
    for step in LATTICE_STEPS:
        cells = None if step == 1 else candidate_cells(cost.shape, networks, step)
        found = solved_network(cost, config, terminals, cells, limits, left)
        if found is not None or (cells is None and left() is not None and left() == 0.0):
            break
    if found is None:
        return None
    genome, found_cost = found
    if step > 1:
        # Once more over every cell near the network found, on a coarser lattice elsewhere.
        near = candidate_cells(cost.shape, [genome], step, along_edges=True)
        coarse = candidate_cells(cost.shape, [], 2 * step)
        refined = solved_network(cost, config, terminals, sorted(set(near) | set(coarse)),
                                 {**limits, "upper_bound": found_cost}, left)
        if refined is not None and refined[1] < found_cost:
            genome, found_cost = refined
    return {
        **_sorted_structure(genome),
        "cost": found_cost,
    }


# Windows that the start cuts out of larger networks and joins again exactly,
# as (half their side in cells, their lattice step, the most parts cut apart);
# maps of more cells skip them (each window marks the map's cells once).
WINDOW_CELLS = 1024 * 1024
# Two passes: wide windows on a coarse lattice, then narrow ones on a fine one.
WINDOWS = ((48, 4, 10), (24, 2, 7))


def rejoin_window(cost: np.ndarray, config: Mapping[str, Any], genome: Genome, centre: Cell,
                  deadline: float | None = None, window: tuple[int, int, int] = WINDOWS[-1]) -> Genome | None:
    """The network with its flexible nodes near ``centre`` removed and its parts joined
    again by the optimal tree over a lattice of the window's cells; None unless cheaper.
    ``window`` is one entry of ``WINDOWS``.

    Example:
        >>> cost = np.ones((40, 40)); cost[20, 2:] = 50.0
        >>> from gridweave.config import make_config
        >>> cfg = make_config((40, 40), [(5, 5), (35, 5), (5, 35)])
        >>> g = genome_from_structure(cfg, spanning_tree(cost, [(5, 5), (35, 5), (5, 35)]))
        >>> better = rejoin_window(cost, cfg, g, (20, 5))
        >>> better is None or 1 / better.fitness < 1 / g.fitness
        True
    """
    structure = genome.get_structure()
    pos = {n["id"]: tuple(n["data"]["pos"]) for n in structure["nodes"]}
    fixed = {n["id"] for n in structure["nodes"] if n["data"]["type"] == "Fixed"}
    edges = [(e["node1"], e["node2"]) for e in structure["edges"] if e["enabled"]]
    cx, cy = (int(v) for v in centre)
    radius, step, most_parts = window

    def near(cell: tuple[int, int], radius: int) -> bool:
        return max(abs(cell[0] - cx), abs(cell[1] - cy)) <= radius

    removed = {i for i, cell in pos.items() if i not in fixed and near(cell, radius)}
    kept_edges = [(a, b) for a, b in edges if a not in removed and b not in removed]
    parent = {i: i for i in pos if i not in removed}

    def find(i: int) -> int:
        while parent[i] != i:
            parent[i] = parent[parent[i]]
            i = parent[i]
        return i

    for a, b in kept_edges:
        parent[find(a)] = find(b)
    # Each part may be joined at its nodes near the window and at the ends of the cut edges.
    cut_ends = {a if b in removed else b for a, b in edges if (a in removed) != (b in removed)}
    parts: dict[int, list[tuple[int, int]]] = {}
    for i in parent:
        if i in cut_ends or near(pos[i], 2 * radius):
            parts.setdefault(find(i), []).append(pos[i])
    if len({find(i) for i in parent}) != len(parts) or not 2 <= len(parts) <= most_parts:
        return None  # a part lies wholly outside the surroundings, or too many parts
    groups = [sorted(set(cells), key=lambda c: max(abs(c[0] - cx), abs(c[1] - cy)))[:48] for cells in parts.values()]
    rows, cols = cost.shape
    lattice = [(r, c) for r in range(max(0, cx - radius), min(rows, cx + radius + 1), step)
               for c in range(max(0, cy - radius), min(cols, cy + radius + 1), step)]
    try:
        joined = _core.optimal_network(cost, [g[0] for g in groups], candidates=lattice, groups=groups,
                                       max_seconds=5.0, max_memory=1e9, deadline=deadline)
    except ValueError:
        return None
    if joined is None:
        return None
    nodes, _, new_edges, _ = joined
    ids = {cell: i for i, cell in pos.items() if i not in removed}
    next_id = max(pos) + 1
    node_list = [n for n in structure["nodes"] if n["id"] not in removed]
    for cell in nodes:
        cell = (int(cell[0]), int(cell[1]))
        if cell not in ids:
            ids[cell] = next_id
            node_list.append({"id": next_id, "data": {"pos": list(cell), "type": "Flexible"}})
            next_id += 1
    links = kept_edges + [(ids[tuple(nodes[a])], ids[tuple(nodes[b])]) for a, b in new_edges]
    candidate = genome_from_structure(config, {
        "nodes": node_list,
        "edges": [{"id": k + 1, "node1": a, "node2": b, "enabled": True} for k, (a, b) in enumerate(links)],
    })
    _core.evaluate_genomes([candidate], cost)
    return candidate if candidate.fitness > genome.fitness else None


def rejoin_windows(cost: np.ndarray, config: Mapping[str, Any], genome: Genome,
                   left: Callable[[], float | None]) -> Genome:
    """``genome`` after :func:`rejoin_window` around each of its branch nodes in turn, for
    every entry of ``WINDOWS``, polished."""
    _core.evaluate_genomes([genome], cost)
    improved = False
    for window in WINDOWS:
        degree: dict[int, int] = {}
        for edge in genome.edges.values():
            if edge.enabled:
                degree[edge.node1] = degree.get(edge.node1, 0) + 1
                degree[edge.node2] = degree.get(edge.node2, 0) + 1
        for centre in [genome.nodes[i].data.pos for i, d in degree.items() if d >= 3]:
            if left() == 0.0:
                break
            better = rejoin_window(cost, config, genome, centre, left(), window)
            if better is not None:
                genome, improved = better, True
    if improved:
        polish([genome], cost, exchange=True, deadline=left())
    return genome
