"""One island: a population evolving in one Dask worker process (a Dask actor).

An island runs the generation loop of :func:`gridweave.evolve`
(:func:`gridweave.run.generation_loop`) in blocks between migrations: it
takes in the migrants, runs the block, chooses its emigrants and checkpoints
itself in the form of the driver's checkpoint files
(:func:`gridweave.checkpoint.contents_of`), which the coordinator keeps so that
a lost island can be rebuilt and replay the generations since.
"""

from __future__ import annotations

import math
import time
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from . import _core
from ._core import Genome
from .checkpoint import contents_of, saved_history
from .checks import checked_seed
from .cluster import worker_address
from .history import GenerationRecord
from .island_wire import Checkpoint, Migrant, PackedGenome, node_cells, renumber
from .measure import cost_array
from .planning import plan_from_plain
from .run import Run, generation_loop, generation_seed, native_seed
from .start import start_run
from .structures import canonical_structure

__all__ = ["Island", "IslandSettings", "IslandLost", "Counters", "Epoch", "Final", "island_seed",
           "island_generation_seed"]


@dataclass(frozen=True)
class IslandSettings:
    """How every island of a run evolves: its start network (a structure
    dictionary, or None for the configured graph), polish, archive, emigrants
    per block and numbering of migrants; ``seed`` is the run's seed folded to
    64 bits (None: the island draws one); ``plan`` the existing network and
    regions as plain lists; ``generations`` and ``migration_every`` the run's
    length and block, which the island's checkpoints record."""

    start: dict[str, Any] | None
    polish: bool
    polish_children: int
    archive_size: int
    migrants: int
    numbering: str
    seed: int | None
    plan: dict[str, Any] = field(default_factory=dict)
    generations: int = 0
    migration_every: int = 1


class IslandLost(RuntimeError):
    """The actor answering is not the island the coordinator last saw (Dask
    recreated it from its first arguments after a worker loss)."""


@dataclass
class Counters:
    """What an island counts besides its run: migrants taken in, children bred
    and evaluated, and per migrant the share of its edge numbers the receiving
    members already carried."""

    migrants_received: int = 0
    evaluations: int = 0
    matching: list[float] = field(default_factory=list)

    def to_plain(self) -> dict[str, Any]:
        return {"migrants_received": self.migrants_received, "evaluations": self.evaluations,
                "matching": list(self.matching)}

    @classmethod
    def from_plain(cls, plain: Mapping[str, Any]) -> Counters:
        return cls(int(plain["migrants_received"]), int(plain["evaluations"]), list(plain["matching"]))


@dataclass
class Epoch:
    """What an island returns after a block: its generation, emigrants and checkpoint."""

    generation: int
    emigrants: list[Migrant]
    checkpoint: dict[str, Any]
    compute_seconds: float
    migration_seconds: float
    stopped: bool
    worker: str


@dataclass
class Final:
    """An island's end: its best network after the final polish, front, history and members."""

    best: Migrant
    front: list[Migrant]
    history: list[GenerationRecord]
    members: list[Migrant]
    engine_threads: int


def island_seed(seed: int, index: int) -> int:
    """The native seed of island ``index`` of a run seeded with ``seed``: the
    seed folded to 64 bits as :func:`gridweave.evolve` folds it, plus the index
    (modulo 2**64).

    Example:
        >>> island_seed(7, 2), island_seed(2**64 - 1, 1)
        (9, 0)
    """
    return (native_seed(seed) + index) % 2**64


def island_generation_seed(seed: int, index: int, generation: int) -> int:
    """The native seed of one generation of island ``index``: the generation
    seed :func:`gridweave.evolve` would use with the island's seed.

    Example:
        >>> from gridweave.run import generation_seed
        >>> island_generation_seed(7, 2, 5) == generation_seed(9, 5)
        True
    """
    return generation_seed(island_seed(seed, index), generation)


def checkpoint_generation(checkpoint: Mapping[str, Any] | None) -> int:
    """The last generation an island checkpoint holds (0 without one)."""
    return 0 if checkpoint is None else int(checkpoint["history"][-1][0])


class BlockCheck:
    """The stopping rule of a block: stop at the wall clock's ``deadline`` (a
    ``time.time()`` value, since islands sharing a worker wait for each other),
    checked only while generations of the block remain."""

    def __init__(self, history: list[GenerationRecord], seed: int, target: int, deadline: float | None):
        self.history, self.seed, self.target, self.deadline = history, seed, target, deadline

    def __call__(self) -> str:
        if self.deadline is None or self.history[-1].generation >= self.target:
            return ""
        return "time" if time.time() >= self.deadline else ""


