"""Island model on Dask: several populations evolve apart and trade their best members.

:func:`evolve_islands` runs ``islands`` populations, each inside one Dask
worker process, each driven exactly like :func:`gridweave.evolve` (heuristic
start, polish of the best children, archive of the front). Every
``migration_every`` generations each island sends copies of its ``migrants``
best members to its neighbours (``topology``); they arrive as structure
dictionaries with their scores and compete in the next selection like
children.

Innovation numbers belong to one population, so a migrant is renumbered on
arrival: its fixed nodes take the receiver's ids of the fixed nodes at the same
grid positions, every other node gets a fresh number from the receiver's
registry, and every edge the receiver's number for its pair of nodes. Migrants
sent together keep their shared genes shared (one renumbering per batch).

With ``client=None`` a ``LocalCluster`` of worker processes (one per island, at
most one per CPU, each running one engine thread) is started and closed at the
end; pass a ``distributed.Client`` or a scheduler address to use a real
cluster. An island is a Dask actor: its population stays in the worker's
memory between migrations, and the coordinator keeps its latest checkpoint (the
island's whole state, as :func:`gridweave.evolve` checkpoints it). When a
worker dies, the island is rebuilt on a live worker from that checkpoint and
replays the generations since, so at most ``migration_every`` generations are
lost; ``IslandsResult.restarts`` lists every such event.

Every island draws its random numbers per generation from the seed, its index
and the generation number, so a seeded run gives the same result on any number
of workers, and a run that lost a worker ends as it would have without the loss.

Needs the optional dependency ``distributed`` (``pip install gridweave[distributed]``).
"""

from __future__ import annotations

import logging
import math
import os
import time
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from . import _core, routes
from ._core import Genome
from .checkpoint import restored_run, run_contents
from .checks import checked_cost, checked_plan, checked_seed
from .config import validate_config
from .history import GenerationRecord
from .measure import cost_array
from .pareto import front_point, non_dominated
from .planning import plain_plan, plan_from_plain
from .run import canonical_structure, generation_seed, native_seed
from .runtime import Budget
from .start import heuristic_start, start_run

__all__ = [
    "evolve_islands",
    "IslandsResult",
    "IslandReport",
    "Restart",
    "Migrant",
    "Checkpoint",
    "PackedGenome",
    "renumber",
    "local_cluster",
    "TOPOLOGIES",
    "NUMBERINGS",
]

TOPOLOGIES = ("ring", "complete")
NUMBERINGS = ("fresh", "position")

# Engine threads per island; the worker processes read it before importing gridweave.
THREADS_VARIABLE = "GRIDWEAVE_NUM_THREADS"
PROFILER_SETTING = "distributed.worker.profile.enabled"

Cell = tuple[int, int]


@dataclass(frozen=True)
class Migrant:
    """A network crossing between islands: its structure dictionary (with the
    sender's numbers), its raw score and its evaluation objectives."""

    structure: dict[str, Any]
    fitness: float
    objectives: tuple[float, ...] | None


@dataclass(frozen=True)
class PackedGenome:
    """A structure dictionary as arrays, cheap to pickle (checkpoints travel
    after every block): node ids, positions and fixed flags; edge ids with
    both end nodes, and enabled flags; then the raw score and objectives."""

    node_ids: np.ndarray
    node_cells: np.ndarray
    node_fixed: np.ndarray
    edges: np.ndarray
    edge_enabled: np.ndarray
    fitness: float
    objectives: tuple[float, ...] | None

    @classmethod
    def of(cls, structure: Mapping[str, Any], fitness: float, objectives: tuple[float, ...] | None) -> PackedGenome:
        nodes, edges = structure["nodes"], structure["edges"]
        return cls(
            node_ids=np.array([n["id"] for n in nodes], dtype=np.uint64),
            node_cells=np.array([n["data"]["pos"] for n in nodes], dtype=np.int64).reshape(-1, 2),
            node_fixed=np.array([n["data"]["type"] == "Fixed" for n in nodes], dtype=bool),
            edges=np.array([(e["id"], e["node1"], e["node2"]) for e in edges], dtype=np.uint64).reshape(-1, 3),
            edge_enabled=np.array([bool(e["enabled"]) for e in edges], dtype=bool),
            fitness=fitness,
            objectives=objectives,
        )

    def structure(self) -> dict[str, Any]:
        nodes = [
            {"id": int(i), "data": {"pos": (int(x), int(y)), "type": "Fixed" if fixed else "Flexible"}}
            for i, (x, y), fixed in zip(self.node_ids, self.node_cells, self.node_fixed)
        ]
        edges = [
            {"id": int(i), "node1": int(a), "node2": int(b), "enabled": bool(on)}
            for (i, a, b), on in zip(self.edges, self.edge_enabled)
        ]
        return {"nodes": nodes, "edges": edges}


