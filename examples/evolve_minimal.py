"""Evolve a network on a synthetic cost map with the raw native API.

Usage: python examples/evolve_minimal.py [generations]
"""

import sys

import numpy as np

import gridweave as gw


def make_config(mating, selection, strategy):
    """A 40 x 40 map (rows, columns) with four terminals given as (row, column) cells."""
    return gw.make_config(
        (40, 40), [(3, 3), (36, 5), (20, 36), (5, 30)], population_size=40,
        remove_edge_mutation_prob=0.2, remove_node_mutation_prob=0.2,
        remove_node_single_mutation_prob=0.2, species_threshold=2.0, target_species=4,
        mating_strategy=mating, selection_strategy=selection, evaluation_strategy=strategy,
        move_node_mutation_prob=0.5, move_node_mutation_sigma=3.0, graph_init={"Grid": [3, 3]},
        c3=1.0,
    )


def raw_score(genome):
    """The cost-based fitness; under NSGA2 `fitness` holds a rank instead."""
    return genome.objectives[0] if genome.objectives else genome.fitness


def evaluate(pop, genomes, cost, multi_objective):
    gw.evaluate_genomes(genomes, cost)
    if multi_objective:
        gw.process_multi_objective(pop, genomes)


def run(config, cost, generations):
    multi_objective = config["selection_strategy"] != "NEAT"
    pop = gw.Population(config)
    evaluate(pop, pop.members, cost, multi_objective)
    history = [max(map(raw_score, pop.members))]
    for _ in range(generations):
        elites, species_elites, children = gw.make_offspring(pop, config["population_size"])
        gw.mutate_genomes(children, pop)
        evaluate(pop, children + pop.members, cost, multi_objective)
        gw.select(pop, elites, species_elites, children)
        history.append(max(history[-1], max(map(raw_score, pop.members))))
    return history


def main(generations=50):
    row, column = np.mgrid[0:40, 0:40]
    cost = 1.0 + 4.0 * np.exp(-((row - 20) ** 2 + (column - 20) ** 2) / 60.0)  # a central hill
    for setup in [("NEATSpeciation", "NEAT", "SingleObjective"),
                  ("GlobalTournament", "NSGA2", "MultiObjectiveBridge")]:
        history = run(make_config(*setup), cost, generations)
        print(f"{' + '.join(setup)}: best fitness {history[0]:.4f} -> {history[-1]:.4f}")
    return history


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 50)
