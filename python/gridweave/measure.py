"""What a person reads about a network: its cost, its length and its links.

The fitness is ``1 / S`` where ``S`` is the trace cost of the evaluation:
the traces are scaled by ``1 / (rows + columns)``, so ``S`` does not relate
to the map. :func:`network_cost` undoes that scale: it is the sum over the
network's node cells and sampled edge cells of cost times step length, with
the native trace kernel of the evaluation, reading only the cells the network touches (a straight 64-cell line on a
map of cost 1 costs about 64 plus its two node cells). Outputs for a
georeferenced map multiply it by the side of a cell, which makes it cost
units times map units of length.

:func:`network_links` splits a network into its links: the chains of edges
between sites and junctions, whose inner nodes are bends.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np

from . import _core
from ._core import Genome

__all__ = ["network_cost", "network_length", "network_links", "Link"]


def cost_array(cost_map: Any, *, nodata: float | None = None,
               source: str = "argument 'cost_map'") -> np.ndarray:
    """The cost map as every native entry reads it, from the native boundary that
    alone decides what a cell means: NaN, masked and ``nodata`` cells become
    ``inf`` (impassable) and a negative cost is refused with a ValueError that
    begins with ``source`` and names the first one. A C-contiguous float32 or
    float64 array that needs no change is returned itself; any other map is
    copied once, as float64.

    Example:
        >>> cost_array(np.ones((2, 2), dtype=np.float32)).dtype, cost_array([[1, 2]]).dtype
        (dtype('float32'), dtype('float64'))
        >>> cost_array([[1.0, float("nan"), -9.0]], nodata=-9)
        array([[ 1., inf, inf]])
    """
    return _core.checked_cost_map(cost_map, nodata=nodata, source=source)


def network_cost(genome: Genome, cost_map: Any) -> float:
    """The network's cost in map units (``inf`` when it crosses an impassable cell).

    Example:
        >>> from gridweave.config import make_config
        >>> from gridweave.routes import genome_from_structure, spanning_tree
        >>> cost = np.ones((8, 8))
        >>> tree = spanning_tree(cost, [(0, 0), (0, 7)])
        >>> network_cost(genome_from_structure(make_config((8, 8), [(0, 0), (0, 7)]), tree), cost)
        10.0
    """
    return float(_core.network_costs([genome], cost_array(cost_map))[0])


def network_length(network: Genome | Mapping[str, Any]) -> float:
    """Total Euclidean length, in cells, of the enabled edges of a genome or structure.

    Example:
        >>> network_length({"nodes": [{"id": 1, "data": {"pos": (0, 0), "type": "Fixed"}},
        ...                           {"id": 2, "data": {"pos": (3, 4), "type": "Fixed"}}],
        ...                 "edges": [{"id": 1, "node1": 1, "node2": 2, "enabled": True}]})
        5.0
    """
    structure = network.get_structure() if isinstance(network, Genome) else network
    cells = {node["id"]: node["data"]["pos"] for node in structure["nodes"]}
    return math.fsum(
        math.dist(cells[edge["node1"]], cells[edge["node2"]])
        for edge in structure["edges"]
        if edge["enabled"] and edge["node1"] in cells and edge["node2"] in cells
    )


@dataclass(frozen=True)
class Link:
    """A chain of enabled edges between two anchors (sites, junctions or ends):
    ``nodes`` from one anchor to the other, ``edges`` the edge ids in order."""

    nodes: tuple[int, ...]
    edges: tuple[int, ...]


def network_links(structure: Mapping[str, Any]) -> list[Link]:
    """The links of a structure's enabled edges. Anchors are fixed nodes and
    nodes with other than two edges; a closed loop of bends is one link from
    its smallest node back to it.

    Example:
        >>> net = {"nodes": [{"id": i, "data": {"pos": (0, i), "type": t}}
        ...                  for i, t in [(1, "Fixed"), (2, "Flexible"), (3, "Fixed")]],
        ...        "edges": [{"id": 7, "node1": 2, "node2": 1, "enabled": True},
        ...                  {"id": 8, "node1": 2, "node2": 3, "enabled": True}]}
        >>> network_links(net)
        [Link(nodes=(1, 2, 3), edges=(7, 8))]
    """
    kinds = {n["id"]: n["data"]["type"] for n in structure["nodes"]}
    around: dict[int, list[tuple[int, int]]] = {n: [] for n in kinds}
    for edge in sorted(structure["edges"], key=lambda e: e["id"]):
        a, b = edge["node1"], edge["node2"]
        if edge["enabled"] and a in kinds and b in kinds:
            around[a].append((edge["id"], b))
            around[b].append((edge["id"], a))
    anchors = [n for n in sorted(kinds) if kinds[n] == "Fixed" or len(around[n]) != 2]
    links: list[Link] = []
    used: set[int] = set()
    for start in [*anchors, *sorted(kinds)]:  # the second pass finds loops of bends
        for edge, _ in around[start]:
            if edge not in used:
                links.append(_walk(start, edge, around, set(anchors) | {start}, used))
    return links


def _walk(start: int, edge: int, around: Mapping[int, list[tuple[int, int]]],
          anchors: set[int], used: set[int]) -> Link:
    nodes, edges = [start], []
    while True:
        used.add(edge)
        edges.append(edge)
        node = next(other for e, other in around[nodes[-1]] if e == edge)
        nodes.append(node)
        if node in anchors:
            return Link(tuple(nodes), tuple(edges))
        edge = next(e for e, _ in around[node] if e != edge)  # a bend has two edges
        if edge in used:
            return Link(tuple(nodes), tuple(edges))
