"""Sample problems and loaders for cost maps and terminals.

A problem is a cost map, a two-dimensional float64 array indexed
``cost[row, column]`` (the first index is the first component of a node
position, so the map's shape (rows, columns) is the ``grid_size`` of the
configuration), and a list of terminals, the ``(row, column)`` cells that the
network must connect (the fixed nodes). The file loaders live in
:mod:`gridweave.formats` and are re-exported here.

:func:`make_terrain` builds a seeded procedural landscape: gentle hills, a
winding river that is expensive to cross except at one ford, and terminals on
both banks. :func:`default_problem` is the landscape that ``gridweave demo``
runs on. :func:`make_mountains` (ranges crossed only at passes) and
:func:`make_barriers` (walls broken by narrow gaps) add the obstacles that
straight connections handle badly; :func:`quality_suite` is the set of
problems the quality benchmark runs. :func:`trap_suite` adds small problems
built to hold topological traps (networks that no local move turns into the
optimum): passes near the border, mazes, impassable lakes, cheap roads at odd
angles, flat maps and terrain with several equally good corridors.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass

import numpy as np

from .formats import check_terminals, load_cost_map, load_terminals

__all__ = [
    "Problem",
    "make_terrain",
    "make_mountains",
    "make_barriers",
    "quality_suite",
    "trap_suite",
    "TRAP_PROBLEMS",
    "make_trap",
    "TRAP_KINDS",
    "QUALITY_PROBLEMS",
    "default_problem",
    "load_cost_map",
    "load_terminals",
    "check_terminals",
]

Terminal = tuple[int, int]

RIVER_COST = 25.0
FORD_COST = 1.5
RANGE_HEIGHT = (25.0, 40.0)
PASS_HEIGHT = 2.0
WALL_COST = 1000.0


@dataclass(frozen=True, eq=False)
class Problem:
    """A cost map, its terminals, a name and, for terrains, the ford's cell.

    Example:
        >>> p = make_terrain((24, 20), n_terminals=3, seed=1)
        >>> p.grid_size, len(p.terminals)
        ((24, 20), 3)
    """

    cost_map: np.ndarray
    terminals: list[Terminal]
    name: str = "problem"
    ford: tuple[int, int] | None = None

    @property
    def grid_size(self) -> tuple[int, int]:
        """``(rows, columns)``, the shape of the cost map."""
        rows, columns = self.cost_map.shape
        return int(rows), int(columns)


def make_terrain(
    size: Sequence[int] = (64, 64), n_terminals: int = 6, seed: int = 0, hills: int | None = None
) -> Problem:
    """Build a seeded landscape: hills, a river with one ford, terminals on both banks.

    The base cost of a cell is 1; every hill adds a Gaussian bump of height 2
    to 6 (``hills`` of them, by default one per 600 cells: on large maps a
    fixed count keeps the landscape, and the time to build it, in bounds);
    the river, which winds from the first column to the last, adds
    ``RIVER_COST`` except at the ford, where it adds only ``FORD_COST``. Terminals alternate between
    the two banks, keep clear of the river and of each other. The same seed
    always gives the same problem.

    Example:
        >>> p = make_terrain((32, 32), n_terminals=4, seed=3)
        >>> p.cost_map.shape, p.cost_map.dtype.name, bool(p.cost_map.min() >= 1.0)
        ((32, 32), 'float64', True)
        >>> p.terminals == make_terrain((32, 32), n_terminals=4, seed=3).terminals
        True
    """
    width, height = (int(v) for v in size)
    if width < 12 or height < 12:
        raise ValueError(f"a terrain needs at least 12x12 cells, got {width}x{height}")
    if n_terminals < 1:
        raise ValueError("a terrain needs at least one terminal")
    if hills is not None and hills < 1:
        raise ValueError(f"hills must be at least 1, got {hills}")
    rng = np.random.default_rng(seed)
    x, y = np.meshgrid(np.arange(width), np.arange(height), indexing="ij")
    cost = 1.0 + _hills(rng, x, y, count=hills)
    river_x = _river_course(rng, width, height)
    half_width = max(1.0, min(width, height) / 32)
    in_river = np.abs(x - river_x[np.newaxis, :]) <= half_width
    ford_y = int(rng.integers(height // 4, 3 * height // 4))
    ford_rows = np.abs(np.arange(height) - ford_y) <= max(1, height // 32)
    cost += np.where(in_river, np.where(ford_rows[np.newaxis, :], FORD_COST, RIVER_COST), 0.0)
    terminals = _place_terminals(rng, river_x, half_width, (width, height), n_terminals)
    ford = (int(round(river_x[ford_y])), ford_y)
    return Problem(cost, terminals, f"terrain-{width}x{height}-seed{seed}", ford)


def default_problem() -> Problem:
    """The problem of ``gridweave demo``: a 64x64 terrain with six terminals.

    Example:
        >>> p = default_problem()
        >>> p.grid_size, len(p.terminals)
        ((64, 64), 6)
    """
    return make_terrain((64, 64), n_terminals=6, seed=2024)


def make_mountains(
    size: Sequence[int] = (128, 128), n_terminals: int = 10, seed: int = 0
) -> Problem:
    """Build a seeded landscape of hills crossed by mountain ranges with passes.

    Every range is a band a few cells wide along a random line across the
    map, adding 25 to 40 to the cost of its cells, except at one or two passes
    where it adds only ``PASS_HEIGHT``. Terminals keep off the ranges.

    Example:
        >>> p = make_mountains((48, 48), n_terminals=4, seed=2)
        >>> p.grid_size, len(p.terminals), bool(p.cost_map.max() > 20)
        ((48, 48), 4, True)
    """
    width, height = _checked_size(size, n_terminals)
    rng = np.random.default_rng(seed)
    x, y = np.meshgrid(np.arange(width), np.arange(height), indexing="ij")
    cost = 1.0 + _hills(rng, x, y, count=12)
    half_width = max(1.5, min(width, height) / 40)
    for _ in range(max(2, min(width, height) // 48)):
        along, across = _random_line(rng, x, y)
        ridge = np.abs(across) <= half_width
        passes = np.zeros_like(ridge)
        for _ in range(int(rng.integers(1, 3))):
            centre = rng.uniform(-0.35, 0.35) * min(width, height)
            passes |= np.abs(along - centre) <= max(1.5, min(width, height) / 48)
        raise_by = rng.uniform(*RANGE_HEIGHT)
        cost += np.where(ridge, np.where(passes, PASS_HEIGHT, raise_by), 0.0)
    terminals = _place_on_low_ground(rng, cost, n_terminals)
    return Problem(cost, terminals, f"mountains-{width}x{height}-seed{seed}")


def make_barriers(
    size: Sequence[int] = (128, 128), n_terminals: int = 10, seed: int = 0
) -> Problem:
    """Build a seeded landscape of hills cut by walls that only narrow gaps cross.

    Every wall is three cells thick along a random line across the map; its
    cells cost ``WALL_COST`` (practically impassable) except in one or two
    gaps a few cells wide. Terminals keep off the walls.

    Example:
        >>> p = make_barriers((48, 48), n_terminals=4, seed=2)
        >>> p.grid_size, len(p.terminals), float(p.cost_map.max())
        ((48, 48), 4, 1000.0)
    """
    width, height = _checked_size(size, n_terminals)
    rng = np.random.default_rng(seed)
    x, y = np.meshgrid(np.arange(width), np.arange(height), indexing="ij")
    cost = 1.0 + _hills(rng, x, y, count=12)
    for _ in range(max(2, min(width, height) // 64)):
        along, across = _random_line(rng, x, y)
        wall = np.abs(across) <= 1.5
        for _ in range(int(rng.integers(1, 3))):
            centre = rng.uniform(-0.4, 0.4) * min(width, height)
            wall &= np.abs(along - centre) > max(1.5, min(width, height) / 64)
        cost[wall] = WALL_COST
    terminals = _place_on_low_ground(rng, cost, n_terminals)
    return Problem(cost, terminals, f"barriers-{width}x{height}-seed{seed}")


# The problems of the quality benchmark as (builder, size, terminals, seed).
QUALITY_PROBLEMS: tuple[tuple[Callable[..., Problem], tuple[int, int], int, int], ...] = (
    (make_terrain, (64, 64), 5, 1),
    (make_mountains, (96, 96), 8, 2),
    (make_barriers, (128, 128), 10, 3),
    (make_terrain, (128, 128), 12, 4),
    (make_mountains, (256, 256), 15, 5),
    (make_barriers, (256, 256), 20, 6),
    (make_terrain, (384, 384), 25, 7),
    (make_mountains, (512, 512), 20, 8),
    (make_barriers, (512, 512), 30, 9),
)


def quality_suite() -> list[Problem]:
    """The problems of the quality benchmark: 64x64 to 512x512, 5 to 30 terminals.

    Building all of ``QUALITY_PROBLEMS`` takes seconds; the example builds one.

    Example:
        >>> build, size, n_terminals, seed = QUALITY_PROBLEMS[1]
        >>> build(size, n_terminals, seed=seed).name
        'mountains-96x96-seed2'
    """
    return [build(size, n_terminals, seed=seed) for build, size, n_terminals, seed in QUALITY_PROBLEMS]


TRAP_KINDS = ("border-pass", "maze", "lakes", "roads", "flat", "corridors")


def make_trap(kind: str, size: Sequence[int] = (96, 96), n_terminals: int = 8, seed: int = 0) -> Problem:
    """Build a small seeded problem of one trap ``kind`` (see ``TRAP_KINDS``).

    - ``"border-pass"``: a range across the map whose only pass lies next to
      the border, and a second, dearer crossing in the middle;
    - ``"maze"``: walls in both directions broken by narrow gaps;
    - ``"lakes"``: practically impassable round lakes on gentle hills;
    - ``"roads"``: expensive land crossed by cheap straight roads at odd angles;
    - ``"flat"``: cost 1 everywhere, so only the geometry of the tree counts;
    - ``"corridors"``: a band of expensive land crossed by several equally cheap corridors.

    Example:
        >>> p = make_trap("maze", (64, 64), 6, seed=1)
        >>> p.name, len(p.terminals)
        ('maze-64x64-seed1', 6)
    """
    if kind not in TRAP_KINDS:
        raise ValueError(f"trap kind must be one of {', '.join(TRAP_KINDS)}, got {kind!r}")
    width, height = _checked_size(size, n_terminals)
    rng = np.random.default_rng(seed)
    x, y = np.meshgrid(np.arange(width), np.arange(height), indexing="ij")
    cost = _TRAP_BUILDERS[kind](rng, x, y)
    limit = float(np.quantile(cost, 0.5))

    def low(row: int, column: int, index: int) -> bool:
        return bool(cost[max(0, row - 2) : row + 3, max(0, column - 2) : column + 3].max() <= limit)

    terminals = _spread_cells(rng, cost.shape, n_terminals, low)
    return Problem(cost, terminals, f"{kind}-{width}x{height}-seed{seed}")


def _border_pass(rng: np.random.Generator, x: np.ndarray, y: np.ndarray) -> np.ndarray:
    width, height = x.shape
    cost = 1.0 + _hills(rng, x, y, count=6) * 0.5
    row = int(rng.uniform(0.4, 0.6) * width)
    ridge = np.abs(x - row - 0.15 * (y - height / 2)) <= 2
    near_border = y <= 3 if rng.random() < 0.5 else y >= height - 4
    middle = np.abs(y - height // 2) <= 1
    cost += np.where(ridge, np.where(near_border, PASS_HEIGHT, np.where(middle, 12.0, 35.0)), 0.0)
    return cost


def _maze(rng: np.random.Generator, x: np.ndarray, y: np.ndarray) -> np.ndarray:
    """Walls one cell thick along rows and columns; every stretch between two
    crossing walls has one gap three cells wide, so every room is reachable."""
    width, height = x.shape
    cost = 1.0 + _hills(rng, x, y, count=6) * 0.5
    step = max(12, min(width, height) // 5)
    for axis, coordinate, other, length in ((0, x, y, height), (1, y, x, width)):
        crossings = [0, *range(step, length - step // 2, step), length]
        for line in range(step, (width if axis == 0 else height) - step // 2, step):
            wall = coordinate == line
            for begin, end in zip(crossings, crossings[1:]):
                gap = int(rng.integers(begin + 2, max(begin + 3, end - 2)))
                wall &= np.abs(other - gap) > 1
            cost[wall] = WALL_COST
    return cost


def _lakes(rng: np.random.Generator, x: np.ndarray, y: np.ndarray) -> np.ndarray:
    width, height = x.shape
    cost = 1.0 + _hills(rng, x, y, count=10) * 0.5
    for _ in range(int(rng.integers(4, 8))):
        cx, cy = rng.uniform(0.15, 0.85) * width, rng.uniform(0.15, 0.85) * height
        radius = rng.uniform(0.05, 0.12) * min(width, height)
        cost[np.hypot(x - cx, y - cy) <= radius] = WALL_COST
    return cost


def _roads(rng: np.random.Generator, x: np.ndarray, y: np.ndarray) -> np.ndarray:
    cost = 6.0 + _hills(rng, x, y, count=8)
    for _ in range(int(rng.integers(3, 5))):
        _, across = _random_line(rng, x, y)
        cost[np.abs(across) <= 0.7] = 1.0
    return cost


def _flat(rng: np.random.Generator, x: np.ndarray, y: np.ndarray) -> np.ndarray:
    return np.ones(x.shape)


def _corridors(rng: np.random.Generator, x: np.ndarray, y: np.ndarray) -> np.ndarray:
    width, height = x.shape
    cost = 1.0 + _hills(rng, x, y, count=6) * 0.3
    band = np.abs(x - width / 2) <= width / 8
    open_rows = np.zeros(height, dtype=bool)
    for centre in np.linspace(height / 8, 7 * height / 8, int(rng.integers(3, 6))):
        open_rows |= np.abs(np.arange(height) - centre) <= 1
    cost[band & ~open_rows[np.newaxis, :]] += 20.0
    return cost


_TRAP_BUILDERS: dict[str, Callable[[np.random.Generator, np.ndarray, np.ndarray], np.ndarray]] = {
    "border-pass": _border_pass,
    "maze": _maze,
    "lakes": _lakes,
    "roads": _roads,
    "flat": _flat,
    "corridors": _corridors,
}

# The trap benchmark as (kind, size, terminals, seed).
TRAP_PROBLEMS: tuple[tuple[str, tuple[int, int], int, int], ...] = (
    ("border-pass", (96, 96), 8, 1),
    ("maze", (96, 96), 8, 2),
    ("lakes", (96, 96), 8, 3),
    ("roads", (96, 96), 8, 4),
    ("flat", (64, 64), 8, 5),
    ("corridors", (96, 96), 8, 6),
    ("border-pass", (64, 64), 6, 7),
    ("maze", (64, 64), 10, 8),
    ("lakes", (128, 128), 6, 9),
    ("roads", (64, 64), 10, 10),
)


def trap_suite() -> list[Problem]:
    """The problems of the trap benchmark: 64x64 to 128x128, 6 to 10 terminals.

    Example:
        >>> [p.name for p in trap_suite()][:2]
        ['border-pass-96x96-seed1', 'maze-96x96-seed2']
    """
    return [make_trap(kind, size, n, seed=seed) for kind, size, n, seed in TRAP_PROBLEMS]


def _checked_size(size: Sequence[int], n_terminals: int) -> tuple[int, int]:
    width, height = (int(v) for v in size)
    if width < 12 or height < 12:
        raise ValueError(f"a landscape needs at least 12x12 cells, got {width}x{height}")
    if n_terminals < 1:
        raise ValueError("a landscape needs at least one terminal")
    return width, height


def _random_line(
    rng: np.random.Generator, x: np.ndarray, y: np.ndarray
) -> tuple[np.ndarray, np.ndarray]:
    """Coordinates along and across a random line through the middle part of the map."""
    width, height = x.shape
    cx, cy = rng.uniform(0.3, 0.7) * width, rng.uniform(0.3, 0.7) * height
    angle = rng.uniform(0, np.pi)
    dx, dy = np.cos(angle), np.sin(angle)
    along = (x - cx) * dx + (y - cy) * dy
    across = -(x - cx) * dy + (y - cy) * dx
    return along, across


def _place_on_low_ground(rng: np.random.Generator, cost: np.ndarray, count: int) -> list[Terminal]:
    """Terminals on low ground (no cell nearby above the two-thirds quantile), spread out."""
    limit = float(np.quantile(cost, 0.66))

    def low(x: int, y: int, index: int) -> bool:
        return bool(cost[max(0, x - 2) : x + 3, max(0, y - 2) : y + 3].max() < limit)

    return _spread_cells(rng, cost.shape, count, low)


def _hills(
    rng: np.random.Generator, x: np.ndarray, y: np.ndarray, count: int | None = None
) -> np.ndarray:
    """Gaussian bumps of height 2 to 6; by default their number grows with the area."""
    width, height = x.shape
    if count is None:
        count = max(2, width * height // 600)
    bumps = np.empty((count, 4))  # centre x, centre y, radius, height; drawn in this order
    for row in bumps:
        row[0], row[1] = rng.uniform(0, width), rng.uniform(0, height)
        row[2] = rng.uniform(0.08, 0.18) * min(width, height)
        row[3] = rng.uniform(2.0, 6.0)
    # A Gaussian bump is the outer product of two 1-D ones, so the sum over all
    # bumps is one matrix product: count x width x height operations in BLAS
    # instead of a full-grid exp per bump. Blocks bound the memory.
    xs, ys = x[:, 0].astype(float), y[0, :].astype(float)
    total = np.zeros(x.shape)
    for block in np.array_split(bumps, max(1, -(-count // 512))):
        scale = 2 * block[:, 2:3] ** 2
        along_x = np.exp(-((xs[np.newaxis, :] - block[:, 0:1]) ** 2) / scale) * block[:, 3:4]
        along_y = np.exp(-((ys[np.newaxis, :] - block[:, 1:2]) ** 2) / scale)
        total += along_x.T @ along_y
    return total


def _river_course(rng: np.random.Generator, width: int, height: int) -> np.ndarray:
    """x position of the river's centre for every y."""
    y = np.arange(height)
    amplitude = rng.uniform(0.05, 0.12) * width
    period = rng.uniform(0.6, 1.2) * height
    phase = rng.uniform(0, 2 * np.pi)
    centre = rng.uniform(0.4, 0.6) * width
    course: np.ndarray = centre + amplitude * np.sin(2 * np.pi * y / period + phase)
    return course


