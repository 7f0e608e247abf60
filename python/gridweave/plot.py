"""Figures of networks, fitness histories and Pareto fronts (needs matplotlib).

Install with ``pip install 'gridweave[plot]'``. Figures are drawn with the Agg
backend on their own canvas, so importing this module changes no global
matplotlib state and works without a display. Every function returns the
``Figure`` and, when ``path`` is given, also saves it there.

The cost map is shown as an image: row ``r`` of the map is drawn at height
``r`` from the top and column ``c`` at ``c`` from the left, exactly as the map
would look saved as a PNG; a node at ``pos = (row, column)`` is drawn at that
cell, and the axes are labelled "row" and "column". Given the ``transform``
of a north-up raster, the axes are map coordinates instead (x east, y north).
Impassable cells are drawn in black, named in the legend.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

from .measure import cost_array, network_links

try:
    import matplotlib
    from matplotlib import patheffects
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.colors import LogNorm
    from matplotlib.figure import Figure
    from matplotlib.patches import Rectangle
except ImportError as error:  # pragma: no cover - depends on the environment
    raise ImportError(
        "gridweave.plot needs matplotlib (pip install 'gridweave[plot]')"
    ) from error

if TYPE_CHECKING:
    from .history import GenerationRecord

__all__ = ["plot_network", "plot_history", "plot_pareto", "plot_front_networks"]


def _new_figure(size: tuple[float, float]) -> Figure:
    figure = Figure(figsize=size, layout="constrained")
    FigureCanvasAgg(figure)
    return figure


def _finish(figure: Figure, path: str | Path | None) -> Figure:
    if path is not None:
        figure.savefig(path, dpi=120)
    return figure


def _structure(network: Any) -> Mapping[str, Any]:
    structure: Mapping[str, Any] = (
        network.get_structure() if hasattr(network, "get_structure") else network
    )
    return structure


IMPASSABLE = "black"


def plot_network(
    network: Any,
    cost_map: np.ndarray,
    path: str | Path | None = None,
    *,
    title: str | None = None,
    transform: Sequence[float] | None = None,
    sites: Sequence[Mapping[str, Any]] = (),
    unit: str = "map unit",
    existing: Sequence[Sequence[Sequence[int]]] = (),
    regions: Sequence[Sequence[Sequence[int]]] = (),
) -> Figure:
    """Draw a network (a ``Genome`` or a structure dictionary) over its cost map.

    Enabled edges are drawn as lines, link by link (bends are the lines'
    vertices), disabled ones are left out; fixed nodes (terminals) are red
    squares, labelled with their names from ``sites`` (records with "cell"
    and "name"), and junctions white dots. A colour bar shows the cost scale;
    impassable cells (NaN or ``inf``) are black. With the ``transform``
    of a north-up raster the axes are map coordinates in ``unit``. An
    ``existing`` network (cell paths) is drawn in grey beneath, and
    ``regions`` (lists of cells) are outlined.

    Example:
        >>> import numpy as np
        >>> net = {"nodes": [{"id": 1, "data": {"pos": (1, 1), "type": "Fixed"}},
        ...                  {"id": 2, "data": {"pos": (6, 3), "type": "Flexible"}}],
        ...        "edges": [{"id": 1, "node1": 1, "node2": 2, "enabled": True}]}
        >>> fig = plot_network(net, np.ones((8, 8)), title="two nodes")
        >>> fig.axes[0].get_title(), fig.axes[0].get_xlabel(), fig.axes[0].get_ylabel()
        ('two nodes', 'column', 'row')
    """
    figure = _new_figure((6.4, 5.6))
    ax = figure.add_subplot()
    mapped = _north_up(transform)
    at = _plane(mapped)
    for number, line in enumerate(existing):
        xs, ys = zip(*(at(*cell) for cell in line))
        ax.plot(xs, ys, color="dimgrey", linewidth=3.2, zorder=1.5, solid_capstyle="round",
                label="existing network" if number == 0 else None)
    for number, cells in enumerate(regions):
        _outline(ax, cells, np.shape(cost_map), at, "region" if number == 0 else None)
    image = _draw_network(ax, _structure(network), cost_map, transform=mapped, sites=sites)
    figure.colorbar(image, ax=ax, label="cost per cell", shrink=0.85)
    if mapped is None:
        ax.set_xlabel("column")
        ax.set_ylabel("row")
    else:
        ax.set_xlabel(f"x ({unit})")
        ax.set_ylabel(f"y ({unit})")
        ax.ticklabel_format(style="plain", useOffset=False)
        ax.tick_params(axis="x", labelrotation=30)
    if title:
        ax.set_title(title, fontsize="medium")
    if ax.get_legend_handles_labels()[0]:  # below the map, where it hides no site
        figure.legend(*ax.get_legend_handles_labels(), loc="outside lower center", ncol=4,
                      fontsize="small", frameon=False)
    return _finish(figure, path)


# Maps larger than this many cells a side are drawn by blocks of cells, each
# pixel the largest cost of its block: a picture has no more pixels than this,
# and colouring every cell of a planner's raster took most of a run's output time.
DISPLAY_CELLS = 1600


def display_map(cost_map: Any) -> tuple[np.ma.MaskedArray, tuple[float, float, float, float]]:
    """The cost map as drawn, impassable cells masked, and its
    extent in cell coordinates. A map of more than ``DISPLAY_CELLS`` cells a side is
    reduced to the maximum over square blocks, so that thin walls stay visible and a
    block holding an impassable cell is blank.

    Example:
        >>> shown, extent = display_map(np.ones((3200, 10)))
        >>> shown.shape, extent
        ((1600, 5), (-0.5, 9.5, 3199.5, -0.5))
    """
    cost = cost_array(cost_map)
    rows, cols = cost.shape
    step = -(-max(rows, cols) // DISPLAY_CELLS)
    if step > 1:
        height, width = -(-rows // step) * step, -(-cols // step) * step
        padded = np.full((height, width), -np.inf, dtype=cost.dtype)
        padded[:rows, :cols] = cost
        cost = padded.reshape(height // step, step, width // step, step).max(axis=(1, 3))
        rows, cols = height, width
    return np.ma.masked_invalid(cost), (-0.5, cols - 0.5, rows - 0.5, -0.5)


def _north_up(transform: Sequence[float] | None) -> tuple[float, ...] | None:
    """The transform when its rows run along y and its columns along x, else None
    (a rotated raster is drawn in cells)."""
    if transform is None:
        return None
    a, b, c, d, e, f = (float(v) for v in transform)
    return (a, b, c, d, e, f) if b == 0 and d == 0 else None


def _plane(transform: tuple[float, ...] | None) -> Any:
    """(row, column) in the picture's coordinates -> (x, y) of the plot."""
    if transform is None:
        return lambda row, column: (column, row)
    a, _, c, _, e, f = transform
    return lambda row, column: (c + a * (column + 0.5), f + e * (row + 0.5))


