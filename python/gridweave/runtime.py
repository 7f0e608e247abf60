"""Run-time helpers of :func:`gridweave.evolve`: stopping rules, Ctrl-C and the progress bar."""

from __future__ import annotations

import signal
import sys
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass
from types import FrameType
from typing import Any

from .history import GenerationRecord

__all__ = ["Limits", "SigintFlag", "callbacks_stop", "progress_bar", "advance"]


@dataclass(frozen=True)
class Limits:
    """The stopping rules of a run besides the generation count."""

    stop_at_fitness: float | None
    stall_generations: int | None
    time_limit: float | None
    began: float

    def reason(self, record: GenerationRecord, last_improvement: int) -> str:
        """Why the run should stop after ``record`` ("" to go on)."""
        if self.stop_at_fitness is not None and record.best_so_far >= self.stop_at_fitness:
            return "fitness"
        stalled = record.generation - last_improvement
        if self.stall_generations is not None and stalled >= self.stall_generations:
            return "stall"
        if self.time_limit is not None and time.perf_counter() - self.began >= self.time_limit:
            return "time"
        return ""


def callbacks_stop(callbacks: list[Callable[..., Any]], *args: Any) -> bool:
    """Call every callback; True when one of them asks to stop."""
    return any([bool(callback(*args)) for callback in callbacks])


def progress_bar(total: int, enabled: bool) -> Any:
    """A tqdm bar on a terminal when ``enabled`` and tqdm is installed, else None."""
    if not enabled or total == 0 or not sys.stderr.isatty():
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, desc="evolving", unit="gen", leave=False)


def advance(bar: Any, record: GenerationRecord) -> None:
    if bar is None:
        return
    bar.set_postfix(best=f"{record.best_so_far:.4g}", species=record.num_species, refresh=False)
    bar.update(1)


class SigintFlag:
    """While active, the first Ctrl-C only sets a flag; a second one interrupts at once.

    Outside the main thread, or when someone else handles SIGINT, nothing is
    installed and Ctrl-C raises KeyboardInterrupt as usual (the loop then stops
    in the middle of the generation, still returning the result so far).
    """

    def __init__(self) -> None:
        self._event = threading.Event()
        self._previous: Any = None
        self._installed = False

    def is_set(self) -> bool:
        return self._event.is_set()

    def __enter__(self) -> SigintFlag:
        if threading.current_thread() is threading.main_thread():
            current = signal.getsignal(signal.SIGINT)
            if current is signal.default_int_handler:
                self._previous = signal.signal(signal.SIGINT, self._handle)
                self._installed = True
        return self

    def _handle(self, signum: int, frame: FrameType | None) -> None:
        if self._event.is_set():
            signal.default_int_handler(signum, frame)
        self._event.set()

    def __exit__(self, *exc_info: object) -> None:
        if self._installed:
            signal.signal(signal.SIGINT, self._previous)
