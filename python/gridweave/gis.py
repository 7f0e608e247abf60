"""GIS input: cost rasters with their georeference, terminals in map coordinates.

Needs the optional extra ``pip install gridweave[geo]`` (rasterio and shapely);
the rest of gridweave works without it.

- :func:`read_raster` reads band 1 of a GeoTIFF (or any raster GDAL reads):
  nodata cells, and NaN cells, become impassable (``+inf``); the affine
  transform and the coordinate system are kept in the returned
  :class:`GeoRaster`.
- :func:`read_sites` reads terminal points in map coordinates from GeoJSON,
  GeoPackage or CSV and :func:`cells_of` turns them into the grid cells of the
  raster, refusing points outside it with a message naming the point. Sites
  must be in the raster's coordinate system: they are not reprojected.

Cells follow the engine's convention: a node at ``(x, y)`` sits in row ``x``
and column ``y`` of the cost map. A cell's map point is its centre:
``transform * (column + 0.5, row + 0.5)``. Transforms are kept as the six
numbers ``(a, b, c, d, e, f)`` of ``x_map = a*col + b*row + c`` and
``y_map = d*col + e*row + f`` (the order of rasterio and GDAL's affine).
"""

from __future__ import annotations

import csv
import importlib
import json
import math
import sqlite3
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

__all__ = [
    "GeoRaster",
    "RASTER_SUFFIXES",
    "SITE_SUFFIXES",
    "read_raster",
    "read_sites",
    "cells_of",
    "cell_to_map",
    "map_to_cell",
    "cell_size",
]

Transform = tuple[float, float, float, float, float, float]

# Raster files read through rasterio, and site files read in map coordinates.
RASTER_SUFFIXES = (".tif", ".tiff", ".vrt", ".img", ".asc", ".nc")
SITE_SUFFIXES = (".geojson", ".gpkg")


@dataclass(frozen=True)
class GeoRaster:
    """A cost map with its georeference. ``crs`` is the coordinate system as a
    string (``"EPSG:32633"`` when it has a code, else WKT), or None."""

    cost: np.ndarray
    transform: Transform
    crs: str | None
    path: str = ""


def _require(module: str) -> Any:
    try:
        return importlib.import_module(module)
    except ImportError:
        raise ImportError(
            f"reading GIS files needs {module}: pip install 'gridweave[geo]'"
        ) from None


def read_raster(path: str | Path) -> GeoRaster:
    """Band 1 of a raster as a float64 cost map; nodata and NaN cells are ``+inf``.

    Costs must not be negative, and at least one cell must be passable.
    """
    rasterio = _require("rasterio")
    path = Path(path)
    if not path.is_file():
        raise FileNotFoundError(f"no such file: {path}")
    try:
        with rasterio.open(path) as dataset:
            band = dataset.read(1, masked=True)
            a, b, c, d, e, f = (float(v) for v in tuple(dataset.transform)[:6])
            crs = _crs_text(dataset.crs)
    except rasterio.errors.RasterioError as error:
        raise ValueError(f"{path}: not a readable raster ({error})") from None
    cost = np.ma.filled(band.astype(np.float64), np.inf)
    cost[np.isnan(cost)] = np.inf
    if (cost < 0).any():
        raise ValueError(f"{path}: the cost map holds negative costs")
    if np.isinf(cost).all():
        raise ValueError(f"{path}: every cell is nodata or infinite")
    return GeoRaster(np.ascontiguousarray(cost), (a, b, c, d, e, f), crs, str(path))


def _crs_text(crs: Any) -> str | None:
    if crs is None:
        return None
    epsg = crs.to_epsg()
    return f"EPSG:{epsg}" if epsg else crs.to_wkt()


def cell_to_map(transform: Sequence[float], cell: Sequence[float]) -> tuple[float, float]:
    """The map point of a cell's centre.

    Example:
        >>> cell_to_map((10.0, 0.0, 500.0, 0.0, -10.0, 900.0), (2, 3))
        (535.0, 875.0)
    """
    a, b, c, d, e, f = transform
    row, col = cell[0] + 0.5, cell[1] + 0.5
    return (a * col + b * row + c, d * col + e * row + f)


def map_to_cell(transform: Sequence[float], point: Sequence[float]) -> tuple[float, float]:
    """The fractional (row, column) of a map point: the inverse of the transform.

    Example:
        >>> map_to_cell((10.0, 0.0, 500.0, 0.0, -10.0, 900.0), (535.0, 875.0))
        (2.5, 3.5)
    """
    a, b, c, d, e, f = transform
    det = a * e - b * d
    if det == 0:
        raise ValueError("the raster's transform cannot be inverted")
    dx, dy = point[0] - c, point[1] - f
    return ((a * dy - d * dx) / det, (e * dx - b * dy) / det)


def cell_size(transform: Sequence[float]) -> float:
    """The side of a square of one cell's area in map units (1 for the identity).

    Example:
        >>> cell_size((10.0, 0.0, 500.0, 0.0, -10.0, 900.0))
        10.0
    """
    a, b, _, d, e, _ = transform
    return math.sqrt(abs(a * e - b * d))


