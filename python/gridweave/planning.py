"""Planning inputs beyond point terminals: a network already built, and regions.

An **existing network** is given as a structure dictionary (``nodes`` with
``data.pos`` cells and ``edges`` between node ids), as a list of cell paths
(each a list of ``(row, column)`` cells joined by straight segments), or as a
boolean mask of the map's shape. Its cells are every cell one of its straight
segments passes through (not only touches at a corner). It counts as
connected in itself and costs nothing: its cells are priced 0, a new network
may join it at any of its cells and more than once, and a network with an
existing part must reach it.

A **region** is a boolean mask of the map's shape, a list of ``(row,
column)`` cells, or a polygon (a shapely geometry or a GeoJSON-like mapping
in cell coordinates: ``x`` is the column and ``y`` the row, cell ``(r, c)``
covering ``[c, c + 1] x [r, r + 1]``; pass ``transform`` for map
coordinates). A network reaches a region when one of its nodes stands on one
of the region's cells; the search chooses which.

Both become row-major cell indices (:class:`Attachments`), the form the native
functions take as ``existing=`` and ``regions=``.

Example:
    >>> a = attachments((4, 5), existing=[[(0, 0), (0, 4)]], regions=[[(3, 3)]])
    >>> a.existing.tolist(), [r.tolist() for r in a.regions]
    ([0, 1, 2, 3, 4], [[18]])
"""

from __future__ import annotations

import json
import math
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

__all__ = ["Attachments", "attachments", "segment_cells", "plain_plan", "plan_from_plain", "read_plan_file",
           "as_masks"]


@dataclass(frozen=True)
class Attachments:
    """An existing network's cells and the regions' cells, as sorted cell indices."""

    shape: tuple[int, int]
    existing: np.ndarray
    regions: tuple[np.ndarray, ...]

    def native(self) -> dict[str, Any]:
        """Keyword arguments of the native functions."""
        return {"existing": self.existing if self.existing.size else None,
                "regions": list(self.regions) if self.regions else None}

    def free_cost(self, cost: np.ndarray) -> np.ndarray:
        """``cost`` with the existing network's cells at 0 (a copy only when one holds a cost)."""
        flat = cost.reshape(-1)
        if not self.existing.size or not flat[self.existing].any():
            return cost
        freed = cost.copy()
        freed.reshape(-1)[self.existing] = 0.0
        return freed

    def attachment_points(self, structure: Mapping[str, Any]) -> list[tuple[int, int]]:
        """The cells where a network's nodes stand on the existing network."""
        cols = self.shape[1]
        on = set(self.existing.tolist())
        cells = sorted({tuple(int(v) for v in n["data"]["pos"]) for n in structure.get("nodes", [])})
        return [c for c in cells if c[0] * cols + c[1] in on]  # type: ignore[misc]


def attachments(
    shape: Sequence[int],
    existing: Any = None,
    regions: Iterable[Any] | None = None,
    transform: Sequence[float] | None = None,
) -> Attachments | None:
    """Checked :class:`Attachments` of a map of ``shape``; None when neither is given.

    Raises ``ValueError`` naming the argument for an existing network off the
    map, an empty region or one outside the map, and ``TypeError`` for input
    of another kind.
    """
    if existing is None and regions is None:
        return None
    rows, cols = (int(v) for v in shape)
    cells = _existing_cells(existing, (rows, cols)) if existing is not None else np.empty(0, np.int64)
    if existing is not None and not cells.size:
        raise ValueError("existing: the existing network has no cells")
    found = tuple(_region_cells(region, (rows, cols), f"regions[{i}]", transform)
                  for i, region in enumerate(regions or ()))
    if regions is not None and not found:
        raise ValueError("regions: needs at least one region (or None)")
    return Attachments((rows, cols), cells, found)


