"""Shared set-up for the benchmarks: configurations and varied populations."""

import time

import gridweave as gw
from gridweave.config import make_config


def config(population_size, grid=(256, 256), sigma=4, **changes):
    """Benchmark settings on top of the package defaults."""
    fixed = [[grid[0] // 8, grid[1] // 8], [grid[0] * 7 // 8, grid[1] // 2], [grid[0] // 2, grid[1] * 7 // 8]]
    settings = dict(population_size=population_size, compatibility_sigma=sigma, c3=1.0, target_species=8,
                    add_node_mutation_prob=0.5, add_edge_mutation_prob=0.5, move_node_mutation_prob=0.5,
                    move_node_mutation_sigma=4.0, graph_init={"Grid": [5, 5]}, diversity_objective=True)
    settings.update(changes)
    return make_config(list(grid), fixed, **settings)


def varied_population(population_size, rounds=5, **changes):
    """A population whose members went through a few extra rounds of mutation."""
    pop = gw.Population(config(population_size, **changes))
    for _ in range(rounds):
        gw.mutate_genomes(pop.members, pop)
    return pop


def best_of(repeats, function):
    """Smallest wall time of `repeats` calls, in seconds."""
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        function()
        best = min(best, time.perf_counter() - start)
    return best
