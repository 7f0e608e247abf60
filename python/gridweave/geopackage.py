"""Writing GeoPackage files (OGC GeoPackage 1.3, an SQLite database) with the
standard library and shapely: one feature table per layer, every layer in one
coordinate system.

Layers hold features given as GeoJSON geometries and rows of attributes; a
column's type is INTEGER, REAL or TEXT by its values (other values are
written as their JSON text, ``None`` as NULL).
"""

from __future__ import annotations

import json
import math
import sqlite3
import struct
from collections.abc import Mapping, Sequence
from pathlib import Path
from types import TracebackType
from typing import Any

__all__ = ["GeoPackage"]

APPLICATION_ID = 0x47504B47  # "GPKG"
USER_VERSION = 10300
UNDEFINED_SRS = 100000  # the id given to a coordinate system without an EPSG code

SCHEMA = """
CREATE TABLE gpkg_spatial_ref_sys (srs_name TEXT NOT NULL, srs_id INTEGER PRIMARY KEY,
  organization TEXT NOT NULL, organization_coordsys_id INTEGER NOT NULL,
  definition TEXT NOT NULL, description TEXT);
CREATE TABLE gpkg_contents (table_name TEXT NOT NULL PRIMARY KEY, data_type TEXT NOT NULL,
  identifier TEXT UNIQUE, description TEXT DEFAULT '',
  last_change DATETIME NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%fZ','now')),
  min_x DOUBLE, min_y DOUBLE, max_x DOUBLE, max_y DOUBLE, srs_id INTEGER,
  CONSTRAINT fk_gc_r_srs_id FOREIGN KEY (srs_id) REFERENCES gpkg_spatial_ref_sys(srs_id));
CREATE TABLE gpkg_geometry_columns (table_name TEXT NOT NULL, column_name TEXT NOT NULL,
  geometry_type_name TEXT NOT NULL, srs_id INTEGER NOT NULL, z TINYINT NOT NULL,
  m TINYINT NOT NULL, CONSTRAINT pk_geom_cols PRIMARY KEY (table_name, column_name),
  CONSTRAINT fk_gc_tn FOREIGN KEY (table_name) REFERENCES gpkg_contents(table_name),
  CONSTRAINT fk_gc_srs FOREIGN KEY (srs_id) REFERENCES gpkg_spatial_ref_sys (srs_id));
"""
WGS84_WKT = ('GEOGCS["WGS 84",DATUM["WGS_1984",SPHEROID["WGS 84",6378137,298.257223563]],'
             'PRIMEM["Greenwich",0],UNIT["degree",0.0174532925199433],AUTHORITY["EPSG","4326"]]')
DEFAULT_SYSTEMS = [
    ("Undefined cartesian SRS", -1, "NONE", -1, "undefined", "undefined cartesian coordinate system"),
    ("Undefined geographic SRS", 0, "NONE", 0, "undefined", "undefined geographic coordinate system"),
    ("WGS 84 geodetic", 4326, "EPSG", 4326, WGS84_WKT, "longitude/latitude on the WGS 84 ellipsoid"),
]


