"""The state of a run and its generation loop: evaluate, rank, breed, mutate and select.

:class:`Run` holds the population, the cost map and the raw scores of the
members; :func:`generation_loop` advances it generation by generation (the
loop of :func:`gridweave.evolve`, of :func:`gridweave.resume` and of every
island), reseeding the generators from the run's seed at each generation, and
tells its observers of each generation; :func:`run_generations` adds the
progress bar, a checkpointer (known only by its ``due`` and ``save`` methods)
and the final polish. :meth:`Run.to_plain` and :meth:`Run.from_plain` turn
the run state into built-in values and back (the checkpoints of
:mod:`gridweave.checkpoint` and of the islands hold it).
"""

from __future__ import annotations

import hashlib
import math
import time
import warnings
from collections.abc import Callable, Mapping, Sequence
from typing import Any, Protocol

import numpy as np

from . import _core, routes
from ._core import Genome, Population
from .config import strategy_name
from .history import GenerationRecord
from .measure import network_cost, network_length
from .pareto import Archive, front_point, non_dominated
from .planning import Attachments, plan_from_plain
from .result import EvolutionResult
from .runtime import UNLIMITED, Budget, Limits, PhaseDisplay, SigintFlag, advance, callbacks_stop, progress_bar

RANKED_SELECTIONS = ("NSGA2", "SPEA2")


SEED_LIMIT = 2**64


Objectives = tuple[float, ...] | None


Callback = Callable[[GenerationRecord, Population], "bool | None"]


class Check(Protocol):
    """The stopping rule the loop asks after each generation: the history it
    extends, the run's seed, and why to stop ("" to go on)."""

    history: list[GenerationRecord]
    seed: int

    def __call__(self) -> str: ...


class Observer(Protocol):
    """Told of every finished generation (a progress bar, a checkpointer)."""

    def generation_done(self, run: Run, history: list[GenerationRecord], generations: int,
                        stop_reason: str) -> None: ...


def run_generations(
    run: Run, check: StopCheck, generations: int, stop_reason: str, progress: bool, saver: Any
) -> EvolutionResult:
    """The generations after the last one in the history, up to ``generations``,
    then the final polish: :func:`evolve`, also continued by :func:`gridweave.resume`.
    ``saver`` (a checkpointer or None) is known only by its ``due`` and ``save`` methods."""
    bar = progress_bar(generations - check.history[-1].generation, progress)
    observers: list[Observer] = [Progress(bar)]
    if saver is not None:
        observers.append(Saving(saver, check.limits))
    try:
        stop_reason = generation_loop(run, check, generations, stop_reason, observers)
    finally:
        if bar is not None:
            bar.close()
    return run.result(check.history, stop_reason or "generations", check.seed, check.config)


def generation_loop(
    run: Run,
    check: Check,
    generations: int,
    stop_reason: str = "",
    observers: Sequence[Observer] = (),
    newcomers: Sequence[Genome] = (),
) -> str:
    """Runs the generations after the last one in ``check.history`` up to
    ``generations`` (none when ``stop_reason`` is already set), each reseeded
    from ``check.seed`` and the generation number; returns why it stopped ("" at
    ``generations``). ``newcomers`` compete in the first generation's selection."""
    history = check.history
    began = time.perf_counter()
    try:
        with SigintFlag() as interrupted:
            for generation in range(history[-1].generation + 1, generations + 1):
                if stop_reason:
                    break
                try:
                    started = time.perf_counter()
                    _core._seed(generation_seed(check.seed, generation))
                    run.step(newcomers)
                    newcomers = ()
                    history.append(run.record(generation, time.perf_counter() - started))
                    stop_reason = check()
                except KeyboardInterrupt:
                    stop_reason = "interrupted"
                    break  # the generation is unfinished: nothing to observe
                if interrupted.is_set():
                    stop_reason = "interrupted"
                for observer in observers:
                    observer.generation_done(run, history, generations, stop_reason)
    finally:
        seconds = run.display.seconds
        seconds["generations"] = seconds.get("generations", 0.0) + time.perf_counter() - began
    return stop_reason


