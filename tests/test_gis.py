"""GIS input and network output: rasters with transform and nodata, sites in map
coordinates, GeoJSON and JSON outputs, networkx graphs, the CLI's GIS path."""

import csv
import json
import math
import sqlite3
import struct

import numpy as np
import pytest

rasterio = pytest.importorskip("rasterio")
shapely_geometry = pytest.importorskip("shapely.geometry")
from rasterio.transform import Affine  # noqa: E402

import gridweave as gw  # noqa: E402
from gridweave import exports, gis  # noqa: E402
from gridweave.cli import main  # noqa: E402
from gridweave.config import make_config  # noqa: E402
from gridweave.measure import network_cost  # noqa: E402
from gridweave.routes import genome_from_structure  # noqa: E402

# 30 m square cells, rotated by about 37 degrees, in UTM 33N.
TRANSFORM = Affine(24.0, -18.0, 500000.0, -18.0, -24.0, 4100000.0)
NODATA_CELLS = [(0, 0), (5, 7), (11, 3)]
SITES = {"mill": (2, 3), "farm": (9, 12), "well": (13, 1)}


def write_raster(path, shape=(14, 16)):
    cost = 1.0 + np.add.outer(np.arange(shape[0]), np.arange(shape[1])).astype(np.float32) / 10
    for cell in NODATA_CELLS:
        cost[cell] = -9999.0
    profile = dict(driver="GTiff", width=shape[1], height=shape[0], count=1, dtype="float32",
                   crs="EPSG:32633", transform=TRANSFORM, nodata=-9999.0)
    with rasterio.open(path, "w", **profile) as dataset:
        dataset.write(cost, 1)
    return cost


def site_point(cell, offset=(0.3, -0.2)):
    """A map point inside the cell, off its centre."""
    x, y = TRANSFORM @ (cell[1] + 0.5 + offset[1], cell[0] + 0.5 + offset[0])
    return x, y


def write_sites(path, sites):
    suffix = path.suffix
    if suffix == ".geojson":
        features = [{"type": "Feature", "properties": {"name": name},
                     "geometry": {"type": "Point", "coordinates": list(point)}}
                    for name, point in sites.items()]
        path.write_text(json.dumps({"type": "FeatureCollection", "features": features}))
    elif suffix == ".csv":
        with path.open("w", newline="") as handle:
            writer = csv.writer(handle)
            writer.writerow(["name", "x", "y"])
            writer.writerows([name, *point] for name, point in sites.items())
    else:  # a minimal GeoPackage: the tables a reader needs, points without envelope
        with sqlite3.connect(path) as db:
            db.execute("CREATE TABLE gpkg_geometry_columns (table_name TEXT, column_name TEXT)")
            db.execute("INSERT INTO gpkg_geometry_columns VALUES ('sites', 'geom')")
            db.execute("CREATE TABLE sites (fid INTEGER PRIMARY KEY, name TEXT, geom BLOB)")
            for name, (x, y) in sites.items():
                blob = b"GP\x00\x01" + struct.pack("<i", 32633) + struct.pack("<bIdd", 1, 1, x, y)
                db.execute("INSERT INTO sites (name, geom) VALUES (?, ?)", (name, blob))


@pytest.fixture
def raster(tmp_path):
    path = tmp_path / "cost.tif"
    values = write_raster(path)
    return path, values


def test_raster_keeps_cells_transform_crs_and_makes_nodata_impassable(raster):
    path, values = raster
    loaded = gis.read_raster(path)
    expected = values.astype(np.float64)
    for cell in NODATA_CELLS:
        expected[cell] = np.inf
    np.testing.assert_array_equal(loaded.cost, expected)
    assert loaded.transform == tuple(TRANSFORM)[:6] and loaded.crs == "EPSG:32633"
    assert gis.cell_size(loaded.transform) == gis.square_cell_side(loaded.transform) == 30.0


@pytest.mark.parametrize("suffix", [".geojson", ".gpkg", ".csv"])
def test_sites_become_the_cells_they_lie_in(tmp_path, raster, suffix):
    sites = tmp_path / f"sites{suffix}"
    write_sites(sites, {name: site_point(cell) for name, cell in SITES.items()})
    loaded = gis.read_raster(raster[0])
    named = gis.read_sites(sites)
    assert [n for n, _, _ in named] == list(SITES)
    assert gis.cells_of(named, loaded.transform, loaded.cost.shape) == list(SITES.values())


def test_site_outside_the_raster_is_named(tmp_path, raster):
    sites = tmp_path / "sites.geojson"
    write_sites(sites, {"mill": site_point((2, 3)), "lighthouse": site_point((2, 16))})
    loaded = gis.read_raster(raster[0])
    with pytest.raises(ValueError, match="site lighthouse at .* lies outside the raster"):
        gis.cells_of(gis.read_sites(sites), loaded.transform, loaded.cost.shape)


