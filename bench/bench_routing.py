"""Settled cells per second of a single-source least-cost search, one thread.

Three kinds of map (the terrain of make_terrain, also read as float32, a
uniform map and uniformly random costs) at 1,024, 2,048 and 4,096 cells a side. The native benchmark
bench_routing.cpp (built here with -DGRIDWEAVE_BENCH=ON into build/bench) runs
the search against the plain binary-heap search it replaced, alternating the
two, and checks that distances and paths agree bit for bit; it reports cells
per second of thread time (median of the rounds). The search's peak memory
per cell is measured in a process of its own at the largest size, and
least_cost_distances is timed end to end (wall time, the check of the map and the output
array included) with one worker thread.

Run: .venv/bin/python bench/bench_routing.py [--sizes 1024 2048 4096] [--rounds 5]
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

os.environ["GRIDWEAVE_NUM_THREADS"] = "1"

import numpy as np  # noqa: E402

import report  # noqa: E402
from gridweave.problems import make_terrain  # noqa: E402
from gridweave.routes import least_cost_distances  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "bench"


def build():
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(BUILD), "-DGRIDWEAVE_PYTHON=OFF", "-DGRIDWEAVE_BENCH=ON",
                    "-DCMAKE_BUILD_TYPE=Release"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(BUILD), "--target", "bench_routing", "-j", str(os.cpu_count())],
                   check=True, stdout=subprocess.DEVNULL)
    return BUILD / "bench" / "bench_routing"


def maps(side):
    """Name, costs and whether the native searches read them as float32."""
    rng = np.random.default_rng(7)
    terrain = make_terrain((side, side), n_terminals=2, seed=7).cost_map
    yield "terrain", terrain, False
    yield "terrain32", terrain, True
    yield "uniform", np.ones((side, side)), False
    yield "random", rng.uniform(0.5, 9.5, (side, side)), False


def main():
    parser = argparse.ArgumentParser(description="Least-cost search benchmark.")
    parser.add_argument("--sizes", type=int, nargs="+", default=[1024, 2048, 4096])
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    with report.section("routing", "Least-cost search"):
        binary = build()
        with tempfile.TemporaryDirectory() as folder:
            for side in args.sizes:
                for name, cost, float32 in maps(side):
                    path = Path(folder) / f"{name}.f64"
                    np.ascontiguousarray(cost, dtype=np.float64).tofile(path)
                    command = [str(binary), str(side), str(side), str(path), str(args.rounds)] + ["float32"] * float32
                    native = subprocess.run(command, check=True, capture_output=True, text=True).stdout.strip()
                    if float32:
                        print(f"{name:<9} {native}", flush=True)
                        continue
                    source = [(side // 3, side // 2)]
                    times = []
                    for _ in range(3):
                        start = time.perf_counter()
                        least_cost_distances(cost, source)
                        times.append(time.perf_counter() - start)
                    python_rate = side * side / sorted(times)[1] / 1e6
                    print(f"{name:<9} {native}   least_cost_distances {python_rate:6.2f} M cells/s", flush=True)
                    if side == max(args.sizes):
                        memory = subprocess.run([str(binary), str(side), str(side), str(path), "--memory"],
                                                check=True, capture_output=True, text=True).stdout.strip()
                        print(f"{'':<9} search {memory}", flush=True)


if __name__ == "__main__":
    sys.exit(main())