@dataclass
class Checkpoint:
    """Everything an island is rebuilt from: plain data, picklable. ``state``
    is the run as :func:`gridweave.evolve` checkpoints it (population with its
    registry, archive, counters); checkpoints without one are rebuilt from the
    packed members, renumbered."""

    generation: int
    members: list[PackedGenome]
    best: PackedGenome | None
    front: list[PackedGenome]
    history: list[GenerationRecord]
    migrants_received: int
    evaluations: int
    matching: list[float]
    state: dict[str, Any] | None = None


@dataclass
class IslandReport:
    """One island's run. ``history`` has one record per generation (a restart
    continues it from the checkpoint); ``evaluations`` counts the children
    bred and evaluated; ``migrant_matching`` is the mean share of an arriving
    migrant's edges whose numbers some receiving member already carries (how
    much crossover can line up with it); ``engine_threads`` is the size of the
    worker's engine pool; ``members`` are the final members in the island's
    own numbering."""

    island: int
    history: list[GenerationRecord]
    best_fitness: float
    migrants_received: int
    evaluations: int
    compute_seconds: float
    migration_seconds: float
    migrant_matching: float
    engine_threads: int
    restarts: int = 0
    members: list[Migrant] = field(default_factory=list, repr=False)


@dataclass(frozen=True)
class Restart:
    """An island rebuilt from its checkpoint after its worker was lost."""

    island: int
    checkpoint_generation: int
    generations_lost: int
    error: str


@dataclass
class IslandsResult:
    """What :func:`evolve_islands` returns.

    ``best_genome`` (a genome of its own registry, carrying its raw score and
    objectives) is the best network of all islands, found on ``best_island``.
    ``pareto_front`` merges the islands' archived fronts under
    ``MultiObjectiveBridge`` (else ``None``). ``wall_seconds`` is the whole
    call, cluster start included; ``epoch_seconds`` the time spent evolving
    (start network and final polish excluded); ``exchange_seconds`` the part
    of it the busiest worker did not spend inside its islands (transfer,
    routing, waiting at the migration barrier).
    """

    best_genome: Genome
    best_fitness: float
    best_structure: dict[str, Any]
    best_objectives: tuple[float, ...] | None
    best_island: int
    islands: list[IslandReport]
    pareto_front: list[Genome] | None
    restarts: list[Restart]
    generations: int
    stop_reason: str
    workers: int
    wall_seconds: float
    epoch_seconds: float
    exchange_seconds: float
    config: dict[str, Any] = field(repr=False, default_factory=dict)

    @property
    def evaluations(self) -> int:
        return sum(report.evaluations for report in self.islands)

    def pareto_objectives(self) -> list[tuple[float, ...]]:
        """Objective vectors of the merged front (empty without a front)."""
        return [tuple(g.objectives) for g in self.pareto_front or [] if g.objectives]


class IslandLost(RuntimeError):
    """The actor answering is not the island the coordinator last saw (Dask
    recreated it from its first arguments after a worker loss)."""


@dataclass(frozen=True)
class _Settings:
    start: dict[str, Any] | None
    polish: bool
    polish_children: int
    archive_size: int
    migrants: int
    numbering: str
    seed: int | None  # folded to 64 bits (see _island_seed)
    plan: dict[str, Any] = field(default_factory=dict)  # existing network and regions, as plain lists


def _island_seed(seed: int, index: int) -> int:
    """The native seed of island ``index`` of a run seeded with ``seed``: the
    seed folded to 64 bits as :func:`gridweave.evolve` folds it, plus the index
    (modulo 2**64).

    Example:
        >>> _island_seed(7, 2), _island_seed(2**64 - 1, 1)
        (9, 0)
    """
    return (native_seed(seed) + index) % 2**64