def triangle_with_tail():
    nodes = [((0, 0), "Fixed"), ((0, 6), "Flexible"), ((5, 3), "Flexible"), ((9, 9), "Fixed")]
    pairs = [(1, 2, True), (2, 3, True), (3, 1, True), (3, 4, True), (4, 2, False)]
    return {
        "nodes": [{"id": i, "data": {"pos": p, "type": t}} for i, (p, t) in enumerate(nodes, 1)],
        "edges": [{"id": i, "node1": a, "node2": b, "enabled": on}
                  for i, (a, b, on) in enumerate(pairs, 1)],
    }


def test_json_and_geojson_outputs_carry_native_costs_bridges_and_map_points():
    cost = np.ones((12, 12))
    cost[7:, 7:] = 3.0
    structure = triangle_with_tail()
    transform = tuple(TRANSFORM)[:6]
    out = exports.network_json(structure, cost, transform=transform, crs="EPSG:32633", seed=5)
    assert [e["id"] for e in out["edges"]] == [1, 2, 3, 4]  # the disabled edge is left out
    assert len(exports.network_json(structure, cost, include_disabled=True)["edges"]) == 5
    genome = genome_from_structure(make_config((12, 12), [(0, 0)]), structure)
    gw.evaluate_genomes([genome], cost)
    scale = gis.cell_size(transform)
    assert out["cost"] == pytest.approx(scale * network_cost(genome, cost), rel=1e-9)  # map units
    assert (out["format"], out["seed"], out["map_shape"], out["fitness"]) == (1, 5, [12, 12],
                                                                             genome.fitness)
    features = exports.network_geojson(structure, cost, transform=transform)["features"]
    edges = {f["properties"]["id"]: f for f in features if f["properties"]["kind"] == "edge"}
    assert {i for i, f in edges.items() if f["properties"]["bridge"]} == {4}
    tail = shapely_geometry.shape(edges[4]["geometry"])
    assert edges[4]["properties"]["length"] == pytest.approx(tail.length)
    for point, cell in zip(tail.coords, [(5, 3), (9, 9)]):
        assert rasterio.transform.rowcol(TRANSFORM, *point) == cell
    assert math.fsum(e["cost"] for e in out["edges"]) == pytest.approx(out["cost"], rel=1e-12)


def test_networkx_graph_and_front_outputs():
    nx = pytest.importorskip("networkx")
    cost = np.ones((12, 12))
    structure = triangle_with_tail()
    graph = exports.to_networkx(structure, cost)
    assert isinstance(graph, nx.Graph) and graph.number_of_edges() == 4
    assert graph.nodes[4]["pos"] == (9.0, 9.0) and graph.edges[3, 4]["bridge"]
    assert graph.graph["cost"] == pytest.approx(sum(nx.get_edge_attributes(graph, "cost").values()),
                                                rel=1e-12)
    genomes = [genome_from_structure(make_config((12, 12), [(0, 0)]), structure) for _ in range(2)]
    front = exports.front_geojson(genomes, cost)
    assert {f["properties"]["network"] for f in front["features"]} == {0, 1}
    assert len(exports.front_json(genomes, cost)["networks"]) == 2


def test_cli_gis_path_from_geotiff_and_sites_to_geojson(tmp_path, raster, capsys):
    sites = tmp_path / "sites.geojson"
    write_sites(sites, {name: site_point(cell) for name, cell in SITES.items()})
    out = tmp_path / "out"
    args = ["run", "--cost-map", str(raster[0]), "--terminals", str(sites), "--out", str(out),
            "--generations", "2", "--seed", "1", "--quiet"]
    assert main(args) == 0
    collection = json.loads((out / "network.geojson").read_text())
    assert collection["crs"]["properties"]["name"] == "EPSG:32633"
    fixed = [f for f in collection["features"] if f["properties"].get("type") == "Fixed"]
    cells = sorted(rasterio.transform.rowcol(TRANSFORM, *shapely_geometry.shape(f["geometry"]).coords[0])
                   for f in fixed)
    assert cells == sorted(SITES.values())
    best = json.loads((out / "best.json").read_text())
    assert best["seed"] == 1 and best["map_shape"] == [14, 16] and best["transform"] == list(TRANSFORM)[:6]
    bad = tmp_path / "far.geojson"
    write_sites(bad, {"mill": site_point((2, 3)), "harbour": site_point((40, 3))})
    assert main([*args[:3], "--terminals", str(bad), *args[5:]]) == 2
    assert "site harbour" in capsys.readouterr().err
