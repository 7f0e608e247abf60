"""Reading cost maps and terminals from files, with one-line errors naming the file.

A cost map is indexed ``cost[row, column]``; its shape (rows, columns) is the
configuration's ``grid_size``. Terminals are (row, column) cells.

- ``.npy``: a two-dimensional array of real numbers.
- ``.csv`` / ``.txt``: one map row per line, values separated by commas or
  by white space (``np.savetxt``'s default); ``nan`` marks impassable cells.
- ``.png``: a grey-scale image (8 or 16 bits, needs Pillow, which matplotlib
  brings along). Grey levels are mapped linearly onto the cost range
  ``png_range`` (default ``DEFAULT_PNG_RANGE`` = (1, 10): black costs 1,
  white costs 10, so no cell is free); fully transparent pixels are
  impassable. Colour images are refused.

Costs must not be negative. NaN cells, transparent pixels and cells equal to
``nodata`` when it is given are impassable: the loaders return them as
``inf``, as :func:`gridweave.measure.cost_array` does.
"""

from __future__ import annotations

import csv
import io
import json
import math
from collections.abc import Iterable, Sequence
from pathlib import Path
from typing import Any

import numpy as np

from .gis import RASTER_SUFFIXES
from .measure import cost_array

__all__ = [
    "DEFAULT_PNG_RANGE",
    "load_cost_map",
    "load_terminals",
    "check_terminals",
]

Terminal = tuple[int, int]

DEFAULT_PNG_RANGE = (1.0, 10.0)


def load_cost_map(
    path: str | Path,
    *,
    png_range: Sequence[float] = DEFAULT_PNG_RANGE,
    nodata: float | None = None,
) -> np.ndarray:
    """Read a cost map from a ``.npy``, ``.csv``/``.txt`` or grey-scale ``.png`` file.

    Every problem with the file raises ``ValueError`` (``FileNotFoundError``
    when it does not exist) with a one-line message that names it.

    Example:
        >>> import tempfile, os
        >>> path = os.path.join(tempfile.mkdtemp(), "map.txt")
        >>> _ = Path(path).write_text("1 2 3\\n4 nan -9\\n")
        >>> load_cost_map(path, nodata=-9)
        array([[ 1.,  2.,  3.],
               [ 4., inf, inf]])
    """
    path = Path(path)
    if not path.is_file():
        raise FileNotFoundError(f"no such file: {path}")
    cost_range = _checked_range(png_range, path)
    readers = {".npy": _read_npy, ".csv": _read_text_grid, ".txt": _read_text_grid,
               ".png": lambda p: _read_png(p, cost_range)}
    reader = readers.get(path.suffix.lower())
    if reader is None:
        raise ValueError(f"{path}: cost maps must be .npy, .csv, .txt or .png files, or GIS rasters "
                         f"({', '.join(RASTER_SUFFIXES)}; these need pip install 'gridweave[geo]')")
    try:
        data = reader(path)
    except ValueError:
        raise
    except Exception as error:  # a corrupt file fails in many ways
        raise ValueError(f"{path}: cannot read the cost map ({_one_line(error)})") from None
    return _checked_cost_map(data if np.ma.isMaskedArray(data) else np.asarray(data), path, nodata)


def _one_line(error: BaseException) -> str:
    return " ".join(str(error).split()) or type(error).__name__


def _read_npy(path: Path) -> np.ndarray:
    return np.load(path, allow_pickle=False)


def _read_text_grid(path: Path) -> np.ndarray:
    text = path.read_text(encoding="utf-8")
    delimiter = "," if "," in text else None
    try:
        return np.loadtxt(io.StringIO(text), delimiter=delimiter, ndmin=2, dtype=np.float64)
    except ValueError as error:
        raise ValueError(f"{path}: not a numeric grid ({_one_line(error)})") from None


def _checked_range(png_range: Sequence[float], path: Path) -> tuple[float, float]:
    low, high = (float(v) for v in png_range)
    if not (0 <= low <= high < math.inf):
        raise ValueError(f"{path}: the PNG cost range must be 0 <= LOW <= HIGH, got {low} {high}")
    return low, high


def _read_png(path: Path, cost_range: tuple[float, float]) -> np.ndarray:
    try:
        from PIL import Image
    except ImportError:
        raise ValueError(
            f"{path}: reading PNG cost maps needs Pillow (pip install 'gridweave[plot]')"
        ) from None
    with Image.open(path) as image:
        image.load()
        if image.format != "PNG":
            raise ValueError(f"{path}: not a PNG file")
        grey, opaque = _grey_levels(image, path)
    low, high = cost_range
    return np.ma.masked_array(low + grey * (high - low), mask=~opaque)


def _grey_levels(image: Any, path: Path) -> tuple[np.ndarray, np.ndarray]:
    """Grey levels in [0, 1] and the mask of pixels that are not fully transparent."""
    mode = image.mode
    if mode == "P":
        image = image.convert("RGBA")
        mode = "RGBA"
    pixels = np.asarray(image)
    if mode in ("1", "L", "I", "I;16", "I;16B", "I;16L"):
        full_scale = {"1": 1, "L": 255}.get(mode, 65535)
        return pixels.astype(np.float64) / full_scale, np.ones(pixels.shape, dtype=bool)
    if mode not in ("LA", "RGB", "RGBA"):
        raise ValueError(f"{path}: PNG mode {mode} is not a grey-scale image")
    channels = pixels.reshape(*pixels.shape[:2], -1)
    colour = channels[..., :1] if mode == "LA" else channels[..., :3]
    if (colour != colour[..., :1]).any():
        raise ValueError(f"{path}: the PNG holds colour; save the cost map as a grey-scale image")
    opaque = channels[..., -1] > 0 if mode in ("LA", "RGBA") else np.ones(pixels.shape[:2], bool)
    return colour[..., 0].astype(np.float64) / 255.0, opaque


