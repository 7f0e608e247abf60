import copy

import pytest

from gridweave.config import make_config as full_config

# The defaults of the configuration table with a few settings for small, fast tests.
BASE_CONFIG = full_config(
    (32, 32), [(2, 2), (28, 4), (16, 28)], population_size=10, add_edge_mutation_prob=0.3,
    target_species=3, graph_init="FCN", c3=1.0,
)


def make_config(**changes):
    """A valid configuration; keys of the grid part may be given at top level."""
    config = copy.deepcopy(BASE_CONFIG)
    for key, value in changes.items():
        if key in config["special"]:
            config["special"][key] = value
        else:
            config[key] = value
    return config


@pytest.fixture
def config():
    return make_config()


def path_structure(points, enabled=True):
    """Structure dict of a path through the given points, nodes without ids."""
    nodes = [{"data": {"pos": p, "type": "Fixed"}} for p in points]
    return {"nodes": nodes, "edges": []}
