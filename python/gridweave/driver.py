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
(the inverse trace cost of the network, 0 when it is not connected) itself: it
is ``objectives[0]`` whenever objectives exist, else ``fitness``. "Best" always
means the highest raw score.

Reproducibility: every run is seeded (``seed=N``, or a seed drawn from the
operating system, reported in ``EvolutionResult.seed``); the random generator
of every thread is reseeded before the population is created, and again at the
start of every generation from the seed and the generation number (so that a
run resumed from a checkpoint draws what it would have drawn without the stop).
Work spread over the worker threads draws from one generator per genome,
seeded from the generation's numbers and the genome's position, and new
innovation numbers are handed out in genome order afterwards: a seeded run
gives the same result with any ``GRIDWEAVE_NUM_THREADS``.
"""

from __future__ import annotations

import hashlib
import math
import secrets
import time
import warnings
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np

from . import _core, routes
from ._core import Genome, Population
from .config import strategy_name, validate_config
from .formats import negative_cost_message
from .history import GenerationRecord, history_to_csv
from .measure import cost_array, network_cost, network_length
from .pareto import Archive, front_point, non_dominated
from .planning import Attachments, attachments, plain_plan
from .runtime import UNLIMITED, Budget, Limits, PhaseDisplay, SigintFlag, advance, callbacks_stop, progress_bar

__all__ = ["EvolutionResult", "Callback", "evolve", "canonical_structure", "checked_seed"]

RANKED_SELECTIONS = ("NSGA2", "SPEA2")
SEED_LIMIT = 2**64

Objectives = tuple[float, ...] | None

Callback = Callable[[GenerationRecord, Population], "bool | None"]


@dataclass(repr=False)
class EvolutionResult:
    """What :func:`evolve` returns.

    ``best_genome`` has the highest raw score seen in the run (its ``fitness``
    field may hold a rank value); ``best_fitness`` is that score,
    ``best_cost`` its network's cost in map units (cost times step length
    summed over its cells, ``inf`` when it crosses an impassable cell),
    ``best_length`` its length in cells, ``best_structure`` its structure
    dictionary with nodes and edges sorted by id. ``population`` is the final
    population; its members carry their raw fitness (and, with
    ``diversity_objective`` under ``NSGA2``/``SPEA2``, a novelty score as last
    objective). Under ``MultiObjectiveBridge`` ``pareto_front`` holds every
    non-dominated network the run has seen (members and children, by their
    evaluation objectives [fitness, redundancy], kept in an archive of
    ``archive_size`` entries), each carrying those objectives; otherwise it
    holds the non-dominated final members when they carry objective vectors,
    else ``None``; it never holds a network of fitness 0, and networks whose
    objectives agree to 12 significant digits appear once. ``front_costs``
    gives each front network's cost in map units, in the same order (see
    :meth:`price_of_redundancy`), and ``references`` the (cost in map units,
    redundancy) of the start network ("tree") and of the polished ring
    through the terminals ("ring") that the bridge-objective front started
    from. ``stop_reason`` is one of "generations", "fitness",
    "stall", "time", "callback", "callback error" and "interrupted".
    ``seed`` is the seed the run used. ``phase_seconds`` gives the seconds
    each phase of the call took ("spanning tree", "Steiner trees", "polish",
    "key-path exchange", "redundancy", "generations", "final polish"), and
    ``cut_short`` the phases that ``time_limit`` ended early (each kept its
    best result so far). A Ctrl-C that arrives during a native
    call stops that call at once and may leave the population and some genomes
    unusable; the best network's structure, fitness, cost and length are kept.

    Example:
        >>> from gridweave.config import make_config
        >>> from gridweave.problems import make_terrain
        >>> p = make_terrain((16, 16), 3, seed=0)
        >>> res = evolve(p.cost_map, make_config(p.grid_size, p.terminals, population_size=12),
        ...              3, progress=False, seed=4)
        >>> len(res.history), res.generations, res.stop_reason, res.seed
        (4, 3, 'generations', 4)
        >>> res.best_fitness == res.history[-1].best_so_far
        True
        >>> repr(res).startswith("EvolutionResult(best_fitness=")
        True
    """

    best_genome: Genome
    best_fitness: float
    best_cost: float
    best_length: float
    best_structure: dict[str, Any]
    best_objectives: tuple[float, ...] | None
    history: list[GenerationRecord]
    population: Population
    pareto_front: list[Genome] | None
    stop_reason: str
    seed: int = 0
    config: dict[str, Any] = field(default_factory=dict)
    phase_seconds: dict[str, float] = field(default_factory=dict)
    cut_short: list[str] = field(default_factory=list)
    front_costs: list[float] = field(default_factory=list)
    references: dict[str, tuple[float, float]] = field(default_factory=dict)
    attachment_points: list[tuple[int, int]] = field(default_factory=list)

    def __repr__(self) -> str:
        front = "" if self.pareto_front is None else f", front={len(self.pareto_front)}"
        return (
            f"EvolutionResult(best_fitness={self.best_fitness:.6g}, "
            f"best_cost={self.best_cost:.6g}, best_length={self.best_length:.6g}, "
            f"generations={self.generations}, stop_reason={self.stop_reason!r}{front}, "
            f"seed={self.seed})"
        )

    @property
    def interrupted(self) -> bool:
        """True when Ctrl-C ended the run early."""
        return self.stop_reason == "interrupted"

    @property
    def generations(self) -> int:
        """Number of completed generations (not counting generation 0)."""
        return len(self.history) - 1

    def history_to_csv(self, path: str | Path) -> None:
        """Write the history as CSV; see :func:`gridweave.history.history_to_csv`."""
        history_to_csv(self.history, path)

    def pareto_objectives(self) -> list[tuple[float, ...]]:
        """Objective vectors of the Pareto front (empty without a front)."""
        return [tuple(g.objectives) for g in self.pareto_front or [] if g.objectives]

    def price_of_redundancy(self, levels: Sequence[float] = (0.25, 0.5, 0.75, 1.0)) -> list[dict[str, Any]]:
        """What each level of redundancy costs, from the front of a bridge-objective run.

        For each level: the cheapest front network whose redundancy (1 -
        bridge share) reaches it, as a dictionary with ``"level"``,
        ``"redundancy"`` (the network's), ``"cost"`` (in map units, as
        ``front_costs``), ``"relative_cost"`` (over the cost of the cheapest
        front network, the tree end) and ``"index"`` (its place in
        ``pareto_front``); cost, redundancy, relative cost and index are
        ``None`` where no front network reaches the level. Empty without a
        front.
        """
        points = [(i, g.objectives[1], self.front_costs[i]) for i, g in enumerate(self.pareto_front or [])
                  if g.objectives and len(g.objectives) > 1 and i < len(self.front_costs)]
        if not points:
            return []
        cheapest = min(cost for _, _, cost in points)
        prices = []
        for level in levels:
            reaching = [p for p in points if p[1] >= float(level)]
            index, redundancy, cost = min(reaching, key=lambda p: p[2]) if reaching else (None, None, None)
            relative = None if cost is None else (cost / cheapest if cheapest > 0 else math.inf)
            prices.append({"level": float(level), "redundancy": redundancy, "cost": cost,
                           "relative_cost": relative, "index": index})
        return prices


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
    checkpoint: str | Path | None = None,
    checkpoint_every: int = 10,
    checkpoint_notes: Mapping[str, Any] | None = None,
    existing: Any = None,
    regions: Any = None,
) -> EvolutionResult:
    """Evolve a population on ``cost_map`` for up to ``generations`` generations.

    ``cost_map`` is indexed ``[row, column]``; its shape (rows, columns) must
    equal the configuration's ``grid_size`` and every terminal
    (``fixed_nodes``) is a (row, column) cell. Costs must not be negative;
    NaN (and ``inf``) cells are impassable: they are given to the engine as
    ``inf``, and a warning says so when no network found avoids them.
    ``config`` is a complete configuration (see :func:`gridweave.make_config`),
    checked by :func:`gridweave.config.validate_config` before anything runs.

    The first members are mutated copies of one start network. By default
    (``start="steiner"``) that is the cheapest polished network of the
    least-cost Steiner heuristics and the straight-line spanning tree (see
    :func:`gridweave.routes.start_network`); ``start="mst"`` takes the polished spanning tree,
    and ``start="config"`` the configured ``graph_init`` (pure evolution). A
    ``start_genome`` (a ``Genome`` or a structure dictionary, holding every
    terminal as a ``Fixed`` node at its configured cell) wins over ``start``.
    The start network counts as a candidate for the best result.
    Under ``MultiObjectiveBridge`` the greedy redundancy chain of the start
    network (:func:`gridweave.redundancy_chain`) joins the first members.
    With ``polish`` on, each generation the ``polish_children`` best children
    are improved by the exact local polish (:func:`gridweave.routes.polish`),
    and the final best network also by key-path exchange.

    After every generation (and after the first evaluation, generation 0)
    each callback is called with the new :class:`GenerationRecord` and the
    population; a callback returning True ends the run, and an exception
    raised by a callback ends it too and propagates with the result so far
    as its ``result`` attribute. The run also ends
    when the best raw score reaches ``stop_at_fitness``, when it has not
    improved for ``stall_generations`` generations, when ``time_limit``
    seconds have passed since the call began, or on Ctrl-C. ``time_limit``
    bounds the whole call: the start network's phases, the redundancy chains,
    the generations (none begins after 92 % of the limit) and the final
    polish each stop at a deadline with their best result so far. Ctrl-C lets the current generation finish (a
    second Ctrl-C aborts at once). A progress bar is shown on a terminal when
    ``progress`` is true and tqdm is installed. ``seed`` (any non-negative
    integer; larger than 64 bits is hashed down) reseeds all random
    generators first and again at the start of every generation (from the
    seed and the generation number); without it a seed is drawn. See the
    module documentation for when runs are reproducible.

    With ``checkpoint`` (a file path) the whole run is saved after generation
    0, every ``checkpoint_every`` generations and when the run stops;
    :func:`gridweave.resume` continues it (see :mod:`gridweave.checkpoint`).
    ``checkpoint_notes`` (JSON-like values) are stored with it.

    ``existing`` is a network already built and ``regions`` areas to reach
    (the forms of :mod:`gridweave.planning`): the existing network costs
    nothing and may be joined at any of its cells, every region must hold a
    node, and the start is a tree grown from the existing network
    (:func:`gridweave.routes.attached_network`). The result then reports the
    new construction: ``best_cost`` leaves the existing network out and
    ``attachment_points`` lists where the new part joins it.

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
    cost = _checked_inputs(cost_map, config, generations, start, polish_children, archive_size)
    if checkpoint_every < 1:
        raise ValueError("checkpoint_every must be at least 1")
    plan = checked_plan(cost, config, existing, regions)
    cost = plan.free_cost(cost) if plan is not None else cost
    seed = checked_seed(seed)
    started = time.perf_counter()
    run = start_run(cost, config, start_genome, start, polish, polish_children, archive_size,
                    budget=Budget(began, time_limit), progress=progress, plan=plan)
    history = [run.record(0, time.perf_counter() - started)]
    limits = Limits(stop_at_fitness, stall_generations, time_limit, began)
    check = _StopCheck(run, history, list(callbacks), seed, dict(config), limits)
    stop_reason = check()
    saver = None
    if checkpoint is not None:
        from .checkpoint import Checkpointer

        saver = Checkpointer(checkpoint, checkpoint_every, cost, dict(config), dict(
            generations=generations, polish=polish, polish_children=polish_children,
            archive_size=archive_size, stop_at_fitness=stop_at_fitness,
            stall_generations=stall_generations, time_limit=time_limit, seed=seed,
            notes=dict(checkpoint_notes or {}), **plain_plan(plan)))
        saver.save(run, history, limits)
    return run_generations(run, check, generations, stop_reason, progress, saver)


