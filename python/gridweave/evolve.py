"""The generation loop: evaluate, rank, breed, mutate and select.

:func:`evolve` drives a :class:`gridweave.Population` through the native
functions, one generation at a time:

1. the members carry their evaluation (fitness, and under
   ``MultiObjectiveBridge`` the objectives [fitness, redundancy]);
2. with ``diversity_objective`` a novelty score is appended to the
   objectives; under ``NSGA2``/``SPEA2`` the objectives are turned into a rank
   fitness;
3. ``make_offspring`` returns the elites and the children, which are mutated
   and evaluated;
4. under ``NSGA2``/``SPEA2`` children and members are ranked together (with
   the novelty score recomputed over both), so that their fitness values are
   comparable, and ``select`` keeps the best of them; the elites are already
   members and are not passed a second time. Under ``NEAT`` selection the
   elites and children are handed to ``select`` as they are.

The ranking overwrites ``fitness``, so the loop keeps the raw evaluation score
(the inverse cost of the network, 0 when it is not connected) itself: it is
``objectives[0]`` whenever objectives exist, else ``fitness``. "Best" always
means the highest raw score.

Reproducibility: ``seed=N`` reseeds the random generator of every thread
before the population is created. With the environment variable
``GRIDWEAVE_NUM_THREADS=1`` (set before ``gridweave`` is imported) a seeded
run is exactly reproducible. With more worker threads, scheduling decides
which thread's generator serves which genome during parallel mutation, and the
order in which new innovation numbers are handed out, so runs differ.
"""

from __future__ import annotations

import csv
import math
import signal
import sys
import threading
import time
import warnings
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from types import FrameType
from typing import Any

import numpy as np

from . import _core
from ._core import Genome, Population
from .problems import check_terminals
from . import routes
from .pareto import Archive, non_dominated

__all__ = [
    "GenerationRecord",
    "EvolutionResult",
    "Callback",
    "evolve",
    "history_to_csv",
    "history_from_csv",
    "canonical_structure",
]

RANKED_SELECTIONS = ("NSGA2", "SPEA2")

Objectives = tuple[float, ...] | None

@dataclass(frozen=True)
class GenerationRecord:
    """Statistics of the members after one generation (generation 0: the first members).

    ``best_fitness`` and ``mean_fitness`` are raw scores of the current
    members; ``best_so_far`` also counts children that did not survive, and
    never decreases. ``best_objectives`` are the evaluation objectives of the
    best member (``None`` under ``SingleObjective``). ``seconds`` is the wall
    time the generation took.

    Example:
        >>> r = GenerationRecord(3, 0.5, 0.2, 0.6, 4, 2.5, (0.5, 1.0), 0.01)
        >>> r.generation, r.best_so_far
        (3, 0.6)
    """

    generation: int
    best_fitness: float
    mean_fitness: float
    best_so_far: float
    num_species: int
    species_threshold: float
    best_objectives: tuple[float, ...] | None
    seconds: float


Callback = Callable[[GenerationRecord, Population], "bool | None"]

CSV_COLUMNS = (
    "generation",
    "best_fitness",
    "mean_fitness",
    "best_so_far",
    "num_species",
    "species_threshold",
    "seconds",
)


