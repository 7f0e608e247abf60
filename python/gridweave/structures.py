"""Structure dictionaries: a network as ``{"nodes": [...], "edges": [...]}``.

The one home of the conversions between genomes, node and link lists and the
dictionaries that the native ``get_structure`` and ``create_genome`` exchange.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any

from . import _core
from ._core import Genome

Cell = tuple[int, int]

__all__ = ["network_structure", "sorted_structure", "canonical_structure", "genome_from_structure",
           "structure_of"]


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


def sorted_structure(genome: Genome) -> dict[str, Any]:
    """A genome's nodes and edges, each sorted by id."""
    structure = genome.get_structure()
    return {"nodes": sorted(structure["nodes"], key=lambda n: n["id"]),
            "edges": sorted(structure["edges"], key=lambda e: e["id"])}


def canonical_structure(structure: Mapping[str, Any]) -> dict[str, Any]:
    """A structure dictionary with nodes and edges sorted by id and positions as lists.

    The native ``get_structure`` lists nodes and edges in hash-table order;
    this form is stable, JSON-friendly and still accepted by
    ``Population.create_genome``.

    Example:
        >>> canonical_structure({"nodes": [
        ...     {"id": 2, "data": {"pos": (5, 1), "type": "Flexible"}},
        ...     {"id": 1, "data": {"pos": (0, 0), "type": "Fixed"}}],
        ...     "edges": [{"id": 1, "node1": 1, "node2": 2, "enabled": True}]})["nodes"][0]
        {'id': 1, 'data': {'pos': [0, 0], 'type': 'Fixed'}}
    """
    nodes = [
        {"id": n["id"], "data": {"pos": list(n["data"]["pos"]), "type": n["data"]["type"]}}
        for n in sorted(structure["nodes"], key=lambda n: n["id"])
    ]
    edges = [dict(e) for e in sorted(structure["edges"], key=lambda e: e["id"])]
    return {"nodes": nodes, "edges": edges}


def genome_from_structure(config: Mapping[str, Any], structure: Mapping[str, Any]) -> Genome:
    """A genome of the structure with its own numbers, in a registry of its own
    (``Population.create_genome`` makes one in a given population instead).

    The registry starts empty (no initial graph is built), so the structure's
    node and edge numbers never clash with numbers drawn before.

    Example:
        >>> from gridweave.config import make_config
        >>> cfg = make_config((8, 8), [(0, 0), (7, 7)])
        >>> import numpy as np
        >>> from gridweave.routes import spanning_tree
        >>> g = genome_from_structure(cfg, spanning_tree(np.ones((8, 8)), [(0, 0), (7, 7)]))
        >>> sorted(g.nodes), sorted(g.edges)
        ([1, 2], [1])
    """
    special = {**config["special"], "graph_init": {"Grid": [0, 0]}, "fixed_nodes": []}
    builder = _core.Population({**config, "population_size": 0, "special": special})
    return builder.create_genome(dict(structure))


def structure_of(network: Any) -> Mapping[str, Any]:
    """The structure dictionary of a genome, or the dictionary itself."""
    structure: Mapping[str, Any] = (
        network.get_structure() if hasattr(network, "get_structure") else network
    )
    return structure
