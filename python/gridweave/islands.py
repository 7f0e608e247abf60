"""Island model on Dask: several populations evolve apart and trade their best members.

:func:`evolve_islands` runs ``islands`` populations, each inside one Dask
worker process, each driven exactly like :func:`gridweave.evolve` (heuristic
start, polish of the best children, archive of the front, the same
generation loop). Every ``migration_every`` generations each island sends
copies of its ``migrants`` best members to its neighbours (``topology``);
they arrive as structure dictionaries with their scores and compete in the
next selection like children.

The model is spread over modules of one idea each:
:mod:`gridweave.island_wire` (what travels: migrants, packed members, their
renumbering into the receiver's registry), :mod:`gridweave.island_actor` (one
island as a Dask actor), :mod:`gridweave.island_coordinator` (the blocks
between migrations, the routes of migrants, rebuilding lost islands) and
:mod:`gridweave.cluster` (the local cluster and the client); this module
checks the arguments (with the checks :func:`gridweave.evolve` uses) and
gathers the result.

With ``client=None`` a ``LocalCluster`` of worker processes (one per island, at
most one per CPU, each running one engine thread) is started and closed at the
end; pass a ``distributed.Client`` or a scheduler address to use a real
cluster. An island's population stays in its worker's memory between
migrations, and the coordinator keeps its latest checkpoint, in the form of
the checkpoint files of :func:`gridweave.evolve`. When a worker dies, the
island is rebuilt on a live worker from that checkpoint and replays the
generations since, so at most ``migration_every`` generations are lost;
``IslandsResult.restarts`` lists every such event.

Every island draws its random numbers per generation from the seed, its index
and the generation number, so a seeded run gives the same result on any number
of workers, and a run that lost a worker ends as it would have without the loss.

Needs the optional dependency ``distributed`` (``pip install gridweave[distributed]``).
"""
from __future__ import annotations

import math
import time
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from . import routes
from ._core import Genome
from .checks import checked_inputs, checked_plan, checked_seed
from .cluster import available_cpus, connected, local_cluster
from .history import GenerationRecord
from .island_actor import Final, Island, IslandSettings
from .island_coordinator import TOPOLOGIES, Coordinator, Restart
from .island_wire import NUMBERINGS, Checkpoint, Migrant, PackedGenome, renumber
from .pareto import front_point, non_dominated
from .planning import plain_plan
from .run import native_seed
from .runtime import Budget
from .start import heuristic_start

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
    "Island",
    "IslandSettings",
    "TOPOLOGIES",
    "NUMBERINGS",
]


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
    routing, waiting at the migration barrier). ``seed`` is the run's seed
    (drawn when none was given): passed again, it repeats the run.
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
    seed: int = 0

    @property
    def evaluations(self) -> int:
        return sum(report.evaluations for report in self.islands)

    def pareto_objectives(self) -> list[tuple[float, ...]]:
        """Objective vectors of the merged front (empty without a front)."""
        return [tuple(g.objectives) for g in self.pareto_front or [] if g.objectives]


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
    number of workers and threads, worker losses included; without one a
    seed is drawn (``IslandsResult.seed``). ``existing`` and
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
    config = dict(config)
    cost = checked_inputs(cost_map, config, generations, start, polish_children, archive_size)
    _check_island_arguments(islands, migration_every, migrants, topology, numbering, workers)
    plan = checked_plan(cost, config, existing, regions)
    cost = plan.free_cost(cost) if plan is not None else cost
    seed = checked_seed(seed)  # refused or drawn here, not in a worker
    if start_genome is None and start != "config":
        start_genome = (routes.extension_start(cost, config, plan, budget=Budget(began, time_limit))
                        if plan is not None else heuristic_start(cost, config, start, Budget(began, time_limit)))
    settings = IslandSettings(
        start=None if start_genome is None else dict(start_genome),
        polish=polish, polish_children=polish_children, archive_size=archive_size,
        migrants=migrants, numbering=numbering, seed=native_seed(seed), plan=plain_plan(plan),
        generations=generations, migration_every=migration_every,
    )
    with connected(client, workers or min(islands, available_cpus())) as client:
        client.wait_for_workers(1)
        deadline = None if time_limit is None else began + time_limit
        coordinator = Coordinator(client, cost, config, settings, islands, deadline)
        blocks = coordinator.run_blocks(generations, migration_every, topology)
        finals = coordinator.finish(blocks.stop_reason)
        result = _result(finals, coordinator, config, blocks.stop_reason, time.perf_counter() - began,
                         blocks.evolving, blocks.exchange)
    result.seed = seed
    return result


def _check_island_arguments(
    islands: int, migration_every: int, migrants: int, topology: str, numbering: str, workers: int | None
) -> None:
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
    if workers is not None and workers < 1:
        raise ValueError(f"workers must be at least 1, got {workers}")


def _result(
    finals: list[Final],
    coordinator: Coordinator,
    config: dict[str, Any],
    stop_reason: str,
    wall: float,
    evolving: float,
    exchange: float,
) -> IslandsResult:
    reports = []
    for index, final in enumerate(finals):
        counters = coordinator.counters(index)
        matching = counters.matching
        reports.append(IslandReport(
            island=index,
            history=final.history,
            best_fitness=final.best.fitness,
            migrants_received=counters.migrants_received,
            evaluations=counters.evaluations,
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