@dataclass
class EvolutionResult:
    """What :func:`evolve` returns.

    ``best_genome`` has the highest raw score seen in the run (its ``fitness``
    field may hold a rank value); ``best_fitness`` is that score,
    ``best_structure`` its structure dictionary with nodes and edges sorted by
    id. ``population`` is the final population; its members carry their raw
    fitness (and, with ``diversity_objective``, a novelty score as last
    objective). Under ``MultiObjectiveBridge`` ``pareto_front`` holds every
    non-dominated network the run has seen (members and children, by their
    evaluation objectives [fitness, redundancy], kept in an archive of
    ``archive_size`` entries), each carrying those objectives; otherwise it
    holds the non-dominated final members when they carry objective vectors,
    else ``None``. ``stop_reason`` is one of "generations", "fitness",
    "stall", "time", "callback" and "interrupted".

    Example:
        >>> from gridweave.config import make_config
        >>> from gridweave.problems import make_terrain
        >>> p = make_terrain((16, 16), 3, seed=0)
        >>> res = evolve(p.cost_map, make_config(p.grid_size, p.terminals, population_size=12),
        ...              3, progress=False)
        >>> len(res.history), res.generations, res.stop_reason
        (4, 3, 'generations')
        >>> res.best_fitness == res.history[-1].best_so_far
        True
    """

    best_genome: Genome
    best_fitness: float
    best_structure: dict[str, Any]
    best_objectives: tuple[float, ...] | None
    history: list[GenerationRecord]
    population: Population
    pareto_front: list[Genome] | None
    stop_reason: str
    config: dict[str, Any] = field(repr=False, default_factory=dict)

    @property
    def interrupted(self) -> bool:
        """True when Ctrl-C ended the run early."""
        return self.stop_reason == "interrupted"

    @property
    def generations(self) -> int:
        """Number of completed generations (not counting generation 0)."""
        return len(self.history) - 1

    def history_to_csv(self, path: str | Path) -> None:
        """Write the history as CSV; see :func:`history_to_csv`."""
        history_to_csv(self.history, path)

    def pareto_objectives(self) -> list[tuple[float, ...]]:
        """Objective vectors of the Pareto front (empty without a front)."""
        return [tuple(g.objectives) for g in self.pareto_front or [] if g.objectives]


def evolve(
    cost_map: np.ndarray,
    config: Mapping[str, Any],
    generations: int,
    *,
    start_genome: Genome | Mapping[str, Any] | None = None,
    start: str = "steiner",
    polish: bool = True,
    polish_children: int = 2,
    callbacks: Iterable[Callback] = (),
    stop_at_fitness: float | None = None,
    stall_generations: int | None = None,
    time_limit: float | None = None,
    archive_size: int = 200,
    progress: bool = True,
    seed: int | None = None,
) -> EvolutionResult:
    """Evolve a population on ``cost_map`` for up to ``generations`` generations.

    ``config`` is a complete configuration (see :func:`gridweave.make_config`);
    its ``grid_size`` must equal the cost map's shape.

    The first members are mutated copies of one start network. By default
    (``start="steiner"``) that is the cheapest polished network of the
    least-cost Steiner heuristics and the straight-line spanning tree (see
    :func:`gridweave.routes.start_network`); ``start="mst"`` takes the polished spanning tree,
    and ``start="config"`` the configured ``graph_init`` (pure evolution). A
    ``start_genome`` (a ``Genome`` or a structure dictionary) wins over
    ``start``. The start network counts as a candidate for the best result.
    Under ``MultiObjectiveBridge`` the greedy redundancy chain of the start
    network (:func:`gridweave.redundancy_chain`) joins the first members.
    With ``polish`` on, each generation the ``polish_children`` best children
    are improved by the exact local polish (:func:`gridweave.routes.polish`),
    and the final best network also by key-path exchange.

    After every generation (and after the first evaluation, generation 0)
    each callback is called with the new :class:`GenerationRecord` and the
    population; a callback returning True ends the run. The run also ends
    when the best raw score reaches ``stop_at_fitness``, when it has not
    improved for ``stall_generations`` generations, when ``time_limit``
    seconds have passed since the call began (checked after every
    generation), or on Ctrl-C, which lets the current generation finish (a
    second Ctrl-C aborts at once). A progress bar is shown on a terminal when
    ``progress`` is true and tqdm is installed. ``seed`` reseeds all random
    generators first; see the module documentation for when runs are
    reproducible.

    Example:
        >>> from gridweave.config import make_config
        >>> from gridweave.problems import make_terrain
        >>> p = make_terrain((16, 16), n_terminals=3, seed=0)
        >>> cfg = make_config(p.grid_size, p.terminals, population_size=12,
        ...                   selection_strategy="NSGA2", evaluation_strategy="MultiObjectiveBridge")
        >>> res = evolve(p.cost_map, cfg, 3, progress=False, seed=1)
        >>> [r.generation for r in res.history]
        [0, 1, 2, 3]
        >>> len(res.pareto_front) >= 1
        True
    """
    began = time.perf_counter()
    cost = _checked_cost(cost_map, config)
    if generations < 0:
        raise ValueError("generations must not be negative")
    if start not in routes.START_METHODS:
        raise ValueError(f"start must be one of {', '.join(routes.START_METHODS)}, got {start!r}")
    if polish_children < 0:
        raise ValueError("polish_children must not be negative")
    if archive_size < 2:
        raise ValueError("archive_size must be at least 2")
    if seed is not None:
        _core._seed(seed)
    started = time.perf_counter()
    if start_genome is None and start != "config":
        start_genome = _heuristic_start(cost, config, start)
    first = _start_genome(config, start_genome)
    population = _core.Population(dict(config), first)
    run = _Run(population, cost, config, polish, polish_children, archive_size)
    if first is not None:
        run.consider_start(first)
    run.take_members(evaluate=True)
    if first is not None and run.bridge:
        run.seed_redundancy(first)
    callbacks = list(callbacks)
    bar = _progress_bar(generations, progress)
    history = [run.record(0, time.perf_counter() - started)]
    limits = _Limits(stop_at_fitness, stall_generations, time_limit, began)
    stop_reason = _stop_reason(run, history, callbacks, limits)
    try:
        with _SigintFlag() as interrupted:
            for generation in range(1, generations + 1):
                if stop_reason:
                    break
                try:
                    started = time.perf_counter()
                    run.step()
                    history.append(run.record(generation, time.perf_counter() - started))
                    _advance(bar, history[-1])
                    stop_reason = _stop_reason(run, history, callbacks, limits)
                except KeyboardInterrupt:
                    stop_reason = "interrupted"
                if interrupted.is_set():
                    stop_reason = "interrupted"
    finally:
        if bar is not None:
            bar.close()
    return run.result(history, stop_reason or "generations", dict(config))


