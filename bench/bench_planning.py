"""Extending an existing network to new sites, against what a planner would draw.

On generated terrain maps (128 x 128 to 384 x 384) with an existing network
(a trunk line across the map and branches off it) and 10 to 30 sites, this
prints the cost of:

- the planner's baseline: every site joined to its nearest point of the
  existing network by its own least-cost path (straightened);
- the best heuristic extension: one tree grown from the existing network,
  each time joining the nearest site (``routes.attached_network``), polished;
- default ``evolve(..., existing=...)``.

Costs are trace costs (``1 / fitness``) of the new construction only; ratios
are evolved / baseline and evolved / heuristic (lower is better).

Run: .venv/bin/python bench/bench_planning.py [--time-limit 30] [--generations 300] [--seed 1]
"""

import argparse
import statistics
import time

import numpy as np

import report  # noqa: E402
from gridweave import evolve, planning, routes
from gridweave.config import make_config
from gridweave.problems import make_terrain

CASES = [((128, 128), 10, 1), ((192, 192), 15, 2), ((256, 256), 20, 3), ((320, 320), 25, 4), ((384, 384), 30, 5)]


def existing_network(shape, seed):
    """A trunk from the left edge to the right one, with three branches off it."""
    rng = np.random.default_rng(seed)
    rows, cols = shape
    trunk_rows = np.clip(rows // 2 + np.cumsum(rng.integers(-3, 4, 9)) * rows // 64, 0, rows - 1)
    trunk = [(int(r), int(c)) for r, c in zip(trunk_rows, np.linspace(0, cols - 1, 9).astype(int))]
    branches = []
    for start in rng.choice(range(1, 8), 3, replace=False):
        r, c = trunk[start]
        end = (int(rng.integers(0, rows // 5)) if rng.random() < 0.5 else int(rng.integers(rows * 4 // 5, rows)),
               int(np.clip(c + rng.integers(-cols // 8, cols // 8), 0, cols - 1)))
        branches.append([(r, c), end])
    return [trunk, *branches]


def baseline(cost, sites, existing):
    """Each site by its own least-cost path to the network."""
    return sum(routes.attached_network(cost, [site], existing=existing)["cost"] for site in sites)


def heuristic(cost, sites, existing):
    plan = planning.attachments(cost.shape, existing)
    config = make_config(cost.shape, sites)
    return routes.extension_start(plan.free_cost(cost), config, plan)["cost"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--time-limit", type=float, default=30.0)
    parser.add_argument("--generations", type=int, default=300)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    with report.section("planning", "Extending an existing network"):
        print(f"{'problem':>24} {'sites':>5} {'baseline':>10} {'heuristic':>10} {'evolved':>10} "
              f"{'seconds':>7} {'/baseline':>9} {'/heuristic':>10}")
        to_baseline, to_heuristic = [], []
        for shape, count, seed in CASES:
            problem = make_terrain(shape, n_terminals=count, seed=seed)
            existing = existing_network(shape, seed)
            plan = planning.attachments(shape, existing)
            sites = [s for s in problem.terminals if int(s[0]) * shape[1] + int(s[1]) not in set(plan.existing)]
            base = baseline(problem.cost_map, sites, existing)
            best_heuristic = heuristic(problem.cost_map, sites, existing)
            config = make_config(shape, sites)
            started = time.perf_counter()
            result = evolve(problem.cost_map, config, args.generations, existing=existing,
                            time_limit=args.time_limit, progress=False, seed=args.seed)
            seconds = time.perf_counter() - started
            evolved = 1.0 / result.best_fitness
            to_baseline.append(evolved / base)
            to_heuristic.append(evolved / best_heuristic)
            print(f"{problem.name:>24} {len(sites):>5} {base:>10.4f} {best_heuristic:>10.4f} {evolved:>10.4f} "
                  f"{seconds:>7.1f} {to_baseline[-1]:>9.4f} {to_heuristic[-1]:>10.4f}")
        print(f"median evolved / baseline {statistics.median(to_baseline):.4f} (largest {max(to_baseline):.4f}); "
              f"evolved / heuristic {statistics.median(to_heuristic):.4f} (largest {max(to_heuristic):.4f})")


if __name__ == "__main__":
    main()
