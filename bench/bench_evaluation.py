"""Sparse evaluation against a dense NumPy evaluation of the same traces.

The same 1,000 genomes (about 40 nodes and 60 enabled edges, laid out on a
256 x 256 region) are scored on a 256 x 256 and a 1024 x 1024 cost map.
Dense: (T * cost).sum() over a prebuilt trace grid per genome (prebuilt for a
sample of genomes, since 1,000 dense 1024 x 1024 grids would take 8 GB).

On the 1024 x 1024 map the trace kernel (network_costs) and the whole
evaluation (evaluate_genomes, connectivity included) are also set against a
plain gather of the same cells: the touched cells and trace values of every
genome, listed beforehand, summed as trace x cost with NumPy on one thread.
Native times are taken per thread (wall time x threads), so the ratios compare
the work; the comparison is then repeated in a process with one worker thread,
where the gather's one thread meets the kernel's one.
Impassable cells: the kernel and the evaluation on the 1024 x 1024 map with
and without impassable cells (scattered single cells, and round holes of nodata),
in turns, as ratios to the clear map.
bench_evaluation.cpp (GRIDWEAVE_BENCH=ON) compares the kernel with a gather of
the same samples without the Python layer.

Run: .venv/bin/python bench/bench_evaluation.py
"""

import argparse
import os
import subprocess
import sys
import time
from functools import partial
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).parent))

import gridweave as gw  # noqa: E402
import report  # noqa: E402
from common import best_of, config  # noqa: E402

DENSE_SAMPLE = 40


def genomes_for_benchmark():
    pop = gw.Population(config(1000, graph_init={"Grid": [6, 6]}, add_node_mutation_prob=0.2,
                               add_edge_mutation_prob=0.2, remove_edge_mutation_prob=0.0))
    gw.mutate_genomes(pop.members, pop)
    return pop, pop.members


def main():
    parser = argparse.ArgumentParser(description="Sparse evaluation and trace kernel benchmarks.")
    parser.add_argument("--kernel-only", action="store_true", help="only the kernel against the gather")
    if parser.parse_args().kernel_only:
        kernel_against_gather(genomes_for_benchmark()[1])
        return
    with report.section("evaluation", "Evaluation and trace kernel"):
        pop, genomes = genomes_for_benchmark()
        nodes = np.mean([len(g.nodes) for g in genomes])
        edges = np.mean([sum(e.enabled for e in g.edges.values()) for g in genomes])
        print(f"threads: {gw._core._num_threads()}; {len(genomes)} genomes, "
              f"{nodes:.0f} nodes and {edges:.0f} enabled edges on average")
        rng = np.random.default_rng(7)
        for size in (256, 1024):
            cost = rng.random((size, size))
            sparse = best_of(3, partial(gw.evaluate_genomes, genomes, cost))
            masks = [gw.get_genome_mask(g, (size, size)) for g in genomes[:DENSE_SAMPLE]]
            start = time.perf_counter()
            for mask in masks:
                (mask * cost).sum()
            dense = (time.perf_counter() - start) / DENSE_SAMPLE * len(genomes)
            rate_sparse, rate_dense = len(genomes) / sparse, len(genomes) / dense
            print(f"{size:>5} x {size:<5} sparse {rate_sparse:>10,.0f} genomes/s   dense {rate_dense:>8,.0f} genomes/s"
                  f"   ratio {rate_sparse / rate_dense:6.1f}")
        kernel_against_gather(genomes)
        impassable_against_clear(genomes)
        if gw._core._num_threads() > 1:
            # The gather runs on one thread: the same comparison with one worker
            # leaves out what the pool's second thread costs or shares.
            print("with one worker thread:", flush=True)
            env = dict(os.environ, GRIDWEAVE_NUM_THREADS="1")
            print(subprocess.run([sys.executable, __file__, "--kernel-only"], env=env, check=True,
                                 capture_output=True, text=True).stdout, end="")


def kernel_against_gather(genomes, size=1024, rounds=15):
    """Per-genome work of the trace kernel against a NumPy gather of the same cells.

    The kernel is timed alone (network_costs: cost in map units, no connectivity)
    and within the whole evaluation (evaluate_genomes). The three take turns for
    `rounds` rounds, so that a shared machine slows them alike; each ratio is the
    median of the rounds' ratios.
    """
    cost = np.random.default_rng(11).random((size, size))
    flat = cost.ravel()
    threads = gw._core._num_threads()
    touched = []
    for genome in genomes:
        mask = gw.get_genome_mask(genome, (size, size)).ravel()
        cells = np.flatnonzero(mask)
        touched.append((cells, mask[cells]))
    timings = {"kernel": [], "evaluation": [], "gather": []}
    for _ in range(rounds):
        timings["kernel"].append(best_of(1, lambda: gw.network_costs(genomes, cost)) * threads / len(genomes))
        timings["evaluation"].append(best_of(1, lambda: gw.evaluate_genomes(genomes, cost)) * threads / len(genomes))
        timings["gather"].append(best_of(1, lambda: [float(flat[c] @ v) for c, v in touched]) / len(genomes))
    gather = np.array(timings["gather"])
    print(f"{size:>5} x {size:<5} gather of the same cells {np.median(gather) * 1e6:8.2f} us per genome "
          f"(median of {rounds} rounds)")
    for name in ("kernel", "evaluation"):
        times = np.array(timings[name])
        print(f"{size:>5} x {size:<5} {name:<10} {np.median(times) * 1e6:8.2f} us per genome and thread   "
              f"{name} / gather {np.median(times / gather):5.2f}")


def impassable_maps(cost, rng):
    """The map with 0.01 % of its cells impassable one by one, and with round holes: two of
    radius 2 among the genomes (which lie in the first 256 x 256 cells), 30 of radius 8 elsewhere."""
    scattered = cost.copy()
    scattered[rng.random(cost.shape) < 1e-4] = np.inf
    holes = cost.copy()
    x, y = np.meshgrid(np.arange(cost.shape[0]), np.arange(cost.shape[1]), indexing="ij")
    centres = [(c, 2) for c in rng.integers(0, 256, size=(2, 2))]
    centres += [(c, 8) for c in rng.integers(256, cost.shape[0], size=(30, 2))]
    for (cx, cy), radius in centres:
        holes[(x - cx) ** 2 + (y - cy) ** 2 <= radius**2] = np.inf
    return {"scattered": scattered, "holes": holes}


def impassable_against_clear(genomes, size=1024, rounds=15):
    """Evaluation and kernel times on maps with impassable cells, as ratios to the clear map."""
    rng = np.random.default_rng(13)
    clear = rng.random((size, size))
    maps = impassable_maps(clear, rng)
    calls = {"kernel": gw.network_costs, "evaluation": gw.evaluate_genomes}
    for name, call in calls.items():
        ratios = {kind: [] for kind in maps}
        for _ in range(rounds):
            base = best_of(1, partial(call, genomes, clear))
            for kind, cost in maps.items():
                ratios[kind].append(best_of(1, partial(call, genomes, cost)) / base)
        for kind, cost in maps.items():
            feasible = np.isfinite(gw.network_costs(genomes, cost)).mean()
            print(f"{size:>5} x {size:<5} {name:<10} {kind:<9} map / clear map {np.median(ratios[kind]):5.2f}   "
                  f"({feasible:.0%} of the genomes feasible)")


if __name__ == "__main__":
    main()
