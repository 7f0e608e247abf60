"""Networks out: JSON with metadata, GeoJSON, GeoPackage, CSV, networkx graphs, fronts.

A network is given as a ``Genome`` or a structure dictionary. Every output
leaves disabled edges out unless ``include_disabled=True``.

One cost: the network's cost is its cost on the map from the native
evaluation (as :func:`gridweave.measure.network_cost`: cost times step length
over its node and edge cells) times the side of a cell in map units
(:func:`gridweave.gis.cell_size`, 1 without a transform), so cost units times
metres on a projected raster. Each enabled edge carries its share: the cost
of its sampled cells, plus each end node's cell cost divided by the number of
edges at that node. The shares of all edges (and the cells of nodes without
edges, which rarely exist) add up to the network's cost; a link's cost (the
chain of edges between two sites or junctions, see
:func:`gridweave.measure.network_links`) is the sum of its edges' shares. A
disabled edge carries the cost of its sampled cells alone. An infinite cost
(an edge over impassable cells) is written as ``null``. Fronts are written
cheapest network first.

With a ``transform`` (the six affine numbers of :class:`gridweave.gis.GeoRaster`)
coordinates are map points (cell centres) and lengths are in map units;
without one they are the (row, column) cells of the nodes and lengths in
cells. ``sites`` (the records of :meth:`gridweave.gis.PlacedSite.record`)
give the fixed nodes on their cells their names and attributes.

- :func:`network_json`: the structure dictionary with "format", "fitness",
  "cost", "cost_unit", "objectives", "seed", "map_shape", "transform", "crs"
  and "sites"; it still loads with ``Population.create_genome`` (extra keys
  are ignored).
- :func:`network_geojson`: a FeatureCollection, edges as LineStrings with
  "cost", "length" and "bridge", nodes as Points with their "type" (sites
  with their "name" and attributes).
- :func:`front_json`: every network of a front; :func:`front_geojson`: one
  MultiLineString per front network, at most ``FRONT_FEATURES`` of them.
- :func:`write_geopackage`: layers "sites", "junctions", "links" and "front".
- :func:`links_csv`: one row per link.
- :func:`to_networkx`: a ``networkx.Graph`` with positions and costs.
"""

from __future__ import annotations

import csv
import json
import math
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import Any

import numpy as np

from . import _core
from .config import make_config
from .gis import cell_size, cell_to_map
from .measure import Link, cost_array, network_links
from .routes import genome_from_structure

__all__ = [
    "FORMAT",
    "FRONT_FEATURES",
    "network_json",
    "network_geojson",
    "front_json",
    "front_geojson",
    "links_csv",
    "write_geopackage",
    "to_networkx",
    "write_json",
]

FORMAT = 1
# front.geojson draws at most this many networks, spread evenly from the cheapest
# to the most redundant: a whole front of a large map made a file of tens of MB.
FRONT_FEATURES = 25

IDENTITY: tuple[float, ...] = (1.0, 0.0, 0.0, 0.0, 1.0, 0.0)


