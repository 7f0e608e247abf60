"""Networks the engine accepts but rarely meets: self-loops, very long edges."""

import numpy as np
import pytest

import gridweave as gw
from conftest import make_config

QUIET = dict(add_node_mutation_prob=0.0, add_edge_mutation_prob=0.0, remove_edge_mutation_prob=0.0,
             remove_node_mutation_prob=0.0, remove_node_single_mutation_prob=0.0, move_node_mutation_prob=0.0)


def node(n, pos, kind="Flexible"):
    return {"id": n, "data": {"pos": pos, "type": kind}}


def edge(n, a, b):
    return {"id": n, "node1": a, "node2": b, "enabled": True}


LOOPED = {
    "loop beside a path": {"nodes": [node(1, (0, 0), "Fixed"), node(2, (5, 5))],
                           "edges": [edge(1, 1, 2), edge(2, 2, 2)]},
    "loop on a bridging node": {"nodes": [node(1, (0, 0), "Fixed"), node(2, (5, 5)), node(3, (9, 0), "Fixed")],
                                "edges": [edge(1, 1, 2), edge(2, 2, 3), edge(3, 2, 2)]},
    "loop alone": {"nodes": [node(1, (0, 0), "Fixed"), node(2, (5, 5)), node(3, (6, 6))],
                   "edges": [edge(1, 1, 3), edge(2, 2, 2)]},
}


@pytest.mark.parametrize("removal", ["remove_node_mutation_prob", "remove_node_single_mutation_prob"])
@pytest.mark.parametrize("structure", LOOPED.values(), ids=LOOPED.keys())
def test_node_removal_around_self_loops_keeps_the_genome_well_formed(structure, removal):
    pop = gw.Population(make_config(population_size=0, fixed_nodes=[], **{**QUIET, removal: 1.0}))
    genome = pop.create_genome(structure)
    for _ in range(20):
        gw.mutate_genomes([genome], pop)
        nodes, edges = genome.nodes, genome.edges.values()
        assert all(e.node1 in nodes and e.node2 in nodes for e in edges), genome.get_structure()
    gw.evaluate_genomes([genome], np.ones((16, 16)))  # the engine can still read it


def test_bridge_share_of_edges_longer_than_a_64_bit_square():
    pop = gw.Population(make_config(population_size=0, fixed_nodes=[], evaluation_strategy="MultiObjectiveBridge"))
    far = 2**31 - 1
    # A triangle of sides 2, sqrt(5), sqrt(5) (times far) and a bridge of length 2 hanging on it.
    genome = pop.create_genome({
        "nodes": [node(1, (-far, -far), "Fixed"), node(2, (far, -far), "Fixed"), node(3, (0, far), "Fixed"),
                  node(4, (-far, far), "Fixed")],
        "edges": [edge(1, 1, 2), edge(2, 2, 3), edge(3, 3, 1), edge(4, 1, 4)],
    })
    gw.evaluate_genomes([genome], np.ones((4, 4)))
    assert genome.objectives[1] == pytest.approx(1 - 2 / (4 + 2 * 5**0.5))