def _checked_cost(cost_map: np.ndarray, config: Mapping[str, Any]) -> np.ndarray:
    cost = np.asarray(cost_map, dtype=np.float64)
    if cost.ndim != 2:
        raise ValueError(f"the cost map must be two-dimensional, got shape {cost.shape}")
    special = config["special"]
    if tuple(cost.shape) != tuple(special["grid_size"]):
        raise ValueError(
            f"cost map shape {tuple(cost.shape)} does not match grid_size "
            f"{tuple(special['grid_size'])}"
        )
    check_terminals(special["fixed_nodes"], cost.shape)
    size = config["population_size"]
    if isinstance(size, int) and size < 1:
        raise ValueError("population_size must be at least 1")
    return cost


def _start_genome(
    config: Mapping[str, Any], start: Genome | Mapping[str, Any] | None
) -> Genome | None:
    if not isinstance(start, Mapping):
        return start
    return routes.genome_from_structure(config, start)


def _heuristic_start(cost: np.ndarray, config: Mapping[str, Any], method: str) -> Any:
    """The heuristic start network, or None (the configured graph) when
    impassable cells keep the terminals apart."""
    try:
        return routes.start_network(cost, dict(config), method)
    except ValueError as error:
        if not np.isinf(cost).any():
            raise
        warnings.warn(f"no {method} start network ({error}); starting from graph_init", stacklevel=3)
        return None


def _strategy_name(value: Any) -> str:
    """The variant name of an enumeration given as a string or a one-entry mapping."""
    if isinstance(value, Mapping) and len(value) == 1:
        return str(next(iter(value)))
    return str(value)


