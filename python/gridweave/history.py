"""The record of a run: one :class:`GenerationRecord` per generation, and its CSV form."""

from __future__ import annotations

import csv
import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path

__all__ = ["GenerationRecord", "CSV_COLUMNS", "history_to_csv", "history_from_csv"]


@dataclass(frozen=True)
class GenerationRecord:
    """Statistics of the members after one generation (generation 0: the first members).

    ``best_fitness`` and ``mean_fitness`` are raw scores of the current
    members; ``best_so_far`` also counts children that did not survive, and
    never decreases. ``best_objectives`` are the evaluation objectives of the
    best member (``None`` under ``SingleObjective``). ``seconds`` is the wall
    time the generation took. ``best_cost`` is the cost of the best network so
    far in map units (the sum of cost times step length over its cells) and
    ``best_length`` its length in cells.

    Example:
        >>> r = GenerationRecord(3, 0.5, 0.2, 0.6, 4, 2.5, (0.5, 1.0), 0.01, 212.5, 40.0)
        >>> r.generation, r.best_so_far, r.best_cost
        (3, 0.6, 212.5)
    """

    generation: int
    best_fitness: float
    mean_fitness: float
    best_so_far: float
    num_species: int
    species_threshold: float
    best_objectives: tuple[float, ...] | None
    seconds: float
    best_cost: float = math.nan
    best_length: float = math.nan


CSV_COLUMNS = (
    "generation",
    "best_fitness",
    "mean_fitness",
    "best_so_far",
    "best_cost",
    "best_length",
    "num_species",
    "species_threshold",
    "seconds",
)


def history_to_csv(history: Sequence[GenerationRecord], path: str | Path) -> None:
    """Write the history as CSV, one row per generation.

    Columns: the names in ``CSV_COLUMNS``, then objective_0, objective_1, ...
    of the best member (empty when it has none).

    Example:
        >>> import tempfile, os
        >>> path = os.path.join(tempfile.mkdtemp(), "history.csv")
        >>> row = GenerationRecord(0, 0.5, 0.25, 0.5, 2, 3.0, (0.5, 1.0), 0.1, 64.0, 31.0)
        >>> history_to_csv([row], path)
        >>> Path(path).read_text().splitlines()[1]
        '0,0.5,0.25,0.5,64.0,31.0,2,3.0,0.1,0.5,1.0'
    """
    width = max((len(r.best_objectives or ()) for r in history), default=0)
    header = [*CSV_COLUMNS, *(f"objective_{i}" for i in range(width))]
    with Path(path).open("w", newline="", encoding="utf-8") as handle:
        writer = csv.writer(handle, lineterminator="\n")
        writer.writerow(header)
        for r in history:
            objectives = list(r.best_objectives or ())
            row = [getattr(r, column) for column in CSV_COLUMNS]
            padding = [""] * (width - len(objectives))
            writer.writerow([*map(_csv_number, row), *map(_csv_number, objectives), *padding])


def _csv_number(value: float | int) -> str:
    return repr(value) if isinstance(value, float) else str(value)


def history_from_csv(path: str | Path) -> list[GenerationRecord]:
    """Read a history written by :func:`history_to_csv`.

    Example:
        >>> import tempfile, os
        >>> path = os.path.join(tempfile.mkdtemp(), "history.csv")
        >>> rows = [GenerationRecord(0, 0.5, 0.25, 0.5, 2, 3.0, None, 0.1, 10.0, 4.0)]
        >>> history_to_csv(rows, path)
        >>> history_from_csv(path) == rows
        True
    """
    with Path(path).open(newline="", encoding="utf-8") as handle:
        rows = list(csv.DictReader(handle))
    return [_record_from_row(row) for row in rows]


def _record_from_row(row: Mapping[str, str]) -> GenerationRecord:
    objectives = [float(v) for k, v in row.items() if k.startswith("objective_") and v != ""]
    return GenerationRecord(
        generation=int(row["generation"]),
        best_fitness=float(row["best_fitness"]),
        mean_fitness=float(row["mean_fitness"]),
        best_so_far=float(row["best_so_far"]),
        num_species=int(row["num_species"]),
        species_threshold=float(row["species_threshold"]),
        best_objectives=tuple(objectives) if objectives else None,
        seconds=float(row["seconds"]),
        best_cost=float(row.get("best_cost") or math.nan),
        best_length=float(row.get("best_length") or math.nan),
    )
