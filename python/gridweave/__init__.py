"""gridweave: evolve spatial networks on cost rasters.

The native core (``gridweave._core``) holds the population and does all the
work; this package re-exports its six classes, nine functions and the
internal-failure exception.
"""

from ._core import (
    Edge,
    Genome,
    InternalError,
    Node,
    NodeData,
    Population,
    Species,
    evaluate_genomes,
    genome_compatibility,
    get_genome_mask,
    get_pareto_front,
    get_trace_difference,
    make_offspring,
    mutate_genomes,
    process_multi_objective,
    select,
)

__all__ = [
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
    "InternalError",
]