def _outline(ax: Any, cells: Sequence[Sequence[int]], shape: tuple[int, ...], at: Any,
             label: str | None) -> None:
    """The boundary of a set of cells, as the contour of its mask."""
    mask = np.zeros(shape[:2], dtype=float)
    for r, c in cells:
        mask[int(r), int(c)] = 1.0
    rows, cols = np.nonzero(mask)
    r0, r1 = max(rows.min() - 1, 0), min(rows.max() + 2, shape[0])
    c0, c1 = max(cols.min() - 1, 0), min(cols.max() + 2, shape[1])
    window = mask[r0:r1, c0:c1]
    grid_r, grid_c = np.mgrid[r0:r1, c0:c1]
    xs, ys = at(grid_r, grid_c)  # the plane is affine: it maps whole grids
    ax.contour(xs, ys, window, levels=[0.5], colors="deepskyblue", linewidths=1.6, zorder=1.6)
    if label:
        ax.plot([], [], color="deepskyblue", linewidth=1.6, label=label)


def _draw_network(ax: Any, structure: Mapping[str, Any], cost_map: np.ndarray, *,
                  transform: tuple[float, ...] | None = None,
                  sites: Sequence[Mapping[str, Any]] = ()) -> Any:
    """Draw the cost map and the network's enabled links and nodes; returns the image."""
    cost, (left, right, bottom, top) = display_map(cost_map)
    at = _plane(transform)
    (x0, y0), (x1, y1) = at(top, left), at(bottom, right)
    # a log scale keeps gentle slopes visible next to expensive barriers
    norm = LogNorm() if cost.count() and cost.min() > 0 and cost.max() > cost.min() else None
    colours = matplotlib.colormaps["cividis"].with_extremes(bad=IMPASSABLE)
    image = ax.imshow(cost, cmap=colours, norm=norm, origin="upper", interpolation="nearest",
                      extent=(x0, x1, y1, y0))
    positions = {n["id"]: at(*n["data"]["pos"]) for n in structure["nodes"]}
    for number, link in enumerate(network_links(structure)):
        xs, ys = zip(*(positions[n] for n in link.nodes))
        ax.plot(xs, ys, color="orangered", linewidth=1.8, zorder=2,
                label="network" if number == 0 else None)
    _draw_nodes(ax, structure, positions, sites)
    if np.ma.count_masked(cost):  # a patch of no size, for the legend
        ax.add_patch(Rectangle((x0, y0), 0, 0, facecolor=IMPASSABLE, edgecolor="grey",
                               label="impassable"))
    return image


