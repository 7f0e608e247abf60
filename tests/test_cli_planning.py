"""The command line with an existing network, regions, cost layers and barriers."""

import json

import numpy as np
import pytest

from gridweave.cli import main

rasterio = pytest.importorskip("rasterio")
pytest.importorskip("shapely")

SIDE = 90.0
ORIGIN = (500_000.0, 3_600_000.0)  # top-left corner, UTM zone 16 N
TRANSFORM = (SIDE, 0.0, ORIGIN[0], 0.0, -SIDE, ORIGIN[1])


def xy(row, col):
    """The map point of a cell's centre."""
    return [ORIGIN[0] + (col + 0.5) * SIDE, ORIGIN[1] - (row + 0.5) * SIDE]


def write_raster(path, values, crs="EPSG:32616"):
    with rasterio.open(path, "w", driver="GTiff", width=values.shape[1], height=values.shape[0], count=1,
                       dtype="float64", crs=crs, transform=rasterio.Affine(*TRANSFORM)) as dataset:
        dataset.write(values, 1)
    return path


def write_features(path, geometries, crs="EPSG:32616"):
    features = [{"type": "Feature", "properties": {"name": f"f{i}"}, "geometry": g}
                for i, g in enumerate(geometries)]
    name = f"urn:ogc:def:crs:{crs.replace(':', '::')}"
    path.write_text(json.dumps({"type": "FeatureCollection", "features": features,
                                "crs": {"type": "name", "properties": {"name": name}}}))
    return path


@pytest.fixture
def gis_inputs(tmp_path):
    rng = np.random.default_rng(0)
    cost = rng.uniform(1.0, 2.0, (40, 40))
    sites = [(30, 5), (34, 30), (20, 36)]
    box = lambda r0, c0, r1, c1: {"type": "Polygon", "coordinates": [[  # noqa: E731
        xy(r0, c0), xy(r0, c1), xy(r1, c1), xy(r1, c0), xy(r0, c0)]]}
    return {
        "cost": write_raster(tmp_path / "cost.tif", cost),
        "slope": write_raster(tmp_path / "slope.tif", rng.uniform(0.0, 1.0, (40, 40))),
        "sites": write_features(tmp_path / "sites.geojson", [{"type": "Point", "coordinates": xy(*s)} for s in sites]),
        "road": write_features(tmp_path / "road.geojson",
                               [{"type": "LineString", "coordinates": [xy(3, 0), xy(3, 39)]}]),
        "town": write_features(tmp_path / "town.geojson", [box(10, 10, 13, 14)]),
        "lake": write_features(tmp_path / "lake.geojson", [box(24, 12, 33, 22)]),
        "far_lake": write_features(tmp_path / "far.geojson", [{"type": "Polygon", "coordinates": [[
            [-87.0, 32.5], [-86.9, 32.5], [-86.9, 32.6], [-87.0, 32.5]]]}], crs="EPSG:4326"),
    }


def run(inputs, out, *extra):
    return main(["run", "--cost-map", str(inputs["cost"]), "--terminals", str(inputs["sites"]),
                 "--out", str(out), "--quiet", "--generations", "3", "--seed", "1",
                 "--population-size", "12", *extra])


def test_extension_with_layers_barrier_and_a_region(gis_inputs, tmp_path, capsys):
    out = tmp_path / "out"
    assert run(gis_inputs, out, "--existing", str(gis_inputs["road"]), "--regions", str(gis_inputs["town"]),
               "--layer", f"{gis_inputs['slope']}:2.5", "--barrier", str(gis_inputs["lake"])) == 0
    summary = capsys.readouterr().out
    assert "joins the existing network at" in summary
    collection = json.loads((out / "network.geojson").read_text())
    parts = {f["properties"]["part"] for f in collection["features"]}
    assert parts == {"new", "existing", "attachment"}
    best = json.loads((out / "best.json").read_text())
    cells = [tuple(n["data"]["pos"]) for n in best["nodes"]]
    assert not any(24 <= r <= 32 and 12 <= c <= 21 for r, c in cells)  # nothing stands in the lake
    assert any(10 <= r <= 13 and 10 <= c <= 14 for r, c in cells)  # the town is reached


def test_extension_of_a_plain_map(tmp_path, capsys):
    np.save(tmp_path / "map.npy", np.ones((20, 20)))
    (tmp_path / "sites.csv").write_text("row,column\n15,3\n15,16\n")
    (tmp_path / "road.json").write_text(json.dumps([[[1, 0], [1, 19]]]))
    (tmp_path / "areas.json").write_text(json.dumps([[[10, 9], [10, 10]]]))
    assert main(["run", "--cost-map", str(tmp_path / "map.npy"), "--terminals", str(tmp_path / "sites.csv"),
                 "--existing", str(tmp_path / "road.json"), "--regions", str(tmp_path / "areas.json"),
                 "--out", str(tmp_path / "out"), "--quiet", "--generations", "2", "--population-size", "8"]) == 0
    assert "joins the existing network" in capsys.readouterr().out


@pytest.mark.parametrize(
    "extra, message",
    [
        (lambda i: ["--barrier", str(i["far_lake"])], "--barrier is in EPSG:4326, the raster in EPSG:32616"),
        (lambda i: ["--layer", f"{i['cost']}:x1"], "--layer applies to GeoPackage files only"),
        (lambda i: ["--existing", str(i["lake"])], "--existing: a Polygon is not a line"),
        (lambda i: ["--regions", str(i["far_lake"])], "--regions is in EPSG:4326"),
        (lambda i: ["--layer", "missing.tif:2"], "no such file: missing.tif"),
    ],
)
def test_bad_planning_inputs_are_one_line_errors(gis_inputs, tmp_path, capsys, extra, message):
    assert run(gis_inputs, tmp_path / "out", *extra(gis_inputs)) == 2
    error = capsys.readouterr().err.strip()
    assert message in error and len(error.splitlines()) == 1


def test_layers_of_another_shape_are_refused(gis_inputs, tmp_path, capsys):
    small = write_raster(tmp_path / "small.tif", np.ones((10, 10)))
    assert run(gis_inputs, tmp_path / "out", "--layer", f"{small}:1") == 2
    assert "differs from the cost map's (40, 40)" in capsys.readouterr().err
