import copy

import pytest

BASE_CONFIG = {
    "population_size": 10,
    "add_node_mutation_prob": 0.3,
    "add_edge_mutation_prob": 0.3,
    "remove_edge_mutation_prob": 0.1,
    "remove_node_mutation_prob": 0.1,
    "remove_node_single_mutation_prob": 0.1,
    "num_elites_species": 1,
    "num_elites_global": 2,
    "selection_share": 0.5,
    "tournament_size": 3,
    "species_threshold": 3.0,
    "target_species": 3,
    "mating_strategy": "NEATSpeciation",
    "selection_strategy": "NEAT",
    "diversity_objective": False,
    "crossover_enabled": True,
    "c1": 1.0,
    "c2": 1.0,
    "special": {
        "grid_size": [32, 32],
        "fixed_nodes": [[2, 2], [28, 4], [16, 28]],
        "move_node_mutation_prob": 0.3,
        "move_node_mutation_sigma": 2.0,
        "evaluation_strategy": "SingleObjective",
        "graph_init": "FCN",
        "compatibility_sigma": 4,
        "c3": 1.0,
    },
}


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