def _existing_cells(existing: Any, shape: tuple[int, int]) -> np.ndarray:
    if isinstance(existing, np.ndarray) and existing.dtype == bool:
        return _mask_cells(existing, shape, "existing")
    if isinstance(existing, Mapping):
        paths = _structure_segments(existing)
    elif isinstance(existing, (list, tuple)):
        paths = [_cells_of(path, f"existing[{i}]") for i, path in enumerate(existing)]
    else:
        raise TypeError("existing: expected a structure dictionary, a list of cell paths or a boolean "
                        f"mask, got {type(existing).__name__}")
    cells: set[int] = set()
    for i, path in enumerate(paths):
        _inside(path, shape, f"existing[{i}]", "the existing network")
        for a, b in zip(path, path[1:]) if len(path) > 1 else [(path[0], path[0])] if path else []:
            cells.update(r * shape[1] + c for r, c in segment_cells(a, b))
    return np.array(sorted(cells), dtype=np.int64)


def _structure_segments(structure: Mapping[str, Any]) -> list[list[tuple[int, int]]]:
    try:
        pos = {n["id"]: (int(n["data"]["pos"][0]), int(n["data"]["pos"][1])) for n in structure["nodes"]}
        segments = [[pos[e["node1"]], pos[e["node2"]]] for e in structure.get("edges", [])
                    if e.get("enabled", True)]
    except (KeyError, TypeError, ValueError) as error:
        raise ValueError(f"existing: not a structure dictionary with nodes and edges ({error!r})") from None
    linked = {cell for segment in segments for cell in segment}
    return segments + [[cell] for cell in pos.values() if cell not in linked]


def _region_cells(region: Any, shape: tuple[int, int], name: str,
                  transform: Sequence[float] | None) -> np.ndarray:
    if isinstance(region, np.ndarray) and region.dtype == bool:
        cells = _mask_cells(region, shape, name)
    elif hasattr(region, "geom_type") or isinstance(region, Mapping):
        cells = _polygon_cells(region, shape, name, transform)
    else:
        path = _cells_of(region, name)
        _inside(path, shape, name, "the region")
        cells = np.unique(np.array([r * shape[1] + c for r, c in path], dtype=np.int64))
    if not cells.size:
        raise ValueError(f"{name}: the region is empty")
    return cells


def _mask_cells(mask: np.ndarray, shape: tuple[int, int], name: str) -> np.ndarray:
    if mask.shape != shape:
        raise ValueError(f"{name}: a mask must have the map's shape {shape}, got {mask.shape}")
    return np.flatnonzero(mask).astype(np.int64)


def _polygon_cells(polygon: Any, shape: tuple[int, int], name: str,
                   transform: Sequence[float] | None) -> np.ndarray:
    from .costs import rasterize

    six = tuple(transform) if transform is not None else (1.0, 0.0, 0.0, 0.0, 1.0, 0.0)
    try:
        inside = rasterize(shape, six, [polygon])
        if not inside.any():  # smaller than a cell: take the cells it touches
            inside = rasterize(shape, six, [polygon], all_touched=True)
    except ValueError as error:
        raise ValueError(f"{name}: {error}") from None
    if not inside.any():
        raise ValueError(f"{name}: the region lies outside the map")
    return np.flatnonzero(inside).astype(np.int64)


def _cells_of(path: Any, name: str) -> list[tuple[int, int]]:
    try:
        cells = [(int(r), int(c)) for r, c in path]
    except (TypeError, ValueError):
        raise TypeError(f"{name}: expected (row, column) cells") from None
    return cells


def _inside(cells: list[tuple[int, int]], shape: tuple[int, int], name: str, what: str) -> None:
    for r, c in cells:
        if not (0 <= r < shape[0] and 0 <= c < shape[1]):
            raise ValueError(f"{name}: cell ({r}, {c}) of {what} lies outside the map "
                             f"({shape[0]} rows, {shape[1]} columns)")