class _Network:
    """A network's nodes and edges with costs from the native evaluation."""

    def __init__(self, network: Any, cost_map: Any, transform: Sequence[float] | None,
                 include_disabled: bool, sites: Sequence[Mapping[str, Any]] = ()):
        structure = network.get_structure() if isinstance(network, _core.Genome) else network
        self.objectives = list(network.objectives or []) if isinstance(network, _core.Genome) else None
        self.cost_map = cost_array(cost_map)
        self.transform = None if transform is None else tuple(float(v) for v in transform)
        self.nodes = {int(n["id"]): n["data"] for n in sorted(structure["nodes"], key=lambda n: n["id"])}
        # Edges naming a missing node are left out: they are no part of a network.
        self.edges = [dict(e) for e in sorted(structure["edges"], key=lambda e: e["id"])
                      if (include_disabled or e["enabled"])
                      and e["node1"] in self.nodes and e["node2"] in self.nodes]
        self.enabled = [e for e in self.edges if e["enabled"]]
        self.scale = cell_size(self.transform or IDENTITY)
        self.sites = {tuple(site["cell"]): site for site in sites}
        genome = self._genome()
        _core.evaluate_genomes([genome], self.cost_map)
        self.fitness = genome.fitness
        self.cells_cost = float(_core.network_costs([genome], self.cost_map)[0])
        sampled = _core.edge_costs(genome, self.cost_map)
        self.edge_costs = self._shares([sampled[e["id"]] for e in self.edges])
        self.bridges = set(_core.bridge_edges(genome))
        self.links = network_links({"nodes": self._node_entries(self.nodes), "edges": self.enabled})

    def _genome(self) -> _core.Genome:
        """The network (its disabled edges too) as one genome that the native kernel prices."""
        structure = {"nodes": self._node_entries(self.nodes), "edges": self.edges}
        return genome_from_structure(make_config(self.cost_map.shape, []), structure)

    def node_cost(self, node: int) -> float:
        """The cost of a node's cell, as the evaluation counts it (nothing off the map)."""
        row, col = self.nodes[node]["pos"]
        rows, cols = self.cost_map.shape
        if not (0 <= row < rows and 0 <= col < cols):
            return 0.0
        return float(self.cost_map[row, col])

    def _shares(self, samples: list[float]) -> list[float | None]:
        degree = {n: 0 for n in self.nodes}
        for e in self.enabled:
            degree[e["node1"]] += 1
            degree[e["node2"]] += 1
        shares = []
        for edge, sampled in zip(self.edges, samples):
            ends = [self.node_cost(edge[k]) / degree[edge[k]] for k in ("node1", "node2")
                    if edge["enabled"]]
            shares.append(self._in_map_units(sampled + sum(ends)))
        return shares

    def _in_map_units(self, cells_cost: float) -> float | None:
        value = self.scale * cells_cost
        return value if math.isfinite(value) else None

    def _node_entries(self, ids: Any) -> list[dict[str, Any]]:
        return [{"id": i, "data": self.nodes[i]} for i in dict.fromkeys(ids)]

    @property
    def cost(self) -> float | None:
        return self._in_map_units(self.cells_cost)

    @property
    def length(self) -> float:
        return math.fsum(self.edge_length(e) for e in self.enabled)

    def point(self, node: int) -> list[float]:
        cell = self.nodes[node]["pos"]
        if self.transform is None:
            return [float(cell[0]), float(cell[1])]
        return list(cell_to_map(self.transform, cell))

    def edge_length(self, edge: Mapping[str, Any]) -> float:
        return math.dist(self.point(edge["node1"]), self.point(edge["node2"]))

    def site(self, node: int) -> Mapping[str, Any] | None:
        data = self.nodes[node]
        return self.sites.get(tuple(data["pos"])) if data["type"] == "Fixed" else None

    def label(self, node: int) -> str:
        """A site's name, a terminal's cell, or a junction's node number."""
        site = self.site(node)
        if site:
            return str(site["name"])
        data = self.nodes[node]
        if data["type"] == "Fixed":
            return f"terminal ({data['pos'][0]}, {data['pos'][1]})"
        return f"junction {node}"

    def link_cost(self, link: Link) -> float | None:
        shares = dict(zip((e["id"] for e in self.edges), self.edge_costs))
        parts = [shares[e] for e in link.edges]
        return None if None in parts else math.fsum(p for p in parts if p is not None)

    def link_length(self, link: Link) -> float:
        return math.fsum(math.dist(self.point(a), self.point(b)) for a, b in zip(link.nodes, link.nodes[1:]))

    def degree(self, node: int) -> int:
        return sum((e["node1"] == node) + (e["node2"] == node) for e in self.enabled)


def cost_unit(transform: Sequence[float] | None, unit: str | None = None) -> str:
    """How the costs of the outputs are measured.

    Example:
        >>> cost_unit(None), cost_unit((90, 0, 0, 0, -90, 0), "metre")
        ('cost x cells', 'cost x metre')
    """
    return f"cost x {unit or 'map unit'}" if transform is not None else "cost x cells"


def _map_metadata(cost_map: np.ndarray, transform: Sequence[float] | None, seed: int | None,
                  crs: str | None, unit: str | None = None) -> dict[str, Any]:
    return {
        "format": FORMAT,
        "seed": seed,
        "map_shape": list(cost_map.shape),
        "transform": None if transform is None else [float(v) for v in transform],
        "crs": crs,
        "cost_unit": cost_unit(transform, unit),
    }