def run_generations(
    run: _Run, check: _StopCheck, generations: int, stop_reason: str, progress: bool, saver: Any
) -> EvolutionResult:
    """The generations after the last one in the history, up to ``generations``:
    the loop of :func:`evolve`, also continued by :func:`gridweave.resume`."""
    history = check.history
    bar = progress_bar(generations - history[-1].generation, progress)
    began = time.perf_counter()
    try:
        with SigintFlag() as interrupted:
            for generation in range(history[-1].generation + 1, generations + 1):
                if stop_reason:
                    break
                try:
                    started = time.perf_counter()
                    _core._seed(_generation_seed(check.seed, generation))
                    run.step()
                    history.append(run.record(generation, time.perf_counter() - started))
                    advance(bar, history[-1])
                    stop_reason = check()
                except KeyboardInterrupt:
                    stop_reason = "interrupted"
                    break  # the generation is unfinished: nothing to save
                if interrupted.is_set():
                    stop_reason = "interrupted"
                if saver is not None and saver.due(generation, generations, stop_reason):
                    saver.save(run, history, check.limits)
    finally:
        if bar is not None:
            bar.close()
        run.display.seconds["generations"] = time.perf_counter() - began
    return run.result(history, stop_reason or "generations", check.seed, check.config)


def _generation_seed(seed: int, generation: int) -> int:
    """The seed of one generation: a seeded run draws the same numbers in a
    generation whether or not it was stopped and resumed before it."""
    return (_native_seed(seed) * 0x9E3779B97F4A7C15 + generation) % 2**64