def segment_cells(a: Sequence[int], b: Sequence[int]) -> list[tuple[int, int]]:
    """Every cell the straight segment between two cell centres passes through.

    A cell counts when the segment enters its interior; touching only its
    corner does not count. Both ends are included.

    Example:
        >>> segment_cells((0, 0), (1, 2))
        [(0, 0), (0, 1), (1, 1), (1, 2)]
    """
    (r0, c0), (r1, c1) = (int(a[0]), int(a[1])), (int(b[0]), int(b[1]))
    dr, dc = r1 - r0, c1 - c0
    cells = {(r0, c0), (r1, c1)}
    # The segment crosses row boundary r + 0.5 at t = (r + 0.5 - r0) / dr, and
    # likewise for columns; between consecutive crossings it stays in one cell.
    stops = {0.0, 1.0}
    stops.update((k + 0.5) / abs(dr) for k in range(abs(dr)))
    stops.update((k + 0.5) / abs(dc) for k in range(abs(dc)))
    ordered = sorted(stops)
    for t0, t1 in zip(ordered, ordered[1:]):
        t = (t0 + t1) / 2
        cells.add((math.floor(r0 + dr * t + 0.5), math.floor(c0 + dc * t + 0.5)))
    return sorted(cells)


def plain_plan(plan: Attachments | None) -> dict[str, Any]:
    """The plan as plain lists for a checkpoint's settings; empty without one."""
    if plan is None:
        return {}
    return {"existing_cells": plan.existing.tolist(), "region_cells": [r.tolist() for r in plan.regions]}


def plan_from_plain(shape: Sequence[int], settings: Mapping[str, Any]) -> Attachments | None:
    """The plan :func:`plain_plan` stored, or None."""
    if "existing_cells" not in settings:
        return None
    return Attachments((int(shape[0]), int(shape[1])), np.array(settings["existing_cells"], dtype=np.int64),
                       tuple(np.array(r, dtype=np.int64) for r in settings["region_cells"]))


def read_plan_file(path: str | Path, kind: str, raster: Any = None) -> Any:
    """An existing network (``kind="existing"``) or regions (``kind="regions"``) from a file.

    Over a GIS raster (``raster``, a :class:`gridweave.gis.GeoRaster`) the file
    holds lines or polygons (GeoJSON or GeoPackage, in the raster's coordinate
    system), returned as cell paths or polygons in cell coordinates; otherwise
    it is JSON: a structure dictionary or a list of cell paths, or a list of
    regions (each a list of cells).
    """
    path = Path(path)
    option = f"--{kind}"
    if raster is not None:
        from . import gis

        shapes = gis.read_shapes(path, raster, argument=option)
        if kind == "existing":
            return gis.line_paths(shapes, raster.transform, raster.cost.shape, argument=option)
        return [_in_cells(shape, raster.transform) for shape in shapes]
    if not path.is_file():
        raise FileNotFoundError(f"no such file: {path}")
    try:
        return json.loads(path.read_text(encoding="utf-8"))
    except (ValueError, UnicodeDecodeError) as error:
        raise ValueError(f"{path}: {option} must be JSON here ({error})") from None


def _in_cells(shape: Any, transform: Sequence[float]) -> Any:
    """A shapely shape moved from map coordinates into cell coordinates (x = column, y = row)."""
    from shapely import affinity

    a, b, c, d, e, f = (float(v) for v in transform)
    det = a * e - b * d
    # The inverse of x = a*col + b*row + c, y = d*col + e*row + f.
    return affinity.affine_transform(shape, [e / det, -b / det, -d / det, a / det,
                                             (b * f - e * c) / det, (d * c - a * f) / det])


def as_masks(plan: Attachments) -> tuple[np.ndarray | None, list[np.ndarray] | None]:
    """The plan as boolean masks, a form :func:`attachments` takes again."""
    def mask(cells: np.ndarray) -> np.ndarray:
        out = np.zeros(plan.shape, dtype=bool)
        out.reshape(-1)[cells] = True
        return out

    existing = mask(plan.existing) if plan.existing.size else None
    return existing, [mask(r) for r in plan.regions] or None
