"""Cost maps built from layers: weighted sums, slope, vector barriers.

Every function returns a C-contiguous float64 (or, with ``dtype=np.float32``,
float32) array that :func:`gridweave.evolve` and the routes read in place.
Impassable cells are ``+inf``; NaN and masked cells of an input layer are
impassable in the result.

- :func:`combine` adds weighted layers to a base: ``base + sum(w * layer)``,
  then multiplies by any factor layers (right-of-way multipliers, say).
- :func:`slope` prices the steepness of an elevation model.
- :func:`rasterize` burns vector geometries into a layer (a value per
  geometry), :func:`barriers` makes them impassable (``+inf`` inside,
  ``0`` elsewhere, so a barrier layer can be added to any cost). Both need
  the optional extra ``pip install gridweave[geo]``.

Example:
    >>> import numpy as np
    >>> land = np.array([[1.0, 2.0], [3.0, np.nan]])
    >>> combine([(land, 2.0)], base=1.0)
    array([[ 3.,  5.],
           [ 7., inf]])
"""

from __future__ import annotations

import importlib
import math
from collections.abc import Iterable, Mapping, Sequence
from pathlib import Path
from typing import Any

import numpy as np

from .measure import cost_array

__all__ = ["combine", "slope", "rasterize", "barriers"]

Layer = Any  # an array of the map's shape, or a path of a raster file


def combine(
    layers: Mapping[Any, float] | Iterable[tuple[Layer, float]],
    base: float | np.ndarray = 0.0,
    *,
    factors: Iterable[Layer] = (),
    dtype: Any = np.float64,
) -> np.ndarray:
    """The cost ``(base + sum(weight * layer)) * prod(factors)`` of layers of one shape.

    ``layers`` maps raster file paths to weights, or is a sequence of
    ``(layer, weight)`` pairs whose layer is an array or a path (arrays are
    not hashable, so they come as pairs). A layer of weight 0 is left out. A
    cell that is NaN, masked or infinite in any layer it draws on is
    impassable (``+inf``); the result must hold no negative cell.
    """
    pairs = list(layers.items()) if isinstance(layers, Mapping) else list(layers)
    arrays = [(_layer_array(layer, f"layers[{i}]"), _weight(weight, i))
              for i, (layer, weight) in enumerate(_checked_pairs(pairs))]
    scale = [_layer_array(f, f"factors[{i}]") for i, f in enumerate(factors)]
    shape = _common_shape([a for a, _ in arrays] + scale, np.shape(base))
    total = np.zeros(shape, dtype=np.float64)
    total += np.asarray(base, dtype=np.float64)
    for array, weight in arrays:
        if weight != 0.0:
            total += weight * array
            total[np.isinf(array)] = np.inf
    for factor in scale:
        if (factor < 0).any():
            raise ValueError("factors: a factor layer holds negative values")
        with np.errstate(invalid="ignore"):
            total *= factor
        total[np.isinf(factor)] = np.inf  # 0 * inf is NaN, which the map makes impassable too
    return _finished(total, dtype)


def slope(
    dem: Layer,
    cell_size: float | tuple[float, float] = 1.0,
    *,
    weight: float = 1.0,
    cap: float = 1.0,
    impassable_above: float | None = None,
    dtype: Any = np.float64,
) -> np.ndarray:
    """A cost from the steepness of an elevation model.

    The grade of a cell is ``g = hypot(dz/drow, dz/dcolumn)``, rise over run
    (1 is 45 degrees), from central differences where both neighbours exist
    one-sided differences at edges and next to NaN cells, and 0 along an axis
    where a cell has no neighbour; ``cell_size``
    is the cell's side in the elevation's units (``(row, column)`` sides for
    non-square cells). The cost is ``1 + weight * min(g, cap)``; cells whose
    grade passes ``impassable_above`` (when given) and cells whose elevation
    is NaN or masked are impassable.

    Example:
        >>> ramp = np.tile(np.arange(4.0), (3, 1))  # rises 1 per column
        >>> slope(ramp, 2.0, weight=10.0)[0]
        array([6., 6., 6., 6.])
    """
    z = _layer_array(dem, "dem")
    if z.ndim != 2 or min(z.shape) < 2:
        raise ValueError(f"dem: needs a 2-D elevation model of at least 2 x 2 cells, got {z.shape}")
    sides = _cell_sides(cell_size)
    if not (math.isfinite(weight) and weight >= 0 and math.isfinite(cap) and cap >= 0):
        raise ValueError("weight and cap must be finite and not negative")
    z = np.where(np.isinf(z), np.nan, z)
    grade = np.hypot(_derivative(z, 0, sides[0]), _derivative(z, 1, sides[1]))
    cost = 1.0 + weight * np.minimum(grade, cap)
    if impassable_above is not None:
        cost[grade > impassable_above] = np.inf
    cost[np.isnan(z)] = np.nan  # no ground known: like a NaN grade, impassable in the map
    return _finished(cost, dtype)