def _checked_cost_map(data: Any, path: Path, nodata: float | None) -> np.ndarray:
    if data.ndim != 2 or data.size == 0:
        raise ValueError(f"{path}: a cost map must be a non-empty 2-D grid, got shape {data.shape}")
    if not np.issubdtype(data.dtype, np.number) or np.issubdtype(data.dtype, np.complexfloating):
        raise ValueError(f"{path}: a cost map must hold real numbers, got {data.dtype}")
    return cost_array(data.astype(np.float64, copy=False), nodata=nodata, source=str(path))


def load_terminals(path: str | Path) -> list[Terminal]:
    """Read terminal cells ``(row, column)`` from a CSV/text or JSON file.

    CSV: one terminal per line, ``row,column`` (or separated by white space);
    a first line that is not numeric is taken as a header. JSON: a list of
    ``[row, column]`` pairs, or an object with such a list under
    ``"terminals"``. A terminal given twice is refused.

    Example:
        >>> import tempfile, os
        >>> path = os.path.join(tempfile.mkdtemp(), "t.csv")
        >>> _ = Path(path).write_text("row,column\\n3,4\\n10,2\\n")
        >>> load_terminals(path)
        [(3, 4), (10, 2)]
    """
    path = Path(path)
    if not path.is_file():
        raise FileNotFoundError(f"no such file: {path}")
    suffix = path.suffix.lower()
    try:
        if suffix == ".json":
            rows = _json_rows(path)
        elif suffix in (".csv", ".txt"):
            rows = _text_rows(path)
        else:
            raise ValueError(f"{path}: terminals must be a .csv, .txt or .json file")
    except (OSError, UnicodeDecodeError, json.JSONDecodeError) as error:
        raise ValueError(f"{path}: cannot read the terminals ({_one_line(error)})") from None
    terminals = [_terminal(row, path, number) for number, row in enumerate(rows, 1)]
    _refuse_duplicates(terminals, path)
    return terminals


def _json_rows(path: Path) -> list[Any]:
    data = json.loads(path.read_text(encoding="utf-8"))
    rows = data.get("terminals") if isinstance(data, dict) else data
    if not isinstance(rows, list):
        raise ValueError(f"{path}: expected a list of [row, column] pairs")
    return rows


def _text_rows(path: Path) -> list[list[str]]:
    with path.open(newline="", encoding="utf-8") as handle:
        lines = [line for line in handle if line.strip()]
    if any("," in line for line in lines):
        rows = [row for row in csv.reader(lines) if any(c.strip() for c in row)]
    else:
        rows = [line.split() for line in lines]
    if rows and not _is_numeric_row(rows[0]):
        rows = rows[1:]
    return rows


def _is_numeric_row(row: Sequence[str]) -> bool:
    try:
        [float(cell) for cell in row]
    except ValueError:
        return False
    return True


def _terminal(row: object, path: Path, number: int) -> Terminal:
    if not isinstance(row, (list, tuple)) or len(row) != 2:
        raise ValueError(f"{path}: terminal {number} is not a (row, column) pair: {row!r}")
    first, second = (_cell_index(v) for v in row)
    if first is None or second is None:
        raise ValueError(f"{path}: terminal {number} is not numeric: {_shortened(row)}")
    if not (isinstance(first, int) and isinstance(second, int)):
        raise ValueError(f"{path}: terminal {number} is not on a grid cell: {_shortened(row)}")
    return first, second


def _cell_index(value: object) -> int | float | None:
    """An integer as it is (however large), another number as a float; None
    for what is not a number."""
    if isinstance(value, int):
        return int(value)
    if isinstance(value, str):
        try:
            return int(value.strip())
        except ValueError:
            pass
    try:
        number = float(value)  # type: ignore[arg-type]
    except (TypeError, ValueError, OverflowError):
        return None
    return int(number) if number.is_integer() else number


def _shortened(value: object, limit: int = 80) -> str:
    text = repr(value)
    return text if len(text) <= limit else text[: limit - 3] + "..."


def _refuse_duplicates(terminals: list[Terminal], path: Path) -> None:
    first: dict[Terminal, int] = {}
    for number, cell in enumerate(terminals, 1):
        if cell in first:
            raise ValueError(
                f"{path}: terminal {number} {cell} repeats terminal {first[cell]}"
            )
        first[cell] = number


def check_terminals(terminals: Iterable[Sequence[int]], shape: Sequence[int]) -> None:
    """Raise ``ValueError`` unless there is a terminal and every one is a distinct
    (row, column) cell inside ``shape`` (rows, columns).

    Example:
        >>> check_terminals([(0, 0), (63, 10)], (64, 64))
        >>> check_terminals([(64, 3)], (64, 64))
        Traceback (most recent call last):
        ValueError: terminal (64, 3) lies outside the map of 64 rows and 64 columns
    """
    rows, columns = shape
    terminals = [tuple(t) for t in terminals]
    if not terminals:
        raise ValueError("no terminals given")
    for row, column in terminals:
        if not (0 <= row < rows and 0 <= column < columns):
            raise ValueError(
                f"terminal ({row}, {column}) lies outside the map of {rows} rows and "
                f"{columns} columns"
            )
    if len(set(terminals)) != len(terminals):
        repeated = next(t for t in terminals if terminals.count(t) > 1)
        raise ValueError(f"terminal {repeated} is given twice")
