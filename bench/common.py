"""Shared set-up for the benchmarks: configurations and varied populations."""

import time

import gridweave as gw


def config(population_size, grid=(256, 256), sigma=4, **changes):
    special = {
        "grid_size": list(grid),
        "fixed_nodes": [[grid[0] // 8, grid[1] // 8], [grid[0] * 7 // 8, grid[1] // 2], [grid[0] // 2, grid[1] * 7 // 8]],
        "move_node_mutation_prob": 0.5,
        "move_node_mutation_sigma": 4.0,
        "evaluation_strategy": "SingleObjective",
        "graph_init": {"Grid": [5, 5]},
        "compatibility_sigma": sigma,
        "c3": 1.0,
    }
    base = {
        "population_size": population_size,
        "add_node_mutation_prob": 0.5,
        "add_edge_mutation_prob": 0.5,
        "remove_edge_mutation_prob": 0.1,
        "remove_node_mutation_prob": 0.1,
        "remove_node_single_mutation_prob": 0.1,
        "num_elites_species": 1,
        "num_elites_global": 2,
        "selection_share": 0.5,
        "tournament_size": 3,
        "species_threshold": 3.0,
        "target_species": 8,
        "mating_strategy": "NEATSpeciation",
        "selection_strategy": "NEAT",
        "diversity_objective": True,
        "crossover_enabled": True,
        "c1": 1.0,
        "c2": 1.0,
        "special": special,
    }
    for key, value in changes.items():
        (special if key in special else base)[key] = value
    return base


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
