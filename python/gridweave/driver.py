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

import time
from collections.abc import Iterable, Mapping
from pathlib import Path
from typing import Any

import numpy as np

from ._core import Genome
from .checkpoint import Checkpointer
from .checks import checked_inputs, checked_plan, checked_seed
from .planning import plain_plan
from .result import EvolutionResult
from .run import (
    Callback,
    StopCheck,
    canonical_structure,
    run_generations,
)
from .runtime import Budget, Limits
from .start import start_run

__all__ = ["EvolutionResult", "Callback", "evolve", "canonical_structure", "checked_seed"]


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
    NaN, masked (and ``inf``) cells are impassable (see
    :func:`gridweave.measure.cost_array`), and a warning says so when no
    network found avoids them.
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
    cost = checked_inputs(cost_map, config, generations, start, polish_children, archive_size)
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
    check = StopCheck(run, history, list(callbacks), seed, dict(config), limits)
    stop_reason = check()
    saver = None
    if checkpoint is not None:
        saver = Checkpointer(checkpoint, checkpoint_every, cost, dict(config), dict(
            generations=generations, polish=polish, polish_children=polish_children,
            archive_size=archive_size, stop_at_fitness=stop_at_fitness,
            stall_generations=stall_generations, time_limit=time_limit, seed=seed,
            notes=dict(checkpoint_notes or {}), **plain_plan(plan)))
        saver.save(run, history, limits)
    return run_generations(run, check, generations, stop_reason, progress, saver)