def start_run(
    cost: np.ndarray,
    config: Mapping[str, Any],
    start_genome: Genome | Mapping[str, Any] | None,
    start: str,
    polish: bool,
    polish_children: int,
    archive_size: int,
    budget: Budget = UNLIMITED,
    progress: bool = False,
    plan: Attachments | None = None,
) -> _Run:
    """The population of generation 0, evaluated, with the start network counted.

    ``cost`` must have passed the checks of :func:`evolve`. Advance the run
    with ``run.step()`` and ``run.record()``; ``run.result()`` ends it. The
    island model drives its populations through this entry point too.
    ``budget`` gives each phase its deadline; with ``progress`` the phase
    under way is shown on a terminal. ``plan`` holds the existing network
    and regions the networks must join.
    """
    display = PhaseDisplay(progress)
    try:
        if start_genome is None and start != "config":
            start_genome = (routes.extension_start(cost, config, plan, budget=budget, display=display)
                            if plan is not None else _heuristic_start(cost, config, start, budget, display))
            start = start if start_genome is not None else "config"  # warned: impassable cells
        alternatives = start_genome.get("alternatives", []) if isinstance(start_genome, Mapping) else []
        first = _first_network(cost, config, start_genome, start, budget, display)
        run = _Run(_core.Population(dict(config), first), cost, config, polish, polish_children,
                   archive_size, budget=budget, display=display, plan=plan)
        run.begin(first, alternatives)
    finally:
        display.close()
    return run


