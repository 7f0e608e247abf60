"""Random sequences of every public call on one population.

Only ordinary exceptions or the internal-failure exception may come back, and
the population's invariants hold after every step. GRIDWEAVE_FUZZ_LONG=1 runs
the long profile.
"""

import os

import numpy as np
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

import gridweave as gw
from conftest import make_config

LONG = os.environ.get("GRIDWEAVE_FUZZ_LONG") == "1"
# GRIDWEAVE_FUZZ_EXAMPLES overrides the count (the sanitizer runs use fewer).
EXAMPLES = int(os.environ.get("GRIDWEAVE_FUZZ_EXAMPLES", 100_000 if LONG else 2_000))

ids = st.one_of(st.none(), st.integers(0, 50), st.integers(2**63, 2**64 - 1))
positions = st.tuples(st.integers(-5, 40), st.integers(-5, 40)) | st.tuples(
    st.integers(-(2**31), 2**31 - 1), st.integers(-(2**31), 2**31 - 1))
node_entries = st.fixed_dictionaries(
    {"data": st.fixed_dictionaries({"pos": positions, "type": st.sampled_from(["Fixed", "Flexible"])})},
    optional={"id": ids})
edge_entries = st.fixed_dictionaries(
    {"node1": st.integers(0, 60), "node2": st.integers(0, 60), "enabled": st.booleans()}, optional={"id": ids})
structures = st.fixed_dictionaries({"nodes": st.lists(node_entries, max_size=8),
                                    "edges": st.lists(edge_entries, max_size=10)})
floats = st.floats(allow_nan=True, allow_infinity=True)
cost_maps = st.tuples(st.integers(0, 40), st.integers(0, 40), st.sampled_from(["zeros", "random", "negative", "inf"]))


def cost_map(rows, cols, kind):
    if kind == "zeros":
        return np.zeros((rows, cols))
    values = np.random.default_rng(rows * 41 + cols).random((rows, cols))
    if kind == "negative":
        return -values
    if kind == "inf" and values.size:
        values.flat[0] = np.inf
    return values


class PopulationMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.pop = None
        self.extra = []
        self.malformed = False

    @initialize(strategy=st.sampled_from(["NEAT", "NSGA2", "SPEA2"]))
    def start(self, strategy):
        gw._core._seed(12345)  # native draws repeat, so hypothesis can replay a case
        self.strategy = strategy
        self.pop = gw.Population(make_config(population_size=6, selection_strategy=strategy,
                                             evaluation_strategy="MultiObjectiveBridge", diversity_objective=True))
        self.other = gw.Population(make_config(population_size=2))
        self.extra = []       # genomes built by the test, possibly malformed
        self.malformed = False

    def pool(self):
        try:
            return self.pop.members + self.extra
        except gw.InternalError:  # the population broke in an earlier step
            self.malformed = True
            return list(self.extra)

    def call(self, function, *args):
        try:
            function(*args)
        except gw.InternalError:
            self.malformed = True  # a failing genome is now broken; keep going
        except (TypeError, ValueError, OverflowError, MemoryError):
            pass

    @rule(structure=structures)
    def create(self, structure):
        try:
            genome = self.pop.create_genome(structure)
        except (TypeError, ValueError, OverflowError):
            return
        except gw.InternalError:
            self.malformed = True
            return
        node_ids = set(genome.nodes)
        if any(e.node1 not in node_ids or e.node2 not in node_ids for e in genome.edges.values()):
            self.malformed = True
        self.extra = (self.extra + [genome])[-6:]

    @rule()
    def mutate(self):
        self.call(gw.mutate_genomes, self.pool(), self.pop)

    @rule(shape=cost_maps)
    def evaluate(self, shape):
        self.call(gw.evaluate_genomes, self.pool(), cost_map(*shape))

    @rule(count=st.integers(0, 12))
    def offspring(self, count):
        try:
            elites, species_elites, children = gw.make_offspring(self.pop, count)
        except gw.InternalError:
            self.malformed = True
            return
        self.call(gw.mutate_genomes, children, self.pop)
        self.call(gw.select, self.pop, elites, species_elites, children)

    @rule(picks=st.lists(st.integers(0, 20), max_size=8))
    def select_arbitrary(self, picks):
        pool = self.pool() + self.other.members
        if any(i % len(pool) >= len(pool) - len(self.other.members) for i in picks if pool):
            self.malformed = True  # another registry's numbers: the pair invariant no longer applies
        chosen = [pool[i % len(pool)] for i in picks] if pool else []
        self.call(gw.select, self.pop, chosen[:2], chosen[2:4], chosen[4:])

    @rule()
    def rank(self):
        self.call(self.pop.augment_diversity, self.pool())
        self.call(gw.process_multi_objective, self.pop, self.pool())
        self.call(gw.get_pareto_front, self.pool())

    @rule(value=floats, vector=st.lists(floats, max_size=3))
    def set_scores(self, value, vector):
        for genome in self.pool()[:2]:
            try:
                genome.fitness = value
                genome.objectives = vector
            except gw.InternalError:
                self.malformed = True

    @rule()
    def read_back(self):
        try:
            self.pop.get_stats()
            for genome in self.pool():
                self.pop.create_genome(genome.get_structure())
        except gw.InternalError:
            pass

    @invariant()
    def species_partition_the_members(self):
        # Only NEAT selection rebuilds species; the other strategies keep the old ones.
        if self.pop is None or self.strategy != "NEAT" or self.malformed:
            return
        members = sorted(str(sorted(m.get_structure()["edges"], key=str)) for m in self.pop.members)
        in_species = sorted(str(sorted(m.get_structure()["edges"], key=str))
                            for s in self.pop.species for m in s.members)
        assert in_species == members

    @invariant()
    def same_pair_same_number(self):
        if self.pop is None or self.malformed:
            return
        numbers = {}
        for genome in self.pop.members:
            try:
                edges = genome.edges
            except gw.InternalError:
                return
            for edge in edges.values():
                pair = (min(edge.node1, edge.node2), max(edge.node1, edge.node2))
                assert numbers.setdefault(pair, edge.id) == edge.id

    @invariant()
    def no_dangling_edges(self):
        if self.pop is None or self.malformed:
            return
        for genome in self.pop.members:
            nodes = genome.nodes
            assert all(e.node1 in nodes and e.node2 in nodes for e in genome.edges.values())


PopulationMachine.TestCase.settings = settings(
    max_examples=EXAMPLES, stateful_step_count=20, deadline=None,
    suppress_health_check=list(HealthCheck))
TestPopulationMachine = PopulationMachine.TestCase
