"""Cost maps from layers: weighted sums, slope and vector barriers."""

import numpy as np
import pytest

from gridweave import costs

IDENTITY = (1.0, 0.0, 0.0, 0.0, 1.0, 0.0)  # row r, column c covers x in [c, c+1], y in [r, r+1]


def test_combine_weights_factors_and_impassable_cells():
    land = np.array([[1.0, 2.0], [3.0, np.nan]])
    road = np.ma.masked_array([[0.0, 1.0], [1.0, 1.0]], mask=[[False, True], [False, False]])
    factor = np.array([[1.0, 1.0], [0.5, 2.0]])
    out = costs.combine([(land, 2.0), (road, 1.0)], base=1.0, factors=[factor], dtype=np.float32)
    assert out.dtype == np.float32 and out.flags.c_contiguous
    np.testing.assert_array_equal(out, [[3.0, np.inf], [4.0, np.inf]])


def test_a_zero_weight_layer_is_left_out():
    wall = np.array([[np.inf, 1.0]])
    out = costs.combine([(np.ones((1, 2)), 1.0), (wall, 0.0)])
    np.testing.assert_array_equal(out, [[1.0, 1.0]])


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: costs.combine([(np.ones((2, 2)), 1.0), (np.ones((3, 2)), 1.0)]), "layers: all layers need one shape"),
        (lambda: costs.combine([(np.ones((2, 2)), "heavy")]), "layers[0]: the weight must be a number"),
        (lambda: costs.combine([(np.ones((2, 2)), -2.0)]), "negative cells"),
        (lambda: costs.combine([], base=1.0), "layers: needs at least one"),
        (lambda: costs.combine([(np.ones((2, 2)), 1.0)], base=np.ones((3, 3))), "base: shape"),
        (lambda: costs.combine([(np.ones(4), 1.0)]), "layers[0]: expected a 2-D array"),
        (lambda: costs.combine([(np.ones((2, 2)), 1.0)], factors=[-np.ones((2, 2))]), "factors"),
        (lambda: costs.slope(np.ones((5, 5)), cell_size=0.0), "cell_size"),
        (lambda: costs.slope(np.ones(5)), "dem: expected a 2-D"),
        (lambda: costs.barriers((4, 4), (0, 0, 0, 0, 0, 0), []), "transform"),
        (lambda: costs.barriers((0, 4), IDENTITY, []), "shape"),
        (lambda: costs.barriers((4, 4), IDENTITY, [{"type": "Nothing"}]), "geometries[0]"),
        (lambda: costs.barriers((4, 4), IDENTITY, [], buffer=-1.0), "buffer"),
    ],
)
def test_bad_inputs_name_the_argument(call, message):
    with pytest.raises((ValueError, TypeError), match=message.replace("[", r"\[").replace("]", r"\]")):
        call()


def test_slope_grade_cap_threshold_and_holes():
    ramp = np.tile(np.arange(6.0) * 3.0, (4, 1))  # grade 3 / cell_size per column
    np.testing.assert_allclose(costs.slope(ramp, 3.0, weight=2.0), 3.0)
    np.testing.assert_allclose(costs.slope(ramp, 1.0, weight=2.0, cap=0.5), 2.0)
    assert np.isinf(costs.slope(ramp, 1.0, impassable_above=2.0)).all()
    # Non-square cells: the same rise over a wider column is gentler.
    np.testing.assert_allclose(costs.slope(ramp, (1.0, 6.0)), 1.5)
    holed = ramp.copy()
    holed[1, 2] = np.nan
    out = costs.slope(holed, 3.0)
    assert np.isinf(out[1, 2]) and np.isfinite(np.delete(out.ravel(), 1 * 6 + 2)).all()
    np.testing.assert_allclose(out[1, 1], 2.0)  # one-sided difference beside the hole


def test_slope_of_a_real_elevation_model_is_a_usable_cost():
    cbook = pytest.importorskip("matplotlib.cbook")
    elevation = np.asarray(cbook.get_sample_data("jacksboro_fault_dem.npz")["elevation"])
    side = 90.0  # 3 arc-seconds: about 90 m
    cost = costs.slope(elevation, side, weight=20.0, cap=1.0, dtype=np.float32)
    assert cost.shape == elevation.shape and cost.dtype == np.float32
    assert np.isfinite(cost).all() and cost.min() >= 1.0 and cost.max() > 1.5


def test_barriers_and_rasterize_burn_buffered_geometries():
    pytest.importorskip("rasterio")
    geometry = pytest.importorskip("shapely.geometry")
    square = geometry.box(1.0, 1.0, 3.0, 3.0)  # cells (1..2, 1..2)
    wall = costs.barriers((5, 5), IDENTITY, [square], all_touched=False)
    assert np.isinf(wall[1:3, 1:3]).all() and np.count_nonzero(wall) == 4
    wide = costs.barriers((5, 5), IDENTITY, [square], buffer=1.0, all_touched=False)
    assert np.count_nonzero(wide) > 4 and np.isinf(wide[0, 2])
    line = costs.barriers((5, 5), IDENTITY, [{"type": "LineString", "coordinates": [(0.5, 0.5), (4.5, 4.5)]}])
    assert all(np.isinf(line[i, i]) for i in range(5))
    layer = costs.rasterize((5, 5), IDENTITY, [(square, 4.0), (geometry.box(0, 4, 1, 5), 2.0)], fill=1.0)
    assert layer[1, 1] == 4.0 and layer[4, 0] == 2.0 and layer[0, 4] == 1.0


def test_a_barrier_layer_keeps_routes_out():
    pytest.importorskip("rasterio")
    geometry = pytest.importorskip("shapely.geometry")
    from gridweave import routes

    ground = np.ones((20, 20))
    fence = geometry.LineString([(10.5, 0.0), (10.5, 17.0)])  # column 10, rows 0..16
    cost = costs.combine([(ground, 1.0), (costs.barriers(ground.shape, IDENTITY, [fence]), 1.0)])
    network = routes.steiner_tree(cost, [(2, 2), (2, 18)])
    cells = [tuple(n["data"]["pos"]) for n in network["nodes"]]
    assert all(np.isfinite(cost[c]) for c in cells)
    assert any(r >= 17 for r, _ in cells)  # it goes round the end of the fence