def cells_of(
    points: Iterable[tuple[str, float, float]], transform: Sequence[float], shape: Sequence[int]
) -> list[tuple[int, int]]:
    """Cells (row, column) of named map points; a point outside the raster is refused.

    Example:
        >>> t = (10.0, 0.0, 500.0, 0.0, -10.0, 900.0)
        >>> cells_of([("mill", 535.0, 875.0)], t, (5, 5))
        [(2, 3)]
        >>> cells_of([("well", 400.0, 875.0)], t, (5, 5))
        Traceback (most recent call last):
        ValueError: site well at (400, 875) lies outside the raster (5 rows, 5 columns)
    """
    rows, cols = int(shape[0]), int(shape[1])
    cells = []
    for name, x, y in points:
        row, col = map_to_cell(transform, (x, y))
        if not (0 <= row < rows and 0 <= col < cols):
            raise ValueError(
                f"site {name} at ({x:g}, {y:g}) lies outside the raster ({rows} rows, {cols} columns)"
            )
        cells.append((int(math.floor(row)), int(math.floor(col))))
    return cells


def read_sites(path: str | Path) -> list[tuple[str, float, float]]:
    """Named points (name, x, y) in map coordinates from GeoJSON, GeoPackage or CSV.

    A point's name is its "name" or "id" property (CSV: column), else its
    position in the file (1, 2, ...). GeoJSON and GeoPackage layers must hold
    Point geometries; CSV files need columns x and y (or lon and lat, or
    easting and northing).
    """
    path = Path(path)
    if not path.is_file():
        raise FileNotFoundError(f"no such file: {path}")
    suffix = path.suffix.lower()
    if suffix in (".geojson", ".json"):
        sites = _geojson_sites(path)
    elif suffix == ".gpkg":
        sites = _geopackage_sites(path)
    elif suffix == ".csv":
        sites = _csv_sites(path)
    else:
        raise ValueError(f"{path}: sites must be .geojson, .gpkg or .csv files")
    if not sites:
        raise ValueError(f"{path}: no sites found")
    return sites


def _named(properties: Any, number: int) -> str:
    if isinstance(properties, dict):
        for key in ("name", "id"):
            if properties.get(key) not in (None, ""):
                return str(properties[key])
    return str(number)


def _geojson_sites(path: Path) -> list[tuple[str, float, float]]:
    shapely_geometry = _require("shapely.geometry")
    try:
        data = json.loads(path.read_text(encoding="utf-8"))
    except (ValueError, UnicodeDecodeError) as error:
        raise ValueError(f"{path}: not GeoJSON ({error})") from None
    features = data.get("features", [data]) if isinstance(data, dict) else None
    if not isinstance(features, list):
        raise ValueError(f"{path}: not a GeoJSON feature collection")
    sites = []
    for number, feature in enumerate(features, 1):
        try:
            geometry = shapely_geometry.shape(feature["geometry"])
        except Exception as error:
            raise ValueError(f"{path}: feature {number} has no readable geometry ({error})") from None
        sites.append(_point_site(path, _named(feature.get("properties"), number), geometry))
    return sites


def _point_site(path: Path, name: str, geometry: Any) -> tuple[str, float, float]:
    if geometry.geom_type != "Point" or geometry.is_empty:
        raise ValueError(f"{path}: site {name} is a {geometry.geom_type}, not a point")
    return (name, float(geometry.x), float(geometry.y))


def _geopackage_sites(path: Path) -> list[tuple[str, float, float]]:
    """Points of the first feature table of a GeoPackage (an SQLite database)."""
    shapely = _require("shapely")
    try:
        with sqlite3.connect(f"file:{path}?mode=ro", uri=True) as db:
            table, column = db.execute(
                "SELECT table_name, column_name FROM gpkg_geometry_columns ORDER BY table_name"
            ).fetchone()
            cursor = db.execute(f'SELECT * FROM "{table}"')
            names = [d[0] for d in cursor.description]
            rows = [dict(zip(names, row)) for row in cursor.fetchall()]
    except (sqlite3.Error, TypeError) as error:
        raise ValueError(f"{path}: not a GeoPackage with a feature table ({error})") from None
    sites = []
    for number, row in enumerate(rows, 1):
        name = _named(row, number)
        try:
            geometry = shapely.from_wkb(_wkb_of_geopackage_blob(row[column]))
        except Exception as error:
            raise ValueError(f"{path}: site {name} has no readable geometry ({error})") from None
        sites.append(_point_site(path, name, geometry))
    return sites


def _wkb_of_geopackage_blob(blob: bytes) -> bytes:
    """The WKB inside a GeoPackage geometry: "GP", version, flags, SRS id, envelope, WKB."""
    if blob[:2] != b"GP":
        raise ValueError("not a GeoPackage geometry")
    envelope = {0: 0, 1: 32, 2: 48, 3: 48, 4: 64}.get((blob[3] >> 1) & 0b111)
    if envelope is None:
        raise ValueError("unknown envelope")
    return bytes(blob[8 + envelope:])


def _csv_sites(path: Path) -> list[tuple[str, float, float]]:
    with path.open(newline="", encoding="utf-8") as handle:
        rows = list(csv.DictReader(handle))
    if not rows:
        return []
    columns = {k.strip().lower(): k for k in rows[0] if k}
    pair = next(((columns[a], columns[b]) for a, b in
                 (("x", "y"), ("lon", "lat"), ("longitude", "latitude"), ("easting", "northing"))
                 if a in columns and b in columns), None)
    if pair is None:
        raise ValueError(f"{path}: a site CSV needs columns x and y (or lon and lat)")
    sites = []
    for number, row in enumerate(rows, 1):
        name = _named({k.strip().lower(): v for k, v in row.items() if k}, number)
        try:
            sites.append((name, float(row[pair[0]]), float(row[pair[1]])))
        except (TypeError, ValueError):
            raise ValueError(f"{path}: site {name} has no numeric coordinates") from None
    return sites