def checked_plan(cost: np.ndarray, config: Mapping[str, Any], existing: Any, regions: Any) -> Attachments | None:
    """The existing network and regions of a run, checked; None when neither is given."""
    plan = attachments(cost.shape, existing, regions)
    if plan is None:
        return None
    if strategy_name(config["special"]["evaluation_strategy"]) == "MultiObjectiveBridge":
        raise ValueError("existing and regions: the bridge objective does not count links through an "
                         "existing network yet; use the single objective")
    return plan


def _checked_inputs(
    cost_map: Any,
    config: Mapping[str, Any],
    generations: int,
    start: str,
    polish_children: int,
    archive_size: int,
) -> np.ndarray:
    """The cost map as the engine takes it, after every argument has been checked."""
    validate_config(config)
    cost = checked_cost(cost_map, config["special"]["grid_size"])
    if generations < 0:
        raise ValueError("generations must not be negative")
    if start not in routes.START_METHODS:
        raise ValueError(f"start must be one of {', '.join(routes.START_METHODS)}, got {start!r}")
    if polish_children < 0:
        raise ValueError("polish_children must not be negative")
    if archive_size < 2:
        raise ValueError("archive_size must be at least 2")
    _warn_unused_diversity(config)
    return cost


def checked_cost(cost_map: Any, grid_size: Sequence[int]) -> np.ndarray:
    """The cost map as the engine reads it, NaN cells turned into ``inf`` (impassable).

    A float32 map stays float32 and any other becomes float64; the caller's
    array itself is returned when it needs no change (C order, no NaN), so
    that a large map is never copied. Raises ValueError for a map that is not
    two-dimensional, whose shape is not ``grid_size`` or that holds negative
    costs.

    Example:
        >>> checked_cost([[1.0, float("nan")]], (1, 2))
        array([[ 1., inf]])
        >>> checked_cost([[1.0, -2.0]], (1, 2))
        Traceback (most recent call last):
        ValueError: the cost map holds negative costs (first at (row, column) (0, 1): -2.0)
    """
    cost = np.ascontiguousarray(cost_array(cost_map))
    if cost.ndim != 2:
        raise ValueError(f"the cost map must be two-dimensional, got shape {cost.shape}")
    if tuple(cost.shape) != tuple(grid_size):
        raise ValueError(
            f"cost map shape (rows, columns) {tuple(cost.shape)} does not match grid_size "
            f"{tuple(grid_size)}"
        )
    negative = negative_cost_message(cost)
    if negative:
        raise ValueError(negative)
    impassable = np.isnan(cost)
    if impassable.any():
        cost = cost.copy()
        cost[impassable] = np.inf
    return cost


