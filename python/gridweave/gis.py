"""GIS input: cost rasters with their georeference, sites in map coordinates.

Needs the optional extra ``pip install gridweave[geo]`` (rasterio and shapely);
the rest of gridweave works without it.

- :func:`read_raster` reads one band of a GeoTIFF (or any raster GDAL reads):
  nodata cells (the file's, and ``nodata`` when given), masked cells and NaN
  cells become impassable (``+inf``); the affine transform, the coordinate
  system and its unit of length are kept in the returned :class:`GeoRaster`.
  Cells must be square (the network's costs are cost times length, and a
  straight line's length in cells is only a length in metres on square
  cells), and the coordinate system must be projected: a raster in degrees
  is refused with the call that resamples or reprojects it.
- :func:`read_site_layer` reads named points with all their attributes and
  their coordinate system from GeoJSON, GeoPackage (one layer, named when the
  file holds several) or CSV; :func:`place_sites` reprojects them onto the
  raster and turns them into its cells, reporting how far each site moved.
  It refuses a site outside the raster or on an impassable cell (unless a
  passable cell lies within the ``snap`` distance) and two sites in one cell.

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
import warnings
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np

from .measure import cost_array

__all__ = [
    "GeoRaster",
    "Site",
    "SiteLayer",
    "PlacedSite",
    "RASTER_SUFFIXES",
    "SITE_SUFFIXES",
    "read_raster",
    "read_sites",
    "read_site_layer",
    "place_sites",
    "cells_of",
    "cell_to_map",
    "map_to_cell",
    "cell_size",
    "square_cell_side",
    "read_shapes",
    "line_paths",
]

Transform = tuple[float, float, float, float, float, float]

# Raster files read through rasterio, and site files read in map coordinates.
RASTER_SUFFIXES = (".tif", ".tiff", ".vrt", ".img", ".asc", ".nc")
SITE_SUFFIXES = (".geojson", ".gpkg")
GEO_EXTRA = "pip install 'gridweave[geo]'"


@dataclass(frozen=True)
class GeoRaster:
    """A cost map with its georeference. ``crs`` is the coordinate system as a
    string (``"EPSG:32633"`` when it has a code, else WKT), or None; ``unit``
    its unit of length ("m" for the metres of most projected systems)."""

    cost: np.ndarray
    transform: Transform
    crs: str | None
    path: str = ""
    unit: str = "map unit"
    band: int = 1


@dataclass(frozen=True)
class Site:
    """A named point in the coordinates of its file, with the file's attributes."""

    name: str
    x: float
    y: float
    attributes: dict[str, Any] = field(default_factory=dict)


@dataclass(frozen=True)
class SiteLayer:
    """The sites of one file: their coordinate system (None: the raster's) and layer."""

    sites: list[Site]
    crs: str | None = None
    layer: str | None = None


@dataclass(frozen=True)
class PlacedSite:
    """A site on the raster: its point in the raster's coordinates, its cell,
    and the distance in map units from that point to the cell's centre."""

    site: Site
    x: float
    y: float
    cell: tuple[int, int]
    snapped: float
    moved: bool = False  # moved off an impassable cell by the snap distance

    def record(self) -> dict[str, Any]:
        """The site as the outputs carry it."""
        return {"name": self.site.name, "cell": list(self.cell), "x": self.x, "y": self.y,
                "snapped": self.snapped, "moved": self.moved, "attributes": self.site.attributes}


def _require(module: str) -> Any:
    try:
        return importlib.import_module(module)
    except ImportError:
        raise ImportError(f"reading GIS files needs {module}: {GEO_EXTRA}") from None


def read_raster(path: str | Path, *, band: int | None = None, nodata: float | None = None) -> GeoRaster:
    """One band (default 1) of a raster as a float64 cost map; nodata, masked
    and NaN cells are ``+inf``. A raster of several bands read without ``band``
    warns that band 1 is used.

    Costs must not be negative, at least one cell must be passable, cells must
    be square and the coordinate system projected.
    """
    rasterio = _require("rasterio")
    path = Path(path)
    if not path.is_file():
        raise FileNotFoundError(f"no such file: {path}")
    try:
        with rasterio.open(path) as dataset:
            chosen = _chosen_band(dataset, band, path)
            values = dataset.read(chosen, masked=True)
            transform: Transform = tuple(float(v) for v in tuple(dataset.transform)[:6])  # type: ignore[assignment]
            crs, unit = _crs_text(dataset.crs), _unit(dataset.crs)
            _refuse_geographic(dataset, path)
    except rasterio.errors.RasterioError as error:
        raise ValueError(f"{path}: not a readable raster ({error})") from None
    square_cell_side(transform, path, values.shape)
    cost = cost_array(values.astype(np.float64, copy=False), nodata=nodata, source=str(path))
    if np.isinf(cost).all():
        raise ValueError(f"{path}: every cell is nodata or infinite")
    return GeoRaster(cost, transform, crs, str(path), unit, chosen)