def _metadata(net: _Network, seed: int | None, crs: str | None, unit: str | None) -> dict[str, Any]:
    return {
        **_map_metadata(net.cost_map, net.transform, seed, crs, unit),
        "fitness": net.fitness,
        "cost": net.cost,
        "length": net.length,
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
    sites: Sequence[Mapping[str, Any]] = (),
    unit: str | None = None,
) -> dict[str, Any]:
    """The network's structure dictionary with its metadata (see the module docs).

    Example:
        >>> from gridweave.routes import spanning_tree
        >>> net = network_json(spanning_tree(np.ones((8, 8)), [(0, 0), (0, 4)]), np.ones((8, 8)))
        >>> net["format"], net["map_shape"], round(net["cost"], 6), len(net["edges"])
        (1, [8, 8], 7.0, 1)
    """
    net = _Network(network, cost_map, transform, include_disabled, sites)
    nodes: list[dict[str, Any]] = []
    for node, data in net.nodes.items():
        nodes.append({"id": node, "data": {"pos": list(data["pos"]), "type": data["type"]}})
        site = net.site(node)
        if site:
            nodes[-1]["name"] = site["name"]
    edges = [{"id": e["id"], "node1": e["node1"], "node2": e["node2"], "enabled": bool(e["enabled"]),
              "cost": c} for e, c in zip(net.edges, net.edge_costs)]
    return {**_metadata(net, seed, crs, unit), "sites": list(sites), "nodes": nodes, "edges": edges}


def _site_properties(site: Mapping[str, Any] | None, taken: Mapping[str, Any]) -> dict[str, Any]:
    """A site's name, snapping and attributes; an attribute whose name the
    output already uses gets the prefix "site_"."""
    if not site:
        return {}
    own = {"name": site["name"], "snapped": site.get("snapped"), "moved": site.get("moved")}
    for key, value in (site.get("attributes") or {}).items():
        if own.get(key, taken.get(key)) != value:  # the field that names the site is there already
            own[f"site_{key}" if key in taken or key in own else key] = value
    return own


def _features(net: _Network, extra: Mapping[str, Any]) -> list[dict[str, Any]]:
    features = []
    for edge, cost in zip(net.edges, net.edge_costs):
        features.append({
            "type": "Feature",
            "geometry": {"type": "LineString",
                         "coordinates": [net.point(edge["node1"]), net.point(edge["node2"])]},
            "properties": {**extra, "kind": "edge", "id": edge["id"], "node1": edge["node1"],
                           "node2": edge["node2"], "enabled": bool(edge["enabled"]), "cost": cost,
                           "length": net.edge_length(edge), "bridge": edge["id"] in net.bridges},
        })
    for node, data in net.nodes.items():
        properties = {**extra, "kind": "node", "id": node, "type": data["type"],
                      "cell": list(data["pos"]), "degree": net.degree(node)}
        properties.update(_site_properties(net.site(node), properties))
        features.append({"type": "Feature",
                         "geometry": {"type": "Point", "coordinates": net.point(node)},
                         "properties": properties})
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
    sites: Sequence[Mapping[str, Any]] = (),
    unit: str | None = None,
) -> dict[str, Any]:
    """A GeoJSON FeatureCollection of the network (metadata under "gridweave").

    Example:
        >>> from gridweave.routes import spanning_tree
        >>> tree = spanning_tree(np.ones((8, 8)), [(0, 0), (0, 4)])
        >>> fc = network_geojson(tree, np.ones((8, 8)), transform=(10, 0, 100, 0, -10, 500))
        >>> fc["features"][0]["geometry"]["coordinates"], fc["features"][0]["properties"]["bridge"]
        ([[105.0, 495.0], [145.0, 495.0]], True)
    """
    net = _Network(network, cost_map, transform, include_disabled, sites)
    return _collection(_features(net, {}), crs, _metadata(net, seed, crs, unit))