def _place_terminals(
    rng: np.random.Generator,
    river_x: np.ndarray,
    half_width: float,
    size: tuple[int, int],
    count: int,
) -> list[Terminal]:
    """Terminals alternating between the banks, spread out as far as the map allows."""

    def on_bank(x: int, y: int, index: int) -> bool:
        gap = x - river_x[y]
        return bool(gap < -(half_width + 1) if index % 2 == 0 else gap > half_width + 1)

    return _spread_cells(rng, size, count, on_bank)


def _spread_cells(
    rng: np.random.Generator,
    size: tuple[int, int],
    count: int,
    allowed: Callable[[int, int, int], bool],
) -> list[Terminal]:
    """``count`` random cells that ``allowed(x, y, index)`` accepts, kept apart by a
    spacing that shrinks until they fit."""
    width, height = size
    margin = max(1, min(width, height) // 16)
    spacing = min(width, height) / 3
    terminals: list[Terminal] = []
    while len(terminals) < count:
        for _ in range(200):
            x = int(rng.integers(margin, width - margin))
            y = int(rng.integers(margin, height - margin))
            if allowed(x, y, len(terminals)) and all(
                np.hypot(x - a, y - b) >= spacing for a, b in terminals
            ):
                terminals.append((x, y))
                break
        else:
            spacing *= 0.8
            if spacing < 1:
                raise ValueError(f"cannot place {count} terminals on a {width}x{height} map")
    return terminals
