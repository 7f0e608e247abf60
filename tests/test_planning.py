"""Extending an existing network and reaching regions."""

import itertools

import numpy as np
import pytest

import gridweave as gw
from gridweave import planning, routes
from gridweave.config import make_config

ROAD = [[(0, 0), (0, 19)]]  # along the top row of a 20 x 20 map
LINES = [[(2, 0), (2, 23)], [(2, 12), (10, 12)]]  # a T on a 24 x 24 map


def _cost_of(structure, cost, **attach):
    genome = routes.genome_from_structure(make_config(cost.shape, _terminals(structure)), structure)
    gw.evaluate_genomes([genome], cost, **attach)
    return 1.0 / genome.fitness if genome.fitness > 0 else np.inf


def _terminals(structure):
    return [tuple(n["data"]["pos"]) for n in sorted(structure["nodes"], key=lambda n: n["id"])
            if n["data"]["type"] == "Fixed"]


def test_a_terminal_next_to_the_network_costs_only_its_own_link():
    cost = np.full((20, 20), 3.0)
    net = routes.attached_network(cost, [(1, 7)], existing=ROAD)
    assert net["attachment_points"] == [(0, 7)] and len(net["edges"]) == 1
    alone = routes.spanning_tree(np.where(np.arange(20)[:, None] == 0, 0.0, cost), [(1, 7), (0, 7)])
    assert net["cost"] == pytest.approx(alone["cost"], rel=1e-12)
    on_road = routes.attached_network(cost, [(0, 3)], existing=ROAD)
    assert on_road["edges"] == [] and on_road["cost"] == 0.0


def test_joins_mid_segment_and_twice_when_cheaper():
    cost = np.ones((20, 20))
    net = routes.attached_network(cost, [(12, 2), (12, 17)], existing=[[(0, 2), (0, 17)], [(19, 2), (19, 17)]])
    # Each site is nearer to the network than to the other site.
    assert len(net["attachment_points"]) == 2
    assert {c[1] for c in net["attachment_points"]} == {2, 17}


def test_evolve_extends_an_existing_network_exactly():
    rng = np.random.default_rng(3)
    cost = rng.uniform(1.0, 4.0, (24, 24))
    sites = [(20, 3), (14, 20), (22, 12)]
    cfg = make_config(cost.shape, sites, population_size=16)
    res = gw.evolve(cost, cfg, 5, existing=LINES, progress=False, seed=2)
    plan = planning.attachments(cost.shape, LINES)
    free = plan.free_cost(cost)
    assert res.attachment_points and res.best_fitness > 0
    # The reported cost is the new construction, on the one kernel.
    assert 1.0 / res.best_fitness == pytest.approx(_cost_of(res.best_structure, cost, **plan.native()), rel=1e-12)
    assert res.best_cost == pytest.approx(float(gw.network_costs([res.best_genome], free)[0]), rel=1e-12)
    # No dearer than joining every site by its own path.
    each = sum(routes.attached_network(cost, [site], existing=LINES)["cost"] for site in sites)
    assert 1.0 / res.best_fitness < each


def test_without_the_existing_network_the_extension_is_not_connected():
    cost = np.ones((20, 20))
    net = routes.attached_network(cost, [(3, 2), (3, 17)], existing=ROAD)
    assert _cost_of(net, cost) == np.inf  # two pieces joined only through the road
    assert np.isfinite(_cost_of(net, cost, **planning.attachments(cost.shape, ROAD).native()))


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_a_region_is_reached_at_its_cheapest_cell(seed):
    rng = np.random.default_rng(seed)
    cost = np.ones((14, 14))
    block = [(r, c) for r in range(8, 12) for c in range(6, 10)]
    for cell in block:
        cost[cell] = rng.uniform(0.5, 3.0)
    site = (1, int(rng.integers(0, 14)))
    cfg = make_config(cost.shape, [site], population_size=12)
    res = gw.evolve(cost, cfg, 8, regions=[block], progress=False, seed=seed)
    # Brute force over the region's cells: the cheapest polished two-point network.
    best = np.inf
    for cell in block:
        tree = routes.steiner_tree(cost, [site, cell])
        genome = routes.genome_from_structure(make_config(cost.shape, [site, cell]), tree)
        best = min(best, routes.polish([genome], cost)[0])
    assert 1.0 / res.best_fitness == pytest.approx(best, rel=1e-9) or 1.0 / res.best_fitness < best
    reached = [tuple(n["data"]["pos"]) for n in res.best_structure["nodes"]]
    assert set(reached) & set(block)


def test_regions_take_masks_cells_and_polygons():
    geometry = pytest.importorskip("shapely.geometry")
    pytest.importorskip("rasterio")
    mask = np.zeros((10, 10), bool)
    mask[7:9, 7:9] = True
    square = geometry.box(7, 7, 9, 9)  # columns 7..8, rows 7..8
    a = planning.attachments((10, 10), regions=[mask, [(7, 7), (7, 8), (8, 7), (8, 8)], square])
    assert all(r.tolist() == [77, 78, 87, 88] for r in a.regions)


@pytest.mark.parametrize(
    "existing, regions, message",
    [
        (None, [[(10, 10)]], r"regions\[0\]: cell \(10, 10\) of the region lies outside the map"),
        (None, [np.zeros((10, 10), bool)], r"regions\[0\]: the region is empty"),
        (None, [np.ones((5, 5), bool)], r"regions\[0\]: a mask must have the map's shape"),
        ([[(0, 0), (0, 12)]], None, r"existing\[0\]: cell \(0, 12\) of the existing network lies outside"),
        ("roads.geojson", None, "existing: expected a structure dictionary"),
        (None, [], "regions: needs at least one region"),
    ],
)
def test_bad_plans_name_the_argument(existing, regions, message):
    with pytest.raises((ValueError, TypeError), match=message):
        gw.evolve(np.ones((10, 10)), make_config((10, 10), [(1, 1)], population_size=4), 1,
                  existing=existing, regions=regions, progress=False)


def test_segment_cells_is_the_exact_supercover():
    # Brute force: a cell counts when some point of the segment lies strictly inside it.
    for a, b in itertools.product([(0, 0), (3, 1), (2, 5)], [(5, 4), (0, 6), (4, 0)]):
        ts = np.linspace(0.0, 1.0, 4001)
        rows = a[0] + (b[0] - a[0]) * ts
        cols = a[1] + (b[1] - a[1]) * ts
        inside = (np.abs(rows - np.round(rows)) < 0.5 - 1e-9) & (np.abs(cols - np.round(cols)) < 0.5 - 1e-9)
        sampled = {(int(round(r)), int(round(c))) for r, c in zip(rows[inside], cols[inside])}
        assert set(planning.segment_cells(a, b)) == sampled | {tuple(a), tuple(b)}


def test_a_checkpointed_extension_resumes_with_its_network(tmp_path):
    cost = np.ones((16, 16))
    cfg = make_config(cost.shape, [(12, 3), (12, 12)], population_size=8)
    path = tmp_path / "run.ckpt"
    first = gw.evolve(cost, cfg, 2, existing=[[(1, 0), (1, 15)]], checkpoint=path, progress=False, seed=4)
    resumed = gw.resume(path, 4, progress=False)
    assert resumed.best_fitness >= first.best_fitness > 0
    assert resumed.best_cost <= first.best_cost


def test_steiner_tree_takes_the_plan():
    cost = np.ones((20, 20))
    tree = routes.steiner_tree(cost, [(6, 4)], existing=ROAD)
    assert tree["attachment_points"] == [(0, 4)]