def _island_generation_seed(seed: int, index: int, generation: int) -> int:
    """The native seed of one generation of island ``index``: the generation
    seed :func:`gridweave.evolve` would use with the island's seed.

    Example:
        >>> from gridweave.run import generation_seed
        >>> _island_generation_seed(7, 2, 5) == generation_seed(9, 5)
        True
    """
    return generation_seed(_island_seed(seed, index), generation)


@dataclass
class _Epoch:
    generation: int
    emigrants: list[Migrant]
    checkpoint: Checkpoint
    compute_seconds: float
    migration_seconds: float
    stopped: bool
    worker: str


@dataclass
class _Final:
    best: Migrant
    front: list[Migrant]
    history: list[GenerationRecord]
    members: list[Migrant]
    engine_threads: int


def renumber(
    structure: Mapping[str, Any],
    fixed_ids: Mapping[Cell, int],
    fresh: dict[int, int],
    draw: Any,
    known: Mapping[Cell, int] | None = None,
) -> dict[str, Any]:
    """The structure in the receiver's numbering, ready for ``create_genome``.

    Fixed nodes take ``fixed_ids[pos]``; with ``known`` (position numbering)
    a flexible node at a position the receiver already numbered takes that
    number, unless another node of the structure took it already (a node
    that moved is known at several positions); every other node takes ``fresh[old id]``, drawn by ``draw()`` the
    first time. Edge numbers are left out, so the receiver's registry gives
    each edge the number of its node pair. Edges naming a node the structure
    lacks are dropped.

    Example:
        >>> counter = iter(range(100, 200))
        >>> s = {"nodes": [{"id": 7, "data": {"pos": (0, 0), "type": "Fixed"}},
        ...                {"id": 9, "data": {"pos": (3, 4), "type": "Flexible"}}],
        ...      "edges": [{"id": 5, "node1": 7, "node2": 9, "enabled": True}]}
        >>> out = renumber(s, {(0, 0): 1}, {}, lambda: next(counter))
        >>> [n["id"] for n in out["nodes"]], out["edges"]
        ([1, 100], [{'node1': 1, 'node2': 100, 'enabled': True}])
    """
    ids: dict[int, int] = {}
    used: set[int] = set()
    nodes = []
    for node in structure["nodes"]:
        pos = (int(node["data"]["pos"][0]), int(node["data"]["pos"][1]))
        fixed = node["data"]["type"] == "Fixed"
        if fixed and pos in fixed_ids:
            new = fixed_ids[pos]
        elif not fixed and known is not None and pos in known and known[pos] not in used:
            new = known[pos]
        else:
            if node["id"] not in fresh:
                fresh[node["id"]] = draw()
            new = fresh[node["id"]]
        ids[node["id"]] = new
        used.add(new)
        nodes.append({"id": new, "data": dict(node["data"])})
    edges = [
        {"node1": ids[e["node1"]], "node2": ids[e["node2"]], "enabled": bool(e["enabled"])}
        for e in structure["edges"]
        if e["node1"] in ids and e["node2"] in ids
    ]
    return {"nodes": nodes, "edges": edges}


def _node_cells(genomes: Sequence[Genome], kind: str) -> dict[Cell, int]:
    """Grid position to node id over the genomes' nodes of one type (first seen wins)."""
    cells: dict[Cell, int] = {}
    for genome in genomes:
        for node_id, node in genome.nodes.items():
            if node.data.type_ == kind:
                cells.setdefault((int(node.data.pos[0]), int(node.data.pos[1])), node_id)
    return cells


