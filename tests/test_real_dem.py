"""A planner's run on a real elevation model (matplotlib's Jacksboro fault sample):
a slope cost with cliffs as nodata in UTM, twelve named towns in longitude and
latitude, the command line run as a user runs it, and its outputs read back."""

import csv
import json
import math
import re
import sqlite3

import numpy as np
import pytest

rasterio = pytest.importorskip("rasterio")
pytest.importorskip("shapely")
cbook = pytest.importorskip("matplotlib.cbook")
from rasterio.transform import Affine, xy  # noqa: E402
from rasterio.warp import transform as reproject  # noqa: E402

from gridweave import gis  # noqa: E402
from gridweave.cli import main  # noqa: E402
from gridweave.geopackage import GeoPackage  # noqa: E402

TOWNS = {"Ashby": (30, 40), "Briar Gap": (45, 150), "Cove Lake": (35, 260), "Dutch Ridge": (50, 370),
         "Elk Fork": (160, 25), "Fincastle": (175, 135), "Glade Spring": (150, 250),
         "Hickory Knob": (170, 380), "Indian Creek": (300, 50), "Jellico Mill": (310, 160),
         "Kings Hill": (290, 270), "Laurel Fork": (320, 385)}


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    folder = tmp_path_factory.mktemp("jacksboro")
    dem = cbook.get_sample_data("jacksboro_fault_dem.npz")
    elevation = dem["elevation"].astype("float64")
    (west,), (north,) = reproject("EPSG:4326", "EPSG:32616", [dem["xmin"]], [dem["ymin"]])
    transform = Affine(90.0, 0.0, round(west), 0.0, -90.0, round(north))
    slope = np.hypot(*np.gradient(elevation, 90.0))
    cost = (1 + (10 * slope) ** 2).astype("float32")
    cost[slope > 0.45] = -9999
    with rasterio.open(folder / "terrain.tif", "w", driver="GTiff", width=403, height=344, count=1,
                       dtype="float32", crs="EPSG:32616", transform=transform, nodata=-9999) as out:
        out.write(cost, 1)
    lons, lats = reproject("EPSG:32616", "EPSG:4326", *zip(*(xy(transform, *c) for c in TOWNS.values())))
    degrees = dict(zip(TOWNS, zip(lons, lats)))
    features = [{"type": "Feature", "properties": {"name": n, "population": 100 + i},
                 "geometry": {"type": "Point", "coordinates": list(p)}} for i, (n, p) in enumerate(degrees.items())]
    (folder / "towns.geojson").write_text(json.dumps({"type": "FeatureCollection", "features": features}))
    (folder / "towns.csv").write_text("name,lon,lat\n" + "".join(f"{n},{x!r},{y!r}\n" for n, (x, y) in degrees.items()))
    with GeoPackage(folder / "towns.gpkg", "EPSG:4326") as package:
        package.add_layer("towns", "POINT", [{"type": "Point", "coordinates": p} for p in degrees.values()],
                          [{"name": n} for n in degrees])
    return folder


@pytest.fixture(scope="module")
def planner_run(inputs):
    out = inputs / "out"
    argv = ["run", "--cost-map", str(inputs / "terrain.tif"), "--terminals", str(inputs / "towns.geojson"),
            "--snap", "300", "--generations", "8", "--seed", "1", "--out", str(out), "--quiet"]
    import contextlib
    import io

    summary = io.StringIO()
    with contextlib.redirect_stdout(summary):
        assert main(argv) == 0
    return out, summary.getvalue()


@pytest.mark.parametrize("name", ["towns.geojson", "towns.csv", "towns.gpkg"])
def test_towns_in_degrees_land_on_their_cells_from_every_format(inputs, name):
    raster = gis.read_raster(inputs / "terrain.tif")
    placed = gis.place_sites(gis.read_site_layer(inputs / name), raster, snap=300)
    moved = {p.site.name: p.cell for p in placed if p.moved}
    assert {p.site.name: p.cell for p in placed if not p.moved} == {
        n: c for n, c in TOWNS.items() if n not in moved}
    assert list(moved) == ["Dutch Ridge"] and math.dist(moved["Dutch Ridge"], TOWNS["Dutch Ridge"]) == 1


def test_every_output_gives_one_cost_and_the_links_add_up_to_it(planner_run):
    out, summary = planner_run
    printed = float(re.search(r"best network: cost ([0-9.e+]+) \(cost x m\)", summary).group(1))
    run = json.loads((out / "run.json").read_text())
    best = json.loads((out / "best.json").read_text())
    network = json.loads((out / "network.geojson").read_text())
    edges = [f["properties"]["cost"] for f in network["features"] if f["properties"]["kind"] == "edge"]
    links = [float(row["cost"]) for row in csv.DictReader((out / "links.csv").open())]
    with sqlite3.connect(out / "network.gpkg") as db:
        layer = [row[0] for row in db.execute("SELECT cost FROM links")]
    costs = {"summary": printed, "best.json": best["cost"], "geojson": network["gridweave"]["cost"],
             "edges": math.fsum(edges), "links.csv": math.fsum(links), "gpkg": math.fsum(layer)}
    for where, cost in costs.items():
        assert cost == pytest.approx(run["best_cost"], rel=1e-9), where
    assert run["cost_unit"] == best["cost_unit"] == "cost x m"
    assert [s["name"] for s in best["sites"]] == list(TOWNS)


def cells_crossed(start, end):
    """Every cell whose inside the straight segment between two cell centres
    passes through: the pieces between its crossings of the cell borders."""
    (r0, c0), (r1, c1) = start, end
    crossings = {0.0, 1.0}
    for a, b in ((r0, r1), (c0, c1)):
        for border in range(min(a, b), max(a, b)):
            crossings.add((border + 0.5 - a) / (b - a))
    ordered = sorted(crossings)
    for t0, t1 in zip(ordered, ordered[1:]):
        t = (t0 + t1) / 2
        yield (math.floor(r0 + t * (r1 - r0) + 0.5), math.floor(c0 + t * (c1 - c0) + 0.5))


def test_no_line_of_the_network_passes_through_an_impassable_cell(inputs, planner_run):
    out, _ = planner_run
    cost = gis.read_raster(inputs / "terrain.tif").cost
    best = json.loads((out / "best.json").read_text())
    cells = {n["id"]: tuple(n["data"]["pos"]) for n in best["nodes"]}
    crossed = [(e["id"], cell) for e in best["edges"]
               for cell in cells_crossed(cells[e["node1"]], cells[e["node2"]]) if not np.isfinite(cost[cell])]
    assert crossed == []


def test_cells_crossed_is_the_supercover_of_the_segment():
    assert sorted(cells_crossed((0, 0), (0, 3))) == [(0, 0), (0, 1), (0, 2), (0, 3)]
    assert (7, 8) in set(cells_crossed((0, 0), (8, 10)))  # the corner a sample per step misses
    assert set(cells_crossed((0, 0), (2, 2))) == {(0, 0), (1, 1), (2, 2)}  # through corners only