def _draw_nodes(ax: Any, structure: Mapping[str, Any], positions: Mapping[int, tuple[float, float]],
                sites: Sequence[Mapping[str, Any]]) -> None:
    """Sites as red squares with their names, junctions (flexible nodes where other
    than two edges meet) as white dots; bends stay unmarked."""
    degree = {n: 0 for n in positions}
    for edge in structure["edges"]:
        if edge["enabled"] and edge["node1"] in degree and edge["node2"] in degree:
            degree[edge["node1"]] += 1
            degree[edge["node2"]] += 1
    kinds = {n["id"]: n["data"]["type"] for n in structure["nodes"]}
    junctions = [positions[n] for n in positions if kinds[n] != "Fixed" and degree[n] != 2]
    fixed = [n for n in structure["nodes"] if n["data"]["type"] == "Fixed"]
    if junctions:
        ax.scatter(*zip(*junctions), marker="o", s=22, color="white", edgecolors="black",
                   zorder=3, label="junction")
    if fixed:
        ax.scatter(*zip(*(positions[n["id"]] for n in fixed)), marker="s", s=60, color="red",
                   edgecolors="black", zorder=4, label="site")
    names = {tuple(site["cell"]): str(site["name"]) for site in sites}
    outline = [patheffects.withStroke(linewidth=2.5, foreground="white")]
    for node in fixed:
        name = names.get(tuple(node["data"]["pos"]))
        if name:
            ax.annotate(name, positions[node["id"]], xytext=(5, 4), textcoords="offset points",
                        fontsize="x-small", zorder=5, path_effects=outline)