class _Run:
    """The population, the cost map and the raw scores of the current members."""

    def __init__(
        self,
        population: Population,
        cost: np.ndarray,
        config: Mapping[str, Any],
        polish: bool = False,
        polish_children: int = 0,
        archive_size: int = 200,
    ):
        self.population = population
        self.polish = polish
        self.polish_children = polish_children
        self.cost = cost
        self.size = int(config["population_size"])
        self.ranked = _strategy_name(config["selection_strategy"]) in RANKED_SELECTIONS
        self.diversity = bool(config["diversity_objective"])
        special = config["special"]
        self.bridge = _strategy_name(special["evaluation_strategy"]) == "MultiObjectiveBridge"
        self.archive: Archive[Genome] | None = Archive(archive_size) if self.bridge else None
        self.members: list[Genome] = []
        self.raw: list[float] = []
        self.objectives: list[Objectives] = []
        self.best: Genome | None = None
        self.best_raw = -math.inf
        self.best_objectives: tuple[float, ...] | None = None
        self.last_improvement = 0
        self.recorded_best = -math.inf

    def evaluate(self, genomes: list[Genome]) -> tuple[list[float], list[Objectives]]:
        _core.evaluate_genomes(genomes, self.cost)
        return self.read_raw(genomes)

    def read_raw(self, genomes: list[Genome]) -> tuple[list[float], list[Objectives]]:
        """Raw scores and evaluation objectives, also after ranking and augmentation."""
        fitness = _core.get_fitness_values(genomes)
        values, lengths = _core.get_objective_vectors(genomes)
        raw: list[float] = np.where(lengths > 0, values[:, 0] if values.shape[1] else 0.0, fitness).tolist()
        objectives: list[Objectives] = [
            tuple(row[: min(n, 2)]) if self.bridge and n > 0 else None
            for row, n in zip(values.tolist(), lengths.tolist())
        ]
        return raw, objectives

    def augment(self, genomes: list[Genome]) -> None:
        """Appends the novelty score. A genome listed twice (members may repeat a
        genome) receives two scores; it keeps the first so every vector has one."""
        widths = [len(g.objectives or ()) for g in genomes]
        self.population.augment_diversity(genomes)
        if len(genomes) < 2:
            return
        for genome, width in zip(genomes, widths):
            values = genome.objectives
            target = max(width, 1) + 1
            if values is not None and len(values) > target:
                genome.objectives = values[:target]

    def restore(self, genomes: list[Genome], raw: list[float], objectives: list[Objectives]) -> None:
        for genome, score, values in zip(genomes, raw, objectives):
            genome.fitness = score
            genome.objectives = None if values is None else list(values)

    def rank(self, genomes: list[Genome], raw: list[float], objectives: list[Objectives]) -> None:
        if self.diversity:
            self.restore(genomes, raw, objectives)
            self.augment(genomes)
        if self.ranked:
            _core.process_multi_objective(self.population, genomes)

    def consider(self, genomes: list[Genome], raw: list[float], objectives: list[Objectives]) -> None:
        for genome, score, values in zip(genomes, raw, objectives):
            if score > self.best_raw:
                self.best, self.best_raw, self.best_objectives = genome, score, values
            if self.archive is not None and values is not None:
                self.archive.add(genome, values)

    def archived_front(self) -> list[Genome]:
        """The archive's non-dominated networks by their current evaluation
        objectives (the final polish may have improved one), which they carry."""
        assert self.archive is not None
        genomes = list({id(g): g for g in [*self.archive.items(), self.best] if g is not None}.values())
        raw, objectives = self.read_raw(genomes)
        self.restore(genomes, raw, objectives)
        points = [values or (score, 0.0) for score, values in zip(raw, objectives)]
        return [genomes[i] for i in non_dominated(points)]

    def consider_start(self, genome: Genome) -> None:
        """Counts the start network (not itself a member) as a candidate for the best."""
        raw, objectives = self.evaluate([genome])
        self.consider([genome], raw, objectives)

    def seed_redundancy(self, start: Genome) -> None:
        """Adds the greedy redundancy chain of the start network (see
        :func:`gridweave.redundancy_chain`) to the members, so that the first
        front already spans from the tree to networks without bridges."""
        local = self.population.create_genome(start.get_structure())  # numbers of this population
        _core.evaluate_genomes([local], self.cost)
        chain = _core.redundancy_chain(local, self.cost)
        if not chain:
            return
        raw, objectives = self.evaluate(chain)
        self.consider(chain, raw, objectives)
        if self.ranked:
            self.rank(self.members + chain, self.raw + raw, self.objectives + objectives)
            _core.select(self.population, [], [], chain)
        else:
            _core.select(self.population, [], [], chain + self.members)
        self.take_members(evaluate=False)

    def polish_best(self, genomes: list[Genome], raw: list[float], count: int) -> None:
        """Polishes the ``count`` best connected genomes in place (they are re-evaluated)."""
        order = sorted(range(len(genomes)), key=lambda i: -raw[i] if raw[i] > 0 else math.inf)
        chosen = [genomes[i] for i in order[:count] if raw[i] > 0]
        if chosen:
            routes.polish(chosen, self.cost)

    def polish_overall_best(self) -> None:
        """The final polish, with the slower key-path exchange (it can change the topology)."""
        if self.best is None or not self.polish:
            return
        routes.polish([self.best], self.cost, exchange=True)
        raw, objectives = self.read_raw([self.best])
        self.best_raw, self.best_objectives = raw[0], objectives[0]

    def take_members(self, evaluate: bool) -> None:
        self.members = self.population.members
        reader = self.evaluate if evaluate else self.read_raw
        self.raw, self.objectives = reader(self.members)
        self.consider(self.members, self.raw, self.objectives)

    def step(self) -> None:
        """One generation: rank, breed, mutate, evaluate, select."""
        pop = self.population
        self.rank(self.members, self.raw, self.objectives)
        elites, species_elites, children = _core.make_offspring(pop, self.size)
        _core.mutate_genomes(children, pop)
        child_raw, child_objectives = self.evaluate(children)
        if self.polish and self.polish_children:
            self.polish_best(children, child_raw, self.polish_children)
            child_raw, child_objectives = self.read_raw(children)
        self.consider(children, child_raw, child_objectives)
        if self.ranked:
            # Members are candidates of NSGA2/SPEA2 selection anyway; the elites among
            # them would otherwise take two places.
            self.rank(
                self.members + children,
                self.raw + child_raw,
                self.objectives + child_objectives,
            )
            _core.select(pop, [], [], children)
        else:
            _core.select(pop, elites, species_elites, children)
        self.take_members(evaluate=False)

    def record(self, generation: int, seconds: float) -> GenerationRecord:
        best_index = _argmax(self.raw)
        if generation == 0 or self.best_raw > self.recorded_best:
            self.last_improvement = generation
        self.recorded_best = self.best_raw
        _, _, num_species, _ = self.population.get_stats()
        return GenerationRecord(
            generation=generation,
            best_fitness=self.raw[best_index] if self.raw else math.nan,
            mean_fitness=math.fsum(self.raw) / len(self.raw) if self.raw else math.nan,
            best_so_far=self.best_raw,
            num_species=int(num_species),
            species_threshold=float(self.population.current_species_threshold),
            best_objectives=self.objectives[best_index] if self.raw else None,
            seconds=seconds,
        )

    def result(
        self, history: list[GenerationRecord], stop_reason: str, config: dict[str, Any]
    ) -> EvolutionResult:
        self.members = self.population.members
        self.raw, self.objectives = self.read_raw(self.members)
        self.restore(self.members, self.raw, self.objectives)
        self.polish_overall_best()
        front = self.archived_front() if self.archive is not None else None
        self.raw, self.objectives = self.read_raw(self.members)
        self.restore(self.members, self.raw, self.objectives)
        if self.diversity:
            self.augment(self.members)
        if front is None and any(g.objectives for g in self.members):
            front = _core.get_pareto_front(self.members)
        if self.best is None:
            raise RuntimeError("the population has no members to report")
        return EvolutionResult(
            best_genome=self.best,
            best_fitness=self.best_raw,
            best_structure=canonical_structure(self.best.get_structure()),
            best_objectives=self.best_objectives,
            history=history,
            population=self.population,
            pareto_front=front,
            stop_reason=stop_reason,
            config=config,
        )