def _cell_sides(cell_size: Any) -> tuple[float, float]:
    try:
        sides = [float(v) for v in cell_size] if np.ndim(cell_size) else [float(cell_size)] * 2
    except (TypeError, ValueError):
        sides = []
    if len(sides) != 2 or not all(math.isfinite(s) and s > 0 for s in sides):
        raise ValueError(f"cell_size: needs one or two positive sides, got {cell_size!r}")
    return sides[0], sides[1]


def _derivative(z: np.ndarray, axis: int, step: float) -> np.ndarray:
    """dz/d(axis): the mean of the forward and backward differences that exist (else 0)."""
    diff = np.diff(z, axis=axis) / step
    pad = [(0, 0), (0, 0)]
    pad[axis] = (1, 0)
    backward = np.pad(diff, pad, constant_values=np.nan)
    pad[axis] = (0, 1)
    forward = np.pad(diff, pad, constant_values=np.nan)
    both = np.stack([backward, forward])
    count = np.sum(~np.isnan(both), axis=0)
    total = np.nansum(both, axis=0)
    return total / np.maximum(count, 1)  # 0 where no neighbour along the axis exists


def rasterize(
    shape: Sequence[int],
    transform: Sequence[float],
    geometries: Iterable[Any],
    value: float = 1.0,
    *,
    fill: float = 0.0,
    buffer: float = 0.0,
    all_touched: bool = False,
    dtype: Any = np.float64,
) -> np.ndarray:
    """A layer holding ``value`` in the cells of vector geometries, ``fill`` elsewhere.

    ``geometries`` are shapely geometries, GeoJSON-like mappings, or
    ``(geometry, value)`` pairs that carry their own value (a later geometry
    wins where they overlap). ``buffer`` widens each geometry by that many map
    units first; ``all_touched`` burns every cell a geometry touches rather
    than those whose centre it covers. ``transform`` is the raster's six
    affine numbers ``(a, b, c, d, e, f)`` (see :mod:`gridweave.gis`) or an
    ``affine.Affine``.
    """
    features = _require("rasterio.features")
    affine = _require("affine")
    rows, cols = _checked_shape(shape)
    six = _six(transform)
    shapes = list(_burn_pairs(geometries, value, buffer))
    out = np.full((rows, cols), fill, dtype=np.float64)
    if shapes:
        out = features.rasterize(
            shapes, out_shape=(rows, cols), transform=affine.Affine(*six),
            fill=fill, all_touched=all_touched, dtype="float64",
        )
    return _finished(out, dtype)


def barriers(
    shape: Sequence[int],
    transform: Sequence[float],
    geometries: Iterable[Any],
    *,
    buffer: float = 0.0,
    all_touched: bool = True,
    dtype: Any = np.float64,
) -> np.ndarray:
    """Exclusion zones: ``+inf`` in every cell the geometries touch, ``0`` elsewhere.

    Add the result to a cost map (or pass it to :func:`combine` with weight
    1) to make the zones impassable. ``buffer`` widens them by that many map
    units; by default every touched cell is excluded, so a thin line closes
    the cells it crosses.
    """
    mask = rasterize(shape, transform, geometries, 1.0, buffer=buffer, all_touched=all_touched)
    out = np.zeros(mask.shape, dtype=np.float64)
    out[mask != 0] = np.inf
    return _finished(out, dtype)