class Island:
    """One population in one worker process (used as a Dask actor).

    Built from scratch, or after a worker loss from a checkpoint: one that
    :meth:`checkpoint` gave, or a :class:`~gridweave.island_wire.Checkpoint` of
    packed members.
    """

    def __init__(
        self,
        index: int,
        cost: np.ndarray,
        config: dict[str, Any],
        settings: IslandSettings,
        checkpoint: Mapping[str, Any] | Checkpoint | None = None,
    ) -> None:
        self.index = index
        self.cost = cost_array(cost)
        self.config = config
        self.settings = settings
        self.counters = Counters()
        self.began = time.perf_counter()
        if isinstance(checkpoint, Mapping):
            self.seed = int(checkpoint["settings"]["seed"])
            self.run = Run.from_plain(checkpoint, self.cost, config, checkpoint["settings"])
            self.history = saved_history(checkpoint)
            self.counters = Counters.from_plain(checkpoint["island"])
            self.began -= checkpoint["settings"]["elapsed"]
        elif checkpoint is not None and checkpoint.state is not None:
            self.seed = self._own_seed()
            self.run = Run.from_plain(checkpoint.state, self.cost, config, self._run_settings())
            self._take_counters(checkpoint)
        else:
            self.seed = self._own_seed()
            _core._seed(self.seed)
            started = time.perf_counter()
            self.run = start_run(
                self.cost, config, settings.start, "config", settings.polish, settings.polish_children,
                settings.archive_size, plan=plan_from_plain(self.cost.shape, settings.plan),
            )
            self.history = [self.run.record(0, time.perf_counter() - started)]
        self.fixed_ids = node_cells(self.run.members, "Fixed")
        if isinstance(checkpoint, Checkpoint) and checkpoint.state is None:
            self._restore(checkpoint)

    @property
    def generation(self) -> int:
        return self.history[-1].generation

    def _own_seed(self) -> int:
        seed = self.settings.seed
        return island_seed(seed, self.index) if seed is not None else native_seed(checked_seed(None))

    def _run_settings(self) -> dict[str, Any]:
        settings = self.settings
        return dict(polish=settings.polish, polish_children=settings.polish_children,
                    archive_size=settings.archive_size, **settings.plan)

    # -- migration -----------------------------------------------------------

    def _take_in(self, migrants: Sequence[Migrant]) -> list[Genome]:
        """The migrants as genomes of this population, carrying their scores."""
        population = self.run.population
        members = self.run.members
        known = node_cells(members, "Flexible") if self.settings.numbering == "position" else None
        numbers = {edge_id for genome in members for edge_id in genome.edges}
        fresh: dict[int, int] = {}
        genomes = []
        for migrant in migrants:
            structure = renumber(migrant.structure, self.fixed_ids, fresh, population.new_node_id, known)
            genome = population.create_genome(structure)
            genome.fitness = migrant.fitness
            genome.objectives = None if migrant.objectives is None else list(migrant.objectives)
            edges = genome.edges
            self.counters.matching.append(sum(e in numbers for e in edges) / len(edges) if edges else 1.0)
            genomes.append(genome)
        return genomes

    def _emigrants(self, count: int) -> list[Migrant]:
        """Copies of the ``count`` best distinct members by raw score."""
        run = self.run
        order = sorted(range(len(run.members)), key=lambda i: -run.raw[i] if run.raw[i] == run.raw[i] else math.inf)
        chosen: list[Migrant] = []
        seen: set[int] = set()
        for i in order:
            structure = canonical_structure(run.members[i].get_structure())
            key = hash(repr(structure))
            if key in seen:
                continue
            seen.add(key)
            chosen.append(Migrant(structure, run.raw[i], run.objectives[i]))
            if len(chosen) == count:
                break
        return chosen

    # -- checkpoints ---------------------------------------------------------

    def _as_migrants(self, genomes: Sequence[Genome]) -> list[Migrant]:
        raw, objectives = self.run.read_raw(list(genomes))
        return [
            Migrant(canonical_structure(g.get_structure()), score, values)
            for g, score, values in zip(genomes, raw, objectives)
        ]

    def _packed(self, genomes: Sequence[Genome]) -> list[PackedGenome]:
        raw, objectives = self.run.read_raw(list(genomes))
        return [PackedGenome.of(g.get_structure(), score, values) for g, score, values in zip(genomes, raw, objectives)]

    def checkpoint(self) -> dict[str, Any]:
        """The island as a checkpoint of :mod:`gridweave.checkpoint` (without the
        cost map, which the coordinator holds), its counters under ``"island"``:
        written with the cost map, :func:`gridweave.resume` continues it as a
        single population."""
        settings = self.settings
        contents = contents_of(self.run, self.history, self.config, dict(
            generations=max(settings.generations, self.generation), polish=settings.polish,
            polish_children=settings.polish_children, archive_size=settings.archive_size,
            stop_at_fitness=None, stall_generations=None, time_limit=None, seed=self.seed,
            notes={"island": self.index}, checkpoint_every=settings.migration_every,
            elapsed=time.perf_counter() - self.began, **settings.plan))
        contents["island"] = self.counters.to_plain()
        return contents

    def packed_checkpoint(self) -> Checkpoint:
        """The island as packed members, best and front, without its registry."""
        run = self.run
        best = None
        if run.best is not None:
            best = PackedGenome.of(run.best.get_structure(), run.best_raw, run.best_objectives)
        front = self._packed(run.archive.items()) if run.archive is not None else []
        counters = self.counters
        return Checkpoint(self.generation, self._packed(run.members), best, front, list(self.history),
                          counters.migrants_received, counters.evaluations, list(counters.matching))

    def _restore(self, checkpoint: Checkpoint) -> None:
        """Replaces the fresh members by the packed ones of a checkpoint without
        a state, renumbered together."""
        run = self.run
        population = run.population
        fresh: dict[int, int] = {}

        def rebuild(items: Sequence[PackedGenome]) -> list[Genome]:
            genomes = []
            for item in items:
                structure = renumber(item.structure(), self.fixed_ids, fresh, population.new_node_id)
                genome = population.create_genome(structure)
                genome.fitness = item.fitness
                genome.objectives = None if item.objectives is None else list(item.objectives)
                genomes.append(genome)
            return genomes

        members = rebuild(checkpoint.members)
        for genome in run.members:
            genome.fitness = -math.inf  # ranked selection must keep only the restored members
        _core.select(population, [], [], members)
        run.best, run.best_raw, run.best_objectives = None, -math.inf, None
        run.take_members(evaluate=True)
        extras = rebuild(([checkpoint.best] if checkpoint.best else []) + checkpoint.front)
        raw, objectives = run.read_raw(extras)
        run.consider(extras, raw, objectives)
        self._take_counters(checkpoint)

    def _take_counters(self, checkpoint: Checkpoint) -> None:
        self.history = list(checkpoint.history)
        self.counters = Counters(checkpoint.migrants_received, checkpoint.evaluations, list(checkpoint.matching))

    # -- actor methods -------------------------------------------------------

    def advance(
        self, expected_generation: int, generations: int, migrants: list[Migrant], deadline: float | None
    ) -> Epoch:
        """Takes in the migrants, evolves up to ``generations`` generations (fewer
        once the wall clock passes ``deadline``, a ``time.time()`` value) and
        returns the emigrants and a checkpoint."""
        if expected_generation != self.generation:
            raise IslandLost(
                f"island {self.index} is at generation {self.generation}, expected {expected_generation}"
            )
        began = time.perf_counter()
        newcomers = self._take_in(migrants)
        self.counters.migrants_received += len(newcomers)
        exchange = time.perf_counter() - began
        first = self.generation
        check = BlockCheck(self.history, self.seed, first + generations, deadline)
        stopped = generation_loop(self.run, check, check.target, check(), newcomers=newcomers) == "time"
        self.counters.evaluations += (self.generation - first) * self.run.size
        compute = time.perf_counter() - began - exchange
        began = time.perf_counter()
        emigrants = self._emigrants(self.settings.migrants)
        checkpoint = self.checkpoint()
        exchange += time.perf_counter() - began
        return Epoch(self.generation, emigrants, checkpoint, compute, exchange, stopped, worker_address())

    def finish(self, stop_reason: str) -> Final:
        """Ends the run as :func:`gridweave.evolve` does (final polish of the best)."""
        result = self.run.result(self.history, stop_reason, self.seed, self.config)
        best = Migrant(result.best_structure, result.best_fitness, result.best_objectives)
        front = self._as_migrants(result.pareto_front or []) if self.run.archive is not None else []
        members = self._as_migrants(self.run.members)
        return Final(best, front, result.history, members, _core._num_threads())