def _argmax(values: Sequence[float]) -> int:
    """Index of the first largest value; NaN never wins."""
    best = 0
    for index, value in enumerate(values):
        if value > values[best] or math.isnan(values[best]):
            best = index
    return best


@dataclass(frozen=True)
class _Limits:
    """The stopping rules of a run besides the generation count."""

    stop_at_fitness: float | None
    stall_generations: int | None
    time_limit: float | None
    began: float


def _stop_reason(
    run: _Run, history: list[GenerationRecord], callbacks: list[Callback], limits: _Limits
) -> str:
    record = history[-1]
    stop = [bool(callback(record, run.population)) for callback in callbacks]
    if any(stop):
        return "callback"
    if limits.stop_at_fitness is not None and record.best_so_far >= limits.stop_at_fitness:
        return "fitness"
    stalled = record.generation - run.last_improvement
    if limits.stall_generations is not None and stalled >= limits.stall_generations:
        return "stall"
    if limits.time_limit is not None and time.perf_counter() - limits.began >= limits.time_limit:
        return "time"
    return ""


def canonical_structure(structure: Mapping[str, Any]) -> dict[str, Any]:
    """A structure dictionary with nodes and edges sorted by id and positions as lists.

    The native ``get_structure`` lists nodes and edges in hash-table order;
    this form is stable, JSON-friendly and still accepted by
    ``Population.create_genome``.

    Example:
        >>> canonical_structure({"nodes": [
        ...     {"id": 2, "data": {"pos": (5, 1), "type": "Flexible"}},
        ...     {"id": 1, "data": {"pos": (0, 0), "type": "Fixed"}}],
        ...     "edges": [{"id": 1, "node1": 1, "node2": 2, "enabled": True}]})["nodes"][0]
        {'id': 1, 'data': {'pos': [0, 0], 'type': 'Fixed'}}
    """
    nodes = [
        {"id": n["id"], "data": {"pos": list(n["data"]["pos"]), "type": n["data"]["type"]}}
        for n in sorted(structure["nodes"], key=lambda n: n["id"])
    ]
    edges = [dict(e) for e in sorted(structure["edges"], key=lambda e: e["id"])]
    return {"nodes": nodes, "edges": edges}