class Progress:
    """Moves the progress bar (None: no bar) by one generation."""

    def __init__(self, bar: Any) -> None:
        self.bar = bar

    def generation_done(self, run: Run, history: list[GenerationRecord], generations: int,
                        stop_reason: str) -> None:
        advance(self.bar, history[-1])


class Saving:
    """Hands the run to a saver (a checkpointer) whenever the saver says it is due."""

    def __init__(self, saver: Any, limits: Limits) -> None:
        self.saver, self.limits = saver, limits

    def generation_done(self, run: Run, history: list[GenerationRecord], generations: int,
                        stop_reason: str) -> None:
        if self.saver.due(history[-1].generation, generations, stop_reason):
            self.saver.save(run, history, self.limits)


def generation_seed(seed: int, generation: int) -> int:
    """The seed of one generation: a seeded run draws the same numbers in a
    generation whether or not it was stopped and resumed before it."""
    return (native_seed(seed) * 0x9E3779B97F4A7C15 + generation) % 2**64


def native_seed(seed: int) -> int:
    """Seeds of 64 bits or more are hashed down to 64 bits."""
    if seed < SEED_LIMIT:
        return seed
    digest = hashlib.blake2b(seed.to_bytes((seed.bit_length() + 7) // 8, "little"),
                             digest_size=8).digest()
    return int.from_bytes(digest, "little")


class StopCheck:
    """Why the run stops after the last record ("" to go on); calls the callbacks."""

    def __init__(self, run: Run, history: list[GenerationRecord], callbacks: list[Callback],
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


class Run:
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

    def to_plain(self) -> dict[str, Any]:
        """The run as built-in values (the native states as bytes): the population
        and the genomes held besides it. A genome held in several places is saved
        once; references to it are indices. :meth:`from_plain` reads it back."""
        extras: list[Genome] = []
        index: dict[int, int] = {}

        def ref(genome: Genome | None) -> int | None:
            if genome is None:
                return None
            if id(genome) not in index:
                index[id(genome)] = len(extras)
                extras.append(genome)
            return index[id(genome)]

        best = ref(self.best)
        archive = None
        if self.archive is not None:
            archive = [(ref(g), p) for g, p in zip(self.archive.items(), self.archive.points())]
        return {
            "state": _core._save_run(self.population, extras),
            "best": best,
            "archive": archive,
            "run": {
                "best_raw": self.best_raw,
                "best_objectives": self.best_objectives,
                "last_improvement": self.last_improvement,
                "recorded_best": self.recorded_best,
                "loop_cursor": self.loop_cursor,
                "raw": list(self.raw),
                "objectives": list(self.objectives),
            },
        }

    @classmethod
    def from_plain(
        cls, contents: Mapping[str, Any], cost: np.ndarray, config: Mapping[str, Any], settings: Mapping[str, Any]
    ) -> Run:
        """The run that :meth:`to_plain` gave, driven by ``settings`` (polish,
        polish_children, archive_size and the plan's cells)."""
        population, extras = _core._load_run(contents["state"])
        run = cls(population, cost, config, settings["polish"], settings["polish_children"],
                  settings["archive_size"], plan=plan_from_plain(cost.shape, settings))
        saved = contents["run"]
        run.members = population.members
        run.raw = list(saved["raw"])
        run.objectives = [None if o is None else tuple(o) for o in saved["objectives"]]
        if len(run.raw) != len(run.members) or len(run.objectives) != len(run.members):
            raise IndexError("the saved scores do not match the members")
        run.best = None if contents["best"] is None else extras[contents["best"]]
        run.best_raw = saved["best_raw"]
        run.best_objectives = saved["best_objectives"]
        run.last_improvement = saved["last_improvement"]
        run.recorded_best = saved["recorded_best"]
        run.loop_cursor = saved["loop_cursor"]
        if run.best is not None:
            run.snapshot_best()
        if run.archive is not None:
            for item, point in contents["archive"] or ():
                run.archive.add(extras[item], point)
        return run

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
        augmentation, the partial rings (:func:`gridweave.routes.partial_rings`)
        and the ring through the terminals, each polished without
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
            # Between the chains and the ring: rings through most terminals, the outliers on branches.
            seeds += [self.adopt(s, local) for s in routes.partial_rings(self.cost, terminals, full=ring,
                                                                            deadline=left())]
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
