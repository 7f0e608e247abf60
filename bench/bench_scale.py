"""Real-size rasters: every phase of evolve() under its time limit, and the population's growth.

``maps`` (the default): evolve() with default settings under a time limit on
maps of 1,024 x 1,024 to 8,192 x 8,192 cells (terrain, mountains, barriers; 30
to 200 terminals). Each run is a fresh process that loads the map from a file,
so that its peak RSS is the run's own. Printed per run: wall time against the
limit, seconds per phase, generations, the phases cut short, peak RSS, and the
fitness against the best heuristic network (the cheapest of the spanning tree,
the Voronoi tree and the trees grown from four roots, computed after the run).

``population``: memory per genome and time per generation for 1,000 and
10,000 genomes of about 50 nodes on a 512 x 512 map (a ratio near 10 between
the two sizes means linear growth).

Run: .venv/bin/python bench/bench_scale.py [maps] [--cases terrain-2048 ...] [--quick]
     .venv/bin/python bench/bench_scale.py population [--sizes 1000 10000] [--generations 3]
"""

import argparse
import ctypes
import gc
import json
import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).parent))

import gridweave as gw  # noqa: E402
import report  # noqa: E402
from common import config  # noqa: E402
from gridweave import evolve, problems, routes  # noqa: E402

# (name, generator, side, terminals, time limit in s, dtype, fixed hill count or None)
MAP_CASES = [
    ("terrain-1024", "terrain", 1024, 30, 60, "float64", None),
    ("terrain-2048", "terrain", 2048, 30, 60, "float64", None),
    ("terrain-4096", "terrain", 4096, 50, 60, "float64", None),
    ("terrain-4096-hills", "terrain", 4096, 100, 60, "float32", 200),
    ("mountains-2048", "mountains", 2048, 100, 60, "float64", None),
    ("barriers-4096", "barriers", 4096, 200, 60, "float32", None),
    ("terrain-8192", "terrain", 8192, 100, 120, "float32", 400),
]
QUICK_CASES = ["terrain-1024", "terrain-2048"]


def make_problem(kind, side, terminals, hills):
    if kind == "terrain":
        return problems.make_terrain((side, side), n_terminals=terminals, seed=7, hills=hills)
    return getattr(problems, f"make_{kind}")((side, side), n_terminals=terminals, seed=7)


def peak_rss_gb():
    """This process's peak resident memory. Read from /proc: getrusage's figure
    starts from the parent's after a fork, and the parent built the map."""
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) / 2**20  # kB
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 2**20


def child(path, terminals_json, time_limit):
    """One evolve() run on the map saved at `path`; prints one JSON line."""
    cost = np.load(path)
    terminals = json.loads(terminals_json)
    cfg = gw.make_config(cost.shape, terminals)
    started = time.perf_counter()
    result = evolve(cost, cfg, 100000, time_limit=time_limit, seed=1, progress=False)
    wall = time.perf_counter() - started
    rss = peak_rss_gb()
    heuristics = [routes.spanning_tree(cost, terminals)["cost"]]
    heuristics += [tree["cost"] for tree in routes.steiner_trees(cost, terminals, roots=4)]
    print(json.dumps(dict(wall=wall, generations=result.generations, fitness=result.best_fitness,
                          best_heuristic=min(heuristics), heuristics=heuristics, rss=rss,
                          phases=result.phase_seconds, cut_short=result.cut_short,
                          stop_reason=result.stop_reason)))


def maps_main(argv):
    parser = argparse.ArgumentParser(prog="bench_scale.py maps", description="evolve() on real-size maps")
    parser.add_argument("--cases", nargs="+", choices=[c[0] for c in MAP_CASES])
    parser.add_argument("--quick", action="store_true", help=f"only {', '.join(QUICK_CASES)}")
    args = parser.parse_args(argv)
    wanted = args.cases or (QUICK_CASES if args.quick else [c[0] for c in MAP_CASES])
    with report.section("scale", "Large maps"):
        print(f"threads: {gw._core._num_threads()}")
        print("| map | terminals | dtype | limit (s) | wall (s) | wall / limit | start (s) | generations | "
              "gen/s | cut short | peak RSS (GB) | fitness / best heuristic |")
        print("|---|---|---|---|---|---|---|---|---|---|---|---|")
        with tempfile.TemporaryDirectory() as folder:
            for name, kind, side, terminals, limit, dtype, hills in MAP_CASES:
                if name not in wanted:
                    continue
                problem = make_problem(kind, side, terminals, hills)
                path = os.path.join(folder, "cost.npy")
                np.save(path, problem.cost_map.astype(dtype))
                points = json.dumps([list(t) for t in problem.terminals])
                del problem
                gc.collect()
                out = subprocess.run([sys.executable, __file__, "child", path, points, str(limit)],
                                     capture_output=True, text=True, check=True).stdout
                r = json.loads(out.strip().splitlines()[-1])
                start = sum(r["phases"].get(p, 0.0) for p in
                            ("spanning tree", "Steiner trees", "polish", "key-path exchange", "redundancy"))
                gens = r["phases"].get("generations", 0.0)
                print(f"| {name} | {terminals} | {dtype} | {limit} | {r['wall']:.1f} | {r['wall'] / limit:.3f} | "
                      f"{start:.1f} | {r['generations']} | {r['generations'] / max(gens, 1e-9):.1f} | "
                      f"{', '.join(r['cut_short']) or '-'} | {r['rss']:.2f} | "
                      f"{r['fitness'] * r['best_heuristic']:.4f} |", flush=True)
                phases = ", ".join(f"{k} {v:.1f}" for k, v in r["phases"].items())
                print(f"|   | phases (s): {phases}; heuristic costs: "
                      f"{', '.join(f'{c:.1f}' for c in r['heuristics'])} |", flush=True)


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


def population_main(argv):
    parser = argparse.ArgumentParser(prog="bench_scale.py population",
                                     description="memory per genome and time per generation")
    parser.add_argument("--sizes", type=int, nargs="+", default=[1000, 10000])
    parser.add_argument("--generations", type=int, default=3)
    args = parser.parse_args(argv)
    cost = np.random.default_rng(0).random(GRID) + 0.1
    with report.section("scale-population", "Memory and time per generation by population"):
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



def main():
    argv = sys.argv[1:]
    if argv[:1] == ["child"]:
        return child(argv[1], argv[2], float(argv[3]))
    if argv[:1] == ["population"]:
        return population_main(argv[1:])
    return maps_main(argv[1:] if argv[:1] == ["maps"] else argv)


if __name__ == "__main__":
    main()
