"""A planner's own data in and out: units of cost, sites with names, attributes
and coordinate systems, rasters' bands, nodata and masks, one-line refusals,
pictures and GeoPackage layers."""

import csv
import json
import math
import sqlite3
import sys

import numpy as np
import pytest

rasterio = pytest.importorskip("rasterio")
pytest.importorskip("shapely")
from rasterio.transform import Affine, xy  # noqa: E402
from rasterio.warp import transform as reproject  # noqa: E402

import gridweave as gw  # noqa: E402
from gridweave import exports, gis  # noqa: E402
from gridweave.checks import checked_cost  # noqa: E402
from gridweave.cli import main  # noqa: E402
from gridweave.config import make_config  # noqa: E402
from gridweave.geopackage import GeoPackage  # noqa: E402
from gridweave.routes import genome_from_structure  # noqa: E402

UTM = "EPSG:32616"
NORTH_UP = Affine(90.0, 0.0, 730000.0, 0.0, -90.0, 4070000.0)
TOWNS = {"Ashby": (2, 2), "Briar Gap": (3, 17), "Cove Lake": (16, 9)}


def write_raster(path, cost, transform=NORTH_UP, crs=UTM, nodata=-9999.0, bands=1):
    cost = np.asarray(cost, dtype="float32")
    with rasterio.open(path, "w", driver="GTiff", width=cost.shape[1], height=cost.shape[0],
                       count=bands, dtype="float32", crs=crs, transform=transform,
                       nodata=nodata) as out:
        for band in range(1, bands + 1):
            out.write(np.where(cost == nodata, nodata, cost * band), band)
    return path


def features(points, crs=None):
    collection = {"type": "FeatureCollection", "features": [
        {"type": "Feature", "properties": {"name": name, "population": 100 * i},
         "geometry": {"type": "Point", "coordinates": list(point)}}
        for i, (name, point) in enumerate(points.items(), 1)]}
    if crs:
        collection["crs"] = {"type": "name", "properties": {"name": crs}}
    return collection


def centres(cells, transform=NORTH_UP):
    return {name: xy(transform, *cell) for name, cell in cells.items()}


def in_degrees(points):
    lons, lats = reproject(UTM, "EPSG:4326", *zip(*points.values()))
    return dict(zip(points, zip(lons, lats)))


def write_gpkg(path, points, layers=("towns",), srs="EPSG:4326"):
    with GeoPackage(path, srs) as package:
        for layer in layers:
            package.add_layer(layer, "POINT",
                              [{"type": "Point", "coordinates": p} for p in points.values()],
                              [{"name": n, "population": 7} for n in points])
    return path


@pytest.fixture
def terrain(tmp_path):
    cost = np.ones((20, 20))
    cost[8, 3:6] = np.nan  # a pond, nodata in the file
    return write_raster(tmp_path / "terrain.tif", np.where(np.isnan(cost), -9999.0, cost))


def run(tmp_path, raster, sites, *extra):
    out = tmp_path / "out"
    status = main(["run", "--cost-map", str(raster), "--terminals", str(sites), "--out", str(out),
                   "--generations", "2", "--seed", "3", "--quiet", *extra])
    return status, out


@pytest.mark.parametrize("kind", ["geojson crs", "geojson lon/lat", "gpkg", "csv lon/lat"])
def test_sites_in_degrees_are_reprojected_onto_a_utm_raster(tmp_path, terrain, kind):
    degrees = in_degrees(centres(TOWNS))
    if kind.startswith("geojson"):
        sites = tmp_path / "towns.geojson"
        crs = "urn:ogc:def:crs:OGC:1.3:CRS84" if kind == "geojson crs" else None
        sites.write_text(json.dumps(features(degrees, crs)))
    elif kind == "gpkg":
        sites = write_gpkg(tmp_path / "towns.gpkg", degrees)
    else:
        sites = tmp_path / "towns.csv"
        sites.write_text("name,lon,lat\n" + "".join(f"{n},{x!r},{y!r}\n" for n, (x, y) in degrees.items()))
    layer = gis.read_site_layer(sites)
    placed = gis.place_sites(layer, gis.read_raster(terrain))
    assert [p.cell for p in placed] == list(TOWNS.values())
    assert max(p.snapped for p in placed) < 1e-3  # metres from the cell centres