def _chosen_band(dataset: Any, band: int | None, path: Path) -> int:
    if band is None:
        if dataset.count > 1:
            warnings.warn(f"{path} holds {dataset.count} bands; band 1 is the cost (choose "
                          "another with --band)", stacklevel=3)
        return 1
    if not 1 <= band <= dataset.count:
        raise ValueError(f"{path}: no band {band} (the raster has {dataset.count})")
    return band



def _refuse_geographic(dataset: Any, path: Path) -> None:
    if dataset.crs is None or not dataset.crs.is_geographic:
        return
    raise ValueError(
        f"{path}: the raster is in {_crs_text(dataset.crs)}, a geographic system in degrees, "
        "where a cell is no length; reproject it to a projected system in metres first, e.g. "
        f"gdalwarp -t_srs EPSG:<UTM zone> {path.name} projected.tif (rasterio.warp.reproject "
        "does the same)"
    )


def _crs_text(crs: Any) -> str | None:
    if crs is None:
        return None
    epsg = crs.to_epsg()
    return f"EPSG:{epsg}" if epsg else crs.to_wkt()


UNIT_SYMBOLS = {"metre": "m", "meter": "m", "foot": "ft", "us survey foot": "ftUS"}


def _unit(crs: Any) -> str:
    """The symbol of the system's unit of length ("m" for metres)."""
    unit = getattr(crs, "linear_units", None) if crs is not None else None
    if not unit or unit == "unknown":
        return "map unit"
    return UNIT_SYMBOLS.get(str(unit).lower(), str(unit))


def square_cell_side(transform: Sequence[float], path: str | Path = "the raster",
                     shape: Sequence[int] | None = None) -> float:
    """The side of a square cell in map units; a transform whose cells are not
    square (possibly rotated) is refused with the rasterio call that resamples it.

    Example:
        >>> square_cell_side((10.0, 0.0, 500.0, 0.0, -10.0, 900.0))
        10.0
        >>> square_cell_side((10.0, 0.0, 500.0, 0.0, -100.0, 900.0))  # doctest: +ELLIPSIS
        Traceback (most recent call last):
        ValueError: the raster: cells are 10 x 100 map units, not square; ...
    """
    a, b, c, d, e, f = (float(v) for v in transform)
    width, height = math.hypot(a, d), math.hypot(b, e)
    if width == 0 or height == 0:
        raise ValueError(f"{path}: the raster's transform has cells of no size")
    square = math.isclose(width, height, rel_tol=1e-9) and abs(a * b + d * e) <= 1e-9 * width * height
    if not square:
        side = min(width, height)
        size = "width=..., height=..."
        if shape is not None:
            rows, cols = shape
            size = f"width={math.ceil(cols * width / side)}, height={math.ceil(rows * height / side)}"
        raise ValueError(
            f"{path}: cells are {width:.6g} x {height:.6g} map units, not square; resample them to "
            f"square cells first, e.g. with rasterio: WarpedVRT(dataset, transform=Affine({side:.10g}, "
            f"0, {c:.10g}, 0, {-side:.10g}, {f:.10g}), {size}, resampling=Resampling.bilinear) "
            f"or gdalwarp -tr {side:.10g} {side:.10g} -r bilinear"
        )
    return width


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
    """The side of a square of one cell's area in map units (1 for the identity):
    the side of a cell, for the square cells a raster must have.

    Example:
        >>> cell_size((10.0, 0.0, 500.0, 0.0, -10.0, 900.0))
        10.0
    """
    a, b, _, d, e, _ = transform
    return math.sqrt(abs(a * e - b * d))


def _site_cell(site: Any, x: float, y: float, transform: Sequence[float],
               rows: int, cols: int, systems: str = "") -> tuple[int, int]:
    row, col = map_to_cell(transform, (x, y))
    if not (0 <= row < rows and 0 <= col < cols):
        raise ValueError(f"site {_label(site, x, y)}{systems} lies outside the raster ({rows} rows, "
                         f"{cols} columns)")
    return int(math.floor(row)), int(math.floor(col))


