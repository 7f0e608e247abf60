"""Checkpoints: the whole state of an :func:`~gridweave.evolve` run in one file.

``evolve(..., checkpoint="run.ckpt", checkpoint_every=10)`` writes the file
after generation 0, after every 10th generation and when the run stops.
Each write goes to a temporary file in the same directory, which then
replaces the checkpoint (``os.replace``, keeping the replaced file's
permissions; the directory is synced after the rename): a crash while
writing leaves the previous checkpoint intact. :func:`resume` checks the
saved cost map as :func:`~gridweave.evolve` checks one and continues the
run, writing to the same file.

A checkpoint holds the population (members, species, threshold, innovation
registry), the best network so far, the archive of the multi-objective
front, the history, the stopping counters (generation of the last
improvement, elapsed time), the cost map, the configuration, the driver's
settings and the seed. A run draws its random numbers per generation from
its seed and the generation number, so a resumed run ends exactly as the
same run without a stop, on any number of worker threads.

The file is a pickle of built-in values only (the native states are bytes),
read back by an unpickler that refuses every class: loading a checkpoint runs
no code from the file.
"""

from __future__ import annotations

import contextlib
import dataclasses
import io
import json
import operator
import os
import pickle
import stat
import tempfile
import time
from collections.abc import Callable, Iterable, Mapping
from pathlib import Path
from typing import Any

import numpy as np

from .checks import checked_cost, checked_seed
from .config import validate_config
from .history import GenerationRecord
from .result import EvolutionResult
from .run import Run, StopCheck, run_generations
from .runtime import Limits

__all__ = ["FORMAT", "Checkpointer", "contents_of", "write", "saved_history", "load", "resume"]

FORMAT = 1
KIND = "gridweave checkpoint"


class Checkpointer:
    """Writes the checkpoints of one run (used by :func:`evolve` and :func:`resume`)."""

    def __init__(
        self,
        path: str | Path,
        every: int,
        cost: np.ndarray,
        config: Mapping[str, Any],
        settings: Mapping[str, Any],
    ):
        if every < 1:
            raise ValueError("checkpoint_every must be at least 1")
        self.path = Path(path)
        self.every = int(every)
        self.cost = np.ascontiguousarray(cost, dtype=np.float64)
        self.config = _plain(config)
        self.settings = {**settings, "notes": _plain(settings.get("notes") or {})}

    def due(self, generation: int, generations: int, stop_reason: str) -> bool:
        """After every ``every``-th generation, the last one, and when the run stops."""
        return generation % self.every == 0 or generation == generations or bool(stop_reason)

    def save(self, run: Run, history: list[GenerationRecord], limits: Limits) -> None:
        settings = {**self.settings, "checkpoint_every": self.every, "elapsed": time.perf_counter() - limits.began}
        write(self.path, contents_of(run, history, self.config, settings), self.cost)


def contents_of(
    run: Run, history: list[GenerationRecord], config: Mapping[str, Any], settings: Mapping[str, Any]
) -> dict[str, Any]:
    """Everything a checkpoint file holds but the cost map: the run
    (:meth:`Run.to_plain`), its history, configuration and settings. An island
    of :func:`gridweave.islands.evolve_islands` checkpoints itself in this form."""
    return {
        "kind": KIND,
        "format": FORMAT,
        **run.to_plain(),
        "history": [_record_fields(r) for r in history],
        "config": _plain(config),
        "settings": {**settings, "notes": _plain(settings.get("notes") or {})},
    }


def write(path: str | Path, contents: Mapping[str, Any], cost: np.ndarray) -> None:
    """Writes a checkpoint (as :func:`contents_of` gives it) with its cost map
    to ``path``, atomically (see the module documentation); :func:`resume`
    continues it."""
    cost = np.ascontiguousarray(cost, dtype=np.float64)
    data = {**contents, "cost": (cost.shape, cost.tobytes())}
    _write_atomically(Path(path), pickle.dumps(data, protocol=pickle.HIGHEST_PROTOCOL))


def saved_history(contents: Mapping[str, Any]) -> list[GenerationRecord]:
    """The generation records of a checkpoint."""
    return [GenerationRecord(*fields) for fields in contents["history"]]


# A record's fields in order. Their values are numbers and tuples of numbers, so
# reading them is what dataclasses.astuple gives, without its deep copy: an
# island converts its whole history at every migration.
_record_fields = operator.attrgetter(*(f.name for f in dataclasses.fields(GenerationRecord)))


def _plain(config: Mapping[str, Any]) -> dict[str, Any]:
    """The configuration as built-in values (NumPy numbers and tuples included)."""
    def convert(value: Any) -> Any:
        if isinstance(value, np.generic):
            return value.item()
        raise TypeError(f"cannot save a configuration value of type {type(value).__name__}")

    return json.loads(json.dumps(dict(config), default=convert))