def test_names_and_attributes_reach_every_output(tmp_path, terrain, capsys):
    sites = tmp_path / "towns.geojson"
    sites.write_text(json.dumps(features(centres(TOWNS))))
    status, out = run(tmp_path, terrain, sites)
    assert status == 0
    best = json.loads((out / "best.json").read_text())
    assert [s["name"] for s in best["sites"]] == list(TOWNS)
    assert {n.get("name") for n in best["nodes"] if n["data"]["type"] == "Fixed"} == set(TOWNS)
    nodes = [f["properties"] for f in json.loads((out / "network.geojson").read_text())["features"]
             if f["properties"]["kind"] == "node" and f["properties"]["type"] == "Fixed"]
    assert sorted((p["name"], p["population"]) for p in nodes) == [("Ashby", 100), ("Briar Gap", 200),
                                                                  ("Cove Lake", 300)]
    with sqlite3.connect(out / "network.gpkg") as db:
        assert sorted(db.execute("SELECT name, population FROM sites")) == sorted(
            (p["name"], p["population"]) for p in nodes)
        layers = {row[0] for row in db.execute("SELECT table_name FROM gpkg_contents")}
    assert layers == {"sites", "junctions", "links"}
    ends = {row[k] for row in csv.DictReader((out / "links.csv").open()) for k in ("from", "to")}
    assert set(TOWNS) <= ends
    assert gis.read_site_layer(out / "network.gpkg", layer="sites").sites[0].name in TOWNS


@pytest.mark.parametrize("extra, expected", [
    ([], "holds 2 layers (north, south); choose one with --layer"),
    (["--layer", "east"], "no layer 'east' (layers: north, south)"),
])
def test_a_geopackage_of_several_layers_needs_one_chosen(tmp_path, terrain, capsys, extra, expected):
    sites = write_gpkg(tmp_path / "towns.gpkg", in_degrees(centres(TOWNS)), layers=("north", "south"))
    assert run(tmp_path, terrain, sites, *extra)[0] == 2
    assert expected in capsys.readouterr().err
    assert run(tmp_path, terrain, sites, "--layer", "south")[0] == 0
    assert "from layer 'south' reprojected from EPSG:4326" in capsys.readouterr().out


@pytest.mark.parametrize("read", ["band", "nodata", "mask"])
def test_bands_nodata_and_masks_make_cells_impassable_as_asked(tmp_path, read):
    cost = np.full((6, 8), 2.0)
    cost[1, 1], cost[2, 2] = 7.0, -9999.0
    path = write_raster(tmp_path / "two.tif", cost, bands=2)
    if read == "band":
        with pytest.warns(UserWarning, match="holds 2 bands; band 1 is the cost"):
            assert gis.read_raster(path).cost[0, 0] == 2.0
        assert gis.read_raster(path, band=2).cost[0, 0] == 4.0
        with pytest.raises(ValueError, match="no band 3 \\(the raster has 2\\)"):
            gis.read_raster(path, band=3)
    elif read == "nodata":
        loaded = gis.read_raster(path, band=1, nodata=7.0)
        assert np.isinf(loaded.cost[1, 1]) and np.isinf(loaded.cost[2, 2]) and loaded.cost[0, 0] == 2
    else:  # a masked array straight from rasterio into the engine
        with rasterio.open(path) as dataset:
            masked = dataset.read(1, masked=True)
        checked = checked_cost(masked, masked.shape)
        assert np.isinf(checked[2, 2]) and checked[1, 1] == 7.0
        across = exports.network_json(chain([(2, 0), (2, 4)]), masked)
        assert across["cost"] is None and across["edges"][0]["cost"] is None


