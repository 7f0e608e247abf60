"""What :func:`gridweave.evolve` returns: the best network, the history and the front."""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from ._core import Genome, Population
from .history import GenerationRecord, history_to_csv


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
        >>> from gridweave import evolve
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
