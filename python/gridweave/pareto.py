"""Pareto fronts of maximised objective vectors: filtering, hypervolume, knee, archive.

Every objective is maximised, as in the engine (fitness, and 1 - bridge share
under ``MultiObjectiveBridge``). A point dominates another when it is at
least as good in every objective and better in one.

- :func:`non_dominated` keeps the points no other point dominates (one of
  several equal points);
- :func:`hypervolume` is the area (volume) dominated by the points and
  bounded below by ``reference``: exact in two objectives; three or more need
  the optional ``moocore`` package (``pip install 'gridweave[pareto]'``);
- :func:`knee_point` is the front point farthest from the straight line
  between the two extremes, after scaling both objectives to [0, 1];
- :class:`Archive` keeps the non-dominated entries seen so far, bounded by a
  crowding rule.
"""

from __future__ import annotations

import math
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from typing import Generic, TypeVar

from . import _core

__all__ = ["dominates", "non_dominated", "hypervolume", "knee_point", "crowding_distances", "front_point",
           "Archive"]

# Objective values that agree to this many significant digits count as equal:
# one network scored along two summation orders differs in the last bits.
SIGNIFICANT_DIGITS = 12

Point = Sequence[float]
T = TypeVar("T")


def dominates(a: Point, b: Point) -> bool:
    """True when ``a`` is at least as good as ``b`` everywhere and better somewhere.

    Example:
        >>> dominates((2, 1), (1, 1)), dominates((1, 1), (1, 1)), dominates((2, 0), (1, 1))
        (True, False, False)
    """
    return all(x >= y for x, y in zip(a, b)) and any(x > y for x, y in zip(a, b))


def non_dominated(points: Sequence[Point]) -> list[int]:
    """Indices of the points that no other point dominates, in input order; of
    equal points only the first is kept. Points holding NaN are left out. The
    filter is the engine's (O(n log n) in two objectives); points of different
    lengths are refused.

    Example:
        >>> non_dominated([(1, 3), (2, 2), (1, 1), (3, 0), (2, 2)])
        [0, 1, 3]
    """
    return _core.non_dominated(points)


def hypervolume(points: Sequence[Point], reference: Point = (0.0, 0.0)) -> float:
    """The volume dominated by ``points`` and above ``reference`` (maximisation).

    Points that do not exceed the reference in every objective add nothing.

    Example:
        >>> hypervolume([(1, 3), (2, 2), (3, 1)])
        6.0
        >>> hypervolume([(2, 2)], reference=(1, 1))
        1.0
    """
    inside = [tuple(float(v) for v in p) for p in points
              if all(v > r for v, r in zip(p, reference))]
    if not inside:
        return 0.0
    if len(reference) == 2:
        return _hypervolume_2d(inside, (float(reference[0]), float(reference[1])))
    return _hypervolume_nd(inside, reference)


def _hypervolume_2d(points: list[tuple[float, ...]], reference: tuple[float, float]) -> float:
    front = [points[i] for i in non_dominated(points)]
    front.sort(key=lambda p: -p[0])  # first objective falling, second rising
    area, previous_second = 0.0, reference[1]
    for first, second in front:
        area += (first - reference[0]) * (second - previous_second)
        previous_second = second
    return area


def _hypervolume_nd(points: list[tuple[float, ...]], reference: Point) -> float:
    try:
        import moocore
    except ImportError:
        raise ImportError(
            "the hypervolume of three or more objectives needs moocore (pip install 'gridweave[pareto]')"
        ) from None
    # moocore minimises: negate both the points and the reference.
    return float(moocore.hypervolume([[-v for v in p] for p in points], ref=[-r for r in reference]))


def rounded(point: Iterable[float]) -> tuple[float, ...]:
    """The point with every value rounded to ``SIGNIFICANT_DIGITS`` significant digits.

    Example:
        >>> rounded((0.1 + 0.2, 5.55e-16))
        (0.3, 5.55e-16)
    """
    return tuple(float(f"{float(v):.{SIGNIFICANT_DIGITS}g}") for v in point)