class Island:
    """One population in one worker process (used as a Dask actor).

    Built from scratch, or from a :class:`Checkpoint` after a worker loss.
    """

    def __init__(
        self,
        index: int,
        cost: np.ndarray,
        config: dict[str, Any],
        settings: _Settings,
        checkpoint: Checkpoint | None = None,
    ) -> None:
        self.index = index
        self.cost = cost_array(cost)
        self.config = config
        self.settings = settings
        self.generation = 0
        self.migrants_received = 0
        self.evaluations = 0
        self.matching: list[float] = []
        if checkpoint is not None and checkpoint.state is not None:
            self.run = restored_run(checkpoint.state, self.cost, config, self._run_settings())
            self.fixed_ids = _node_cells(self.run.members, "Fixed")
            self._take_counters(checkpoint)
            return
        if settings.seed is not None:
            _core._seed(_island_seed(settings.seed, index))
        started = time.perf_counter()
        self.run = start_run(
            self.cost, config, settings.start, "config", settings.polish, settings.polish_children,
            settings.archive_size, plan=plan_from_plain(self.cost.shape, settings.plan),
        )
        self.fixed_ids = _node_cells(self.run.members, "Fixed")
        self.history = [self.run.record(0, time.perf_counter() - started)]
        if checkpoint is not None:
            self._restore(checkpoint)

    def _run_settings(self) -> dict[str, Any]:
        settings = self.settings
        return dict(polish=settings.polish, polish_children=settings.polish_children,
                    archive_size=settings.archive_size, **settings.plan)

    # -- migration -----------------------------------------------------------

    def _take_in(self, migrants: Sequence[Migrant]) -> list[Genome]:
        """The migrants as genomes of this population, carrying their scores."""
        population = self.run.population
        members = self.run.members
        known = _node_cells(members, "Flexible") if self.settings.numbering == "position" else None
        numbers = {edge_id for genome in members for edge_id in genome.edges}
        fresh: dict[int, int] = {}
        genomes = []
        for migrant in migrants:
            structure = renumber(migrant.structure, self.fixed_ids, fresh, population.new_node_id, known)
            genome = population.create_genome(structure)
            genome.fitness = migrant.fitness
            genome.objectives = None if migrant.objectives is None else list(migrant.objectives)
            edges = genome.edges
            self.matching.append(sum(e in numbers for e in edges) / len(edges) if edges else 1.0)
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

    def checkpoint(self) -> Checkpoint:
        run = self.run
        best = None
        if run.best is not None:
            best = PackedGenome.of(run.best.get_structure(), run.best_raw, run.best_objectives)
        front = self._packed(run.archive.items()) if run.archive is not None else []
        return Checkpoint(
            generation=self.generation,
            members=self._packed(run.members),
            best=best,
            front=front,
            history=list(self.history),
            migrants_received=self.migrants_received,
            evaluations=self.evaluations,
            matching=list(self.matching),
            state=run_contents(run),
        )

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
        self.generation = checkpoint.generation
        self.history = list(checkpoint.history)
        self.migrants_received = checkpoint.migrants_received
        self.evaluations = checkpoint.evaluations
        self.matching = list(checkpoint.matching)

    # -- actor methods -------------------------------------------------------

    def advance(
        self, expected_generation: int, generations: int, migrants: list[Migrant], deadline: float | None
    ) -> _Epoch:
        """Takes in the migrants, evolves up to ``generations`` generations (fewer
        once the wall clock passes ``deadline``, a ``time.time()`` value, since
        islands sharing a worker wait for each other) and returns the emigrants
        and a checkpoint."""
        if expected_generation != self.generation:
            raise IslandLost(
                f"island {self.index} is at generation {self.generation}, expected {expected_generation}"
            )
        began = time.perf_counter()
        newcomers = self._take_in(migrants)
        self.migrants_received += len(newcomers)
        exchange = time.perf_counter() - began
        stopped = False
        for step in range(generations):
            if deadline is not None and time.time() >= deadline:
                stopped = True
                break
            started = time.perf_counter()
            if self.settings.seed is not None:
                _core._seed(_island_generation_seed(self.settings.seed, self.index, self.generation + 1))
            self.run.step(newcomers if step == 0 else ())
            self.generation += 1
            self.evaluations += self.run.size
            self.history.append(self.run.record(self.generation, time.perf_counter() - started))
        compute = time.perf_counter() - began - exchange
        began = time.perf_counter()
        emigrants = self._emigrants(self.settings.migrants)
        checkpoint = self.checkpoint()
        exchange += time.perf_counter() - began
        return _Epoch(self.generation, emigrants, checkpoint, compute, exchange, stopped, _worker_address())

    def finish(self, stop_reason: str) -> _Final:
        """Ends the run as :func:`gridweave.evolve` does (final polish of the best)."""
        result = self.run.result(self.history, stop_reason, self.settings.seed or 0, self.config)
        best = Migrant(result.best_structure, result.best_fitness, result.best_objectives)
        front = self._as_migrants(result.pareto_front or []) if self.run.archive is not None else []
        members = self._as_migrants(self.run.members)
        return _Final(best, front, result.history, members, _core._num_threads())


