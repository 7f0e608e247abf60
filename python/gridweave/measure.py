"""What a person reads about a network: its cost in map units and its length in cells.

The fitness is ``1 / S`` where ``S`` is the trace cost of the evaluation:
the traces are scaled by ``1 / (rows + columns)``, so ``S`` does not relate
to the map. :func:`network_cost` undoes that scale: it is the sum over the
network's node cells and sampled edge cells of cost times step length, with
the native trace kernel of the evaluation, reading only the cells the network touches (a straight 64-cell line on a
map of cost 1 costs about 64 plus its two node cells).
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from typing import Any

import numpy as np

from . import _core
from ._core import Genome

__all__ = ["network_cost", "network_length"]


def cost_array(cost_map: Any) -> np.ndarray:
    """The cost map as the native core reads it in place: float32 stays float32,
    anything else becomes float64 (copied only when it is not already).

    Example:
        >>> cost_array(np.ones((2, 2), dtype=np.float32)).dtype, cost_array([[1, 2]]).dtype
        (dtype('float32'), dtype('float64'))
    """
    array = np.asarray(cost_map)
    if array.dtype == np.float32:
        return array
    return np.asarray(array, dtype=np.float64)


def network_cost(genome: Genome, cost_map: Any) -> float:
    """The network's cost in map units (``inf`` when it crosses an impassable cell).

    Example:
        >>> from gridweave.config import make_config
        >>> from gridweave.routes import genome_from_structure, spanning_tree
        >>> cost = np.ones((8, 8))
        >>> tree = spanning_tree(cost, [(0, 0), (0, 7)])
        >>> network_cost(genome_from_structure(make_config((8, 8), [(0, 0), (0, 7)]), tree), cost)
        10.0
    """
    cost = float(_core.network_costs([genome], cost_array(cost_map))[0])
    return math.inf if math.isnan(cost) else cost  # a NaN cell is impassable


def network_length(network: Genome | Mapping[str, Any]) -> float:
    """Total Euclidean length, in cells, of the enabled edges of a genome or structure.

    Example:
        >>> network_length({"nodes": [{"id": 1, "data": {"pos": (0, 0), "type": "Fixed"}},
        ...                           {"id": 2, "data": {"pos": (3, 4), "type": "Fixed"}}],
        ...                 "edges": [{"id": 1, "node1": 1, "node2": 2, "enabled": True}]})
        5.0
    """
    structure = network.get_structure() if isinstance(network, Genome) else network
    cells = {node["id"]: node["data"]["pos"] for node in structure["nodes"]}
    return math.fsum(
        math.dist(cells[edge["node1"]], cells[edge["node2"]])
        for edge in structure["edges"]
        if edge["enabled"] and edge["node1"] in cells and edge["node2"] in cells
    )