@pytest.mark.parametrize("transform, crs, message", [
    (Affine(10.0, 0, 0, 0, -100.0, 0), UTM, "cells are 10 x 100 map units, not square; resample"),
    (Affine(74.3, 0, 0, 0, -92.6, 0), UTM, "WarpedVRT(dataset, transform=Affine(74.3, 0, 0, 0, -74.3, 0), "
                                          "width=8, height=10, resampling=Resampling.bilinear)"),
    (Affine(0.001, 0, -84.4, 0, -0.001, 36.7), "EPSG:4326",
     "EPSG:4326, a geographic system in degrees, where a cell is no length; reproject"),
])
def test_rasters_whose_cells_are_no_square_length_are_refused(tmp_path, capsys, transform, crs, message):
    raster = write_raster(tmp_path / "odd.tif", np.ones((8, 8)), transform=transform, crs=crs)
    with pytest.raises(ValueError) as refusal:
        gis.read_raster(raster)
    assert message in str(refusal.value)
    sites = tmp_path / "s.csv"
    sites.write_text("x,y\n1,1\n")
    assert run(tmp_path, raster, sites)[0] == 2
    assert capsys.readouterr().err.count("\n") == 1


def two_valleys(tmp_path):
    cost = np.ones((12, 12))
    cost[:, 6] = -9999.0  # a wall from top to bottom
    return write_raster(tmp_path / "valleys.tif", cost)


@pytest.mark.parametrize("cells, extra, message", [
    ({"Ashby": (2, 2), "Mill": (8, 6)}, [],
     "site Mill at (730585, 4069235) lies on an impassable (nodata) cell; move it, or give --snap"),
    ({"Ashby": (2, 2), "Mill": (8, 6)}, ["--snap", "40"],
     "the nearest passable cell is 90 away, beyond --snap 40"),
    ({"Ashby": (2, 2), "Briar": (3, 3), "Cove": (9, 9)}, [],
     "split the sites into 2 groups that no route joins: {Ashby at (730225, 4069775), Briar at "
     "(730315, 4069685)}; {Cove at (730855, 4069145)}"),
    ({"Ashby": (2, 2), "Twin": (2.2, 2.1)}, [],
     "sites Ashby at (730225, 4069775) and Twin at (730234, 4069757) lie in the same cell (2, 2)"),
])
def test_site_problems_name_the_sites_in_one_line(tmp_path, capsys, cells, extra, message):
    points = {name: NORTH_UP @ (col + 0.5, row + 0.5) for name, (row, col) in cells.items()}
    sites = tmp_path / "s.geojson"
    sites.write_text(json.dumps(features(points)))
    assert run(tmp_path, two_valleys(tmp_path), sites, *extra)[0] == 2
    error = capsys.readouterr().err
    assert message in error and error.count("\n") == 1


def test_snap_moves_a_site_off_nodata_and_reports_how_far(tmp_path, capsys):
    points = {"Ashby": xy(NORTH_UP, 2, 2), "Mill": xy(NORTH_UP, 8, 6)}
    sites = tmp_path / "s.geojson"
    sites.write_text(json.dumps(features(points)))
    status, out = run(tmp_path, two_valleys(tmp_path), sites, "--snap", "90")
    assert status == 0
    assert "moved off impassable cells: Mill by 90 m" in capsys.readouterr().out
    moved = json.loads((out / "best.json").read_text())["sites"][1]
    assert moved["moved"] and moved["cell"] in ([8, 5], [8, 7], [7, 6], [9, 6]) and moved["snapped"] == 90


WALLED = np.ones((8, 8))
WALLED[:, 4] = np.nan


