"""Run-time helpers of :func:`gridweave.evolve`: stopping rules, Ctrl-C and the progress bar."""

from __future__ import annotations

import signal
import sys
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass
from types import FrameType
from typing import Any, ClassVar

from .history import GenerationRecord

__all__ = ["Limits", "Budget", "PhaseDisplay", "SigintFlag", "callbacks_stop", "progress_bar", "advance"]


# Share of a run's time limit left to the final polish of the best network:
# the generations stop before it.
FINAL_POLISH_SHARE = 0.08


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
        if self.time_limit is not None and time.perf_counter() - self.began >= self.generations_time():
            return "time"
        return ""


    def generations_time(self) -> float:
        """Seconds from the start of the call after which no generation begins."""
        assert self.time_limit is not None
        return self.time_limit * (1.0 - FINAL_POLISH_SHARE)


@dataclass(frozen=True)
class Budget:
    """Deadlines of the phases of a run under ``time_limit`` seconds from ``began``
    (``time.perf_counter()`` values; all None without a limit)."""

    began: float
    time_limit: float | None

    # Each phase ends by this share of the time limit.
    SHARES: ClassVar[dict[str, float]] = {
        "Steiner trees": 0.25,
        "polish": 0.35,
        "key-path exchange": 0.45,
        "exact network": 0.7,
        "redundancy": 0.5,
        "generations": 1.0 - FINAL_POLISH_SHARE,
        "final polish": 1.0,
    }

    def deadline(self, phase: str) -> float | None:
        if self.time_limit is None:
            return None
        return self.began + self.SHARES[phase] * self.time_limit

    @staticmethod
    def seconds_left(deadline: float | None) -> float | None:
        """Seconds until ``deadline`` (never negative), as the native calls take it."""
        return None if deadline is None else max(0.0, deadline - time.perf_counter())


UNLIMITED = Budget(0.0, None)


class PhaseDisplay:
    """Names the phase of the run under way and its time so far, on the line of
    the progress bar (a terminal with tqdm and ``enabled``); records the seconds
    each phase took and the phases a deadline cut short."""

    def __init__(self, enabled: bool) -> None:
        self.seconds: dict[str, float] = {}
        self.cut_short: list[str] = []
        self._enabled = enabled and sys.stderr.isatty()
        self._bar: Any = None

    def _show(self, phase: str) -> None:
        if self._bar is None and self._enabled:
            try:
                from tqdm import tqdm
            except ImportError:
                self._enabled = False
                return
            self._bar = tqdm(total=None, bar_format="{desc} [{elapsed}]", leave=False)
        if self._bar is not None:
            self._bar.set_description_str(f"{phase}...")

    def run(self, phase: str, deadline: float | None, work: Callable[[], Any]) -> Any:
        """``work()``, shown and timed as ``phase``; cut short when it returned after ``deadline``."""
        self._show(phase)
        started = time.perf_counter()
        try:
            return work()
        finally:
            ended = time.perf_counter()
            self.seconds[phase] = self.seconds.get(phase, 0.0) + ended - started
            if deadline is not None and ended >= deadline and phase not in self.cut_short:
                self.cut_short.append(phase)

    def within(self, budget: Budget, phase: str, work: Callable[[Callable[[], float | None]], Any]) -> Any:
        """``work(left)`` shown and timed as ``phase`` under ``budget``'s deadline for it;
        ``left()`` gives the seconds left, as the native calls take them."""
        deadline = budget.deadline(phase)
        return self.run(phase, deadline, lambda: work(lambda: Budget.seconds_left(deadline)))

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None


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
