"""Networks out: JSON with metadata, GeoJSON, networkx graphs, whole fronts.

A network is given as a ``Genome`` or a structure dictionary. Every output
leaves disabled edges out unless ``include_disabled=True``. Costs come from
the native evaluation (:func:`gridweave.evaluate_genomes`): the cost of the
network is its cost on the map (as :func:`gridweave.measure.network_cost`:
cost times step length over its node and edge cells), and an edge's cost is
the cost of a network of that edge alone; both are multiplied by the cell size
in map units (:func:`gridweave.gis.cell_size`, 1 without a transform). A
cost that is infinite (an edge over impassable cells) is written as ``null``.
Fronts are written cheapest network first.

With a ``transform`` (the six affine numbers of :class:`gridweave.gis.GeoRaster`)
coordinates are map points (cell centres); without one they are the
(row, column) cells of the nodes.

- :func:`network_json`: the structure dictionary with "format", "fitness",
  "cost", "objectives", "seed", "map_shape", "transform" and "crs"; it still
  loads with ``Population.create_genome`` (extra keys are ignored).
- :func:`network_geojson`: a FeatureCollection, edges as LineStrings with
  "cost", "length" and "bridge", nodes as Points with their "type".
- :func:`front_json` and :func:`front_geojson`: every network of a front.
- :func:`to_networkx`: a ``networkx.Graph`` with positions and costs.
"""

from __future__ import annotations

import json
import math
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import Any

import numpy as np

from . import _core
from .config import make_config
from .gis import cell_size, cell_to_map
from .routes import genome_from_structure

__all__ = [
    "FORMAT",
    "network_json",
    "network_geojson",
    "front_json",
    "front_geojson",
    "to_networkx",
    "write_json",
]

FORMAT = 1

IDENTITY: tuple[float, ...] = (1.0, 0.0, 0.0, 0.0, 1.0, 0.0)


class _Network:
    """A network's nodes and edges with costs from the native evaluation."""

    def __init__(self, network: Any, cost_map: Any, transform: Sequence[float] | None,
                 include_disabled: bool):
        structure = network.get_structure() if isinstance(network, _core.Genome) else network
        self.objectives = list(network.objectives or []) if isinstance(network, _core.Genome) else None
        self.cost_map = np.asarray(cost_map, dtype=np.float64)
        self.transform = None if transform is None else tuple(float(v) for v in transform)
        self.nodes = {int(n["id"]): n["data"] for n in sorted(structure["nodes"], key=lambda n: n["id"])}
        # Edges naming a missing node are left out: they are no part of a network.
        self.edges = [dict(e) for e in sorted(structure["edges"], key=lambda e: e["id"])
                      if (include_disabled or e["enabled"])
                      and e["node1"] in self.nodes and e["node2"] in self.nodes]
        self.scale = cell_size(self.transform or IDENTITY)
        self.fitness, self.edge_costs = self._evaluate()
        self.bridges = _bridges(list(self.nodes), [e for e in self.edges if e["enabled"]])

    def _evaluate(self) -> tuple[float, list[float | None]]:
        config = make_config(self.cost_map.shape, [])
        whole = {"nodes": self._node_entries(self.nodes),
                 "edges": [e for e in self.edges if e["enabled"]]}
        singles = [{"nodes": self._node_entries([e["node1"], e["node2"]]),
                    "edges": [{**e, "enabled": True}]} for e in self.edges]
        genomes = [genome_from_structure(config, s) for s in [whole, *singles]]
        _core.evaluate_genomes(genomes, self.cost_map)
        return genomes[0].fitness, [self._map_cost(g.fitness) for g in genomes[1:]]

    def _node_entries(self, ids: Any) -> list[dict[str, Any]]:
        return [{"id": i, "data": self.nodes[i]} for i in dict.fromkeys(ids)]

    def _map_cost(self, fitness: float) -> float | None:
        # 1 / fitness is the trace cost, whose samples are scaled by 1 / (rows + columns)
        return self.scale * sum(self.cost_map.shape) / fitness if fitness > 0 else None

    @property
    def cost(self) -> float | None:
        return self._map_cost(self.fitness)

    def point(self, node: int) -> list[float]:
        cell = self.nodes[node]["pos"]
        if self.transform is None:
            return [float(cell[0]), float(cell[1])]
        return list(cell_to_map(self.transform, cell))

    def length(self, edge: Mapping[str, Any]) -> float:
        return math.dist(self.point(edge["node1"]), self.point(edge["node2"]))