def _write_atomically(path: Path, data: bytes) -> None:
    """Writes a temporary file beside ``path``, then renames it over ``path``
    and syncs the folder, so that the rename too survives a crash. A file
    replaced keeps its permissions (a new one is readable by its owner only)."""
    folder = path.parent if str(path.parent) else Path(".")
    try:
        mode: int | None = stat.S_IMODE(os.stat(path).st_mode)
    except FileNotFoundError:
        mode = None
    handle, temporary = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".tmp", dir=folder)
    try:
        with os.fdopen(handle, "wb") as file:
            file.write(data)
            file.flush()
            os.fsync(file.fileno())
        if mode is not None:
            os.chmod(temporary, mode)
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
    _sync_folder(folder)


def _sync_folder(folder: Path) -> None:
    """fsync of a folder, where the system allows one (not on Windows)."""
    try:
        handle = os.open(folder, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    except OSError:
        return
    try:
        os.fsync(handle)
    except OSError:
        pass  # some file systems cannot sync a folder
    finally:
        os.close(handle)


class _BuiltinsOnly(pickle.Unpickler):
    def find_class(self, module: str, name: str) -> Any:
        raise pickle.UnpicklingError(f"it names {module}.{name}")


def load(path: str | Path) -> dict[str, Any]:
    """The contents of a checkpoint file; ValueError when it is not one.

    Example:
        >>> import os, tempfile
        >>> from gridweave.config import make_config
        >>> from gridweave.problems import make_terrain
        >>> from gridweave import evolve
        >>> p = make_terrain((16, 16), 3, seed=0)
        >>> path = os.path.join(tempfile.mkdtemp(), "run.ckpt")
        >>> _ = evolve(p.cost_map, make_config(p.grid_size, p.terminals, population_size=8), 2,
        ...            progress=False, seed=1, checkpoint=path)
        >>> [load(path)["history"][-1][0], load(path)["settings"]["generations"]]
        [2, 2]
    """
    try:
        contents = _BuiltinsOnly(io.BytesIO(Path(path).read_bytes())).load()
    except OSError:
        raise
    except Exception as error:
        raise ValueError(f"{path}: not a gridweave checkpoint ({error})") from None
    if not isinstance(contents, dict) or contents.get("kind") != KIND:
        raise ValueError(f"{path}: not a gridweave checkpoint")
    if contents.get("format") != FORMAT:
        raise ValueError(
            f"{path}: checkpoint format {contents.get('format')!r}; this version reads {FORMAT}"
        )
    return contents


def resume(
    path: str | Path,
    generations: int | None = None,
    *,
    callbacks: Iterable[Callable[..., Any]] = (),
    progress: bool = True,
    checkpoint_every: int | None = None,
) -> EvolutionResult:
    """Continue the run saved in the checkpoint ``path``, up to ``generations``
    generations in all (default: the number the run was started with).

    The run goes on with its saved settings and keeps writing checkpoints to
    ``path`` (every ``checkpoint_every`` generations, default as before). The
    time limit counts the time the run took before the checkpoint. A run that
    had stopped early (stall, fitness, time, callback, Ctrl-C) continues.
    """
    contents = load(path)
    try:
        settings = contents["settings"]
        config = contents["config"]
        validate_config(config)
        shape, data = contents["cost"]
        saved_cost = np.frombuffer(data, dtype=np.float64).reshape(shape).copy()
        cost = checked_cost(saved_cost, config["special"]["grid_size"])
        history = saved_history(contents)
        done = history[-1].generation
        saved_total = _saved_count(settings, "generations", 0)
        saved_every = _saved_count(settings, "checkpoint_every", 1)
        if settings["seed"] is None:
            raise ValueError("the seed is missing")
        seed = checked_seed(settings["seed"])
        limits = Limits(settings["stop_at_fitness"], settings["stall_generations"],
                        settings["time_limit"], time.perf_counter() - settings["elapsed"])
        run = Run.from_plain(contents, cost, config, settings)
    except (KeyError, TypeError, IndexError, ValueError) as error:
        reason = str(error) if type(error) is ValueError else repr(error)
        raise ValueError(f"{path}: damaged gridweave checkpoint ({reason})") from None
    total = saved_total if generations is None else int(generations)
    every = saved_every if checkpoint_every is None else checkpoint_every
    if total < done:
        raise ValueError(f"generations ({total}) is below the {done} generations already run")
    saver = Checkpointer(path, every, cost, config, {**settings, "generations": total})
    check = StopCheck(run, history, list(callbacks), seed, dict(config), limits)
    return run_generations(run, check, total, "", progress, saver)


def _saved_count(settings: Mapping[str, Any], key: str, low: int) -> int:
    value = settings[key]
    if isinstance(value, bool) or not isinstance(value, int) or value < low:
        raise ValueError(f"{key} is {value!r}, not an integer of at least {low}")
    return value
