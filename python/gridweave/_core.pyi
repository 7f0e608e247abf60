"""Native core of gridweave: the population, the genomes and the module functions.

Positions are (row, column) cells; cost maps are float64 arrays indexed
``[row, column]`` with shape (rows, columns).
"""

from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

class InternalError(BaseException):
    """A broken invariant inside the engine; the population or genome involved is marked broken."""

class Genome:
    """One network: nodes on grid cells and straight edges, with innovation numbers.

    ``fitness`` is set by evaluation (ranking may overwrite it); ``objectives``
    holds the objective vector under ``MultiObjectiveBridge`` or after
    diversity augmentation, else ``None``.
    """

    fitness: float
    objectives: list[float] | None
    def get_structure(self) -> dict[str, Any]:
        """The structure dictionary: ``{"nodes": [...], "edges": [...]}`` with ids."""
    def __getstate__(self) -> bytes:
        """The versioned state that pickle and copy use (registry included)."""
    def __setstate__(self, state: object, /) -> None:
        """Restore from a state of ``__getstate__``; ValueError for a damaged one."""
    @property
    def nodes(self) -> dict[int, Node]:
        """Copies of the nodes by node number."""
    @property
    def edges(self) -> dict[int, Edge]:
        """Copies of the edges by edge number (disabled edges included)."""

class Population:
    """A population built from a configuration dictionary (see :mod:`gridweave.config`).

    Its first members are ``population_size`` mutated copies of
    ``start_genome`` when given, else of the configured initial graph.
    """

    def __init__(self, config: Any, start_genome: Genome | None = None) -> None: ...
    def __getstate__(self) -> bytes:
        """The versioned state that pickle and copy use (registry included)."""
    def __setstate__(self, state: object, /) -> None:
        """Restore from a state of ``__getstate__``; ValueError for a damaged one."""
    def get_initial_genomes(self) -> list[Genome]:
        """The current members (the same list as ``members``)."""
    @property
    def members(self) -> list[Genome]:
        """The current members."""
    @property
    def species(self) -> list[Species]:
        """Snapshots of the current species."""
    def get_stats(self) -> tuple[float, float, int, list[float]]:
        """(best fitness, mean fitness, number of species, best fitness of each species)."""
    def augment_diversity(self, genomes: Sequence[Genome]) -> None:
        """Append a nearest-neighbour novelty score to every genome's objectives."""
    def new_node_id(self) -> int:
        """Draw the next node number from the innovation registry."""
    def get_edge_id(self, n1: int, n2: int) -> int:
        """The edge number of the unordered node pair, registering it when new."""
    @property
    def current_species_threshold(self) -> float:
        """The adaptive compatibility threshold of speciation."""
    def create_genome(self, structure: dict[str, Any]) -> Genome:
        """A genome of this population from a structure dictionary (ids optional)."""
    def initialize_genome(self) -> Genome:
        """A fresh genome with the configured initial graph (``graph_init``)."""

class Species:
    """A snapshot of one species."""

    @property
    def members(self) -> list[Genome]:
        """The species' members."""
    @property
    def representative(self) -> Genome:
        """A copy of the genome that others are compared with."""

class NodeData:
    """A node's payload: its (row, column) cell and its type."""

    @property
    def pos(self) -> tuple[int, int]:
        """The (row, column) cell."""
    @property
    def type_(self) -> str:
        """"Fixed" (a terminal) or "Flexible"."""

class Node:
    """A copy of one node: number and payload."""

    @property
    def id(self) -> int:
        """The node number."""
    @property
    def data(self) -> NodeData:
        """Cell and type."""

class Edge:
    """A copy of one undirected edge."""

    @property
    def id(self) -> int:
        """The edge number (it depends only on the node pair)."""
    @property
    def node1(self) -> int:
        """Number of the first node."""
    @property
    def node2(self) -> int:
        """Number of the second node."""
    @property
    def enabled(self) -> bool:
        """False once mutation has removed the edge."""

