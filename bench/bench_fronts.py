"""Cost-redundancy fronts of NSGA2 and SPEA2 against a greedy chain and a ring.

For every problem of ``gridweave.problems.quality_suite()`` two references are
built: the greedy chain, which starts from the best heuristic tree (the
cheaper of both Steiner heuristics) and repeatedly adds the straight edge
between two existing nodes that removes the most bridge share per unit of
added cost (``gridweave.redundancy_chain``); and the ring a planner draws by
hand (``gridweave.routes.ring``: a travelling-salesman tour over the
terminals' least-cost distances, legs straightened). Each run evolves under
``MultiObjectiveBridge``. Points are (fitness / the tree's fitness,
redundancy = 1 - bridge share); hypervolumes use the reference point (0, 0).

Printed per problem and strategy: the front's hypervolume, that of the
non-dominated union of chain and ring and their ratio; the cost of the
cheapest front network with redundancy at least 0.99 over the ring's; the
cheapest front network's cost over that of the single-objective default
``evolve()`` on the same problem (same generations and limit); and the price
of redundancy (cost over the cheapest front network) at 25, 50, 75 and 100 %.

Run: .venv/bin/python bench/bench_fronts.py [--problems 0 1 ...] [--generations 300] [--time-limit 60]
"""

import argparse
import statistics
import time

import gridweave as gw
import report  # noqa: E402
from gridweave import evolve, routes
from gridweave.config import make_config
from gridweave.measure import network_cost
from gridweave.pareto import hypervolume, non_dominated
from gridweave.problems import quality_suite

LEVELS = (0.25, 0.5, 0.75, 1.0)
REDUNDANT = 0.99  # "without bridges" up to the length of a rounding step


def references(problem, config):
    """The tree's fitness and cost, the greedy chain's points and the ring's fitness and cost."""
    tree = routes.steiner_tree(problem.cost_map, problem.terminals)
    genome = routes.genome_from_structure(config, tree)
    ring = routes.genome_from_structure(config, routes.ring(problem.cost_map, problem.terminals))
    gw.evaluate_genomes([genome, ring], problem.cost_map)
    chain = [genome, *gw.redundancy_chain(genome, problem.cost_map)]
    return (genome.fitness, [tuple(g.objectives) for g in chain], ring.fitness,
            network_cost(ring, problem.cost_map))


def single_objective_cost(problem, config, generations: int, time_limit: float, seed: int) -> float:
    result = evolve(problem.cost_map, {**config, "special": {**config["special"], "evaluation_strategy":
                                                             "SingleObjective"}},
                    generations, time_limit=time_limit, progress=False, seed=seed)
    return result.best_cost


def print_fronts(problems, generations: int, time_limit: float, seed: int) -> dict[str, list[float]]:
    """Prints one table row per problem and strategy; returns the ratios by name."""
    print("| problem | strategy | front hypervolume | chain + ring | ratio | redundant end / ring "
          "| cheapest / single-objective | price at 25/50/75/100 % | seconds | front size |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    ratios: dict[str, list[float]] = {"hypervolume": [], "ring": [], "single": []}
    for problem in problems:
        config = make_config(problem.grid_size, problem.terminals, evaluation_strategy="MultiObjectiveBridge")
        tree_fitness, greedy, ring_fitness, ring_cost = references(problem, config)
        union = [(f / tree_fitness, r) for f, r in greedy] + [(ring_fitness / tree_fitness, 1.0)]
        union_hv = hypervolume([union[i] for i in non_dominated(union)])
        single = single_objective_cost(problem, config, generations, time_limit, seed)
        for strategy in ("NSGA2", "SPEA2"):
            started = time.perf_counter()
            result = evolve(problem.cost_map, {**config, "selection_strategy": strategy}, generations,
                            time_limit=time_limit, progress=False, seed=seed)
            seconds = time.perf_counter() - started
            points = [(g.objectives[0] / tree_fitness, g.objectives[1]) for g in result.pareto_front]
            hv = hypervolume(points)
            redundant = [c for g, c in zip(result.pareto_front, result.front_costs) if g.objectives[1] >= REDUNDANT]
            end = min(redundant) / ring_cost if redundant else float("inf")
            cheapest = min(result.front_costs) / single
            prices = "/".join("-" if p["relative_cost"] is None else f"{p['relative_cost']:.3f}"
                              for p in result.price_of_redundancy(LEVELS))
            ratios["hypervolume"].append(hv / union_hv)
            ratios["ring"].append(end)
            ratios["single"].append(cheapest)
            print(f"| {problem.name} | {strategy} | {hv:.4f} | {union_hv:.4f} | {hv / union_hv:.3f} | {end:.3f} "
                  f"| {cheapest:.4f} | {prices} | {seconds:.1f} | {len(points)} |", flush=True)
    for name, values in ratios.items():
        print(f"{name} ratio min {min(values):.4f} median {statistics.median(values):.4f} max {max(values):.4f}")
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
    with report.section("fronts", "Cost against redundancy"):
        print_fronts(chosen, args.generations, args.time_limit, args.seed)


if __name__ == "__main__":
    main()