def history_to_csv(history: Sequence[GenerationRecord], path: str | Path) -> None:
    """Write the history as CSV, one row per generation.

    Columns: generation, best_fitness, mean_fitness, best_so_far, num_species,
    species_threshold, seconds, then objective_0, objective_1, ... of the best
    member (empty when it has none).

    Example:
        >>> import tempfile, os
        >>> path = os.path.join(tempfile.mkdtemp(), "history.csv")
        >>> history_to_csv([GenerationRecord(0, 0.5, 0.25, 0.5, 2, 3.0, (0.5, 1.0), 0.1)], path)
        >>> Path(path).read_text().splitlines()[1]
        '0,0.5,0.25,0.5,2,3.0,0.1,0.5,1.0'
    """
    width = max((len(r.best_objectives or ()) for r in history), default=0)
    header = [*CSV_COLUMNS, *(f"objective_{i}" for i in range(width))]
    with Path(path).open("w", newline="", encoding="utf-8") as handle:
        writer = csv.writer(handle, lineterminator="\n")
        writer.writerow(header)
        for r in history:
            objectives = list(r.best_objectives or ())
            row = [getattr(r, column) for column in CSV_COLUMNS]
            writer.writerow([*map(_csv_number, row), *map(_csv_number, objectives)]
                            + [""] * (width - len(objectives)))


def _csv_number(value: float | int) -> str:
    return repr(value) if isinstance(value, float) else str(value)


def history_from_csv(path: str | Path) -> list[GenerationRecord]:
    """Read a history written by :func:`history_to_csv`.

    Example:
        >>> import tempfile, os
        >>> path = os.path.join(tempfile.mkdtemp(), "history.csv")
        >>> rows = [GenerationRecord(0, 0.5, 0.25, 0.5, 2, 3.0, None, 0.1)]
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
    )


def _progress_bar(total: int, enabled: bool) -> Any:
    if not enabled or total == 0 or not sys.stderr.isatty():
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, desc="evolving", unit="gen", leave=False)


def _advance(bar: Any, record: GenerationRecord) -> None:
    if bar is None:
        return
    bar.set_postfix(best=f"{record.best_so_far:.4g}", species=record.num_species, refresh=False)
    bar.update(1)


class _SigintFlag:
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

    def __enter__(self) -> _SigintFlag:
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
