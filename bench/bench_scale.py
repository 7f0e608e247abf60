"""Memory per genome and time per generation as the population grows.

Genomes of about 50 nodes (a 7 x 7 initial grid plus 3 fixed nodes) on a
512 x 512 map, for 1,000 and 10,000 genomes; a ratio near 10 between the two
sizes means linear growth. The diversity objective is left out: novelty
compares every pair of genomes, so it is quadratic by definition
(bench_speciation.py times it).

Run: .venv/bin/python bench/bench_scale.py [--sizes 1000 10000] [--generations 3]
"""

import argparse
import ctypes
import gc
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).parent))

import gridweave as gw  # noqa: E402
from common import config  # noqa: E402
from gridweave import evolve  # noqa: E402

GRID = (512, 512)
STRATEGIES = {
    "NEAT, single objective": dict(selection_strategy="NEAT"),
    "NSGA2, fitness + bridges": dict(selection_strategy="NSGA2", evaluation_strategy="MultiObjectiveBridge"),
    "SPEA2, fitness + bridges": dict(selection_strategy="SPEA2", evaluation_strategy="MultiObjectiveBridge"),
}


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
                 "fordblks", "keepcost")]


def heap_bytes():
    """Bytes in use on the C heap (freed memory that malloc keeps does not count)."""
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = _MallInfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def bytes_per_genome(size, settings):
    gc.collect()
    before = heap_bytes()
    pop = gw.Population(config(size, grid=GRID, graph_init={"Grid": [7, 7]}, diversity_objective=False,
                               **settings))
    members = pop.members
    nodes = sum(len(g.nodes) for g in members) / len(members)
    used = (heap_bytes() - before) / size
    del members, pop
    return used, nodes


def seconds_per_generation(size, settings, generations, cost):
    cfg = config(size, grid=GRID, graph_init={"Grid": [7, 7]}, diversity_objective=False, **settings)
    result = evolve(cost, cfg, generations, progress=False, seed=1)
    return float(np.median([record.seconds for record in result.history[1:]]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[1000, 10000])
    parser.add_argument("--generations", type=int, default=3)
    args = parser.parse_args()
    cost = np.random.default_rng(0).random(GRID) + 0.1
    print(f"threads: {gw._core._num_threads()}, map {GRID[0]}x{GRID[1]}")
    for name, settings in STRATEGIES.items():
        rows = []
        for size in args.sizes:
            start = time.perf_counter()
            used, nodes = bytes_per_genome(size, settings)
            per_generation = seconds_per_generation(size, settings, args.generations, cost)
            rows.append((size, used, nodes, per_generation))
            print(f"{name:26s} {size:6d} genomes ({nodes:4.1f} nodes): {used / 1024:6.1f} KiB/genome, "
                  f"{per_generation:8.3f} s/generation  [{time.perf_counter() - start:.0f} s]", flush=True)
        if len(rows) > 1:
            (n0, m0, _, t0), (n1, m1, _, t1) = rows[0], rows[-1]
            print(f"{'':26s} {n1 / n0:.0f}x genomes: memory/genome x{m1 / m0:.2f}, "
                  f"time/generation x{t1 / t0:.1f}")


if __name__ == "__main__":
    main()