def front_json(
    genomes: Sequence[Any],
    cost_map: Any,
    *,
    transform: Sequence[float] | None = None,
    crs: str | None = None,
    seed: int | None = None,
    include_disabled: bool = False,
    sites: Sequence[Mapping[str, Any]] = (),
    unit: str | None = None,
) -> dict[str, Any]:
    """Every network of a front (each as :func:`network_json`) under "networks", cheapest first."""
    networks = [network_json(g, cost_map, transform=transform, crs=crs, seed=seed,
                             include_disabled=include_disabled, sites=sites, unit=unit)
                for g in _cheapest_first(genomes)]
    return {**_map_metadata(np.asarray(cost_map), transform, seed, crs, unit), "networks": networks}


def _spread(count: int, limit: int) -> list[int]:
    """At most ``limit`` indices spread evenly over ``range(count)``, both ends kept.

    Example:
        >>> _spread(10, 4), _spread(3, 25)
        ([0, 3, 6, 9], [0, 1, 2])
    """
    if count <= limit:
        return list(range(count))
    return sorted({round(i * (count - 1) / (limit - 1)) for i in range(limit)})


def _multiline(net: _Network) -> dict[str, Any]:
    return {"type": "MultiLineString",
            "coordinates": [[net.point(n) for n in link.nodes] for link in net.links]}


def front_geojson(
    genomes: Sequence[Any],
    cost_map: Any,
    *,
    transform: Sequence[float] | None = None,
    crs: str | None = None,
    seed: int | None = None,
    include_disabled: bool = False,
    sites: Sequence[Mapping[str, Any]] = (),
    unit: str | None = None,
    limit: int = FRONT_FEATURES,
) -> dict[str, Any]:
    """A front as one MultiLineString feature per network (its links), cheapest
    first, with the network's "network" number in that order, "objectives",
    "cost", "length" and "links". Fronts of more than ``limit`` networks are
    drawn by ``limit`` of them spread evenly along that order (the metadata
    gives "networks" and "written"); front.json and the GeoPackage hold all."""
    ordered = _cheapest_first(genomes)
    features = []
    for index in _spread(len(ordered), max(limit, 2)):
        net = _Network(ordered[index], cost_map, transform, include_disabled, sites)
        features.append({"type": "Feature", "geometry": _multiline(net),
                         "properties": {"network": index, "objectives": net.objectives,
                                        "cost": net.cost, "length": net.length,
                                        "links": len(net.links)}})
    metadata = {**_map_metadata(np.asarray(cost_map), transform, seed, crs, unit),
                "networks": len(ordered), "written": len(features)}
    return _collection(features, crs, metadata)


def _cheapest_first(genomes: Sequence[Any]) -> list[Any]:
    def fitness(genome: Any) -> float:
        objectives = getattr(genome, "objectives", None)
        return objectives[0] if objectives else getattr(genome, "fitness", 0.0)

    return sorted(genomes, key=fitness, reverse=True)


LINK_COLUMNS = ("link", "from", "to", "cost", "length", "edges", "bends", "bridge")


def _link_rows(net: _Network) -> list[dict[str, Any]]:
    rows = []
    for number, link in enumerate(net.links, 1):
        rows.append({"link": number, "from": net.label(link.nodes[0]), "to": net.label(link.nodes[-1]),
                     "cost": net.link_cost(link), "length": net.link_length(link),
                     "edges": len(link.edges), "bends": len(link.nodes) - 2,
                     "bridge": all(e in net.bridges for e in link.edges)})
    return rows


def links_csv(
    path: str | Path,
    network: Any,
    cost_map: Any,
    *,
    transform: Sequence[float] | None = None,
    sites: Sequence[Mapping[str, Any]] = (),
) -> Path:
    """Writes one row per link: its number, the sites or junctions at its ends,
    its cost (the sum of its edges' shares), length, edges, bends and whether
    it is a bridge. The costs add up to the network's."""
    net = _Network(network, cost_map, transform, False, sites)
    path = Path(path)
    with path.open("w", newline="", encoding="utf-8") as handle:
        writer = csv.DictWriter(handle, fieldnames=LINK_COLUMNS)
        writer.writeheader()
        writer.writerows(_link_rows(net))
    return path