def checked_seed(seed: Any) -> int:
    """The seed a run uses: ``seed`` itself, or one drawn when it is None.

    Any non-negative integer is a seed; negative numbers and non-integers are
    refused.

    Example:
        >>> checked_seed(7)
        7
        >>> checked_seed(-3)
        Traceback (most recent call last):
        ValueError: seed must be a non-negative integer, got -3
    """
    if seed is None:
        seed = secrets.randbelow(2**63)
    if isinstance(seed, bool) or not isinstance(seed, int | np.integer) or seed < 0:
        raise ValueError(f"seed must be a non-negative integer, got {seed!r}")
    _core._seed(_native_seed(int(seed)))
    return int(seed)


def _native_seed(seed: int) -> int:
    """Seeds of 64 bits or more are hashed down to 64 bits."""
    if seed < SEED_LIMIT:
        return seed
    digest = hashlib.blake2b(seed.to_bytes((seed.bit_length() + 7) // 8, "little"),
                             digest_size=8).digest()
    return int.from_bytes(digest, "little")


def _warn_unused_diversity(config: Mapping[str, Any]) -> None:
    ranked = strategy_name(config["selection_strategy"]) in RANKED_SELECTIONS
    if config["diversity_objective"] is True and not ranked:
        warnings.warn(
            "diversity_objective has no effect under NEAT selection (it ranks by fitness "
            "alone; the novelty score only counts under NSGA2 or SPEA2), so it is skipped",
            stacklevel=3,
        )


def _first_network(
    cost: np.ndarray,
    config: Mapping[str, Any],
    start_genome: Genome | Mapping[str, Any] | None,
    start: str,
    budget: Budget = UNLIMITED,
    display: PhaseDisplay | None = None,
) -> Genome | None:
    """The start network as a genome, or None for the configured initial graph."""
    if start_genome is None and start != "config":
        start_genome = _heuristic_start(cost, config, start, budget, display)
    if start_genome is None:
        return None
    if isinstance(start_genome, Mapping):
        start_genome = routes.genome_from_structure(config, start_genome)
    _check_terminals_held(start_genome, config["special"]["fixed_nodes"])
    return start_genome


def _check_terminals_held(genome: Genome, fixed_nodes: Sequence[Sequence[int]]) -> None:
    held = sorted(tuple(n.data.pos) for n in genome.nodes.values() if n.data.type_ == "Fixed")
    wanted = sorted((int(r), int(c)) for r, c in fixed_nodes)
    if held != wanted:
        missing = sorted(set(wanted) - set(held))
        extra = sorted(set(held) - set(wanted))
        raise ValueError(
            "start_genome must hold every terminal as a Fixed node at its configured "
            f"(row, column) cell; missing {missing}, unexpected {extra}"
        )


def _heuristic_start(
    cost: np.ndarray,
    config: Mapping[str, Any],
    method: str,
    budget: Budget = UNLIMITED,
    display: PhaseDisplay | None = None,
) -> Any:
    """The heuristic start network, or None (the configured graph) when
    impassable cells keep the terminals apart."""
    try:
        return routes.start_network(cost, dict(config), method, budget=budget, display=display)
    except ValueError as error:
        if not np.isinf(cost).any():
            raise
        warnings.warn(f"no {method} start network ({error}); starting from graph_init", stacklevel=4)
        return None


class _StopCheck:
    """Why the run stops after the last record ("" to go on); calls the callbacks."""

    def __init__(self, run: _Run, history: list[GenerationRecord], callbacks: list[Callback],
                 seed: int, config: dict[str, Any], limits: Limits):
        self.run, self.history, self.callbacks = run, history, callbacks
        self.seed, self.config, self.limits = seed, config, limits

    def __call__(self) -> str:
        record = self.history[-1]
        try:
            if callbacks_stop(self.callbacks, record, self.run.population):
                return "callback"
        except Exception as error:
            error.result = self.run.result(  # type: ignore[attr-defined]
                self.history, "callback error", self.seed, self.config)
            error.add_note("the result so far is the exception's 'result' attribute")
            raise
        return self.limits.reason(record, self.run.last_improvement)


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
        budget: Budget = UNLIMITED,
        display: PhaseDisplay | None = None,
        plan: Attachments | None = None,
    ):
        self.population = population
        self.plan = plan
        self.attach = plan.native() if plan is not None else {}
        self.budget = budget
        self.display = display if display is not None else PhaseDisplay(False)
        self.polish = polish
        self.polish_children = polish_children
        self.cost = cost
        self.size = int(config["population_size"])
        self.ranked = strategy_name(config["selection_strategy"]) in RANKED_SELECTIONS
        # Under NEAT selection the novelty score would change nothing but the run time.
        self.diversity = config["diversity_objective"] is True and self.ranked
        special = config["special"]
        self.bridge = strategy_name(special["evaluation_strategy"]) == "MultiObjectiveBridge"
        self.archive: Archive[Genome] | None = Archive(archive_size) if self.bridge else None
        self.members: list[Genome] = []
        self.raw: list[float] = []
        self.objectives: list[Objectives] = []
        self.best: Genome | None = None
        self.best_raw = -math.inf
        self.best_objectives: tuple[float, ...] | None = None
        self.last_improvement = 0
        self.recorded_best = -math.inf
        self.loop_cursor = 0
        self.best_structure: dict[str, Any] = {}
        self.best_cost = math.nan
        self.best_length = math.nan
        self.references: dict[str, tuple[float, float]] = {}

    def begin(self, first: Genome | None, alternatives: Sequence[Mapping[str, Any]] = ()) -> None:
        """Evaluates the first members (and the start network, a candidate for the best);
        ``alternatives`` (other heuristic networks) join the members."""
        if first is not None:
            self.consider_start(first)
        self.take_members(evaluate=True)
        if first is not None and alternatives and not self.bridge:
            self.seed_alternatives(first, alternatives)
        if first is not None and self.bridge:
            self.seed_redundancy(first)

    def seed_alternatives(self, first: Genome, alternatives: Sequence[Mapping[str, Any]]) -> None:
        """Puts structurally different start networks among the members, so that
        the first generations breed from more than one tree."""
        self.add_seeds([self.adopt(a, first) for a in alternatives])

    def add_seeds(self, genomes: list[Genome]) -> None:
        """Evaluates extra start networks, counts them for the best and selects
        the members of generation 0 from them and the members."""
        raw, objectives = self.evaluate(genomes)
        self.consider(genomes, raw, objectives)
        if self.ranked:
            self.rank(self.members + genomes, self.raw + raw, self.objectives + objectives)
            _core.select(self.population, [], [], genomes)
        else:
            _core.select(self.population, [], [], genomes + self.members)
        self.take_members(evaluate=False)

    def snapshot_best(self) -> None:
        """Keeps the best network's structure, cost in map units and length in cells,
        so that they survive a Ctrl-C that leaves the genomes unusable."""
        assert self.best is not None
        self.best_structure = canonical_structure(self.best.get_structure())
        self.best_cost = network_cost(self.best, self.cost)
        self.best_length = network_length(self.best_structure)

    def evaluate(self, genomes: list[Genome]) -> tuple[list[float], list[Objectives]]:
        _core.evaluate_genomes(genomes, self.cost, **self.attach)
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
        previous = self.best
        for genome, score, values in zip(genomes, raw, objectives):
            if score > self.best_raw:
                self.best, self.best_raw, self.best_objectives = genome, score, values
            if self.archive is not None and values is not None and values[0] > 0:
                self.archive.add(genome, front_point(values))
        if self.best is not previous:
            self.snapshot_best()

    def archived_front(self) -> list[Genome]:
        """The archive's non-dominated networks by their current evaluation
        objectives (the final polish may have improved one), which they carry."""
        assert self.archive is not None
        genomes = list({id(g): g for g in [*self.archive.items(), self.best] if g is not None}.values())
        raw, objectives = self.read_raw(genomes)
        self.restore(genomes, raw, objectives)
        feasible = [i for i, score in enumerate(raw) if score > 0]
        points = [front_point(objectives[i] or (raw[i], 0.0)) for i in feasible]
        return [genomes[feasible[k]] for k in non_dominated(points)]

    def consider_start(self, genome: Genome) -> None:
        """Counts the start network (not itself a member) as a candidate for the best,
        as a copy numbered by this population like every genome the run keeps."""
        local = self.population.create_genome(genome.get_structure())
        raw, objectives = self.evaluate([local])
        self.consider([local], raw, objectives)

    def seed_redundancy(self, start: Genome) -> None:
        """Adds the greedy redundancy chains of the start network (see
        :func:`gridweave.redundancy_chain`, with straight edges and with routed
        paths) to the members, so that the first front already spans from the
        tree to networks without bridges."""
        local = self.population.create_genome(start.get_structure())  # numbers of this population
        _core.evaluate_genomes([local], self.cost)
        chain = self.display.within(self.budget, "redundancy", lambda left: self.redundant_seeds(local, left))
        if chain:
            self.add_seeds(chain)

    def redundant_seeds(self, local: Genome, left: Callable[[], float | None]) -> list[Genome]:
        """The greedy chains of ``local`` (straight and routed), its tree
        augmentation and the ring through the terminals, each polished without
        giving up redundancy: the start of the front from the tree to networks
        without bridges."""
        seeds = [*_core.redundancy_chain(local, self.cost, deadline=left()),
                 *_core.redundancy_chain(local, self.cost, routed=True, deadline=left())]
        augmented = _core.augment_tree(local, self.cost, deadline=left())
        if augmented is not None:
            seeds.append(augmented)
        terminals = [tuple(n.data.pos) for n in local.nodes.values() if n.data.type_ == "Fixed"]
        ring = routes.ring(self.cost, terminals, deadline=left()) if len(terminals) >= 3 else None
        if ring is not None:
            seeds.append(self.adopt(ring, local))
        if seeds:
            routes.polish(seeds, self.cost, keep_redundancy=True, deadline=left())
        self.references["tree"] = (network_cost(local, self.cost), redundancy_of(local))
        if ring is not None:
            self.references["ring"] = (network_cost(seeds[-1], self.cost), redundancy_of(seeds[-1]))
        return seeds

    def adopt(self, structure: Mapping[str, Any], like: Genome) -> Genome:
        """A genome of this population for a structure of its own numbering:
        terminals keep the numbers they have in ``like``, other nodes get new
        ones and edges the registry's."""
        fixed = {tuple(n.data.pos): n.id for n in like.nodes.values() if n.data.type_ == "Fixed"}
        ids = {node["id"]: fixed.get(tuple(node["data"]["pos"])) if node["data"]["type"] == "Fixed" else None
               for node in structure["nodes"]}
        ids = {old: new if new is not None else self.population.new_node_id() for old, new in ids.items()}
        return self.population.create_genome({
            "nodes": [{"id": ids[n["id"]], "data": n["data"]} for n in structure["nodes"]],
            "edges": [{"node1": ids[e["node1"]], "node2": ids[e["node2"]], "enabled": e["enabled"]}
                      for e in structure["edges"]]})

    def polish_best(self, genomes: list[Genome], raw: list[float], count: int) -> None:
        """Polishes the ``count`` best connected genomes in place (they are re-evaluated).
        Under the bridge objective also the ``count`` most redundant ones, by moves
        that raise neither objective, so that the whole front is improved."""
        order = sorted(range(len(genomes)), key=lambda i: -raw[i] if raw[i] > 0 else math.inf)
        chosen = [genomes[i] for i in order[:count] if raw[i] > 0]
        if self.bridge:
            redundancy = [g.objectives[1] if g.objectives and raw[i] > 0 else -1.0 for i, g in enumerate(genomes)]
            ranked = sorted(range(len(genomes)), key=lambda i: -redundancy[i])
            taken = {id(g) for g in chosen}
            chosen += [genomes[i] for i in ranked[:count] if redundancy[i] > 0 and id(genomes[i]) not in taken]
        if chosen:
            routes.polish(chosen, self.cost, deadline=self.seconds_left("generations"), keep_redundancy=self.bridge,
                          **self.attach)

    def polish_front(self, left: Callable[[], float | None]) -> None:
        """Polishes every archived network by moves that raise neither objective."""
        items = [g for g in self.archive.items() if g is not self.best] if self.archive is not None else []
        if items:
            routes.polish(items, self.cost, keep_redundancy=True, deadline=left())

    def polish_overall_best(self) -> None:
        """The final polish, with the slower key-path exchange (it can change the topology)."""
        if self.best is None or not self.polish:
            return
        best = self.best

        def final(left: Callable[[], float | None]) -> None:
            routes.polish([best], self.cost, exchange=True, deadline=left(), **self.attach)
            self.polish_front(left)

        try:
            self.display.within(self.budget, "final polish", final)
        finally:
            self.display.close()
        raw, objectives = self.read_raw([self.best])
        self.best_raw, self.best_objectives = raw[0], objectives[0]
        self.snapshot_best()

    def loop_children(self, count: int) -> list[Genome]:
        """Networks with one loop more than archived ones, taken in turn: the
        loop that removes the most bridge share per unit of added cost."""
        items = self.archive.items() if self.archive is not None else []
        if not items:
            return []
        children: list[Genome] = []
        for turn in range(min(count, len(items))):
            parent = items[(self.loop_cursor + turn) % len(items)]
            children += _core.redundancy_chain(parent, self.cost, 1, deadline=self.seconds_left("generations"))
        self.loop_cursor += count
        return children

    def seconds_left(self, phase: str) -> float | None:
        return Budget.seconds_left(self.budget.deadline(phase))

    def take_members(self, evaluate: bool) -> None:
        self.members = self.population.members
        reader = self.evaluate if evaluate else self.read_raw
        self.raw, self.objectives = reader(self.members)
        self.consider(self.members, self.raw, self.objectives)

    def step(self, newcomers: Sequence[Genome] = ()) -> None:
        """One generation: rank, breed, mutate, evaluate, select.

        ``newcomers`` (evaluated genomes of this population's registry, such as
        migrants from another island) compete in selection like children.
        """
        pop = self.population
        self.rank(self.members, self.raw, self.objectives)
        elites, species_elites, children = _core.make_offspring(pop, self.size)
        _core.mutate_genomes(children, pop)
        children += self.loop_children(LOOP_CHILDREN)
        child_raw, child_objectives = self.evaluate(children)
        if self.polish and self.polish_children:
            self.polish_best(children, child_raw, self.polish_children)
            child_raw, child_objectives = self.read_raw(children)
        self.consider(children, child_raw, child_objectives)
        if newcomers:
            children, child_raw, child_objectives = self.admit(
                list(newcomers), children, child_raw, child_objectives
            )
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

    def admit(
        self,
        newcomers: list[Genome],
        children: list[Genome],
        child_raw: list[float],
        child_objectives: list[Objectives],
    ) -> tuple[list[Genome], list[float], list[Objectives]]:
        """Newcomers join the children. NSGA2/SPEA2 selection ranks them all;
        NEAT selection keeps children unsorted, so there the newcomers take
        the places of the weakest children they beat."""
        raw, objectives = self.read_raw(newcomers)
        self.consider(newcomers, raw, objectives)
        genomes = children + newcomers
        scores, vectors = child_raw + raw, child_objectives + objectives
        if not self.ranked:
            order = sorted(range(len(genomes)), key=lambda i: math.inf if math.isnan(scores[i]) else -scores[i])
            kept = sorted(order[: len(children)])
            genomes = [genomes[i] for i in kept]
            scores, vectors = [scores[i] for i in kept], [vectors[i] for i in kept]
        return genomes, scores, vectors

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
            best_cost=self.best_cost,
            best_length=self.best_length,
        )

    def result(
        self, history: list[GenerationRecord], stop_reason: str, seed: int, config: dict[str, Any]
    ) -> EvolutionResult:
        if self.best is None:
            raise RuntimeError("the population has no members to report")
        try:
            front = self.finish()
        except _core.InternalError:
            if stop_reason != "interrupted":
                raise
            # Ctrl-C stops a native call at once and leaves the genomes it was changing
            # unusable; the best network was recorded when it was found.
            front = None
        if math.isinf(self.best_cost) and np.isinf(self.cost).any():
            warnings.warn("no network found avoids the impassable (NaN or nodata) cells",
                          stacklevel=3)
        return EvolutionResult(
            best_genome=self.best,
            best_fitness=self.best_raw,
            best_cost=self.best_cost,
            best_length=self.best_length,
            best_structure=self.best_structure,
            best_objectives=self.best_objectives,
            history=history,
            population=self.population,
            pareto_front=front,
            stop_reason=stop_reason,
            seed=seed,
            config=config,
            phase_seconds=dict(self.display.seconds),
            cut_short=list(self.display.cut_short),
            front_costs=[network_cost(g, self.cost) for g in front or []],
            references=dict(self.references),
            attachment_points=self.plan.attachment_points(self.best_structure) if self.plan else [],
        )

    def finish(self) -> list[Genome] | None:
        """Restores the members' raw scores, polishes the best network and returns the front."""
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
            front = [g for g in _core.get_pareto_front(self.members) if g.objectives and g.objectives[0] > 0]
        return front


def redundancy_of(genome: Genome) -> float:
    """The second evaluation objective of a genome scored under the bridge objective."""
    objectives = genome.objectives
    return float(objectives[1]) if objectives and len(objectives) > 1 else 0.0


# Loop-making children per generation under the bridge objective.
LOOP_CHILDREN = 2


def _argmax(values: Sequence[float]) -> int:
    """Index of the first largest value; NaN never wins."""
    best = 0
    for index, value in enumerate(values):
        if value > values[best] or math.isnan(values[best]):
            best = index
    return best


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
