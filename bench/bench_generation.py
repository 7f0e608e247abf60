"""Time per generation, split by phase, for NEAT and NSGA2 selection.

Each case runs the generation loop of ``gridweave.evolve`` (polish off) on a
``make_terrain`` map with 15 terminals and the default configuration (NSGA2
with the MultiObjectiveBridge evaluation) and times the native calls inside
it: evaluate (``evaluate_genomes``), mutate (``mutate_genomes``),
make_offspring, select, rank (``process_multi_objective`` and the novelty
augmentation) and driver (everything else in the loop). Every case runs in
its own process, which also gives its peak RSS.

Cases: NEAT and NSGA2 at population 100 / 1,000 / 10,000 on maps of
256 / 1,024 / 4,096 cells a side; ``--quick`` keeps a subset,
``--cases`` picks any (e.g. ``NEAT:1000:1024``).

``--compare DIR`` runs every case a second time with the gridweave package
found in DIR (another build, e.g. of an earlier commit installed with
``pip install --no-deps --target DIR .``) and prints the ratios old / new.

Run: .venv/bin/python bench/bench_generation.py --quick [--compare DIR]
"""

import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import report  # noqa: E402

PHASES = ("evaluate", "mutate", "make_offspring", "select", "rank", "driver")
SELECTIONS = ("NEAT", "NSGA2")
POPULATIONS = (100, 1_000, 10_000)
SIDES = (256, 1_024, 4_096)
QUICK = ("NEAT:100:256", "NSGA2:100:256", "NEAT:1000:256", "NSGA2:1000:256", "NEAT:100:1024",
         "NSGA2:100:1024", "NEAT:1000:1024", "NSGA2:1000:1024", "NSGA2:100:4096")


class PhaseClock:
    """Seconds spent per phase."""

    def __init__(self):
        self.seconds = dict.fromkeys(PHASES, 0.0)

    def timed(self, phase, function):
        def wrapper(*args, **kwargs):
            start = time.perf_counter()
            try:
                return function(*args, **kwargs)
            finally:
                self.seconds[phase] += time.perf_counter() - start

        return wrapper


class TimedCore:
    """The native module with the phase calls timed; everything else passes through."""

    CALLS = {"evaluate_genomes": "evaluate", "mutate_genomes": "mutate", "make_offspring": "make_offspring",
             "select": "select", "process_multi_objective": "rank"}

    def __init__(self, core, clock):
        self._core, self._clock = core, clock

    def __getattr__(self, name):
        value = getattr(self._core, name)
        return self._clock.timed(self.CALLS[name], value) if name in self.CALLS else value


def problem_file(side):
    """The case's terrain, built once with this tree's package and shared by every build compared."""
    path = Path(tempfile.gettempdir()) / f"gridweave-bench-terrain-{side}.npz"
    if not path.exists():
        from gridweave.problems import make_terrain

        problem = make_terrain((side, side), n_terminals=15, seed=0)
        np.savez(path, cost_map=problem.cost_map, terminals=np.array(problem.terminals))
    return path


def run_case(selection, population, side, generations, problem_path):
    """One case in this process: seconds per generation by phase, and the peak RSS."""
    import importlib

    from gridweave import _core
    from gridweave.config import make_config

    # The run state lives in gridweave.run; earlier builds kept it in the driver
    # (as _Run), or before that in a module called evolve.
    try:
        loop = importlib.import_module("gridweave.run")
        run_class = loop.Run
    except ImportError:
        try:
            loop = importlib.import_module("gridweave.driver")
        except ImportError:
            loop = importlib.import_module("gridweave.evolve")
        run_class = loop._Run
    stored = np.load(problem_path)
    cost_map, terminals = stored["cost_map"], [tuple(int(v) for v in t) for t in stored["terminals"]]
    strategy = "MultiObjectiveBridge" if selection == "NSGA2" else "SingleObjective"
    config = make_config(cost_map.shape, terminals, population_size=population,
                         selection_strategy=selection, evaluation_strategy=strategy)
    _core._seed(1)
    run = run_class(_core.Population(dict(config), None), cost_map, config)
    run.take_members(evaluate=True)
    clock = PhaseClock()
    loop._core = TimedCore(_core, clock)
    run_class.augment = clock.timed("rank", run_class.augment)
    start = time.perf_counter()
    for _ in range(generations):
        run.step()
    total = time.perf_counter() - start
    clock.seconds["driver"] = total - sum(clock.seconds.values())
    per_generation = {phase: seconds / generations for phase, seconds in clock.seconds.items()}
    per_generation["total"] = total / generations
    peak_mb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    return {"seconds": per_generation, "peak_mb": peak_mb, "threads": _core._num_threads()}


def measure(case, generations, package_dir=None):
    """Runs one case in a child process, with `package_dir` first on the path if given."""
    env = dict(os.environ)
    if package_dir:
        env["PYTHONPATH"] = os.pathsep.join([str(package_dir), env.get("PYTHONPATH", "")])
    command = [sys.executable, __file__, "--child", case, "--generations", str(generations),
               "--problem", str(problem_file(int(case.split(":")[2])))]
    done = subprocess.run(command, env=env, capture_output=True, text=True, check=False)
    if done.returncode != 0:
        return {"error": done.stderr.strip().splitlines()[-1] if done.stderr.strip() else "failed"}
    return json.loads(done.stdout.splitlines()[-1])


def row(label, result):
    if "error" in result:
        return f"{label:<26} {result['error']}"
    s = result["seconds"]
    cells = " ".join(f"{s[p] * 1e3:>10.1f}" for p in (*PHASES, "total"))
    return f"{label:<26} {cells} {result['peak_mb']:>8.0f}"


def ratio_row(old, new):
    if "error" in old or "error" in new:
        return f"{'  ratio old / new':<26} -"
    ratios = []
    for phase in (*PHASES, "total"):
        a, b = old["seconds"][phase], new["seconds"][phase]
        ratios.append(f"{a / b:>9.2f}x" if b > 1e-6 else f"{'-':>10}")
    return f"{'  ratio old / new':<26} {' '.join(ratios)} {old['peak_mb'] / new['peak_mb']:>7.2f}x"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a subset of the cases")
    parser.add_argument("--cases", nargs="*", help="cases as SELECTION:POPULATION:SIDE")
    parser.add_argument("--generations", type=int, default=3, help="timed generations per case")
    parser.add_argument("--compare", type=Path, help="directory holding another build of gridweave")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--problem", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        selection, population, side = args.child.split(":")
        print(json.dumps(run_case(selection, int(population), int(side), args.generations, args.problem)))
        return
    with report.section("generation", "Time per generation"):
        cases = args.cases or (QUICK if args.quick else
                               [f"{s}:{p}:{n}" for s in SELECTIONS for p in POPULATIONS for n in SIDES])
        header = " ".join(f"{p:>10}" for p in (*PHASES, "total"))
        print(f"milliseconds per generation ({args.generations} generations), peak RSS in MB")
        print(f"{'case':<26} {header} {'peak MB':>8}")
        for case in cases:
            new = measure(case, args.generations)
            print(row(case, new), flush=True)
            if args.compare:
                old = measure(case, args.generations, args.compare)
                print(row("  old build", old))
                print(ratio_row(old, new), flush=True)


if __name__ == "__main__":
    main()