def evaluate_genomes(genomes: Sequence[Genome], cost_map: npt.NDArray[np.float64], *,
                     existing: npt.NDArray[np.int64] | None = None,
                     regions: Sequence[npt.NDArray[np.int64]] | None = None) -> None:
    """Score the genomes in parallel: 0 when not connected, else 1 / trace cost (at most 1e7).
    A NaN cell of ``cost_map`` is impassable like +inf: a network touching it scores 0.
    ``existing`` (cell indices of a built network, costing nothing, joined through) and
    ``regions`` (cell indices, each to hold a node) count in the connectivity."""
def mutate_genomes(genomes: Sequence[Genome], pop: Population) -> None:
    """Mutate the genomes in parallel with the population's configuration; elites stay unchanged."""
def make_offspring(pop: Population, count: int) -> tuple[list[Genome], list[Genome], list[Genome]]:
    """(global elites, species elites, children) for a next generation of ``count`` members."""
def select(pop: Population, elites: Sequence[Genome], species_elites: Sequence[Genome],
           children: Sequence[Genome]) -> None:
    """Make the next member list from the elites and children (and speciate under NEAT)."""
def get_genome_mask(genome: Genome, shape: tuple[int, int]) -> npt.NDArray[np.float64]:
    """The genome's trace grid of ``shape`` (rows, columns), scaled by 1 / (rows + columns)."""
def get_trace_difference(g1: Genome, g2: Genome, shape: tuple[int, int], sigma: int) -> npt.NDArray[np.float64]:
    """Absolute difference of the two trace grids after ``sigma`` x ``sigma`` max pooling."""
def genome_compatibility(g1: Genome, g2: Genome) -> float:
    """The compatibility distance that speciation uses."""
def get_pareto_front(genomes: Sequence[Genome]) -> list[Genome]:
    """The genomes whose objective vectors no other genome dominates."""
def process_multi_objective(pop: Population, genomes: Sequence[Genome]) -> None:
    """Turn the objective vectors into a rank fitness by the configured NSGA2 or SPEA2."""
Cell = Sequence[int]
NetworkTuple = tuple[list[tuple[int, int]], int, list[tuple[int, int]], float]

def least_cost_distances(cost_map: npt.NDArray[np.float64], sources: Sequence[Cell]) -> npt.NDArray[np.float64]:
    """Least-cost distance of every cell from the nearest source (8-connected; inf where unreachable)."""
def least_cost_path(cost_map: npt.NDArray[np.float64], start: Cell, end: Cell) -> list[tuple[int, int]]:
    """The cells of a least-cost path from ``start`` to ``end``, both included."""
def steiner_network(cost_map: npt.NDArray[np.float64], terminals: Sequence[Cell], method: str = "best",
                    roots: int = 4, lookahead: int = 64, deadline: float | None = None) -> NetworkTuple:
    """A least-cost Steiner tree straightened into straight edges: (cells, terminal count, edges, cost)."""
def steiner_candidates(cost_map: npt.NDArray[np.float64], terminals: Sequence[Cell], method: str = "best",
                       roots: int = 4, lookahead: int = 64,
                       deadline: float | None = None) -> list[NetworkTuple]:
    """Every tree that :func:`steiner_network` chooses from."""
def spanning_network(cost_map: npt.NDArray[np.float64], terminals: Sequence[Cell]) -> NetworkTuple:
    """The minimum spanning tree of straight edges between the terminals."""
def attached_network(cost_map: npt.NDArray[np.float64], terminals: Sequence[Cell],
                     existing: npt.NDArray[np.int64] | None = None,
                     regions: Sequence[npt.NDArray[np.int64]] | None = None, lookahead: int = 64,
                     deadline: float | None = None, root: int | None = None) -> NetworkTuple | None:
    """A straightened tree of least-cost paths joining the terminals to an existing network
    and every region; the cost leaves the existing network out."""
def optimal_network(cost_map: npt.NDArray[np.float64], terminals: Sequence[Cell],
                    upper_bound: float | None = None, candidates: Sequence[Cell] | None = None,
                    max_seconds: float = 1800.0, max_memory: float = 4e9,
                    deadline: float | None = None, estimate_only: bool = False,
                    groups: Sequence[Sequence[Cell]] | None = None) -> Any:
    """The minimum-cost straight-edge network over the candidate cells; None when the deadline passes.

    With ``estimate_only``, the programme's estimate: a dict of seconds, bytes, vertices and subsets.
    """
