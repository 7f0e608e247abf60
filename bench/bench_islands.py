"""Islands on local worker processes against one population, at equal wall time.

On the hardest problems of ``gridweave.problems.quality_suite()`` (by default
the two 512 x 512 maps) this compares, with the same wall-clock budget for
evolution (the cluster is started and the heuristic start network computed
beforehand, neither counted):

- one population of ``2 * size`` members (``evolve()``, engine threads for
  every CPU) against 2 islands of ``size`` members on 2 worker processes of
  one engine thread each, under the single objective (best fitness) and under
  ``MultiObjectiveBridge`` with NSGA2 (hypervolume of the front, points
  (fitness / the best heuristic's fitness, redundancy), reference (0, 0));
- 2 islands whose migrants take the receiver's numbers of nodes at the same
  positions (``numbering="position"``, a stand-in for a shared numbering);
- 8 islands of ``size / 4`` members on the same 2 worker processes
  (oversubscribed);
- evaluations per second of 2 islands on 1 worker process and on 2, over a
  fixed number of generations.

Evaluations are children bred and evaluated (generations x population size),
per second of evolution (start network and final polish excluded). Migration
cost is the islands' time for taking in migrants, choosing emigrants and
writing checkpoints, as a share of their evolving time, and the coordinator's
time per migration beyond the slowest island (transfer, routing, barrier).

Every island polishes ``--island-polish`` (1) children per generation, so that
2 islands polish as many as the single population (2, the default of
``evolve()``); polishing costs about as much as evaluating 100 children on
the 512 x 512 maps.

Run: .venv/bin/python bench/bench_islands.py [--problems 7 8] [--seconds 40] [--size 100]
     [--migration-every 10] [--migrants 2] [--island-polish 1] [--scaling-generations 100] [--seed 1]
     [--scaling-only]
"""

import argparse
import logging
import time

from distributed import Client

import report  # noqa: E402
from gridweave import evolve, routes
from gridweave.config import make_config
from gridweave.islands import evolve_islands, local_cluster
from gridweave.pareto import hypervolume
from gridweave.problems import quality_suite


def cluster(workers):
    local = local_cluster(workers)
    return local, Client(local)


def front_volume(front, scale):
    return hypervolume([(g.objectives[0] / scale, g.objectives[1]) for g in front or []])


def single(problem, config, args, scale, start):
    started = time.perf_counter()
    res = evolve(problem.cost_map, config, 10**6, start_genome=start, time_limit=args.seconds, progress=False,
                 seed=args.seed)
    seconds = time.perf_counter() - started
    evaluations = res.generations * config["population_size"]
    return dict(best=res.best_fitness / scale, hv=front_volume(res.pareto_front, scale) if res.pareto_front else None,
                evals=evaluations / max(1e-9, sum(r.seconds for r in res.history[1:])),
                gens=res.generations, seconds=seconds,
                migration="-")


