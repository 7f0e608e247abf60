"""Several Python threads share one population; nothing deadlocks or corrupts."""

import random
import threading

import numpy as np

import gridweave as gw
from conftest import make_config

THREADS = 8
ROUNDS = 15
WATCHDOG_SECONDS = 120


def worker(pop, cost, seed, errors):
    rng = random.Random(seed)
    try:
        for _ in range(ROUNDS):
            action = rng.randrange(7)
            if action == 0:
                gw.evaluate_genomes(pop.members, cost)
            elif action == 1:
                gw.mutate_genomes(pop.members[:4], pop)
            elif action == 2:
                elites, species_elites, children = gw.make_offspring(pop, 12)
                gw.mutate_genomes(children, pop)
                gw.evaluate_genomes(children, cost)
                gw.select(pop, elites, species_elites, children)
            elif action == 3:
                pop.get_stats()
                [s.members for s in pop.species]
            elif action == 4:
                a, b = pop.new_node_id(), pop.new_node_id()
                pop.create_genome({"nodes": [{"id": a, "data": {"pos": (1, 1), "type": "Fixed"}},
                                             {"id": b, "data": {"pos": (5, 5), "type": "Fixed"}}],
                                   "edges": [{"node1": a, "node2": b, "enabled": True}]})
            elif action == 5:
                pop.get_edge_id(rng.randrange(50), rng.randrange(50))
            else:
                pop.augment_diversity(pop.members[:6])
    except BaseException as error:  # noqa: BLE001 - reported to the main thread
        errors.append(error)


def test_threads_share_one_population():
    pop = gw.Population(make_config(population_size=12, diversity_objective=True))
    cost = np.random.default_rng(3).random((32, 32))
    errors = []
    threads = [threading.Thread(target=worker, args=(pop, cost, seed, errors), daemon=True)
               for seed in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(WATCHDOG_SECONDS)
    assert not any(t.is_alive() for t in threads), "deadlock: threads still running"
    assert errors == []
    numbers = {}
    for genome in pop.members:
        for edge in genome.edges.values():
            pair = (min(edge.node1, edge.node2), max(edge.node1, edge.node2))
            assert numbers.setdefault(pair, edge.id) == edge.id
            assert pop.get_edge_id(*pair) == edge.id
