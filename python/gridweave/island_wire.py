"""What travels between islands: migrants, packed members, and their renumbering.

Innovation numbers belong to one population, so a network arriving from
another island is renumbered (:func:`renumber`): its fixed nodes take the
receiver's ids of the fixed nodes at the same grid positions, every other node
a fresh number from the receiver's registry, and every edge the receiver's
number for its pair of nodes.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from ._core import Genome
from .history import GenerationRecord

__all__ = ["Migrant", "PackedGenome", "Checkpoint", "renumber", "node_cells", "NUMBERINGS"]

NUMBERINGS = ("fresh", "position")

Cell = tuple[int, int]


@dataclass(frozen=True)
class Migrant:
    """A network crossing between islands: its structure dictionary (with the
    sender's numbers), its raw score and its evaluation objectives."""

    structure: dict[str, Any]
    fitness: float
    objectives: tuple[float, ...] | None


@dataclass(frozen=True)
class PackedGenome:
    """A structure dictionary as arrays, cheap to pickle: node ids, positions
    and fixed flags; edge ids with both end nodes, and enabled flags; then the
    raw score and objectives."""

    node_ids: np.ndarray
    node_cells: np.ndarray
    node_fixed: np.ndarray
    edges: np.ndarray
    edge_enabled: np.ndarray
    fitness: float
    objectives: tuple[float, ...] | None

    @classmethod
    def of(cls, structure: Mapping[str, Any], fitness: float, objectives: tuple[float, ...] | None) -> PackedGenome:
        nodes, edges = structure["nodes"], structure["edges"]
        return cls(
            node_ids=np.array([n["id"] for n in nodes], dtype=np.uint64),
            node_cells=np.array([n["data"]["pos"] for n in nodes], dtype=np.int64).reshape(-1, 2),
            node_fixed=np.array([n["data"]["type"] == "Fixed" for n in nodes], dtype=bool),
            edges=np.array([(e["id"], e["node1"], e["node2"]) for e in edges], dtype=np.uint64).reshape(-1, 3),
            edge_enabled=np.array([bool(e["enabled"]) for e in edges], dtype=bool),
            fitness=fitness,
            objectives=objectives,
        )

    def structure(self) -> dict[str, Any]:
        nodes = [
            {"id": int(i), "data": {"pos": (int(x), int(y)), "type": "Fixed" if fixed else "Flexible"}}
            for i, (x, y), fixed in zip(self.node_ids, self.node_cells, self.node_fixed)
        ]
        edges = [
            {"id": int(i), "node1": int(a), "node2": int(b), "enabled": bool(on)}
            for (i, a, b), on in zip(self.edges, self.edge_enabled)
        ]
        return {"nodes": nodes, "edges": edges}


@dataclass
class Checkpoint:
    """An island as packed members, independent of any registry: an island is
    rebuilt from it by renumbering them into a fresh population (islands
    checkpoint themselves as :func:`gridweave.checkpoint.contents_of` gives,
    which keeps the registry; this form is still read). ``state``, when
    present, is the run as :meth:`gridweave.run.Run.to_plain` gives it."""

    generation: int
    members: list[PackedGenome]
    best: PackedGenome | None
    front: list[PackedGenome]
    history: list[GenerationRecord]
    migrants_received: int
    evaluations: int
    matching: list[float]
    state: dict[str, Any] | None = None


def renumber(
    structure: Mapping[str, Any],
    fixed_ids: Mapping[Cell, int],
    fresh: dict[int, int],
    draw: Any,
    known: Mapping[Cell, int] | None = None,
) -> dict[str, Any]:
    """The structure in the receiver's numbering, ready for ``create_genome``.

    Fixed nodes take ``fixed_ids[pos]``; with ``known`` (position numbering)
    a flexible node at a position the receiver already numbered takes that
    number, unless another node of the structure took it already (a node
    that moved is known at several positions); every other node takes
    ``fresh[old id]``, drawn by ``draw()`` the first time, so that networks
    renumbered with one ``fresh`` keep their shared genes shared. Edge numbers
    are left out, so the receiver's registry gives each edge the number of its
    node pair. Edges naming a node the structure lacks are dropped.

    Example:
        >>> counter = iter(range(100, 200))
        >>> s = {"nodes": [{"id": 7, "data": {"pos": (0, 0), "type": "Fixed"}},
        ...                {"id": 9, "data": {"pos": (3, 4), "type": "Flexible"}}],
        ...      "edges": [{"id": 5, "node1": 7, "node2": 9, "enabled": True}]}
        >>> out = renumber(s, {(0, 0): 1}, {}, lambda: next(counter))
        >>> [n["id"] for n in out["nodes"]], out["edges"]
        ([1, 100], [{'node1': 1, 'node2': 100, 'enabled': True}])
    """
    ids: dict[int, int] = {}
    used: set[int] = set()
    nodes = []
    for node in structure["nodes"]:
        pos = (int(node["data"]["pos"][0]), int(node["data"]["pos"][1]))
        fixed = node["data"]["type"] == "Fixed"
        if fixed and pos in fixed_ids:
            new = fixed_ids[pos]
        elif not fixed and known is not None and pos in known and known[pos] not in used:
            new = known[pos]
        else:
            if node["id"] not in fresh:
                fresh[node["id"]] = draw()
            new = fresh[node["id"]]
        ids[node["id"]] = new
        used.add(new)
        nodes.append({"id": new, "data": dict(node["data"])})
    edges = [
        {"node1": ids[e["node1"]], "node2": ids[e["node2"]], "enabled": bool(e["enabled"])}
        for e in structure["edges"]
        if e["node1"] in ids and e["node2"] in ids
    ]
    return {"nodes": nodes, "edges": edges}


def node_cells(genomes: Sequence[Genome], kind: str) -> dict[Cell, int]:
    """Grid position to node id over the genomes' nodes of one type (first seen wins)."""
    cells: dict[Cell, int] = {}
    for genome in genomes:
        for node_id, node in genome.nodes.items():
            if node.data.type_ == kind:
                cells.setdefault((int(node.data.pos[0]), int(node.data.pos[1])), node_id)
    return cells