# -- coordinator -------------------------------------------------------------


def _worker_address() -> str:
    try:
        from distributed import get_worker

        return str(get_worker().address)
    except (ImportError, ValueError):
        return "local"


class _Failed:
    """Stands for a call that could not even be sent (its actor is known to be lost)."""

    def __init__(self, error: Exception):
        self.error = error

    def result(self) -> Any:
        raise self.error


def _send(actor: Any, method: str, *args: Any) -> Any:
    try:
        return getattr(actor, method)(*args)
    except Exception as error:  # Dask refuses calls to an actor whose worker was lost
        return _Failed(error)


def _busiest_worker(outcomes: Sequence[_Epoch]) -> float:
    """Seconds the most loaded worker spent inside its islands' epochs."""
    busy: dict[str, float] = {}
    for outcome in outcomes:
        busy[outcome.worker] = busy.get(outcome.worker, 0.0) + outcome.compute_seconds + outcome.migration_seconds
    return max(busy.values(), default=0.0)


def _route(emigrants: list[list[Migrant]], topology: str, count: int) -> list[list[Migrant]]:
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


def _check_arguments(
    generations: int, islands: int, migration_every: int, migrants: int, topology: str, numbering: str
) -> None:
    if generations < 0:
        raise ValueError("generations must not be negative")
    if islands < 1:
        raise ValueError(f"islands must be at least 1, got {islands}")
    if migration_every < 1:
        raise ValueError(f"migration_every must be at least 1, got {migration_every}")
    if migrants < 0:
        raise ValueError(f"migrants must not be negative, got {migrants}")
    if topology not in TOPOLOGIES:
        raise ValueError(f"topology must be one of {', '.join(TOPOLOGIES)}, got {topology!r}")
    if numbering not in NUMBERINGS:
        raise ValueError(f"numbering must be one of {', '.join(NUMBERINGS)}, got {numbering!r}")


def _available_cpus() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def local_cluster(workers: int) -> Any:
    """A ``LocalCluster`` of ``workers`` processes made for islands: one Dask
    thread and one engine thread each, without the dashboard and without Dask's
    sampling profiler (its every-10-ms stack walks take the interpreter lock
    and made generations several times slower)."""
    import dask
    from distributed import LocalCluster

    with dask.config.set({PROFILER_SETTING: False}):
        return LocalCluster(
            n_workers=workers,
            threads_per_worker=1,
            processes=True,
            dashboard_address=":0",
            silence_logs=logging.ERROR,
            env={THREADS_VARIABLE: "1"},
        )