@pytest.mark.parametrize("cost, argv, message", [
    (np.ones((8, 8)), ["--checkpoint", "{tmp}/missing/run.ckpt"],
     "--checkpoint {tmp}/missing/run.ckpt: no such folder"),
    (np.ones((8, 8)), ["--population-size", "1"], "--population-size 1 is smaller than the num_elites_global"),
    (np.ones((8, 8)), ["--band", "2"], "--band applies to GIS rasters and site files only, not map.npy"),
    (WALLED, [], "split the sites into 2 groups that no route joins: {(0, 0)}; {(7, 7)}"),
])
def test_command_line_failures_are_one_line_with_status_2(tmp_path, capsys, cost, argv, message):
    np.save(tmp_path / "map.npy", cost)
    (tmp_path / "t.csv").write_text("0,0\n7,7\n")
    argv = [a.replace("{tmp}", str(tmp_path)) for a in argv]
    status = main(["run", "--cost-map", str(tmp_path / "map.npy"), "--terminals", str(tmp_path / "t.csv"),
                   "--out", str(tmp_path / "out"), "--generations", "1", "--quiet", *argv])
    error = capsys.readouterr().err
    assert status == 2 and message.replace("{tmp}", str(tmp_path)) in error and error.count("\n") == 1


def test_a_geotiff_without_the_geo_extra_says_what_to_install(tmp_path, terrain, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "rasterio", None)  # import rasterio now fails
    sites = tmp_path / "s.csv"
    sites.write_text("x,y\n1,1\n")
    assert run(tmp_path, terrain, sites)[0] == 2
    error = capsys.readouterr().err
    assert "pip install 'gridweave[geo]'" in error and error.count("\n") == 1


def test_unknown_cost_map_formats_name_the_gis_rasters(tmp_path, capsys):
    (tmp_path / "map.xyz").write_text("1")
    (tmp_path / "t.csv").write_text("0,0\n")
    assert main(["run", "--cost-map", str(tmp_path / "map.xyz"), "--terminals", str(tmp_path / "t.csv")]) == 2
    assert ".tif" in capsys.readouterr().err


def chain(points):
    """A structure: sites at both ends, bends between, one edge per step."""
    nodes = [{"id": i, "data": {"pos": p, "type": "Fixed" if i in (1, len(points)) else "Flexible"}}
             for i, p in enumerate(points, 1)]
    edges = [{"id": i, "node1": i, "node2": i + 1, "enabled": True} for i in range(1, len(points))]
    return {"nodes": nodes, "edges": edges}


@pytest.mark.parametrize("points", [[(0, 0), (3, 4), (9, 4)], [(0, 0), (5, 1), (6, 7), (11, 11)]])
def test_edge_and_link_costs_add_up_to_the_network_cost(points):
    cost = 1.0 + np.add.outer(np.arange(12), np.arange(12)) % 5
    structure = chain(points)
    transform = tuple(NORTH_UP)[:6]
    out = exports.network_json(structure, cost, transform=transform)
    genome = genome_from_structure(make_config((12, 12), []), structure)
    assert out["cost"] == pytest.approx(90 * float(gw.network_costs([genome], cost)[0]), rel=1e-12)
    assert math.fsum(e["cost"] for e in out["edges"]) == pytest.approx(out["cost"], rel=1e-12)
    net = exports._Network(structure, cost, transform, False)
    assert len(net.links) == 1 and net.link_cost(net.links[0]) == pytest.approx(out["cost"], rel=1e-12)
    assert net.link_length(net.links[0]) == pytest.approx(90 * sum(
        math.dist(a, b) for a, b in zip(points, points[1:])))