def polish_genomes(genomes: Sequence[Genome], cost_map: npt.NDArray[np.float64], radius: int = 2,
                   max_rounds: int = 64, split_edges: bool = True, exchange: bool = False,
                   deadline: float | None = None, keep_redundancy: bool = False, *,
                   existing: npt.NDArray[np.int64] | None = None,
                   regions: Sequence[npt.NDArray[np.int64]] | None = None) -> list[float]:
    """Improve the genomes in place by exact local moves; returns each one's trace cost."""
def ring_network(
    cost_map: npt.NDArray[np.float64], terminals: Sequence[tuple[int, int]], lookahead: int = 64,
    deadline: float | None = None,
) -> tuple[list[tuple[int, int]], int, list[tuple[int, int]], float] | None:
    """A ring through the terminals (tour over least-cost distances, legs straightened)."""
def augment_tree(
    genome: Genome, cost_map: npt.NDArray[np.float64], neighbours: int = 8, deadline: float | None = None,
) -> Genome | None:
    """A copy of the network with the cheapest connections found that leave no bridge."""
def redundancy_chain(
    genome: Genome, cost_map: npt.NDArray[np.float64], steps: int = 64, routed: bool = False,
    deadline: float | None = None,
) -> list[Genome]:
    """Copies of the genome with one more loop each, removing the most bridge share per cost
    (straight edges; with ``routed``, also straightened least-cost paths)."""
def get_fitness_values(genomes: Sequence[Genome]) -> npt.NDArray[np.float64]:
    """The fitness of every genome, as a float64 array."""
def get_objective_vectors(
    genomes: Sequence[Genome],
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int64]]:
    """Objective vectors as rows padded with NaN, and each row's length (-1: none)."""
def network_costs(genomes: Sequence[Genome], cost_map: npt.NDArray[np.float64], *,
                  existing: npt.NDArray[np.int64] | None = None) -> npt.NDArray[np.float64]:
    """Each genome's cost in map units: node cells plus edge samples times step length
    (the cells of an ``existing`` network cost nothing)."""
def edge_costs(genome: Genome, cost_map: npt.NDArray[np.float64]) -> dict[int, float]:
    """Each edge's cost in map units over its sampled cells (end nodes' cells not
    included), disabled edges too, by edge id."""
def bridge_edges(genome: Genome) -> list[int]:
    """Ids of the enabled edges whose removal parts their ends, in increasing order."""
def non_dominated(points: Sequence[Sequence[float]]) -> list[int]:
    """Indices of the points no other point dominates (all values maximised), in
    input order; of equal points the first; points holding NaN are left out."""
def checked_cost_map(cost_map: Any, *, nodata: float | None = None,
                     source: str = "argument 'cost_map'") -> npt.NDArray[np.floating[Any]]:
    """The cost map as every native entry reads it: NaN, masked and ``nodata`` cells
    ``inf``, negative costs refused (ValueError beginning with ``source``); the
    array itself when it needs no change, else one float64 copy."""
def _num_threads() -> int:
    """Number of worker threads of the pool (creates the pool)."""
def _seed(seed: int) -> None:
    """Reseed the random generator of every thread."""
def _save_run(population: Population, genomes: list[Genome]) -> bytes:
    """A population and extra genomes as one state (shared registries stay shared)."""
def _load_run(state: object) -> tuple[Population, list[Genome]]:
    """The population and genomes of a state written by ``_save_run``."""
def _read_config(obj: Any) -> dict[str, Any]:
    """Read a configuration with the native reader and write it back as a dictionary."""
def _roundtrip_structure(obj: Any) -> dict[str, Any]:
    """Read a structure dictionary with the native reader and write it back."""
def _settings() -> tuple[tuple[str, str, str, float | None, float | None, bool, tuple[str, ...]], ...]:
    """The configuration keys in table order: (key, table, kind, low, high, low_open, choices)."""
def _check_config(config: Any) -> None:
    """Raise ValueError where the engine refuses ``config``, as ``Population(config)`` would."""