def islands(problem, config, args, scale, client, count, start, numbering="fresh"):
    res = evolve_islands(problem.cost_map, config, 10**6, islands=count, migration_every=args.migration_every,
                         migrants=args.migrants, client=client, start_genome=start, time_limit=args.seconds,
                         polish_children=args.island_polish, numbering=numbering, seed=args.seed)
    compute = sum(r.compute_seconds for r in res.islands)
    share = sum(r.migration_seconds for r in res.islands) / max(1e-9, compute)
    per_migration = res.exchange_seconds / max(1, res.generations // args.migration_every)
    return dict(best=res.best_fitness / scale, hv=front_volume(res.pareto_front, scale) if res.pareto_front else None,
                evals=res.evaluations / max(1e-9, res.epoch_seconds), gens=res.generations, seconds=res.wall_seconds,
                migration=f"{100 * share:.1f}% + {1000 * per_migration:.0f} ms",
                matching=sum(r.migrant_matching for r in res.islands) / len(res.islands))


def row(problem, label, r, base):
    hv = f"{r['hv']:.4f}" if r["hv"] is not None else "-"
    ratio = f"{r['best'] / base['best']:.4f}"
    print(f"| {problem.name} | {label} | {r['best']:.4f} | {ratio} | {hv} | {r['evals']:.0f} | {r['gens']} | "
          f"{r['seconds']:.0f} | {r['migration']} |", flush=True)


def scaling(problem, args, clients, start):
    config = make_config(problem.grid_size, problem.terminals, population_size=args.size)
    rates = []
    for client in clients:
        res = evolve_islands(problem.cost_map, config, args.scaling_generations, islands=2,
                             migration_every=args.migration_every, migrants=args.migrants, client=client,
                             start_genome=start, polish_children=args.island_polish, seed=args.seed)
        rates.append(res.evaluations / res.epoch_seconds)
    print(f"| {problem.name} | {rates[0]:.0f} | {rates[1]:.0f} | x{rates[1] / rates[0]:.2f} |", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--problems", type=int, nargs="*", default=[7, 8])
    parser.add_argument("--seconds", type=float, default=40.0)
    parser.add_argument("--size", type=int, default=100, help="members per island (the single population has twice)")
    parser.add_argument("--migration-every", type=int, default=10)
    parser.add_argument("--island-polish", type=int, default=1,
                        help="children polished per generation on each island (the single population: 2)")
    parser.add_argument("--migrants", type=int, default=2)
    parser.add_argument("--scaling-generations", type=int, default=100)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--scaling-only", action="store_true", help="only the 1 -> 2 worker scaling table")
    args = parser.parse_args()
    with report.section("islands", "Islands"):
        logging.getLogger("distributed").setLevel(logging.ERROR)
        suite = quality_suite()
        chosen = [suite[i] for i in args.problems]
        one, one_client = cluster(1)
        two, two_client = cluster(2)
        try:
            print("best = fitness / best heuristic's fitness; ratio against the single population; "
                  "evals/s = children evaluated per second of evolution")
            print("| problem | run | best | ratio | hypervolume | evals/s | generations | seconds | migration cost |")
            print("|---|---|---|---|---|---|---|---|---|")
            matching, starts = [], []
            for problem in chosen:
                if args.scaling_only:
                    config = make_config(problem.grid_size, problem.terminals)
                    starts.append(routes.start_network(problem.cost_map, config))
                    continue
                heuristic = routes.steiner_tree(problem.cost_map, problem.terminals)
                scale = 1.0 / heuristic["cost"]
                start = routes.start_network(problem.cost_map, make_config(problem.grid_size, problem.terminals))
                starts.append(start)
                for objective, label in (("SingleObjective", ""), ("MultiObjectiveBridge", " NSGA2 bridge")):
                    selection = "NSGA2" if objective == "MultiObjectiveBridge" else "NEAT"
                    config = make_config(problem.grid_size, problem.terminals, population_size=args.size,
                                         evaluation_strategy=objective, selection_strategy=selection)
                    base = single(problem, {**config, "population_size": 2 * args.size}, args, scale, start)
                    row(problem, f"1 x {2 * args.size}{label}", base, base)
                    two_islands = islands(problem, config, args, scale, two_client, 2, start)
                    matching.append(two_islands["matching"])
                    row(problem, f"2 x {args.size} on 2 workers{label}", two_islands, base)
                    if not label:
                        shared = islands(problem, config, args, scale, two_client, 2, start, numbering="position")
                        row(problem, f"2 x {args.size}, position numbering", shared, base)
                        eight = islands(problem, {**config, "population_size": args.size // 4}, args, scale,
                                        two_client, 8, start)
                        row(problem, f"8 x {args.size // 4} on 2 workers", eight, base)
            if matching:
                print(f"arriving migrants: {100 * sum(matching) / len(matching):.1f}% of their edges carry a number "
                      "the receiving members already use")
            print()
            print("| problem | evals/s, 1 worker | evals/s, 2 workers | speed-up |")
            print("|---|---|---|---|")
            for problem, start in zip(chosen, starts):
                scaling(problem, args, [one_client, two_client], start)
        finally:
            for client, local in ((one_client, one), (two_client, two)):
                client.close()
                local.close()


if __name__ == "__main__":
    main()
