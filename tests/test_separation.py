"""Protection at a minimum separation: the rule, checked against a brute force, old states and the polish."""

import itertools
import math
import pickle
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import gridweave as gw
from gridweave import routes
from gridweave.config import make_config
from gridweave.problems import make_terrain


def genome_of(shape, cells, links, separation):
    config = make_config(shape, [], evaluation_strategy="MultiObjectiveBridge", min_separation=separation)
    structure = {"nodes": [{"id": i + 1, "data": {"pos": cell, "type": "Flexible"}} for i, cell in enumerate(cells)],
                 "edges": [{"id": k + 1, "node1": a + 1, "node2": b + 1, "enabled": True}
                           for k, (a, b) in enumerate(links)]}
    genome = routes.genome_from_structure(config, structure)
    gw.evaluate_genomes([genome], np.ones(shape))
    return genome


def rounded(coordinate):
    whole = int(coordinate)
    fraction = coordinate - whole
    whole += 1 if fraction >= 0.5 else -1 if fraction <= -0.5 else 0
    return max(whole, 0)


def edge_cells(a, b, shape):
    """The edge's trace cells (the sample rule written out) and both end cells."""
    cells = {a, b}
    steps = math.ceil(max(abs(b[0] - a[0]), abs(b[1] - a[1])))
    for i in range(steps + 1):
        t = i / steps
        cell = (rounded(t * b[0] + (1.0 - t) * a[0]), rounded(t * b[1] + (1.0 - t) * a[1]))
        if cell[0] < shape[0] and cell[1] < shape[1]:
            cells.add(cell)
    return cells


def chebyshev(p, q):
    return max(abs(p[0] - q[0]), abs(p[1] - q[1]))


def brute_redundancy(shape, cells, links, separation):
    """1 - unprotected share, trying every simple path between every edge's ends."""
    traced = [edge_cells(cells[a], cells[b], shape) for a, b in links]

    def near(cell, k):
        u, v = (cells[n] for n in links[k])
        return (chebyshev(cell, u) >= separation and chebyshev(cell, v) >= separation
                and any(chebyshev(cell, c) < separation for c in traced[k]))

    def protected(k):
        ends = set(links[k])
        usable = [f for f in range(len(links)) if set(links[f]) != ends
                  and not any(near(c, k) for c in traced[f])]
        start, goal = links[k]

        def walk(node, visited):
            for f in usable:
                if node in links[f]:
                    other = links[f][0] if links[f][1] == node else links[f][1]
                    if other == goal or (other not in visited and walk(other, visited | {other})):
                        return True
            return False
        return walk(start, {start})

    lengths = [math.dist(cells[a], cells[b]) for a, b in links]
    unprotected = sum(length for k, length in enumerate(lengths) if not protected(k))
    return 1.0 - unprotected / sum(lengths)


@pytest.mark.parametrize("gap,separation,redundancy", [
    (2, 3, 4 / 44), (1, 2, 2 / 42), (3, 3, 1.0), (5, 3, 1.0), (1, 1, 1.0), (2, 0, 1.0), (0, 1, 0.0),
])
def test_two_parallel_lines_protect_each_other_only_when_far_enough_apart(gap, separation, redundancy):
    # A rectangle of two lines of length 20 with short sides of length `gap`:
    # close lines leave only the short sides protected (their ends lie near each other).
    if gap == 0:  # the same line twice, through a middle node: a loop without any distance
        genome = genome_of((30, 30), [(5, 5), (5, 25), (5, 15)], [(0, 1), (0, 2), (2, 1)], separation)
    else:
        cells = [(5, 5), (5, 25), (5 + gap, 25), (5 + gap, 5)]
        genome = genome_of((30, 30), cells, [(0, 1), (1, 2), (2, 3), (3, 0)], separation)
    assert genome.objectives[1] == pytest.approx(redundancy, rel=1e-12)


@st.composite
def networks(draw):
    shape = (draw(st.integers(6, 14)), draw(st.integers(6, 14)))
    count = draw(st.integers(3, 7))
    all_cells = list(itertools.product(range(shape[0]), range(shape[1])))
    cells = [all_cells[i] for i in draw(st.lists(st.integers(0, len(all_cells) - 1), min_size=count,
                                                 max_size=count, unique=True))]
    links = {(draw(st.integers(0, n - 1)), n) for n in range(1, count)}  # a spanning tree
    pairs = list(itertools.combinations(range(count), 2))
    links |= set(draw(st.lists(st.sampled_from(pairs), max_size=2 * count)))
    return shape, cells, sorted(links), draw(st.integers(0, 5))


@settings(max_examples=150, deadline=None)
@given(networks())
def test_evaluation_agrees_with_a_brute_force(network):
    shape, cells, links, separation = network
    genome = genome_of(shape, cells, links, separation)
    expected = brute_redundancy(shape, cells, links, separation)
    assert genome.objectives[1] == pytest.approx(expected, rel=1e-12, abs=1e-12)
    if expected in (0.0, 1.0):
        assert genome.objectives[1] == expected


def test_a_state_saved_before_the_setting_loads_with_separation_zero():
    population = pickle.loads((Path(__file__).parent / "data" / "population-format1.state").read_bytes())
    # Two lines 2 cells apart: protected only without a separation.
    ids = [population.new_node_id() for _ in range(4)]
    structure = {"nodes": [{"id": i, "data": {"pos": cell, "type": "Flexible"}}
                           for i, cell in zip(ids, [(1, 1), (1, 10), (3, 10), (3, 1)])],
                 "edges": [{"node1": ids[a], "node2": ids[b], "enabled": True}
                           for a, b in [(0, 1), (1, 2), (2, 3), (3, 0)]]}
    genome = population.create_genome(structure)
    again = pickle.loads(pickle.dumps(population))
    gw.evaluate_genomes([genome, *again.members], np.ones((12, 12)))
    assert genome.objectives[1] == 1.0
    assert all(g.objectives is not None for g in again.members)


def test_the_polish_keeps_redundancy_at_a_separation():
    problem = make_terrain((40, 40), 5, seed=1)
    config = make_config(problem.grid_size, problem.terminals, evaluation_strategy="MultiObjectiveBridge",
                         min_separation=3)
    ring = routes.genome_from_structure(config, routes.ring(problem.cost_map, problem.terminals))
    chain = gw.redundancy_chain(routes.genome_from_structure(config, routes.start_network(problem.cost_map, config)),
                                problem.cost_map, 6)
    genomes = [ring, *chain]
    gw.evaluate_genomes(genomes, problem.cost_map)
    before = [(g.fitness, g.objectives[1]) for g in genomes]
    routes.polish(genomes, problem.cost_map, keep_redundancy=True)
    after = [(g.fitness, g.objectives[1]) for g in genomes]
    gw.evaluate_genomes(genomes, problem.cost_map)
    assert after == [(g.fitness, g.objectives[1]) for g in genomes]
    for (fitness, redundancy), (new_fitness, new_redundancy) in zip(before, after):
        assert new_fitness >= fitness and new_redundancy >= redundancy