def _label(site: Any, x: float, y: float) -> str:
    name = site.name if isinstance(site, Site) else site[0]
    return f"{name} at ({x:.10g}, {y:.10g})"


def cells_of(
    points: Iterable[Any], transform: Sequence[float], shape: Sequence[int]
) -> list[tuple[int, int]]:
    """Cells (row, column) of named map points (``(name, x, y)`` or :class:`Site`);
    a point outside the raster is refused.

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
    for point in points:
        x, y = (point.x, point.y) if isinstance(point, Site) else (point[1], point[2])
        cells.append(_site_cell(point, x, y, transform, rows, cols))
    return cells


def place_sites(layer: SiteLayer, raster: GeoRaster, *, snap: float = 0.0) -> list[PlacedSite]:
    """The sites on the raster's cells (see the module docs).

    A site whose cell is impassable moves to the nearest passable cell centre
    within ``snap`` map units of it, or is refused by name and coordinates.
    """
    return placed_layer(layer, raster, snap=snap)[1]


def placed_layer(layer: SiteLayer, raster: GeoRaster, *,
                 snap: float = 0.0) -> tuple[SiteLayer, list[PlacedSite]]:
    """:func:`place_sites`, with the layer as read (its coordinate system known)."""
    layer = _with_default_crs(layer, raster)
    xs, ys = _in_raster_crs(layer, raster)
    rows, cols = raster.cost.shape
    placed: list[PlacedSite] = []
    systems = ""
    if layer.crs is not None and raster.crs is not None and not _same_crs(layer.crs, raster.crs):
        systems = f" (reprojected from {_short_crs(layer.crs)} to the raster's {_short_crs(raster.crs)})"
    for site, x, y in zip(layer.sites, xs, ys):
        cell = _site_cell(site, x, y, raster.transform, rows, cols, systems)
        moved = not np.isfinite(raster.cost[cell])
        if moved:
            cell = _nearest_passable(site, x, y, raster, snap)
        centre = cell_to_map(raster.transform, cell)
        offset = round(math.dist((x, y), centre), 6)  # no rounding noise of the reprojection
        placed.append(PlacedSite(site, x, y, cell, offset, moved))
    _refuse_shared_cells(placed)
    return layer, placed


def _nearest_passable(site: Site, x: float, y: float, raster: GeoRaster,
                      snap: float) -> tuple[int, int]:
    where = f"site {_label(site, x, y)} lies on an impassable (nodata) cell"
    side = cell_size(raster.transform)
    reach = int(math.ceil(snap / side)) + 1 if snap > 0 else 0
    row, col = (int(math.floor(v)) for v in map_to_cell(raster.transform, (x, y)))
    rows, cols = raster.cost.shape
    r0, r1, c0, c1 = max(row - reach, 0), min(row + reach + 1, rows), max(col - reach, 0), min(col + reach + 1, cols)
    window = np.isfinite(raster.cost[r0:r1, c0:c1])
    if snap > 0 and window.any():
        cells = np.argwhere(window) + (r0, c0)
        centres = [cell_to_map(raster.transform, c) for c in cells]
        distances = [math.dist((x, y), p) for p in centres]
        best = int(np.argmin(distances))
        if distances[best] <= snap:
            return int(cells[best][0]), int(cells[best][1])
        raise ValueError(f"{where}; the nearest passable cell is {distances[best]:g} away, "
                         f"beyond --snap {snap:g}")
    raise ValueError(f"{where}; move it, or give --snap DISTANCE to move it to the nearest "
                     "passable cell within that distance")


def _refuse_shared_cells(placed: Sequence[PlacedSite]) -> None:
    first: dict[tuple[int, int], PlacedSite] = {}
    for one in placed:
        other = first.setdefault(one.cell, one)
        if other is not one:
            raise ValueError(f"sites {_label(other.site, other.x, other.y)} and "
                             f"{_label(one.site, one.x, one.y)} lie in the same cell "
                             f"{one.cell}; a cell holds one site")


def _with_default_crs(layer: SiteLayer, raster: GeoRaster) -> SiteLayer:
    """Sites without a coordinate system are in the raster's; but when none of
    them lies on the raster and all could be degrees, they are read as WGS 84
    longitude and latitude (GeoJSON's own default)."""
    if layer.crs is not None or raster.crs is None:
        return layer
    rows, cols = raster.cost.shape
    cells = [map_to_cell(raster.transform, (s.x, s.y)) for s in layer.sites]
    on_raster = any(0 <= r < rows and 0 <= c < cols for r, c in cells)
    degrees = all(abs(s.x) <= 180 and abs(s.y) <= 90 for s in layer.sites)
    if on_raster or not degrees:
        return layer
    return SiteLayer(layer.sites, "EPSG:4326", layer.layer)


def _in_raster_crs(layer: SiteLayer, raster: GeoRaster) -> tuple[list[float], list[float]]:
    """The sites' coordinates in the raster's system, reprojected when both are known."""
    xs, ys = [s.x for s in layer.sites], [s.y for s in layer.sites]
    if layer.crs is None or raster.crs is None or _same_crs(layer.crs, raster.crs):
        return xs, ys
    warp = _require("rasterio.warp")
    try:
        new_xs, new_ys = warp.transform(layer.crs, raster.crs, xs, ys)
    except Exception as error:
        raise ValueError(f"cannot reproject the sites from {layer.crs} to the raster's "
                         f"{_short_crs(raster.crs)} ({error})") from None
    if not all(math.isfinite(v) for v in [*new_xs, *new_ys]):
        raise ValueError(f"the sites in {layer.crs} do not reproject into the raster's "
                         f"{_short_crs(raster.crs)}")
    return [float(v) for v in new_xs], [float(v) for v in new_ys]


def _same_crs(first: str, second: str) -> bool:
    if first == second:
        return True
    crs = _require("rasterio.crs").CRS
    try:
        return bool(crs.from_user_input(first) == crs.from_user_input(second))
    except Exception:
        return False


def _short_crs(crs: str) -> str:
    return crs if len(crs) < 40 else crs[:37] + "..."


def read_sites(path: str | Path) -> list[tuple[str, float, float]]:
    """Named points (name, x, y) in the file's coordinates (see :func:`read_site_layer`)."""
    return [(s.name, s.x, s.y) for s in read_site_layer(path).sites]


def read_site_layer(path: str | Path, *, layer: str | None = None,
                    name_field: str | None = None) -> SiteLayer:
    """Named points with their attributes and coordinate system from GeoJSON,
    GeoPackage or CSV.

    A point's name is its ``name_field`` property (CSV: column), else its
    "name" or "id", else its position in the file (1, 2, ...); every other
    property is kept as an attribute. GeoJSON and GeoPackage layers must hold
    Point geometries. A GeoPackage of several feature tables needs ``layer``.
    Coordinate systems: a GeoJSON "crs" member, or a GeoPackage layer's
    system; CSV files need columns x and y (or easting and northing: the
    raster's system) or lon and lat (WGS 84 degrees, EPSG:4326).
    """
    path = Path(path)
    if not path.is_file():
        raise FileNotFoundError(f"no such file: {path}")
    suffix = path.suffix.lower()
    if suffix in (".geojson", ".json"):
        found = _geojson_sites(path, name_field)
    elif suffix == ".gpkg":
        found = _geopackage_sites(path, layer, name_field)
    elif suffix == ".csv":
        found = _csv_sites(path, name_field)
    else:
        raise ValueError(f"{path}: sites must be .geojson, .gpkg or .csv files")
    if layer is not None and suffix != ".gpkg":
        raise ValueError(f"{path}: --layer applies to GeoPackage files only")
    if not found.sites:
        raise ValueError(f"{path}: no sites found")
    return found


def _named(properties: Any, number: int, name_field: str | None, path: Path) -> str:
    if not isinstance(properties, dict):
        return str(number)
    if name_field is not None:
        if name_field not in properties:
            raise ValueError(f"{path}: site {number} has no field {name_field!r} (fields: "
                             f"{', '.join(map(str, properties)) or 'none'})")
        return str(properties[name_field])
    for key in ("name", "id"):
        if properties.get(key) not in (None, ""):
            return str(properties[key])
    return str(number)


def _geojson_sites(path: Path, name_field: str | None) -> SiteLayer:
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
        properties = feature.get("properties") or {}
        name = _named(properties, number, name_field, path)
        try:
            geometry = shapely_geometry.shape(feature["geometry"])
        except Exception as error:
            raise ValueError(f"{path}: feature {number} has no readable geometry ({error})") from None
        sites.append(_point_site(path, name, geometry, properties))
    return SiteLayer(sites, _geojson_crs(data))


def _geojson_crs(data: Any) -> str | None:
    """The named system of a GeoJSON "crs" member (as GDAL writes it), else None."""
    try:
        name = str(data["crs"]["properties"]["name"])
    except (KeyError, TypeError):
        return None
    if "CRS84" in name:
        return "EPSG:4326"
    return name.replace("urn:ogc:def:crs:", "").replace("::", ":")


def _point_site(path: Path, name: str, geometry: Any, attributes: dict[str, Any]) -> Site:
    if geometry.geom_type != "Point" or geometry.is_empty:
        raise ValueError(f"{path}: site {name} is a {geometry.geom_type}, not a point")
    return Site(name, float(geometry.x), float(geometry.y), dict(attributes))


def _geopackage_sites(path: Path, layer: str | None, name_field: str | None) -> SiteLayer:
    """Points of one feature table of a GeoPackage (an SQLite database)."""
    shapely = _require("shapely")
    try:
        with sqlite3.connect(f"file:{path}?mode=ro", uri=True) as db:
            tables = _feature_tables(db)
            table, column, srs_id = _chosen_layer(tables, layer, path)
            cursor = db.execute(f'SELECT * FROM "{table}"')
            names = [d[0] for d in cursor.description]
            rows = [dict(zip(names, row)) for row in cursor.fetchall()]
            crs = _geopackage_crs(db, srs_id)
    except sqlite3.Error as error:
        raise ValueError(f"{path}: not a GeoPackage with a feature table ({error})") from None
    sites = []
    for number, row in enumerate(rows, 1):
        name = _named(row, number, name_field, path)
        try:
            geometry = shapely.from_wkb(_wkb_of_geopackage_blob(row[column]))
        except Exception as error:
            raise ValueError(f"{path}: site {name} has no readable geometry ({error})") from None
        attributes = {k: v for k, v in row.items() if k != column and not isinstance(v, bytes)}
        sites.append(_point_site(path, name, geometry, attributes))
    return SiteLayer(sites, crs, table)


def _feature_tables(db: sqlite3.Connection) -> list[tuple[Any, ...]]:
    """(table, geometry column, srs id) of each layer; a file without srs ids gives None."""
    columns = [row[1] for row in db.execute("PRAGMA table_info(gpkg_geometry_columns)")]
    srs = "srs_id" if "srs_id" in columns else "NULL"
    return db.execute(f"SELECT table_name, column_name, {srs} FROM gpkg_geometry_columns "
                      "ORDER BY table_name").fetchall()


def _chosen_layer(tables: list[tuple[Any, ...]], layer: str | None, path: Path) -> tuple[Any, ...]:
    names = [str(t[0]) for t in tables]
    if not tables:
        raise ValueError(f"{path}: not a GeoPackage with a feature table (no layers)")
    if layer is not None:
        if layer not in names:
            raise ValueError(f"{path}: no layer {layer!r} (layers: {', '.join(names)})")
        return tables[names.index(layer)]
    if len(tables) > 1:
        raise ValueError(f"{path} holds {len(tables)} layers ({', '.join(names)}); choose one "
                         "with --layer")
    return tables[0]


def _geopackage_crs(db: sqlite3.Connection, srs_id: Any) -> str | None:
    """The layer's system: "EPSG:n" when the GeoPackage names one, else its WKT;
    None for the undefined systems (ids 0 and -1)."""
    if srs_id in (None, 0, -1):
        return None
    try:
        row = db.execute("SELECT organization, organization_coordsys_id, definition FROM "
                         "gpkg_spatial_ref_sys WHERE srs_id = ?", (srs_id,)).fetchone()
    except sqlite3.Error:
        row = None
    if row is None:
        return f"EPSG:{srs_id}"  # a GeoPackage without the table: ids are EPSG codes by custom
    organization, code, definition = row
    if str(organization).upper() == "EPSG":
        return f"EPSG:{code}"
    return str(definition) if definition and definition != "undefined" else None


def _wkb_of_geopackage_blob(blob: bytes) -> bytes:
    """The WKB inside a GeoPackage geometry: "GP", version, flags, SRS id, envelope, WKB."""
    if blob[:2] != b"GP":
        raise ValueError("not a GeoPackage geometry")
    envelope = {0: 0, 1: 32, 2: 48, 3: 48, 4: 64}.get((blob[3] >> 1) & 0b111)
    if envelope is None:
        raise ValueError("unknown envelope")
    return bytes(blob[8 + envelope:])


def read_shapes(path: str | Path, raster: GeoRaster, *, layer: str | None = None,
                argument: str = "shapes") -> list[Any]:
    """The geometries of a GeoJSON file or a GeoPackage layer, as shapely shapes.

    They must be in the raster's coordinate system (a file that names another
    one is refused with both named: reproject it first, for example with
    ``ogr2ogr -t_srs``); ``argument`` names the option in messages.
    """
    shapely = _require("shapely")
    shapely_geometry = _require("shapely.geometry")
    path = Path(path)
    if not path.is_file():
        raise FileNotFoundError(f"no such file: {path}")
    if path.suffix.lower() == ".gpkg":
        with sqlite3.connect(f"file:{path}?mode=ro", uri=True) as db:
            table, column, srs_id = _chosen_layer(_feature_tables(db), layer, path)
            blobs = [row[0] for row in db.execute(f'SELECT "{column}" FROM "{table}"')]
            crs = _geopackage_crs(db, srs_id)
        shapes = [shapely.from_wkb(_wkb_of_geopackage_blob(b)) for b in blobs if b]
    elif path.suffix.lower() in (".geojson", ".json"):
        try:
            data = json.loads(path.read_text(encoding="utf-8"))
            features = data.get("features", [data])
            shapes = [shapely_geometry.shape(f["geometry"]) for f in features if f.get("geometry")]
        except (ValueError, UnicodeDecodeError, AttributeError, KeyError, TypeError) as error:
            raise ValueError(f"{path}: not GeoJSON features ({error})") from None
        crs = _geojson_crs(data)
    else:
        raise ValueError(f"{path}: {argument} must be a .geojson or .gpkg file")
    if crs is not None and raster.crs is not None and not _same_crs(crs, raster.crs):
        raise ValueError(f"{path}: {argument} is in {_short_crs(crs)}, the raster in "
                         f"{_short_crs(raster.crs)}; reproject it first (ogr2ogr -t_srs)")
    if not shapes:
        raise ValueError(f"{path}: {argument} holds no geometries")
    return shapes


def line_paths(shapes: Sequence[Any], transform: Sequence[float], shape: Sequence[int],
               argument: str = "lines") -> list[list[tuple[int, int]]]:
    """The cell path of every line (the cells of its vertices, in order).

    Example:
        >>> from shapely.geometry import LineString
        >>> line_paths([LineString([(505, 895), (545, 895)])], (10.0, 0, 500.0, 0, -10.0, 900.0), (5, 5))
        [[(0, 0), (0, 4)]]
    """
    rows, cols = int(shape[0]), int(shape[1])
    paths = []
    for geometry in shapes:
        parts = getattr(geometry, "geoms", [geometry])
        for part in parts:
            if part.geom_type not in ("LineString", "LinearRing"):
                raise ValueError(f"{argument}: a {part.geom_type} is not a line")
            path = []
            for x, y in part.coords:
                row, col = map_to_cell(transform, (x, y))
                if not (0 <= row < rows and 0 <= col < cols):
                    raise ValueError(f"{argument}: the point ({x:g}, {y:g}) lies outside the raster "
                                     f"({rows} rows, {cols} columns)")
                path.append((int(math.floor(row)), int(math.floor(col))))
            paths.append(path)
    return paths


CSV_COORDINATES = (("x", "y", None), ("easting", "northing", None), ("lon", "lat", "EPSG:4326"),
                   ("longitude", "latitude", "EPSG:4326"))


def _csv_sites(path: Path, name_field: str | None) -> SiteLayer:
    with path.open(newline="", encoding="utf-8") as handle:
        rows = list(csv.DictReader(handle))
    if not rows:
        return SiteLayer([])
    columns = {k.strip().lower(): k for k in rows[0] if k}
    found = next(((columns[a], columns[b], crs) for a, b, crs in CSV_COORDINATES
                  if a in columns and b in columns), None)
    if found is None:
        raise ValueError(f"{path}: a site CSV needs columns x and y (or lon and lat)")
    x_column, y_column, crs = found
    sites = []
    for number, row in enumerate(rows, 1):
        fields = {k.strip(): v for k, v in row.items() if k}
        lowered = fields if name_field else {k.lower(): v for k, v in fields.items()}
        name = _named(lowered, number, name_field, path)
        try:
            x, y = float(row[x_column]), float(row[y_column])
        except (TypeError, ValueError):
            raise ValueError(f"{path}: site {name} has no numeric coordinates") from None
        attributes = {k: v for k, v in fields.items() if k not in (x_column, y_column)}
        sites.append(Site(name, x, y, attributes))
    return SiteLayer(sites, crs)