def _bridges(nodes: list[int], edges: list[dict[str, Any]]) -> set[int]:
    """Ids of the edges whose removal leaves their two ends unconnected."""
    def joined(a: int, b: int, skip: int) -> bool:
        neighbours: dict[int, list[int]] = {n: [] for n in nodes}
        for e in edges:
            if e["id"] != skip:
                neighbours.setdefault(e["node1"], []).append(e["node2"])
                neighbours.setdefault(e["node2"], []).append(e["node1"])
        seen, todo = {a}, [a]
        while todo:
            for m in neighbours.get(todo.pop(), []):
                if m not in seen:
                    seen.add(m)
                    todo.append(m)
        return b in seen

    return {e["id"] for e in edges if not joined(e["node1"], e["node2"], e["id"])}


def _map_metadata(cost_map: np.ndarray, transform: Sequence[float] | None, seed: int | None,
                  crs: str | None) -> dict[str, Any]:
    return {
        "format": FORMAT,
        "seed": seed,
        "map_shape": list(cost_map.shape),
        "transform": None if transform is None else [float(v) for v in transform],
        "crs": crs,
    }


def _metadata(net: _Network, seed: int | None, crs: str | None) -> dict[str, Any]:
    return {
        **_map_metadata(net.cost_map, net.transform, seed, crs),
        "fitness": net.fitness,
        "cost": net.cost,
        "objectives": net.objectives,
    }


def network_json(
    network: Any,
    cost_map: Any,
    *,
    transform: Sequence[float] | None = None,
    crs: str | None = None,
    seed: int | None = None,
    include_disabled: bool = False,
) -> dict[str, Any]:
    """The network's structure dictionary with its metadata (see the module docs).

    Example:
        >>> from gridweave.routes import spanning_tree
        >>> net = network_json(spanning_tree(np.ones((8, 8)), [(0, 0), (0, 4)]), np.ones((8, 8)))
        >>> net["format"], net["map_shape"], round(net["cost"], 6), len(net["edges"])
        (1, [8, 8], 7.0, 1)
    """
    net = _Network(network, cost_map, transform, include_disabled)
    nodes = [{"id": i, "data": {"pos": list(d["pos"]), "type": d["type"]}} for i, d in net.nodes.items()]
    edges = [{"id": e["id"], "node1": e["node1"], "node2": e["node2"], "enabled": bool(e["enabled"]),
              "cost": c} for e, c in zip(net.edges, net.edge_costs)]
    return {**_metadata(net, seed, crs), "nodes": nodes, "edges": edges}


def _features(net: _Network, extra: Mapping[str, Any]) -> list[dict[str, Any]]:
    features = []
    for edge, cost in zip(net.edges, net.edge_costs):
        features.append({
            "type": "Feature",
            "geometry": {"type": "LineString",
                         "coordinates": [net.point(edge["node1"]), net.point(edge["node2"])]},
            "properties": {**extra, "kind": "edge", "id": edge["id"], "node1": edge["node1"],
                           "node2": edge["node2"], "enabled": bool(edge["enabled"]), "cost": cost,
                           "length": net.length(edge), "bridge": edge["id"] in net.bridges},
        })
    for node, data in net.nodes.items():
        features.append({
            "type": "Feature",
            "geometry": {"type": "Point", "coordinates": net.point(node)},
            "properties": {**extra, "kind": "node", "id": node, "type": data["type"],
                           "cell": list(data["pos"])},
        })
    return features


def _collection(features: list[dict[str, Any]], crs: str | None, metadata: dict[str, Any]) -> dict:
    collection: dict[str, Any] = {"type": "FeatureCollection", "gridweave": metadata,
                                  "features": features}
    if crs is not None:
        collection["crs"] = {"type": "name", "properties": {"name": crs}}
    return collection


