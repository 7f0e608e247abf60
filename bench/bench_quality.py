"""Network quality against the classical heuristics on the project's problem suite.

For every problem of ``gridweave.problems.quality_suite()`` (64 x 64 to
512 x 512, 5 to 30 terminals; rivers with fords, mountain ranges with passes,
walls with gaps) this prints the cost of the straight-line spanning tree, of
each Steiner heuristic (with seconds), the median gain of polishing each
heuristic network alone (median per problem; the summary gives the
smallest), default ``evolve()`` (cost, seconds, generations)
and pure evolution from the configured initial graph; ratios are fitness
divided by the best heuristic network's fitness (higher is better; the best
heuristic is the cheapest of the spanning tree and both Steiner heuristics).
Where the exact optimum is known (``bench/optima.json``, filled by
``--compute-optima``) or cheap to compute, the gap column gives evolve()'s cost
above it. ``--suite traps`` runs the trap benchmark
(``gridweave.problems.trap_suite()``: small problems built to hold topological
traps), ``--suite all`` both suites.

Run: .venv/bin/python bench/bench_quality.py [--suite quality|traps|all] [--problems 0 1 ...]
     [--compute-optima] [--generations 300] [--fronts]
     [--pure-generations 1000] [--time-limit 60] [--seed 1] [--set KEY=JSON ...]

``--set`` changes a configuration default for both runs (for example
``--set 'graph_init={"Grid": [6, 6]}'``), which is how the defaults were compared;
``--generations 0`` or ``--pure-generations 0`` skips that run. ``--fronts``
also prints the cost-redundancy fronts of NSGA2 and SPEA2 against the greedy
reference (see ``bench_fronts.py``).
"""

import argparse
import json
import math
import statistics
import time
from pathlib import Path

import report  # noqa: E402
from gridweave import evolve, routes
from gridweave.config import make_config
from gridweave.problems import Problem, quality_suite, trap_suite

OPTIMA = Path(__file__).with_name("optima.json")
# Optima whose estimate is below this many seconds are computed when not cached.
CHEAP_OPTIMUM_SECONDS = 20.0


def timed(function, *args, **kwargs):
    started = time.perf_counter()
    value = function(*args, **kwargs)
    return value, time.perf_counter() - started


def polish_gains(problem: Problem, networks: list[dict]) -> list[float]:
    """Cost before / cost after polishing each network alone."""
    config = make_config(problem.grid_size, problem.terminals)
    genomes = [routes.genome_from_structure(config, n) for n in networks]
    after = routes.polish(genomes, problem.cost_map)
    return [n["cost"] / a for n, a in zip(networks, after)]


TITLES = {"quality": "Quality against the classical heuristics", "traps": "Trap problems against the exact optimum",
          "all": "Against the exact optimum"}

def optimum(problem: Problem, args: argparse.Namespace) -> float:
    """The exact optimum's cost: cached, computed when cheap (or asked for), else NaN."""
    cache = json.loads(OPTIMA.read_text()) if OPTIMA.exists() else {}
    if problem.name in cache:
        return float(cache[problem.name])
    seconds = 1e6 if args.compute_optima else CHEAP_OPTIMUM_SECONDS
    try:
        cost = routes.optimal_network(problem.cost_map, problem.terminals, max_seconds=seconds,
                                      max_memory=16e9)["cost"]
    except ValueError:
        return math.nan
    cache[problem.name] = cost
    OPTIMA.write_text(json.dumps(dict(sorted(cache.items())), indent=1) + "\n")
    return cost