def write_geopackage(
    path: str | Path,
    network: Any,
    cost_map: Any,
    *,
    transform: Sequence[float],
    crs: str | None = None,
    sites: Sequence[Mapping[str, Any]] = (),
    front: Sequence[Any] = (),
) -> Path:
    """A GeoPackage of the network: layers "sites" (points with their names
    and attributes), "junctions" (flexible nodes at which other than two edges
    meet), "links" (one line per link between sites or junctions, with its
    cost and length) and, for a front, "front" (one multi-line per network
    with its objectives, cost and length, cheapest first). Needs shapely."""
    from .geopackage import GeoPackage  # shapely is an optional extra

    net = _Network(network, cost_map, transform, False, sites)
    with GeoPackage(path, crs) as package:
        package.add_layer("sites", "POINT", *_site_layer(net))
        junctions = [n for n, d in net.nodes.items() if d["type"] != "Fixed" and net.degree(n) != 2]
        package.add_layer("junctions", "POINT", [{"type": "Point", "coordinates": net.point(n)}
                                                  for n in junctions],
                          [{"node": n, "degree": net.degree(n), "cell_row": net.nodes[n]["pos"][0],
                            "cell_column": net.nodes[n]["pos"][1]} for n in junctions])
        package.add_layer("links", "LINESTRING",
                          [{"type": "LineString", "coordinates": [net.point(n) for n in link.nodes]}
                           for link in net.links], _link_rows(net))
        if front:
            nets = [_Network(g, cost_map, transform, False, sites) for g in _cheapest_first(front)]
            package.add_layer("front", "MULTILINESTRING", [_multiline(n) for n in nets],
                              [_front_row(i, n) for i, n in enumerate(nets)])
    return Path(path)


def _site_layer(net: _Network) -> tuple[list[dict[str, Any]], list[dict[str, Any]]]:
    fixed = [n for n, d in net.nodes.items() if d["type"] == "Fixed"]
    rows = []
    for node in fixed:
        row = {"node": node, "cell_row": net.nodes[node]["pos"][0],
               "cell_column": net.nodes[node]["pos"][1], "degree": net.degree(node)}
        row.update(_site_properties(net.site(node), row))
        rows.append(row)
    return [{"type": "Point", "coordinates": net.point(n)} for n in fixed], rows


def _front_row(index: int, net: _Network) -> dict[str, Any]:
    objectives = net.objectives or []
    return {"network": index, "cost": net.cost, "length": net.length, "links": len(net.links),
            "fitness": objectives[0] if objectives else net.fitness,
            "objective_2": objectives[1] if len(objectives) > 1 else None}


def to_networkx(
    network: Any,
    cost_map: Any,
    *,
    transform: Sequence[float] | None = None,
    include_disabled: bool = False,
) -> Any:
    """A ``networkx.Graph``: nodes with "pos" (map point or cell), "cell" and
    "type"; edges with "id", "cost" (the edge's share), "length", "bridge" and
    "enabled"; the graph's "fitness" and "cost". Needs networkx.

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
                       length=net.edge_length(edge), bridge=edge["id"] in net.bridges,
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


def mark_parts(
    collection: dict[str, Any],
    attachment_points: Sequence[Sequence[int]],
    existing_paths: Sequence[Sequence[Sequence[int]]] = (),
    transform: Sequence[float] | None = None,
) -> dict[str, Any]:
    """A network's GeoJSON with the existing network it extends: every feature of
    the new construction gets ``"part": "new"``, the existing lines (cell
    paths) are added with ``"part": "existing"`` and the cells where the new
    part joins them as points with ``"part": "attachment"``.

    Example:
        >>> fc = mark_parts({"type": "FeatureCollection", "features": []}, [(0, 4)], [[(0, 0), (0, 9)]])
        >>> [(f["geometry"]["type"], f["properties"]["part"]) for f in fc["features"]]
        [('LineString', 'existing'), ('Point', 'attachment')]
    """
    def point(cell: Sequence[int]) -> list[float]:
        return [float(cell[0]), float(cell[1])] if transform is None else list(cell_to_map(transform, cell))

    for feature in collection["features"]:
        feature.setdefault("properties", {})["part"] = "new"
    collection["features"] += [
        {"type": "Feature", "properties": {"part": "existing"},
         "geometry": {"type": "LineString", "coordinates": [point(c) for c in path]}}
        for path in existing_paths if len(path) > 1
    ] + [
        {"type": "Feature", "properties": {"part": "attachment"},
         "geometry": {"type": "Point", "coordinates": point(cell)}}
        for cell in attachment_points
    ]
    return collection