def plot_history(history: Sequence[GenerationRecord], path: str | Path | None = None, *,
                 labels: tuple[str, str] = ("cost (map units)", "length (cells)")) -> Figure:
    """Plot best, best-so-far and mean raw fitness per generation with the species
    count, and below it the cost and length of the best network (axes named by
    ``labels``).

    Example:
        >>> from gridweave.history import GenerationRecord
        >>> rows = [GenerationRecord(g, 0.1 * g, 0.05 * g, 0.1 * g, 3, 3.0, None, 0.0,
        ...                          100.0 - g, 40.0) for g in range(5)]
        >>> [ax.get_ylabel() for ax in plot_history(rows).axes]
        ['fitness (1 / trace cost)', 'cost (map units)', 'species', 'length (cells)']
    """
    figure = _new_figure((7.0, 6.4))
    ax, cost_ax = figure.subplots(2, 1, sharex=True)
    generations = [r.generation for r in history]
    ax.plot(generations, [r.best_so_far for r in history], label="best so far", color="C3",
            linewidth=3.0, alpha=0.5)
    ax.plot(generations, [r.best_fitness for r in history], label="best member", color="C0")
    ax.plot(generations, [r.mean_fitness for r in history], label="mean", color="C0", alpha=0.5,
            linestyle="--")
    ax.set_ylabel("fitness (1 / trace cost)")
    species = ax.twinx()
    species.step(generations, [r.num_species for r in history], where="post", color="C2",
                 alpha=0.6, label="species")
    species.set_ylabel("species")
    lines = ax.get_legend_handles_labels()
    more = species.get_legend_handles_labels()
    ax.legend(lines[0] + more[0], lines[1] + more[1], loc="lower right", fontsize="small")
    cost_ax.plot(generations, [r.best_cost for r in history], color="C3", label="cost")
    cost_ax.set_ylabel(labels[0])
    cost_ax.set_xlabel("generation")
    length = cost_ax.twinx()
    length.plot(generations, [r.best_length for r in history], color="C1", linestyle=":",
                label="length")
    length.set_ylabel(labels[1])
    handles = [*cost_ax.get_legend_handles_labels()[0], *length.get_legend_handles_labels()[0]]
    cost_ax.legend(handles, ["cost", "length"], loc="upper right", fontsize="small")
    cost_ax.set_title("best network so far", fontsize="small")
    return _finish(figure, path)


def plot_pareto(
    front: Sequence[Any],
    path: str | Path | None = None,
    *,
    population: Sequence[Any] = (),
    labels: tuple[str, str] = ("fitness (1 / trace cost)", "redundancy (1 - bridge share)"),
) -> Figure:
    """Scatter the first two objectives of the front over those of the population.

    ``front`` and ``population`` hold genomes (anything with ``objectives``)
    or plain objective vectors.

    Example:
        >>> fig = plot_pareto([(1.0, 0.0), (0.5, 0.8)], population=[(0.2, 0.1)])
        >>> fig.axes[0].get_xlabel()
        'fitness (1 / trace cost)'
    """
    figure = _new_figure((6.0, 4.6))
    ax = figure.add_subplot()
    others = _points(population)
    if len(others):
        ax.scatter(others[:, 0], others[:, 1], s=14, color="grey", alpha=0.5, label="population")
    points = _points(front)
    if len(points):
        order = np.argsort(points[:, 0])
        ax.plot(points[order, 0], points[order, 1], marker="o", color="C3", label="Pareto front")
    ax.set_xlabel(labels[0])
    ax.set_ylabel(labels[1])
    ax.legend(loc="best", fontsize="small")
    return _finish(figure, path)


def _points(items: Sequence[Any]) -> np.ndarray:
    vectors = [getattr(item, "objectives", item) for item in items]
    rows = [list(v)[:2] for v in vectors if v is not None and len(v) >= 2]
    return np.array(rows, dtype=np.float64).reshape(-1, 2)


