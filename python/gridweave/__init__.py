"""gridweave: evolve spatial networks on cost rasters.

The native core (``gridweave._core``) holds the population and does all the
work; this package re-exports its six classes, its functions and the
internal-failure exception, and the two entry points of most programs:
:func:`make_config` (a complete, checked configuration) and :func:`evolve`
(the generation loop, :mod:`gridweave.driver`), and :func:`resume` (continue
a run from its checkpoint, :mod:`gridweave.checkpoint`). ``gridweave.routes`` wraps
the least-cost heuristics and the local polish in structure dictionaries;
``gridweave.costs`` builds cost maps from weighted layers, slope and barriers.

Positions are (row, column) cells of the cost map, whose shape is
(rows, columns).
"""

from importlib import metadata as _metadata

from ._core import (
    Edge,
    Genome,
    InternalError,
    Node,
    NodeData,
    Population,
    Species,
    augment_tree,
    evaluate_genomes,
    genome_compatibility,
    get_fitness_values,
    get_genome_mask,
    get_objective_vectors,
    get_pareto_front,
    get_trace_difference,
    least_cost_distances,
    least_cost_path,
    make_offspring,
    mutate_genomes,
    network_costs,
    polish_genomes,
    process_multi_objective,
    redundancy_chain,
    ring_network,
    select,
    spanning_network,
    steiner_candidates,
    steiner_network,
)
from .checkpoint import resume
from .config import make_config
from .driver import EvolutionResult, evolve

try:
    __version__ = _metadata.version("gridweave")
except _metadata.PackageNotFoundError:  # running from a source tree that is not installed
    __version__ = "0+unknown"

__all__ = [
    "__version__",
    "evolve",
    "make_config",
    "EvolutionResult",
    "Genome",
    "Population",
    "Species",
    "Node",
    "NodeData",
    "Edge",
    "evaluate_genomes",
    "mutate_genomes",
    "make_offspring",
    "select",
    "get_genome_mask",
    "get_trace_difference",
    "genome_compatibility",
    "get_pareto_front",
    "process_multi_objective",
    "least_cost_distances",
    "least_cost_path",
    "steiner_network",
    "steiner_candidates",
    "spanning_network",
    "polish_genomes",
    "redundancy_chain",
    "ring_network",
    "augment_tree",
    "get_fitness_values",
    "get_objective_vectors",
    "network_costs",
    "InternalError",
    "resume",
]
