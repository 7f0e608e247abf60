"""The coordinator of an island run: one actor and the latest checkpoint per
island, the blocks between migrations, the routes of migrants, and the rebuild
of an island whose worker was lost."""

from __future__ import annotations

import math
import time
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from .island_actor import Counters, Epoch, Final, Island, IslandSettings, checkpoint_generation
from .island_wire import Migrant

__all__ = ["Coordinator", "Blocks", "Restart", "TOPOLOGIES", "route", "busiest_worker"]

TOPOLOGIES = ("ring", "complete")


@dataclass(frozen=True)
class Restart:
    """An island rebuilt from its checkpoint after its worker was lost."""

    island: int
    checkpoint_generation: int
    generations_lost: int
    error: str


@dataclass
class Blocks:
    """How the blocks went: why they stopped, the seconds spent evolving and
    the part of them the busiest worker did not spend inside its islands."""

    stop_reason: str = "generations"
    evolving: float = 0.0
    exchange: float = 0.0


class Failed:
    """Stands for a call that could not even be sent (its actor is known to be lost)."""

    def __init__(self, error: Exception):
        self.error = error

    def result(self) -> Any:
        raise self.error


def send(actor: Any, method: str, *args: Any) -> Any:
    """Calls an actor's method; a future of its answer."""
    try:
        return getattr(actor, method)(*args)
    except Exception as error:  # Dask refuses calls to an actor whose worker was lost
        return Failed(error)


class Coordinator:
    """Keeps one actor and the latest checkpoint per island; replaces lost actors."""

    def __init__(
        self,
        client: Any,
        cost: np.ndarray,
        config: dict[str, Any],
        settings: IslandSettings,
        islands: int,
        deadline: float | None,
    ):
        self.client = client
        self.deadline = deadline
        self.cost = cost
        self.cost_ref = self.share_cost()
        self.config = config
        self.settings = settings
        self.futures: list[Any] = [None] * islands
        self.actors: list[Any] = [None] * islands
        self.checkpoints: list[dict[str, Any] | None] = [None] * islands
        self.generation = [0] * islands
        self.compute = [0.0] * islands
        self.migration = [0.0] * islands
        self.restarts: list[Restart] = []
        self.restart_count = [0] * islands
        self.workers = sorted(client.scheduler_info()["workers"])
        for index in range(islands):
            self.place(index, self.workers[index % len(self.workers)])

    def share_cost(self) -> Any:
        """The cost map on every worker (scattered again after a loss, which can take the copies)."""
        return self.client.scatter(self.cost, broadcast=True, hash=False)

    def place(self, index: int, worker: str | None, checkpoint: dict[str, Any] | None = None) -> None:
        future = self.client.submit(
            Island, index, self.cost_ref, self.config, self.settings, checkpoint,
            actor=True, pure=False, workers=[worker] if worker else None,
        )
        self.futures[index] = future
        self.actors[index] = future.result()

    def replace(self, index: int, error: BaseException, target: int) -> None:
        """Rebuilds a lost island from its last checkpoint on any live worker."""
        checkpoint = self.checkpoints[index]
        base = checkpoint_generation(checkpoint)
        self.restarts.append(Restart(index, base, target - base, f"{type(error).__name__}: {error}"))
        self.restart_count[index] += 1
        old = self.futures[index]
        if old is not None:
            old.cancel()
        self.client.wait_for_workers(1)
        self.cost_ref = self.share_cost()
        self.place(index, None, checkpoint)
        self.generation[index] = base

    def seconds_left(self) -> float | None:
        return None if self.deadline is None else self.deadline - time.perf_counter()

    def call_advance(self, index: int, target: int, arriving: list[Migrant]) -> Any:
        steps = target - self.generation[index]
        left = self.seconds_left()
        deadline = None if left is None else time.time() + left
        return send(self.actors[index], "advance", self.generation[index], steps, arriving, deadline)

    def epoch(self, steps: int, arriving: list[list[Migrant]]) -> list[Epoch]:
        """Advances every island by ``steps`` generations; lost islands are rebuilt and rerun."""
        targets = [g + steps for g in self.generation]
        calls = [self.call_advance(i, targets[i], arriving[i]) for i in range(len(self.actors))]
        return [self.outcome(i, call, targets[i], arriving[i]) for i, call in enumerate(calls)]

    def outcome(self, index: int, call: Any, target: int, arriving: list[Migrant]) -> Epoch:
        for _ in range(3):
            try:
                outcome: Epoch = call.result()
                break
            except Exception as error:  # a lost worker surfaces as OSError, IslandLost or a cancelled future
                self.replace(index, error, target)
                call = self.call_advance(index, target, arriving)
        else:
            outcome = call.result()
        self.generation[index] = outcome.generation
        self.checkpoints[index] = outcome.checkpoint
        self.compute[index] += outcome.compute_seconds
        self.migration[index] += outcome.migration_seconds
        return outcome

    def run_blocks(self, generations: int, migration_every: int, topology: str) -> Blocks:
        """Runs every island to ``generations`` in blocks of ``migration_every``,
        routing each block's emigrants to the next block; stops early at the deadline."""
        islands = len(self.actors)
        arriving: list[list[Migrant]] = [[] for _ in range(islands)]
        blocks = Blocks()
        done = 0
        while done < generations:
            seconds_left = self.seconds_left()
            if seconds_left is not None and seconds_left <= 0:
                blocks.stop_reason = "time"
                break
            steps = min(migration_every, generations - done)
            started = time.perf_counter()
            outcomes = self.epoch(steps, arriving)
            done = min(self.generation)
            arriving = route([o.emigrants for o in outcomes], topology, self.settings.migrants)
            blocks.evolving += time.perf_counter() - started
            blocks.exchange += time.perf_counter() - started - busiest_worker(outcomes)
            if any(o.stopped for o in outcomes):
                blocks.stop_reason = "time"
                break
        return blocks

    def counters(self, index: int) -> Counters:
        """What island ``index`` counted up to its last checkpoint."""
        checkpoint = self.checkpoints[index]
        return Counters() if checkpoint is None else Counters.from_plain(checkpoint["island"])

    def finish(self, stop_reason: str) -> list[Final]:
        calls = [send(actor, "finish", stop_reason) for actor in self.actors]
        finals = []
        for index, call in enumerate(calls):
            try:
                finals.append(call.result())
            except Exception as error:
                self.replace(index, error, self.generation[index])
                finals.append(send(self.actors[index], "finish", stop_reason).result())
        return finals


def busiest_worker(outcomes: Sequence[Epoch]) -> float:
    """Seconds the most loaded worker spent inside its islands' epochs."""
    busy: dict[str, float] = {}
    for outcome in outcomes:
        busy[outcome.worker] = busy.get(outcome.worker, 0.0) + outcome.compute_seconds + outcome.migration_seconds
    return max(busy.values(), default=0.0)


def route(emigrants: list[list[Migrant]], topology: str, count: int) -> list[list[Migrant]]:
    """Migrants arriving at each island. ``ring``: from the previous island;
    ``complete``: the ``count`` best of all other islands' emigrants."""
    n = len(emigrants)
    if n < 2:
        return [[] for _ in range(n)]
    if topology == "ring":
        return [list(emigrants[(i - 1) % n]) for i in range(n)]
    arriving = []
    for i in range(n):
        pool = [m for j in range(n) if j != i for m in emigrants[j]]
        pool.sort(key=lambda m: -m.fitness if m.fitness == m.fitness else math.inf)
        arriving.append(pool[:count])
    return arriving