def _require(module: str) -> Any:
    try:
        return importlib.import_module(module)
    except ImportError:
        raise ImportError(
            f"rasterizing geometries needs {module.split('.')[0]}: pip install 'gridweave[geo]'"
        ) from None


def _checked_pairs(pairs: list[Any]) -> list[tuple[Layer, Any]]:
    if not pairs:
        raise ValueError("layers: needs at least one (layer, weight)")
    for i, pair in enumerate(pairs):
        if not (isinstance(pair, tuple) and len(pair) == 2):
            raise TypeError(f"layers[{i}]: expected a (layer, weight) pair, got {type(pair).__name__}")
    return pairs


def _weight(weight: Any, index: int) -> float:
    try:
        value = float(weight)
    except (TypeError, ValueError):
        raise TypeError(f"layers[{index}]: the weight must be a number, got {weight!r}") from None
    if not math.isfinite(value):
        raise ValueError(f"layers[{index}]: the weight must be finite, got {value}")
    return value


def _layer_array(layer: Layer, name: str) -> np.ndarray:
    """A layer as float64, masked cells NaN (a raster file's nodata cells ``+inf``)."""
    if isinstance(layer, (str, Path)):
        from gridweave.gis import read_raster

        return read_raster(layer).cost
    if np.ma.isMaskedArray(layer):
        layer = np.ma.filled(np.ma.asarray(layer, dtype=np.float64), np.nan)
    try:
        array = np.asarray(layer, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"{name}: expected a numeric array, got {type(layer).__name__}") from None
    if array.ndim != 2:
        raise ValueError(f"{name}: expected a 2-D array, got {array.ndim} dimensions")
    if (array == -np.inf).any():
        raise ValueError(f"{name}: holds -inf")
    return array


def _common_shape(arrays: list[np.ndarray], base_shape: tuple[int, ...]) -> tuple[int, ...]:
    shapes = {a.shape for a in arrays}
    if len(shapes) > 1:
        raise ValueError(f"layers: all layers need one shape, got {sorted(shapes)}")
    shape = shapes.pop()
    if base_shape not in ((), shape):
        raise ValueError(f"base: shape {base_shape} differs from the layers' {shape}")
    return shape


def _finished(cost: np.ndarray, dtype: Any) -> np.ndarray:
    if np.dtype(dtype) not in (np.dtype(np.float64), np.dtype(np.float32)):
        raise ValueError(f"dtype: float32 or float64, got {np.dtype(dtype)}")
    return np.ascontiguousarray(cost_array(cost, source="the combined cost"), dtype=dtype)


def _checked_shape(shape: Sequence[int]) -> tuple[int, int]:
    try:
        rows, cols = (int(v) for v in shape)
    except (TypeError, ValueError):
        raise ValueError(f"shape: expected (rows, columns), got {shape!r}") from None
    if rows < 1 or cols < 1:
        raise ValueError(f"shape: expected positive (rows, columns), got {shape!r}")
    return rows, cols


def _six(transform: Sequence[float]) -> tuple[float, ...]:
    try:
        six = tuple(float(v) for v in tuple(transform)[:6])
    except (TypeError, ValueError):
        six = ()
    if len(six) != 6 or six[0] * six[4] - six[1] * six[3] == 0:
        raise ValueError(f"transform: expected six affine numbers (a, b, c, d, e, f), got {transform!r}")
    return six


def _burn_pairs(geometries: Iterable[Any], value: float, buffer: float) -> Iterable[tuple[Any, float]]:
    shapely_geometry = _require("shapely.geometry")
    if not math.isfinite(buffer) or buffer < 0:
        raise ValueError(f"buffer: expected a distance of at least 0, got {buffer!r}")
    for i, item in enumerate(geometries):
        geometry, burn = item if isinstance(item, tuple) and len(item) == 2 else (item, value)
        try:
            shape = geometry if hasattr(geometry, "geom_type") else shapely_geometry.shape(geometry)
        except Exception as error:
            raise ValueError(f"geometries[{i}]: not a geometry ({error})") from None
        if buffer > 0:
            shape = shape.buffer(buffer)
        if not shape.is_empty:
            yield shape, float(burn)