class GeoPackage:
    """A new GeoPackage at ``path`` (an existing file is replaced) whose layers
    are in ``crs`` ("EPSG:n" or WKT; None: undefined). Use as a context manager."""

    def __init__(self, path: str | Path, crs: str | None):
        self.path = Path(path)
        self.path.unlink(missing_ok=True)
        self.db = sqlite3.connect(self.path)
        self.db.execute(f"PRAGMA application_id = {APPLICATION_ID}")
        self.db.execute(f"PRAGMA user_version = {USER_VERSION}")
        self.db.executescript(SCHEMA)
        self.db.executemany("INSERT INTO gpkg_spatial_ref_sys VALUES (?, ?, ?, ?, ?, ?)", DEFAULT_SYSTEMS)
        self.srs_id = self._add_system(crs)

    def __enter__(self) -> GeoPackage:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 trace: TracebackType | None) -> None:
        if kind is None:
            self.db.commit()
        self.db.close()
        if kind is not None:
            self.path.unlink(missing_ok=True)

    def _add_system(self, crs: str | None) -> int:
        if crs is None:
            return -1
        code = crs.upper().removeprefix("EPSG:")
        srs_id = int(code) if code.isdigit() else UNDEFINED_SRS
        if srs_id in (4326,):
            return srs_id
        organization = "EPSG" if code.isdigit() else "NONE"
        self.db.execute("INSERT INTO gpkg_spatial_ref_sys VALUES (?, ?, ?, ?, ?, ?)",
                        (crs, srs_id, organization, srs_id, _wkt(crs), crs))
        return srs_id

    def add_layer(self, name: str, geometry_type: str, geometries: Sequence[Mapping[str, Any]],
                  rows: Sequence[Mapping[str, Any]]) -> None:
        """A feature table of ``geometries`` (GeoJSON) with the attribute ``rows``."""
        import shapely.geometry

        shapes = [shapely.geometry.shape(g) for g in geometries]
        columns = list(dict.fromkeys(key for row in rows for key in row))
        types = {c: _column_type([row.get(c) for row in rows]) for c in columns}
        titles = _column_titles(columns)
        definition = ", ".join(f'"{titles[c]}" {types[c]}' for c in columns)
        self.db.execute(f'CREATE TABLE "{name}" (fid INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, '
                        f'geom {geometry_type}{", " + definition if definition else ""})')
        names = ", ".join(["geom", *(f'"{titles[c]}"' for c in columns)])
        marks = ", ".join("?" * (len(columns) + 1))
        self.db.executemany(
            f'INSERT INTO "{name}" ({names}) VALUES ({marks})',
            [(self._blob(shape), *(_value(row.get(c)) for c in columns)) for shape, row in zip(shapes, rows)],
        )
        bounds = _bounds(shapes)
        self.db.execute("INSERT INTO gpkg_contents (table_name, data_type, identifier, min_x, min_y, "
                        "max_x, max_y, srs_id) VALUES (?, 'features', ?, ?, ?, ?, ?, ?)",
                        (name, name, *bounds, self.srs_id))
        self.db.execute("INSERT INTO gpkg_geometry_columns VALUES (?, 'geom', ?, ?, 0, 0)",
                        (name, geometry_type, self.srs_id))

    def _blob(self, shape: Any) -> bytes:
        """A GeoPackage geometry: "GP", version 0, flags (little-endian, xy envelope), SRS id, envelope, WKB."""
        import shapely

        min_x, min_y, max_x, max_y = shape.bounds
        header = b"GP" + bytes([0, 0b011]) + struct.pack("<i", self.srs_id)
        return header + struct.pack("<4d", min_x, max_x, min_y, max_y) + shapely.to_wkb(shape, byte_order=1)


def _column_titles(columns: Sequence[str]) -> dict[str, str]:
    """Column names SQLite accepts: the table's own "fid" and "geom", and names
    equal but for case, get a trailing number."""
    taken = {"fid", "geom"}
    titles = {}
    for column in columns:
        title, number = str(column).replace('"', "'"), 1
        while title.lower() in taken:
            number += 1
            title = f"{column}_{number}"
        taken.add(title.lower())
        titles[column] = title
    return titles


def _wkt(crs: str) -> str:
    try:
        from rasterio.crs import CRS

        return str(CRS.from_user_input(crs).to_wkt())
    except Exception:  # no rasterio, or a system it does not know: the text as given
        return crs


def _bounds(shapes: Sequence[Any]) -> tuple[float | None, ...]:
    if not shapes:
        return (None, None, None, None)
    boxes = [s.bounds for s in shapes]
    return (min(b[0] for b in boxes), min(b[1] for b in boxes),
            max(b[2] for b in boxes), max(b[3] for b in boxes))


def _column_type(values: Sequence[Any]) -> str:
    present = [v for v in values if v is not None]
    if present and all(isinstance(v, (bool, int)) for v in present):
        return "INTEGER"
    if present and all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in present):
        return "REAL"
    return "TEXT"


def _value(value: Any) -> Any:
    if value is None or isinstance(value, (int, str)):
        return value
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    return json.dumps(value, default=str)