class _Coordinator:
    """Keeps one actor and the latest checkpoint per island; replaces lost actors."""

    def __init__(
        self,
        client: Any,
        cost: np.ndarray,
        config: dict[str, Any],
        settings: _Settings,
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
        self.checkpoints: list[Checkpoint | None] = [None] * islands
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

    def place(self, index: int, worker: str | None, checkpoint: Checkpoint | None = None) -> None:
        future = self.client.submit(
            Island, index, self.cost_ref, self.config, self.settings, checkpoint,
            actor=True, pure=False, workers=[worker] if worker else None,
        )
        self.futures[index] = future
        self.actors[index] = future.result()

    def replace(self, index: int, error: BaseException, target: int) -> None:
        """Rebuilds a lost island from its last checkpoint on any live worker."""
        checkpoint = self.checkpoints[index]
        base = checkpoint.generation if checkpoint else 0
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
        return _send(self.actors[index], "advance", self.generation[index], steps, arriving, deadline)

    def epoch(self, steps: int, arriving: list[list[Migrant]]) -> list[_Epoch]:
        """Advances every island by ``steps`` generations; lost islands are rebuilt and rerun."""
        targets = [g + steps for g in self.generation]
        calls = [self.call_advance(i, targets[i], arriving[i]) for i in range(len(self.actors))]
        return [self._outcome(i, call, targets[i], arriving[i]) for i, call in enumerate(calls)]

    def _outcome(self, index: int, call: Any, target: int, arriving: list[Migrant]) -> _Epoch:
        for _ in range(3):
            try:
                outcome: _Epoch = call.result()
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

    def finish(self, stop_reason: str) -> list[_Final]:
        calls = [_send(actor, "finish", stop_reason) for actor in self.actors]
        finals = []
        for index, call in enumerate(calls):
            try:
                finals.append(call.result())
            except Exception as error:
                self.replace(index, error, self.generation[index])
                finals.append(_send(self.actors[index], "finish", stop_reason).result())
        return finals


def evolve_islands(
    cost_map: np.ndarray,
    config: Mapping[str, Any],
    generations: int,
    *,
    islands: int = 2,
    migration_every: int = 5,
    migrants: int = 2,
    topology: str = "ring",
    client: Any = None,
    workers: int | None = None,
    start_genome: Mapping[str, Any] | None = None,
    start: str = "steiner",
    polish: bool = True,
    polish_children: int = 2,
    archive_size: int = 200,
    time_limit: float | None = None,
    numbering: str = "fresh",
    seed: int | None = None,
    existing: Any = None,
    regions: Any = None,
) -> IslandsResult:
    """Evolve ``islands`` populations of ``config["population_size"]`` members each.

    Every island runs ``generations`` generations in blocks of
    ``migration_every``; after each block it sends its ``migrants`` best
    members to the islands that ``topology`` names (``"ring"``: to the next
    island; ``"complete"``: the best of all the others' go to each). The
    heuristic start network (``start``, or ``start_genome``, a structure
    dictionary) is computed once and shared by all islands.

    ``client`` is a ``distributed.Client`` or a scheduler address; without it
    a local cluster of ``workers`` processes (default: one per island, at most
    one per CPU) is started and closed at the end. ``time_limit`` (seconds
    since the call began) ends every island's block early and the run after
    that block. ``numbering="position"`` gives a migrant's flexible nodes the
    receiver's number of a node at the same position where there is one (an
    experiment with a shared numbering; the default ``"fresh"`` numbers them
    anew). ``seed`` (any non-negative integer, as for :func:`gridweave.evolve`)
    seeds island ``i`` with ``seed + i`` (a seed of 64 bits or more hashed down
    first, the sum taken modulo 2**64), reseeded per generation as
    :func:`gridweave.evolve` reseeds: the same seed gives the same result on any
    number of workers and threads, worker losses included. ``existing`` and
    ``regions`` are the planning inputs of :func:`gridweave.evolve`.

    Example:
        >>> from gridweave.config import make_config
        >>> from gridweave.problems import make_terrain
        >>> p = make_terrain((24, 24), 4, seed=0)
        >>> cfg = make_config(p.grid_size, p.terminals, population_size=10)
        >>> res = evolve_islands(p.cost_map, cfg, 4, islands=2, migration_every=2, workers=1)  # doctest: +SKIP
        >>> res.best_fitness == max(r.best_fitness for r in res.islands)  # doctest: +SKIP
        True
    """
    began = time.perf_counter()
    _check_arguments(generations, islands, migration_every, migrants, topology, numbering)
    if workers is not None and workers < 1:
        raise ValueError(f"workers must be at least 1, got {workers}")
    config = dict(config)
    validate_config(config)
    cost = checked_cost(cost_map, config["special"]["grid_size"])
    plan = checked_plan(cost, config, existing, regions)
    cost = plan.free_cost(cost) if plan is not None else cost
    if seed is not None:  # refused or folded here, not in a worker
        seed = native_seed(checked_seed(seed))
    if start not in routes.START_METHODS:
        raise ValueError(f"start must be one of {', '.join(routes.START_METHODS)}, got {start!r}")
    if start_genome is None and start != "config":
        start_genome = (routes.extension_start(cost, config, plan, budget=Budget(began, time_limit))
                        if plan is not None else heuristic_start(cost, config, start, Budget(began, time_limit)))
    settings = _Settings(
        start=None if start_genome is None else dict(start_genome),
        polish=polish, polish_children=polish_children, archive_size=archive_size,
        migrants=migrants, numbering=numbering, seed=seed, plan=plain_plan(plan),
    )
    owned_cluster = owned_client = None
    try:
        from distributed import Client
    except ImportError as error:
        raise ImportError("evolve_islands needs dask distributed: pip install gridweave[distributed]") from error
    if client is None:
        owned_cluster = local_cluster(workers or min(islands, _available_cpus()))
        client = owned_client = Client(owned_cluster)
    elif isinstance(client, str):
        client = owned_client = Client(client)
    try:
        return _run_islands(client, cost, config, settings, generations, islands, migration_every,
                            topology, time_limit, began)
    finally:
        if owned_client is not None:
            owned_client.close()
        if owned_cluster is not None:
            owned_cluster.close()


def _run_islands(
    client: Any,
    cost: np.ndarray,
    config: dict[str, Any],
    settings: _Settings,
    generations: int,
    islands: int,
    migration_every: int,
    topology: str,
    time_limit: float | None,
    began: float,
) -> IslandsResult:
    client.wait_for_workers(1)
    deadline = None if time_limit is None else began + time_limit
    coordinator = _Coordinator(client, cost, config, settings, islands, deadline)
    arriving: list[list[Migrant]] = [[] for _ in range(islands)]
    done, stop_reason, exchange, evolving = 0, "generations", 0.0, 0.0
    while done < generations:
        seconds_left = coordinator.seconds_left()
        if seconds_left is not None and seconds_left <= 0:
            stop_reason = "time"
            break
        steps = min(migration_every, generations - done)
        started = time.perf_counter()
        outcomes = coordinator.epoch(steps, arriving)
        done = min(coordinator.generation)
        arriving = _route([o.emigrants for o in outcomes], topology, settings.migrants)
        evolving += time.perf_counter() - started
        exchange += time.perf_counter() - started - _busiest_worker(outcomes)
        if any(o.stopped for o in outcomes):
            stop_reason = "time"
            break
    finals = coordinator.finish(stop_reason)
    return _result(finals, coordinator, config, stop_reason, time.perf_counter() - began, evolving, exchange)


def _result(
    finals: list[_Final],
    coordinator: _Coordinator,
    config: dict[str, Any],
    stop_reason: str,
    wall: float,
    evolving: float,
    exchange: float,
) -> IslandsResult:
    reports = []
    for index, final in enumerate(finals):
        checkpoint = coordinator.checkpoints[index]
        matching = checkpoint.matching if checkpoint else []
        reports.append(IslandReport(
            island=index,
            history=final.history,
            best_fitness=final.best.fitness,
            migrants_received=checkpoint.migrants_received if checkpoint else 0,
            evaluations=checkpoint.evaluations if checkpoint else 0,
            compute_seconds=coordinator.compute[index],
            migration_seconds=coordinator.migration[index],
            migrant_matching=sum(matching) / len(matching) if matching else math.nan,
            engine_threads=final.engine_threads,
            restarts=coordinator.restart_count[index],
            members=final.members,
        ))
    best_island = max(range(len(finals)), key=lambda i: finals[i].best.fitness)
    best = finals[best_island].best
    front = _merged_front(config, [m for final in finals for m in final.front])
    return IslandsResult(
        best_genome=_local_genome(config, best),
        best_fitness=best.fitness,
        best_structure=best.structure,
        best_objectives=best.objectives,
        best_island=best_island,
        islands=reports,
        pareto_front=front if any(final.front for final in finals) else None,
        restarts=list(coordinator.restarts),
        generations=min((len(final.history) - 1 for final in finals), default=0),
        stop_reason=stop_reason,
        workers=len(coordinator.workers),
        wall_seconds=wall,
        epoch_seconds=evolving,
        exchange_seconds=exchange,
        config=config,
    )


def _local_genome(config: Mapping[str, Any], migrant: Migrant) -> Genome:
    genome = routes.genome_from_structure(config, migrant.structure)
    genome.fitness = migrant.fitness
    genome.objectives = None if migrant.objectives is None else list(migrant.objectives)
    return genome


def _merged_front(config: Mapping[str, Any], candidates: list[Migrant]) -> list[Genome]:
    """The islands' fronts merged: feasible networks only, each point once (see
    :func:`gridweave.pareto.front_point`)."""
    feasible = [m for m in candidates if (m.objectives[0] if m.objectives else m.fitness) > 0]
    points = [front_point(m.objectives or (m.fitness, 0.0)) for m in feasible]
    return [_local_genome(config, feasible[i]) for i in non_dominated(points)]
