"""Multi-objective ranking timings against pymoo's non-dominated sorting.

pymoo is not a dependency of the package; install it into the benchmark's own
environment to get the comparison column:
    .venv/bin/pip install pymoo && .venv/bin/python bench/bench_ranking.py
"""

import sys
from functools import partial
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).parent))

import gridweave as gw  # noqa: E402
import report  # noqa: E402
from common import best_of, config  # noqa: E402

try:
    from pymoo.operators.survival.rank_and_crowding.metrics import calc_crowding_distance
    from pymoo.util.nds.non_dominated_sorting import NonDominatedSorting
except ImportError:  # pragma: no cover - optional comparison
    NonDominatedSorting = None


def pymoo_rank(objectives):
    fronts = NonDominatedSorting().do(-objectives)  # pymoo minimises
    for front in fronts:
        calc_crowding_distance(-objectives[front])


def genomes_with(pop, objectives):
    structure = {"nodes": [], "edges": []}
    genomes = [pop.create_genome(structure) for _ in range(len(objectives))]
    for genome, vector in zip(genomes, objectives):
        genome.objectives = vector.tolist()
    return genomes


def main():
    with report.section("ranking", "Multi-objective ranking"):
        rng = np.random.default_rng(1)
        print(f"threads: {gw._core._num_threads()}")
        print(f"{'n':>6} {'m':>2} {'method':>6} {'gridweave ms':>13} {'pymoo ms':>9} {'ratio':>6}")
        for n in (500, 2000, 10000):
            for m in (2, 3):
                objectives = rng.random((n, m))
                for method in ("NSGA2", "SPEA2"):
                    pop = gw.Population(config(0, selection_strategy=method))
                    genomes = genomes_with(pop, objectives)
                    repeats = 1 if n >= 10000 else 3
                    ours = best_of(repeats, partial(gw.process_multi_objective, pop, genomes))
                    theirs = best_of(repeats, partial(pymoo_rank, objectives)) if NonDominatedSorting else float("nan")
                    print(f"{n:>6} {m:>2} {method:>6} {ours * 1e3:>13.1f} {theirs * 1e3:>9.1f} {theirs / ours:>6.2f}")


if __name__ == "__main__":
    main()
