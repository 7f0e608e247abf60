"""Straight edges never pass through impassable cells, sampled or not."""

import math
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import gridweave as gw
from gridweave import routes
from gridweave.config import make_config

HALF = Fraction(1, 2)


def meets_cell(a, b, cell):
    """Whether the segment between the centres of a and b meets the open unit square of cell."""
    low, high = Fraction(0), Fraction(1)  # t on the segment; the square's bounds are open
    open_low, open_high = False, False
    for start, end, centre in zip(a, b, cell):
        delta = end - start
        if delta == 0:
            if start != centre:
                return False
            continue
        first, second = sorted(((centre - start - HALF) / delta, (centre - start + HALF) / delta))
        if first >= low:
            low, open_low = first, True
        if second <= high:
            high, open_high = second, True
    return low < high or (low == high and not (open_low or open_high))


def crossed_cells(a, b, cost):
    """Impassable cells the segment a-b meets, by brute force over its bounding box."""
    (x1, y1), (x2, y2) = a, b
    return [(x, y) for x in range(max(min(x1, x2), 0), min(max(x1, x2), cost.shape[0] - 1) + 1)
            for y in range(max(min(y1, y2), 0), min(max(y1, y2), cost.shape[1] - 1) + 1)
            if not cost[x, y] < math.inf and meets_cell(a, b, (x, y))]


def edge_genome(cost, a, b):
    config = make_config(cost.shape, [a, b], graph_init="FCN")
    return routes.genome_from_structure(config, routes.network_structure([a, b], 2, [(0, 1)], 0.0))


def network_crossings(structure_or_genome, cost):
    s = structure_or_genome if isinstance(structure_or_genome, dict) else structure_or_genome.get_structure()
    pos = {n["id"]: tuple(n["data"]["pos"]) for n in s["nodes"]}
    return [c for e in s["edges"] if e["enabled"] for c in crossed_cells(pos[e["node1"]], pos[e["node2"]], cost)]


@pytest.mark.parametrize("ends", [((0, 0), (8, 10)), ((8, 10), (0, 0))])
@pytest.mark.parametrize("blocked", [np.inf, np.nan])
def test_an_edge_clipping_an_impassable_cell_between_samples_is_infeasible(ends, blocked):
    cost = np.ones((12, 12))
    cost[7, 8] = blocked
    genome = edge_genome(cost, *ends)
    gw.evaluate_genomes([genome], cost)
    assert genome.fitness == 0.0
    assert gw.network_costs([genome], cost)[0] == math.inf
    assert crossed_cells(*ends, cost) == [(7, 8)]


@st.composite
def maps_and_edges(draw, sides=(3, 14)):
    """A map with a few impassable cells (on large maps, next to the edge's line) and an edge."""
    rows, cols = draw(st.integers(*sides)), draw(st.integers(*sides))
    cell = st.tuples(st.integers(0, rows - 1), st.integers(0, cols - 1))
    a, b = draw(cell), draw(cell)
    assume(a != b)
    cost = np.array(draw(st.lists(st.floats(0.5, 4.0), min_size=cols, max_size=cols)))
    cost = np.tile(cost, (rows, 1))
    for _ in range(draw(st.integers(1, 6))):
        t, dx, dy = draw(st.floats(0, 1)), draw(st.integers(-1, 1)), draw(st.integers(-1, 1))
        x, y = (round(p + t * (q - p)) for p, q in zip(a, b))
        x, y = min(max(x + dx, 0), rows - 1), min(max(y + dy, 0), cols - 1)
        cost[x, y] = draw(st.sampled_from([np.inf, np.nan]))
    assume(cost[a] < math.inf and cost[b] < math.inf)
    return cost, a, b


@settings(max_examples=300, deadline=None)
@given(st.one_of(maps_and_edges(), maps_and_edges(sides=(250, 700))))
def test_infeasible_exactly_when_the_segment_meets_an_impassable_cell(case):
    cost, a, b = case
    genome = edge_genome(cost, a, b)
    gw.evaluate_genomes([genome], cost)
    crosses = any(meets_cell(a, b, c) for c in zip(*np.nonzero(~(cost < math.inf))))
    assert (genome.fitness == 0.0) == crosses
    if not crosses:  # the sample rule's cost, unchanged
        traces = gw.get_genome_mask(genome, cost.shape)
        sampled = (traces * np.where(traces > 0, cost, 0.0)).sum()
        assert genome.fitness == pytest.approx(1.0 / sampled, rel=1e-12)


def walled_map(seed):
    """Hills with scattered impassable cells and one wall with a gap; terminals on open ground."""
    rng = np.random.default_rng(seed)
    cost = 1.0 + rng.random((36, 36))
    cost[rng.random(cost.shape) < 0.12] = np.inf
    cost[18, :30] = np.inf
    terminals = [(2, 2), (33, 3), (31, 30), (4, 33), (20, 20)]
    for t in terminals:
        cost[t] = 1.0
    return cost, terminals


@pytest.mark.parametrize("seed", [0, 1, 2])
@pytest.mark.parametrize("build", [
    lambda c, t: [routes.steiner_tree(c, t, method="voronoi")],
    lambda c, t: [routes.steiner_tree(c, t, method="grow", roots=2, lookahead=40)],
    lambda c, t: routes.steiner_trees(c, t),
], ids=["voronoi", "grow", "candidates"])
def test_routes_polish_and_redundancy_never_cross_impassable_cells(seed, build):
    cost, terminals = walled_map(seed)
    try:
        networks = build(cost, terminals)
    except ValueError:  # the scattered cells may cut a terminal off
        pytest.skip("terminals cut off")
    config = make_config(cost.shape, terminals)
    for network in networks:
        assert network["cost"] < math.inf and network_crossings(network, cost) == []
        genomes = [routes.genome_from_structure(config, network) for _ in range(2)]
        costs = routes.polish(genomes[:1], cost) + routes.polish(genomes[1:], cost, exchange=True)
        for genome, polished in zip(genomes, costs):
            assert polished <= network["cost"] and network_crossings(genome, cost) == []
        for looped in gw.redundancy_chain(genomes[0], cost, steps=4, routed=True):
            assert network_crossings(looped, cost) == []
