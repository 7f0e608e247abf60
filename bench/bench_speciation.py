"""Diversity augmentation and speciation timings.

Run: .venv/bin/python bench/bench_speciation.py
"""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))

import gridweave as gw  # noqa: E402
import report  # noqa: E402
from common import best_of, varied_population  # noqa: E402


def pairwise(genomes):
    for i in range(len(genomes)):
        for j in range(i + 1, len(genomes)):
            gw.genome_compatibility(genomes[i], genomes[j])


def main():
    with report.section("speciation", "Speciation and diversity"):
        pop = varied_population(300)
        genomes = pop.members
        n = len(genomes)
        augment = best_of(3, lambda: pop.augment_diversity(genomes))
        pairs = best_of(1, lambda: pairwise(genomes))
        print(f"threads: {gw._core._num_threads()}")
        print(f"augment_diversity, {n} genomes on 256x256, sigma 4: {augment * 1e3:9.1f} ms")
        print(f"{n * (n - 1) // 2} genome_compatibility calls, one by one:  {pairs * 1e3:9.1f} ms")
        print(f"ratio: {pairs / augment:.1f}x")

        big = varied_population(500)
        members = big.members
        respeciate = best_of(3, lambda: gw.select(big, [], [], members))
        print(f"respeciate through select, 500 members: {respeciate * 1e3:9.1f} ms, {len(big.species)} species")


if __name__ == "__main__":
    main()