def run(problem: Problem, args: argparse.Namespace) -> dict:
    cost, terminals = problem.cost_map, problem.terminals
    mst, mst_s = timed(routes.spanning_tree, cost, terminals)
    voronoi, voronoi_s = timed(routes.steiner_tree, cost, terminals, method="voronoi")
    grow, grow_s = timed(routes.steiner_tree, cost, terminals, method="grow")
    best = min(mst["cost"], voronoi["cost"], grow["cost"])
    config = make_config(problem.grid_size, terminals, **args.overrides)
    row = dict(name=problem.name, terminals=len(terminals), mst=mst["cost"], mst_s=mst_s,
               voronoi=voronoi["cost"], voronoi_s=voronoi_s, grow=grow["cost"], grow_s=grow_s,
               polish_gains=polish_gains(problem, [mst, voronoi, grow]), mst_ratio=best / mst["cost"],
               evolved=math.nan, evolve_s=0.0, evolve_gens=0, ratio=math.nan, optimum=optimum(problem, args))
    if args.generations:
        result, evolve_s = timed(evolve, cost, config, args.generations, time_limit=args.time_limit,
                                 progress=False, seed=args.seed)
        row.update(evolved=1 / result.best_fitness, evolve_s=evolve_s, evolve_gens=result.generations,
                   ratio=best * result.best_fitness)
    row["gap"] = row["evolved"] / row["optimum"] - 1.0
    if args.pure_generations:
        pure, pure_s = timed(evolve, cost, config, args.pure_generations, start="config",
                             progress=False, seed=args.seed)
        row.update(pure=1 / pure.best_fitness if pure.best_fitness > 0 else float("inf"),
                   pure_s=pure_s, pure_ratio=best * pure.best_fitness)
    return row


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--suite", choices=("quality", "traps", "all"), default="all")
    parser.add_argument("--problems", type=int, nargs="*", help="indices into the suite (default: all)")
    parser.add_argument("--compute-optima", action="store_true",
                        help="compute missing exact optima however long they take (cached in optima.json)")
    parser.add_argument("--generations", type=int, default=300)
    parser.add_argument("--pure-generations", type=int, default=1000, help="0 skips pure evolution")
    parser.add_argument("--time-limit", type=float, default=60.0)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--fronts", action="store_true", help="also compare cost-redundancy fronts")
    parser.add_argument("--set", action="append", default=[], metavar="KEY=JSON",
                        help="a make_config override for both runs")
    args = parser.parse_args()
    args.overrides = {key: json.loads(value) for key, value in (item.split("=", 1) for item in args.set)}
    suite = ((quality_suite() if args.suite != "traps" else [])
             + (trap_suite() if args.suite != "quality" else []))
    chosen = [suite[i] for i in args.problems] if args.problems else suite
    with report.section(f"quality-{args.suite}", TITLES[args.suite]):
        print("costs are trace costs (1 / fitness); ratio = fitness / best heuristic's fitness")
        print("| problem | terminals | spanning tree | Voronoi (s) | grown (s) | polish alone | "
              "evolve() (s, gens) | ratio | optimum | gap | pure evolution (s) | ratio | spanning tree ratio |")
        print("|---|---|---|---|---|---|---|---|---|---|---|---|---|")
        rows = []
        for problem in chosen:
            r = run(problem, args)
            rows.append(r)
            pure = (f"{r['pure']:.3f} ({r['pure_s']:.0f}) | {r['pure_ratio']:.3f}"
                    if "pure" in r else "- | -")
            print(f"| {r['name']} | {r['terminals']} | {r['mst']:.3f} | {r['voronoi']:.3f} ({r['voronoi_s']:.2f}) | "
                  f"{r['grow']:.3f} ({r['grow_s']:.2f}) | x{statistics.median(r['polish_gains']):.4f} | "
                  f"{r['evolved']:.3f} ({r['evolve_s']:.1f}, {r['evolve_gens']}) | {r['ratio']:.4f} | "
                  f"{r['optimum']:.6f} | {100 * r['gap']:.3f} % | {pure} | "
                  f"{r['mst_ratio']:.3f} |", flush=True)
        gains = [g for r in rows for g in r["polish_gains"]]
        print(f"polish alone: median gain x{statistics.median(gains):.4f}, smallest x{min(gains):.4f} "
              f"over {len(gains)} heuristic networks; "
              f"evolve() ratio min {min(r['ratio'] for r in rows):.4f} "
              f"median {statistics.median(r['ratio'] for r in rows):.4f}")
        gaps = [r["gap"] for r in rows if not math.isnan(r["gap"])]
        if gaps:
            print(f"evolve() gap above the exact optimum: largest {100 * max(gaps):.3f} %, "
                  f"median {100 * statistics.median(gaps):.3f} % over {len(gaps)} problems with a known optimum")
        if args.pure_generations:
            pure = [r["pure_ratio"] for r in rows]
            print(f"pure evolution ratio geometric mean "
                  f"{math.exp(statistics.fmean(math.log(max(p, 1e-12)) for p in pure)):.4f}")
        if args.pure_generations:
            print("pure evolution reaches the spanning tree on "
                  f"{sum(r['pure_ratio'] >= r['mst_ratio'] for r in rows)} of {len(rows)} problems")
        if args.fronts:
            from bench_fronts import print_fronts

            print_fronts(chosen, args.generations, args.time_limit, args.seed)


if __name__ == "__main__":
    main()