def plot_front_networks(
    front: Sequence[Any],
    cost_map: np.ndarray,
    path: str | Path | None = None,
    *,
    costs: Sequence[float] | None = None,
    references: Mapping[str, tuple[float, float]] | None = None,
) -> Figure:
    """Draw a cost-redundancy front with its cheapest, knee and most redundant networks.

    ``front`` holds genomes of a two-objective run (``objectives`` is
    (fitness, redundancy) and ``get_structure()`` gives the network). The
    left panel plots each network's cost in map units (cheap on the left;
    ``costs`` in the order of ``front``, by default each genome's
    :func:`gridweave.measure.network_cost`) against its redundancy, with
    ``references`` (name to (cost, redundancy), such as the tree and the ring
    of :attr:`gridweave.EvolutionResult.references`) marked for comparison;
    the three marked networks are drawn over the cost map on the right, so the
    price of each step of redundancy can be read off the map.

    Example:
        >>> import numpy as np
        >>> fixed = {"nodes": [{"id": 1, "data": {"pos": (1, 1), "type": "Fixed"}},
        ...                    {"id": 2, "data": {"pos": (6, 6), "type": "Fixed"}}]}
        >>> tree = {**fixed, "objectives": (1.0, 0.0),
        ...         "edges": [{"id": 1, "node1": 1, "node2": 2, "enabled": True}]}
        >>> len(plot_front_networks([tree], np.ones((8, 8))).axes)
        4
    """
    from .pareto import knee_point

    members = [m for m in front if len(_objectives(m)) >= 2]
    if not members:
        raise ValueError("plot_front_networks needs at least one network with two objectives")
    if costs is None:
        values = [_map_cost(m, cost_map) for m in members]
    else:
        values = [float(c) for m, c in zip(front, costs) if len(_objectives(m)) >= 2]
    points = [(float(_objectives(m)[0]), float(_objectives(m)[1])) for m in members]
    shown = [(cost, redundancy) for cost, (_, redundancy) in zip(values, points)]
    picks = {
        "cheapest": max(range(len(points)), key=lambda i: (points[i][0], points[i][1])),
        "knee": knee_point(points),
        "most redundant": max(range(len(points)), key=lambda i: (points[i][1], points[i][0])),
    }
    figure = _new_figure((13.0, 4.4))
    grid = figure.add_gridspec(1, 4, width_ratios=(1.3, 1, 1, 1))
    ax = figure.add_subplot(grid[0])
    order = sorted(range(len(shown)), key=lambda i: shown[i][0])
    ax.plot([shown[i][0] for i in order], [shown[i][1] for i in order], marker="o",
            markersize=3, color="C3", label="front")
    for marker, (name, (cost, redundancy)) in zip("sD^v", (references or {}).items()):
        ax.scatter([cost], [redundancy], marker=marker, s=46, facecolors="none", edgecolors="black",
                   zorder=3, label=name)
    for column, (name, index) in enumerate(picks.items(), start=1):
        ax.annotate(name, shown[index], textcoords="offset points", xytext=(6, 6),
                    fontsize="small", arrowprops=dict(arrowstyle="-", color="black"))
        small = figure.add_subplot(grid[column])
        _draw_network(small, _structure(members[index]), cost_map)
        small.set_title(f"{name}\ncost {shown[index][0]:.4g}, "
                        f"redundancy {shown[index][1]:.2f}", fontsize="small")
        small.set_xticks([])
        small.set_yticks([])
    ax.set_xlabel("cost (map units)")
    ax.set_ylabel("redundancy (1 - bridge share)")
    ax.legend(loc="best", fontsize="small")
    return _finish(figure, path)


def _map_cost(item: Any, cost_map: np.ndarray) -> float:
    """A front member's cost in map units: measured for a genome; for a
    structure dictionary, from its fitness (the trace cost is the map-unit
    cost over rows + columns)."""
    from ._core import Genome
    from .measure import network_cost

    if isinstance(item, Genome):
        return network_cost(item, cost_map)
    fitness = float(_objectives(item)[0])
    return (cost_map.shape[0] + cost_map.shape[1]) / fitness if fitness > 0 else math.inf


def _objectives(item: Any) -> Sequence[float]:
    if isinstance(item, Mapping):
        return tuple(item.get("objectives") or ())
    return tuple(getattr(item, "objectives", None) or ())