def network_geojson(
    network: Any,
    cost_map: Any,
    *,
    transform: Sequence[float] | None = None,
    crs: str | None = None,
    seed: int | None = None,
    include_disabled: bool = False,
) -> dict[str, Any]:
    """A GeoJSON FeatureCollection of the network (metadata under "gridweave").

    Example:
        >>> from gridweave.routes import spanning_tree
        >>> tree = spanning_tree(np.ones((8, 8)), [(0, 0), (0, 4)])
        >>> fc = network_geojson(tree, np.ones((8, 8)), transform=(10, 0, 100, 0, -10, 500))
        >>> fc["features"][0]["geometry"]["coordinates"], fc["features"][0]["properties"]["bridge"]
        ([[105.0, 495.0], [145.0, 495.0]], True)
    """
    net = _Network(network, cost_map, transform, include_disabled)
    return _collection(_features(net, {}), crs, _metadata(net, seed, crs))


def front_json(
    genomes: Sequence[Any],
    cost_map: Any,
    *,
    transform: Sequence[float] | None = None,
    crs: str | None = None,
    seed: int | None = None,
    include_disabled: bool = False,
) -> dict[str, Any]:
    """Every network of a front (each as :func:`network_json`) under "networks", cheapest first."""
    networks = [network_json(g, cost_map, transform=transform, crs=crs, seed=seed,
                             include_disabled=include_disabled) for g in _cheapest_first(genomes)]
    return {**_map_metadata(np.asarray(cost_map), transform, seed, crs), "networks": networks}


def front_geojson(
    genomes: Sequence[Any],
    cost_map: Any,
    *,
    transform: Sequence[float] | None = None,
    crs: str | None = None,
    seed: int | None = None,
    include_disabled: bool = False,
) -> dict[str, Any]:
    """Every network of a front in one FeatureCollection, cheapest first; each feature
    names its "network" (its index in that order), that network's "objectives" and
    its "network_cost"."""
    features = []
    for index, genome in enumerate(_cheapest_first(genomes)):
        net = _Network(genome, cost_map, transform, include_disabled)
        features += _features(net, {"network": index, "objectives": net.objectives,
                                    "network_cost": net.cost})
    metadata = {**_map_metadata(np.asarray(cost_map), transform, seed, crs), "networks": len(genomes)}
    return _collection(features, crs, metadata)


def _cheapest_first(genomes: Sequence[Any]) -> list[Any]:
    def fitness(genome: Any) -> float:
        objectives = getattr(genome, "objectives", None)
        return objectives[0] if objectives else getattr(genome, "fitness", 0.0)

    return sorted(genomes, key=fitness, reverse=True)


def to_networkx(
    network: Any,
    cost_map: Any,
    *,
    transform: Sequence[float] | None = None,
    include_disabled: bool = False,
) -> Any:
    """A ``networkx.Graph``: nodes with "pos" (map point or cell), "cell" and
    "type"; edges with "id", "cost", "length", "bridge" and "enabled"; the
    graph's "fitness" and "cost". Needs networkx.

    Example:
        >>> from gridweave.routes import spanning_tree
        >>> g = to_networkx(spanning_tree(np.ones((8, 8)), [(0, 0), (0, 4)]), np.ones((8, 8)))
        >>> g.nodes[1]["pos"], round(g.edges[1, 2]["cost"], 6), g.graph["cost"]
        ((0.0, 0.0), 7.0, 7.0)
    """
    try:
        import networkx as nx
    except ImportError:
        raise ImportError("to_networkx needs networkx: pip install networkx") from None
    net = _Network(network, cost_map, transform, include_disabled)
    graph = nx.Graph(fitness=net.fitness, cost=net.cost)
    for node, data in net.nodes.items():
        graph.add_node(node, pos=tuple(net.point(node)), cell=tuple(data["pos"]), type=data["type"])
    for edge, cost in zip(net.edges, net.edge_costs):
        graph.add_edge(edge["node1"], edge["node2"], id=edge["id"], cost=cost,
                       length=net.length(edge), bridge=edge["id"] in net.bridges,
                       enabled=bool(edge["enabled"]))
    return graph


def write_json(path: str | Path, value: Any) -> Path:
    """Writes ``value`` as indented JSON (``null`` for infinite and NaN numbers)."""
    path = Path(path)
    path.write_text(json.dumps(_finite(value), indent=1) + "\n", encoding="utf-8")
    return path


def _finite(value: Any) -> Any:
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, dict):
        return {k: _finite(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_finite(v) for v in value]
    return value
