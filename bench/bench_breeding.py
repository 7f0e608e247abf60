"""Breeding and mutation throughput on 1 and 2 worker threads.

For populations of 1,000 and 10,000 (varied by a few rounds of mutation and
evaluated on a 256 x 256 terrain) this times ``make_offspring`` (elites and
crossover children of a full generation) and ``mutate_genomes`` (the children
of that call) with GRIDWEAVE_NUM_THREADS=1 and =2, each in its own process,
and prints the best of ``--repeats`` runs. The processes for each thread count
take turns for ``--rounds`` rounds; the speed-up is the median of the rounds'
ratios (first thread count over last), so that a machine whose load drifts
slows both sides alike. Other work on the machine slows single runs: read the
best-of figures, not one run.
The CPU columns (all threads of the process) show the cost of parallelism
apart from the machine's load: CPU time that stays flat from 1 to 2 threads
means no time is lost to lock contention, whatever the wall clock shows.

``--save FILE`` keeps the figures as JSON; ``--compare FILE`` adds the ratio
of the saved figures to the new ones (old / new, above 1 is faster).
``--against PYTHON`` measures the build installed for another interpreter (the
build before a change) in the same run, its processes taking turns with this
build's, and adds the same ratios: the fair comparison on a busy machine.

Run: .venv/bin/python bench/bench_breeding.py [--sizes 1000 10000] [--threads 1 2]
     [--repeats 5] [--rounds 3] [--save before.json] [--compare before.json]
     [--against old/.venv/bin/python]
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

import report  # noqa: E402

OPERATIONS = ("make_offspring", "mutate")


def timed(best: dict[str, float], operation: str, function, *args):
    """Calls function(*args), keeping the smallest wall and CPU seconds seen."""
    wall, cpu = time.perf_counter(), time.process_time()
    result = function(*args)
    best[operation] = min(best[operation], time.perf_counter() - wall)
    best[operation + "/cpu"] = min(best[operation + "/cpu"], time.process_time() - cpu)
    return result


def measure(size: int, repeats: int) -> dict[str, float]:
    """Best wall and CPU (all threads) seconds of each operation, in this process."""
    import gridweave as gw
    from gridweave.problems import make_terrain

    sys.path.insert(0, os.path.dirname(__file__))
    from common import varied_population

    gw._core._seed(1)
    pop = varied_population(size, rounds=3, diversity_objective=False)
    gw.evaluate_genomes(pop.members, make_terrain((256, 256), n_terminals=3, seed=1).cost_map)
    best = dict.fromkeys([*OPERATIONS, *(f"{op}/cpu" for op in OPERATIONS)], float("inf"))
    for _ in range(repeats):
        children = timed(best, "make_offspring", gw.make_offspring, pop, size)[2]
        timed(best, "mutate", gw.mutate_genomes, children, pop)
    return best


def run_worker(size: int, threads: int, repeats: int, python: str = sys.executable) -> dict[str, float]:
    # NumPy's BLAS threads spin for a while after the terrain's matrix product
    # and would take a core from the workers being timed.
    env = dict(os.environ, GRIDWEAVE_NUM_THREADS=str(threads), OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    command = [python, __file__, "--worker", str(size), "--repeats", str(repeats)]
    output = subprocess.run(command, env=env, check=True, capture_output=True, text=True).stdout
    return json.loads(output.splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=[1000, 10000])
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--rounds", type=int, default=3, help="turns of the thread counts' processes")
    parser.add_argument("--save", metavar="FILE")
    parser.add_argument("--compare", metavar="FILE")
    parser.add_argument("--against", metavar="PYTHON", help="interpreter of the build to compare with")
    parser.add_argument("--worker", type=int, metavar="SIZE", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        print(json.dumps(measure(args.worker, args.repeats)))
        return
    with report.section("breeding", "Breeding on one and two threads"):
        before = json.load(open(args.compare)) if args.compare else {}
        figures: dict[str, dict[str, float]] = {}
        header = f"{'population':>10} {'operation':>15} " + " ".join(f"{f'{t} thr ms':>10}" for t in args.threads)
        header += f" {'speed-up':>9} " + " ".join(f"{f'cpu {t} ms':>10}" for t in args.threads)
        compared = bool(before) or bool(args.against)
        print(header + (" " + " ".join(f"{f'vs old {t}':>9}" for t in args.threads) if compared else ""))
        for size in args.sizes:
            rounds, old_rounds = [], []
            for _ in range(args.rounds):
                if args.against:
                    old_rounds.append({t: run_worker(size, t, args.repeats, args.against) for t in args.threads})
                rounds.append({t: run_worker(size, t, args.repeats) for t in args.threads})
            if old_rounds:
                before.update({f"{size}/{op}/{t}": min(r[t][op] for r in old_rounds)
                               for op in OPERATIONS for t in args.threads})
            runs = {t: {key: min(r[t][key] for r in rounds) for key in rounds[0][t]} for t in args.threads}
            for operation in OPERATIONS:
                times = [runs[t][operation] for t in args.threads]
                speed_up = statistics.median(
                    r[args.threads[0]][operation] / r[args.threads[-1]][operation] for r in rounds)
                for t in args.threads:
                    figures[f"{size}/{operation}/{t}"] = runs[t][operation]
                    figures[f"{size}/{operation}/cpu/{t}"] = runs[t][operation + "/cpu"]
                line = f"{size:>10} {operation:>15} " + " ".join(f"{1e3 * s:>10.1f}" for s in times)
                line += f" {speed_up:>8.2f}x "
                line += " ".join(f"{1e3 * runs[t][operation + '/cpu']:>10.1f}" for t in args.threads)
                if compared:
                    line += " " + " ".join(
                        f"{before.get(f'{size}/{operation}/{t}', float('nan')) / runs[t][operation]:>8.2f}x"
                        for t in args.threads)
                print(line, flush=True)
        if args.save:
            with open(args.save, "w") as file:
                json.dump(figures, file, indent=1)


if __name__ == "__main__":
    main()
