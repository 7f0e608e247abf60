"""Extend an existing road to new sites on a real elevation model, from Python.

The cost is the slope of matplotlib's Jacksboro fault elevation model (344 x 403
cells of about 90 m) plus a wet-ground layer; a nature reserve is excluded, a
road across the map already exists and one town is an area reached anywhere.

Usage: python examples/extend_network.py [seconds] [output folder]
Needs the extras matplotlib, rasterio and shapely (``pip install 'gridweave[all,geo]'``).
"""

import sys
from pathlib import Path

import numpy as np
from matplotlib import cbook
from shapely.geometry import box

from gridweave import costs, evolve, exports, plot
from gridweave.config import make_config

CELL = 90.0  # metres
# Map coordinates of cell (r, c)'s corner: x = c * CELL, y = -r * CELL (north up).
TRANSFORM = (CELL, 0.0, 0.0, 0.0, -CELL, 0.0)


def cost_map():
    elevation = np.asarray(cbook.get_sample_data("jacksboro_fault_dem.npz")["elevation"], dtype=float)
    slope = costs.slope(elevation, CELL, weight=40.0, cap=0.45, impassable_above=0.45)
    wet = np.where(elevation < np.percentile(elevation, 20), 1.0, 0.0)
    reserve = costs.barriers(elevation.shape, TRANSFORM, [box(300 * CELL, -250 * CELL, 360 * CELL, -190 * CELL)])
    return costs.combine([(slope, 1.0), (wet, 1.5), (reserve, 1.0)], dtype=np.float32)


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 30.0
    out = Path(sys.argv[2] if len(sys.argv) > 2 else "extension-example")
    out.mkdir(exist_ok=True)
    cost = cost_map()
    sites = [(30, 40), (45, 150), (35, 260), (160, 25), (175, 135), (150, 250), (300, 50), (310, 160),
             (290, 270), (320, 385)]
    sites = [s for s in sites if np.isfinite(cost[s])]
    road = [[(100, 0), (110, 200), (95, 402)]]
    town = np.zeros(cost.shape, bool)
    town[230:262, 180:215] = True
    config = make_config(cost.shape, sites)
    result = evolve(cost, config, 10_000, existing=road, regions=[town], time_limit=seconds, seed=1)
    print(f"new construction {result.best_cost * CELL:,.0f} (cost x m), joins the road at "
          f"{len(result.attachment_points)} points: {result.attachment_points}")
    collection = exports.network_geojson(result.best_structure, cost, transform=TRANSFORM, unit="m")
    exports.write_json(out / "network.geojson",
                       exports.mark_parts(collection, result.attachment_points, road, TRANSFORM))
    plot.plot_network(result.best_structure, cost, out / "network.png", transform=TRANSFORM, unit="m",
                      existing=road, regions=[np.argwhere(town).tolist()],
                      title=f"extension: {result.best_cost * CELL:,.0f} cost x m")
    print(f"wrote {out / 'network.geojson'} and {out / 'network.png'}")


if __name__ == "__main__":
    main()
