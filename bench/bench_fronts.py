"""Cost-redundancy fronts of NSGA2 and SPEA2 against a greedy reference.

For every problem of ``gridweave.problems.quality_suite()`` the reference
front starts from the best heuristic tree (the cheaper of both Steiner
heuristics) and repeatedly adds the straight edge between two existing nodes
that removes the most bridge share per unit of added cost
(``gridweave.redundancy_chain``). Each run evolves under
``MultiObjectiveBridge``. Points are (fitness / the tree's fitness,
redundancy = 1 - bridge share); hypervolumes use the reference point (0, 0).
Printed per problem and strategy: both hypervolumes, their ratio, the
cheapest front network's fitness over the tree's, and the ceiling: no front
can dominate more than the rectangle up to its cheapest fitness and full
redundancy, so (cheapest / tree) / (greedy hypervolume) bounds the ratio.

Run: .venv/bin/python bench/bench_fronts.py [--problems 0 1 ...] [--generations 300] [--time-limit 60]
"""

import argparse
import statistics
import time

import gridweave as gw
from gridweave import evolve, routes
from gridweave.config import make_config
from gridweave.pareto import hypervolume
from gridweave.problems import quality_suite


def reference_front(problem, config):
    tree = routes.steiner_tree(problem.cost_map, problem.terminals)
    genome = routes.genome_from_structure(config, tree)
    gw.evaluate_genomes([genome], problem.cost_map)
    chain = [genome, *gw.redundancy_chain(genome, problem.cost_map)]
    return 1.0 / tree["cost"], [tuple(g.objectives) for g in chain]


def print_fronts(problems, generations: int, time_limit: float, seed: int) -> list[float]:
    """Prints one table row per problem and strategy; returns the hypervolume ratios."""
    print("| problem | strategy | front hypervolume | greedy reference | ratio | cheapest / tree | ceiling "
          "| seconds | front size |")
    print("|---|---|---|---|---|---|---|---|---|")
    ratios = []
    for problem in problems:
        config = make_config(problem.grid_size, problem.terminals, evaluation_strategy="MultiObjectiveBridge")
        tree_fitness, greedy = reference_front(problem, config)
        greedy_hv = hypervolume([(f / tree_fitness, r) for f, r in greedy])
        for strategy in ("NSGA2", "SPEA2"):
            started = time.perf_counter()
            result = evolve(problem.cost_map, {**config, "selection_strategy": strategy}, generations,
                            time_limit=time_limit, progress=False, seed=seed)
            seconds = time.perf_counter() - started
            points = [(g.objectives[0] / tree_fitness, g.objectives[1]) for g in result.pareto_front]
            hv = hypervolume(points)
            ratios.append(hv / greedy_hv)
            cheapest = max(p[0] for p in points)
            print(f"| {problem.name} | {strategy} | {hv:.4f} | {greedy_hv:.4f} | {hv / greedy_hv:.3f} | "
                  f"{cheapest:.4f} | {cheapest / greedy_hv:.3f} | {seconds:.1f} | {len(points)} |", flush=True)
    print(f"hypervolume ratio min {min(ratios):.3f} median {statistics.median(ratios):.3f}")
    return ratios


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--problems", type=int, nargs="*")
    parser.add_argument("--generations", type=int, default=300)
    parser.add_argument("--time-limit", type=float, default=60.0)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    suite = quality_suite()
    chosen = [suite[i] for i in args.problems] if args.problems else suite
    print_fronts(chosen, args.generations, args.time_limit, args.seed)


if __name__ == "__main__":
    main()