@pytest.mark.parametrize("blocked", [None, (4, 4)])
def test_exported_costs_agree_with_the_evaluation(blocked):
    cost = 1.0 + np.add.outer(np.arange(12), np.arange(12)) % 5
    if blocked:
        cost[blocked] = np.nan
    structure = chain([(0, 0), (4, 4), (9, 4), (11, 11)])
    structure["edges"].append({"id": 9, "node1": 1, "node2": 3, "enabled": False})
    config = make_config((12, 12), [])
    genome = genome_from_structure(config, chain([(0, 0), (4, 4), (9, 4), (11, 11)]))
    gw.evaluate_genomes([genome], cost)
    out = exports.network_json(structure, cost, include_disabled=True)
    assert out["fitness"] == genome.fitness
    shares = {e["id"]: e["cost"] for e in out["edges"]}
    if blocked:
        assert out["cost"] is None and shares[1] is None and shares[2] is None and shares[3] is not None
    else:
        assert math.fsum(shares[i] for i in (1, 2, 3)) == pytest.approx(out["cost"], rel=1e-12)
    alone = genome_from_structure(config, chain([(0, 0), (9, 4)]))
    sampled = float(gw.network_costs([alone], cost)[0]) - cost[0, 0] - cost[9, 4]
    assert shares[9] == pytest.approx(sampled, rel=1e-12)


def test_front_geojson_draws_a_spread_of_a_large_front():
    cost = np.ones((12, 12))
    config = make_config((12, 12), [])
    genomes = [genome_from_structure(config, chain([(0, 0), (i % 11, 11)])) for i in range(60)]
    front = exports.front_geojson(genomes, cost, limit=10)
    assert front["gridweave"]["networks"] == 60 and front["gridweave"]["written"] == 10
    assert [f["geometry"]["type"] for f in front["features"]] == ["MultiLineString"] * 10
    assert front["features"][0]["properties"]["network"] == 0
    assert front["features"][-1]["properties"]["network"] == 59


def test_network_picture_reads_like_a_map():
    plot = pytest.importorskip("gridweave.plot")
    cost = np.ones((12, 12))
    cost[5, 5] = np.inf
    structure = chain([(0, 0), (2, 3), (4, 3), (6, 9), (11, 11)])
    figure = plot.plot_network(structure, cost, transform=tuple(NORTH_UP)[:6], unit="m",
                               sites=[{"cell": [0, 0], "name": "Ashby"}, {"cell": [11, 11], "name": "Cove"}])
    ax = figure.axes[0]
    assert (ax.get_xlabel(), ax.get_ylabel()) == ("x (m)", "y (m)")
    assert ax.get_xlim() == (730000.0, 731080.0) and ax.get_ylim() == (4068920.0, 4070000.0)
    assert sorted(t.get_text() for t in ax.texts) == ["Ashby", "Cove"]
    assert [len(c.get_offsets()) for c in ax.collections] == [2]  # sites only: bends are vertices
    assert [len(line.get_xdata()) for line in ax.lines] == [5]
    assert "impassable" in [t.get_text() for t in figure.legends[0].get_texts()]


def _joined_without(edges, a, b):
    """Whether a and b stay joined without every edge between the two of them."""
    reached, todo = {a}, [a]
    while todo:
        node = todo.pop()
        for e in edges:
            ends = (e["node1"], e["node2"])
            if {e["node1"], e["node2"]} != {a, b} and node in ends:
                other = ends[1] if ends[0] == node else ends[0]
                if other not in reached:
                    reached.add(other)
                    todo.append(other)
    return b in reached


@pytest.mark.parametrize("seed", range(5))
def test_bridges_are_the_edges_whose_node_pair_parts_when_cut(seed):
    # Edges on the same two nodes lie on one trace: cutting it cuts them all.
    rng = np.random.default_rng(seed)
    for _ in range(200):
        nodes, count = int(rng.integers(1, 10)), int(rng.integers(0, 14))
        edges = [{"id": i, "node1": int(rng.integers(nodes)), "node2": int(rng.integers(nodes))}
                 for i in range(count)]  # parallel edges and loops included
        expected = {e["id"] for e in edges
                    if e["node1"] != e["node2"] and not _joined_without(edges, e["node1"], e["node2"])}
        structure = {"nodes": [{"id": n, "data": {"pos": (n, 0), "type": "Flexible"}} for n in range(nodes)],
                     "edges": [{**e, "enabled": True} for e in edges]}
        genome = genome_from_structure(make_config((12, 12), []), structure)
        assert set(gw._core.bridge_edges(genome)) == expected
