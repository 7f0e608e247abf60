"""The start of a run: the first network (heuristic, given or configured) and generation 0."""

from __future__ import annotations

import warnings
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np

from . import _core, routes
from ._core import Genome
from .planning import Attachments
from .run import (
    Run,
)
from .runtime import UNLIMITED, Budget, PhaseDisplay


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
) -> Run:
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
                            if plan is not None else heuristic_start(cost, config, start, budget, display))
            start = start if start_genome is not None else "config"  # warned: impassable cells
        alternatives = start_genome.get("alternatives", []) if isinstance(start_genome, Mapping) else []
        first = _first_network(cost, config, start_genome, start, budget, display)
        run = Run(_core.Population(dict(config), first), cost, config, polish, polish_children,
                   archive_size, budget=budget, display=display, plan=plan)
        run.begin(first, alternatives)
    finally:
        display.close()
    return run


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
        start_genome = heuristic_start(cost, config, start, budget, display)
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


def heuristic_start(
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