def front_point(objectives: Iterable[float]) -> tuple[float, ...]:
    """Evaluation objectives [fitness, redundancy, ...] as a front compares them:
    every value rounded (see :func:`rounded`), and redundancy, a share of the
    network's length, clamped to [0, 1] and rounded to ``SIGNIFICANT_DIGITS``
    decimals (a tree summed in another order scores 5.55e-16, not 0).

    Example:
        >>> front_point((0.5, 1.0000000000000002)), front_point((0.5, 5.55e-16))
        ((0.5, 1.0), (0.5, 0.0))
    """
    values = list(rounded(objectives))
    if len(values) > 1 and not math.isnan(values[1]):
        values[1] = round(min(1.0, max(0.0, values[1])), SIGNIFICANT_DIGITS) + 0.0
    return tuple(values)


def knee_point(points: Sequence[Point]) -> int:
    """Index of the knee of a two-objective front: the non-dominated point farthest
    from the line through the two extremes, both objectives scaled to [0, 1].

    Example:
        >>> knee_point([(1.0, 0.0), (0.8, 0.8), (0.5, 0.9), (0.0, 1.0)])
        1
    """
    front = non_dominated(points)
    if not front:
        raise ValueError("knee_point needs at least one point without NaN")
    firsts = [points[i][0] for i in front]
    seconds = [points[i][1] for i in front]
    span_first = (max(firsts) - min(firsts)) or 1.0
    span_second = (max(seconds) - min(seconds)) or 1.0

    def distance(i: int) -> float:
        # Scaled, the extremes lie at (1, 0) and (0, 1); the line between them is x + y = 1.
        x = (points[i][0] - min(firsts)) / span_first
        y = (points[i][1] - min(seconds)) / span_second
        return x + y - 1.0

    return max(front, key=distance)


def crowding_distances(points: Sequence[Point]) -> list[float]:
    """NSGA2's crowding distance of each point within the set (extremes: infinity).

    Example:
        >>> crowding_distances([(0, 2), (1, 1), (2, 0)])
        [inf, 2.0, inf]
    """
    count = len(points)
    distances = [0.0] * count
    if count == 0:
        return distances
    for k in range(len(points[0])):
        order = sorted(range(count), key=lambda i: points[i][k])
        low, high = points[order[0]][k], points[order[-1]][k]
        distances[order[0]] = distances[order[-1]] = math.inf
        if high == low:
            continue
        for before, here, after in zip(order, order[1:], order[2:]):
            distances[here] += (points[after][k] - points[before][k]) / (high - low)
    return distances


@dataclass
class Archive(Generic[T]):
    """The non-dominated entries seen so far, at most ``capacity`` of them.

    ``add`` offers an item with its objective vector: it is refused when a kept
    entry dominates or equals it (values compared after :func:`rounded`), and
    entries it dominates leave. Beyond the
    capacity the most crowded entry leaves (the extremes of each objective stay).

    Example:
        >>> archive = Archive(capacity=3)
        >>> for name, point in [("a", (1, 1)), ("b", (2, 0)), ("c", (0, 2)), ("d", (2, 2))]:
        ...     _ = archive.add(name, point)
        >>> archive.items(), archive.points()
        (['d'], [(2.0, 2.0)])
    """

    capacity: int = 200
    _entries: list[tuple[T, tuple[float, ...]]] = field(default_factory=list)

    def __post_init__(self) -> None:
        if self.capacity < 2:
            raise ValueError("an archive keeps at least 2 entries")

    def add(self, item: T, objectives: Iterable[float]) -> bool:
        """Offer one entry; True when it was kept."""
        point = rounded(objectives)
        # The kept entries dominate no one another, so the filter only decides
        # about the new point and the entries it dominates.
        kept = non_dominated([*self.points(), point])
        if not kept or kept[-1] != len(self._entries):
            return False
        self._entries = [self._entries[i] for i in kept[:-1]]
        self._entries.append((item, point))
        if len(self._entries) > self.capacity:
            crowding = crowding_distances([p for _, p in self._entries])
            del self._entries[min(range(len(crowding)), key=crowding.__getitem__)]
        return True

    def items(self) -> list[T]:
        return [item for item, _ in self._entries]

    def points(self) -> list[tuple[float, ...]]:
        return [point for _, point in self._entries]

    def __len__(self) -> int:
        return len(self._entries)

    def __repr__(self) -> str:
        return f"Archive({len(self)} of {self.capacity} entries)"


