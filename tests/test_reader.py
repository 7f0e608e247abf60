"""Reading configuration and structure dictionaries into records and writing them back."""

import collections.abc
import copy
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import gridweave
from conftest import make_config

core = gridweave._core

# The engine's key table, in its order: the reader reports missing keys and writes keys so.
SETTINGS = core._settings()
CONFIG_KEYS = [key for key, table, *_ in SETTINGS if not table] + ["special"]
SPECIAL_KEYS = [key for key, table, *_ in SETTINGS if table == "special"]


class PairsMapping(collections.abc.Mapping):
    """A mapping that is not a dict and whose items() may repeat a key."""

    def __init__(self, pairs):
        self._pairs = list(pairs)

    def __getitem__(self, key):
        for k, v in self._pairs:
            if k == key:
                return v
        raise KeyError(key)

    def __iter__(self):
        return (k for k, _ in self._pairs)

    def __len__(self):
        return len(self._pairs)

    def items(self):
        return list(self._pairs)


def config_without(*keys, special=()):
    config = make_config()
    for key in keys:
        del config[key]
    for key in special:
        del config["special"][key]
    return config


def node(pos, type_="Fixed", **extra):
    return {**extra, "data": {"pos": pos, "type": type_}}


def edge(node1, node2, enabled=True, **extra):
    return {**extra, "node1": node1, "node2": node2, "enabled": enabled}


def structure(nodes=(), edges=()):
    return {"nodes": list(nodes), "edges": list(edges)}


def raises_exactly(kind, message, call, *args):
    with pytest.raises(BaseException) as info:
        call(*args)
    assert type(info.value) is kind, repr(info.value)
    assert str(info.value).startswith(message), str(info.value)


# ---- configuration --------------------------------------------------------------


def test_valid_config_is_written_back_in_declaration_order():
    written = core._read_config(make_config(graph_init={"Grid": [8, 4]}))
    assert list(written) == CONFIG_KEYS
    assert list(written["special"]) == SPECIAL_KEYS
    assert written["population_size"] == 10 and type(written["population_size"]) is int
    assert written["target_species"] == 3
    assert written["special"]["grid_size"] == (32, 32)
    assert written["special"]["fixed_nodes"] == [(2, 2), (28, 4), (16, 28)]
    assert written["special"]["graph_init"] == {"Grid": (8, 4)}
    assert written["special"]["evaluation_strategy"] == "SingleObjective"


def test_written_config_reads_back_unchanged():
    written = core._read_config(make_config(graph_init={"Grid": [3, 5]}, target_species=None))
    assert core._read_config(written) == written


CONFIG_FAILURES = [
    ("empty dict", {}, Exception, "missing field `population_size`"),
    ("not a mapping", [("population_size", 1)], TypeError, "unexpected type: "),
    ("int key", {**make_config(), 1: 2}, TypeError, "dict keys must have type str"),
    ("int key in special", make_config(special={5: 1}), TypeError,
     "dict keys must have type str"),
    ("special not a mapping", make_config(special=[1, 2]), TypeError, "unexpected type: "),
    ("fixed_nodes not a sequence", make_config(fixed_nodes=5), TypeError, "unexpected type: "),
    ("fixed_nodes a dict", make_config(fixed_nodes={"a": 1}), TypeError, "unexpected type: "),
    ("pair of three", make_config(fixed_nodes=[[1, 2, 3]]), ValueError, "expected sequence of length 2, got 3"),
    ("grid_size of one", make_config(grid_size=[32]), ValueError, "expected sequence of length 2, got 1"),
    ("grid_size a set", make_config(grid_size={1, 2}), TypeError, "unexpected type: "),
    ("enum as int", make_config(selection_strategy=5), TypeError, "expected either a str or dict for enum"),
    ("enum as list", make_config(graph_init=["Grid", [1, 1]]), TypeError, "expected either a str or dict for enum"),
    ("enum dict with two keys", make_config(selection_strategy={"NSGA2": None, "NEAT": None}), ValueError,
     "expected tagged enum dict to have exactly 1 key"),
    ("enum dict empty", make_config(selection_strategy={}), ValueError,
     "expected tagged enum dict to have exactly 1 key"),
    ("enum dict int key", make_config(selection_strategy={1: None}), TypeError, "dict keys must have type str"),
    ("lower-case strategy", make_config(selection_strategy="nsga2"), Exception,
     "unknown variant `nsga2`, expected one of `NEAT`, `NSGA2`, `SPEA2`"),
    ("unknown mating", make_config(mating_strategy="Random"), Exception,
     "unknown variant `Random`, expected `NEATSpeciation` or `GlobalTournament`"),
    ("unknown tag", make_config(graph_init={"Lattice": [1, 1]}), Exception,
     "unknown variant `Lattice`, expected `FCN` or `Grid`"),
    ("unknown evaluation", make_config(evaluation_strategy="Multi"), Exception,
     "unknown variant `Multi`, expected `SingleObjective` or `MultiObjectiveBridge`"),
    ("Grid without payload", make_config(graph_init="Grid"), TypeError, "unexpected type: "),
    ("Grid payload None", make_config(graph_init={"Grid": None}), TypeError, "unexpected type: "),
    ("Grid payload of one", make_config(graph_init={"Grid": [4]}), ValueError,
     "expected sequence of length 2, got 1"),
    ("Grid payload negative", make_config(graph_init={"Grid": [4, -1]}), OverflowError, ""),
    ("Grid payload above u32", make_config(graph_init={"Grid": [2**32, 1]}), OverflowError, ""),
    ("float population_size", make_config(population_size=10.0), TypeError,
     "'float' object cannot be interpreted as an integer"),
    ("negative population_size", make_config(population_size=-1), OverflowError,
     "can't convert negative int to unsigned"),
    ("population_size above u64", make_config(population_size=2**64), OverflowError, ""),
    ("float compatibility_sigma", make_config(compatibility_sigma=2.0), TypeError, ""),
    ("negative target_species", make_config(target_species=-3), OverflowError, ""),
    ("str for a float", make_config(c1="x"), TypeError, ""),
    ("fixed node above i32", make_config(fixed_nodes=[[2**31, 0]]), OverflowError, ""),
    ("fixed node below i32", make_config(fixed_nodes=[[0, -2**31 - 1]]), OverflowError, ""),
    ("missing c3 after others", config_without(special=["c3"]), Exception, "missing field `c3`"),
    ("missing c3 and grid_size", config_without(special=["c3", "grid_size"]), Exception,
     "missing field `grid_size`"),
    ("missing c3 and move prob", config_without(special=["c3", "move_node_mutation_prob"]), Exception,
     "missing field `move_node_mutation_prob`"),
    ("missing c2", config_without("c2", "c1"), Exception, "missing field `c1`"),
    ("nested record read while visiting", config_without("c2", special=["c3"]), Exception, "missing field `c3`"),
    ("missing special", config_without("special"), Exception, "missing field `special`"),
    ("missing strategies", config_without("selection_strategy", "mating_strategy"), Exception,
     "missing field `mating_strategy`"),
    ("duplicate field", PairsMapping(list(make_config().items()) + [("c1", 2.0)]), Exception,
     "duplicate field `c1`"),
    ("duplicate nested field", make_config(special=PairsMapping([("c3", 1.0), ("c3", 1.0)])), Exception,
     "duplicate field `c3`"),
]


@pytest.mark.parametrize("config, kind, message", [case[1:] for case in CONFIG_FAILURES],
                         ids=[case[0] for case in CONFIG_FAILURES])
def test_config_failures(config, kind, message):
    raises_exactly(kind, message, core._read_config, config)


def test_first_failing_entry_wins_in_mapping_order():
    config = {"c1": "x", "population_size": -1}
    raises_exactly(TypeError, "", core._read_config, config)
    config = {"population_size": -1, "c1": "x"}
    raises_exactly(OverflowError, "", core._read_config, config)


class Floaty:
    def __float__(self):
        return 0.25


class Indexy:
    def __index__(self):
        return 7


CONFIG_VALUES = [
    ("int for a float", {"c1": 1}, ["c1"], 1.0),
    ("int c3", {"c3": 2}, ["special", "c3"], 2.0),
    ("__float__ object", {"c2": Floaty()}, ["c2"], 0.25),
    ("__index__ object", {"population_size": Indexy()}, ["population_size"], 7),
    ("1 is true", {"crossover_enabled": 1}, ["crossover_enabled"], True),
    ("str is true", {"crossover_enabled": "x"}, ["crossover_enabled"], True),
    ("0 is false", {"crossover_enabled": 0}, ["crossover_enabled"], False),
    ("empty str is false", {"crossover_enabled": ""}, ["crossover_enabled"], False),
    ("None is false", {"diversity_objective": None}, ["diversity_objective"], False),
    ("empty list is false", {"diversity_objective": []}, ["diversity_objective"], False),
    ("target_species None", {"target_species": None}, ["target_species"], None),
    ("target_species given", {"target_species": 5}, ["target_species"], 5),
    ("tagged payload-free variant", {"selection_strategy": {"NSGA2": None}}, ["selection_strategy"], "NSGA2"),
    ("tagged variant value unread", {"graph_init": {"FCN": object()}}, ["special", "graph_init"], "FCN"),
    ("Grid of zero cells", {"graph_init": {"Grid": [0, 5]}}, ["special", "graph_init"], {"Grid": (0, 5)}),
    ("Grid payload tuple", {"graph_init": {"Grid": (8, 8)}}, ["special", "graph_init"], {"Grid": (8, 8)}),
    ("Grid at u32 limit", {"graph_init": {"Grid": [2**32 - 1, 0]}}, ["special", "graph_init"],
     {"Grid": (2**32 - 1, 0)}),
    ("tagged enum in a Mapping", {"mating_strategy": PairsMapping([("GlobalTournament", 1)])},
     ["mating_strategy"], "GlobalTournament"),
    ("grid_size tuple", {"grid_size": (32, 16)}, ["special", "grid_size"], (32, 16)),
    ("grid_size range", {"grid_size": range(3, 5)}, ["special", "grid_size"], (3, 4)),
    ("u64 maximum", {"population_size": 2**64 - 1}, ["population_size"], 2**64 - 1),
    ("i32 limits", {"fixed_nodes": [(-2**31, 2**31 - 1)]}, ["special", "fixed_nodes"], [(-2**31, 2**31 - 1)]),
    ("empty fixed_nodes", {"fixed_nodes": []}, ["special", "fixed_nodes"], []),
    ("tuple of pairs", {"fixed_nodes": ((1, 2), [3, 4])}, ["special", "fixed_nodes"], [(1, 2), (3, 4)]),
]


@pytest.mark.parametrize("changes, path, expected", [case[1:] for case in CONFIG_VALUES],
                         ids=[case[0] for case in CONFIG_VALUES])
def test_config_values(changes, path, expected):
    written = core._read_config(make_config(**changes))
    for key in path:
        written = written[key]
    assert written == expected and type(written) is type(expected)


def test_absent_target_species_is_written_as_none():
    assert core._read_config(config_without("target_species"))["target_species"] is None


@pytest.mark.parametrize("pairs", [frozenset, set])
def test_set_of_pairs_accepted_for_fixed_nodes(pairs):
    written = core._read_config(make_config(fixed_nodes=pairs({(1, 2), (3, 4), (5, 6)})))
    assert sorted(written["special"]["fixed_nodes"]) == [(1, 2), (3, 4), (5, 6)]


@pytest.mark.parametrize("extra", [{"comment": "hello"}, {"comment": object()}, {"x": object(), "y": None}])
def test_unknown_keys_are_ignored_unread(extra):
    config = make_config()
    config.update(extra)
    config["special"].update(extra)
    assert core._read_config(config) == core._read_config(make_config())


def test_config_from_a_mapping_that_is_not_a_dict():
    config = make_config()
    config["special"] = PairsMapping(config["special"].items())
    assert core._read_config(PairsMapping(config.items())) == core._read_config(make_config())


# ---- structure ------------------------------------------------------------------

FULL_STRUCTURE = structure(
    nodes=[node((5, 5), "Fixed", id=3), node((-1, 4), "Flexible", id=2**64 - 1)],
    edges=[edge(3, 2**64 - 1, True, id=7), edge(3, 3, False, id=0)],
)


def test_structure_written_then_read_back_is_identical():
    written = core._roundtrip_structure(FULL_STRUCTURE)
    assert written == FULL_STRUCTURE
    assert list(written) == ["nodes", "edges"]
    assert list(written["nodes"][0]) == ["id", "data"] and list(written["nodes"][0]["data"]) == ["pos", "type"]
    assert list(written["edges"][0]) == ["id", "node1", "node2", "enabled"]
    assert type(written["nodes"][0]["data"]["pos"]) is tuple
    assert core._roundtrip_structure(written) == written


def test_absent_ids_are_omitted():
    given = structure(nodes=[node([1, 2]), node([3, 4], id=None)], edges=[edge(1, 2, id=None), edge(1, 2, 1)])
    written = core._roundtrip_structure(given)
    assert written["nodes"] == [{"data": {"pos": (1, 2), "type": "Fixed"}}, {"data": {"pos": (3, 4), "type": "Fixed"}}]
    assert written["edges"] == [{"node1": 1, "node2": 2, "enabled": True}, {"node1": 1, "node2": 2, "enabled": True}]


def test_structure_accepts_tagged_node_type_and_truthy_enabled():
    written = core._roundtrip_structure(structure([node([0, 0], {"Flexible": 0})], [edge(1, 2, "yes")]))
    assert written["nodes"][0]["data"]["type"] == "Flexible"
    assert written["edges"][0]["enabled"] is True


STRUCTURE_FAILURES = [
    ("empty", {}, Exception, "missing field `nodes`"),
    ("only nodes", {"nodes": []}, Exception, "missing field `edges`"),
    ("edge without enabled", structure(edges=[{"node1": 1, "node2": 2}]), Exception, "missing field `enabled`"),
    ("edge without ends", structure(edges=[{"enabled": True}]), Exception, "missing field `node1`"),
    ("node without data", structure(nodes=[{"id": 1}]), Exception, "missing field `data`"),
    ("data without type", structure(nodes=[{"data": {"pos": [1, 1]}}]), Exception, "missing field `type`"),
    ("pos of three", structure([node([1, 2, 3])]), ValueError, "expected sequence of length 2, got 3"),
    ("pos an int", structure([node(5)]), TypeError, "unexpected type: "),
    ("pos above i32", structure([node([2**31, 0])]), OverflowError, ""),
    ("unknown node type", structure([node([1, 2], "fixed")]), Exception,
     "unknown variant `fixed`, expected `Fixed` or `Flexible`"),
    ("node type an int", structure([node([1, 2], 1)]), TypeError, "expected either a str or dict for enum"),
    ("nodes a dict", {"nodes": {}, "edges": []}, TypeError, "unexpected type: "),
    ("node a list", structure(nodes=[[1, 2]]), TypeError, "unexpected type: "),
    ("negative id", structure([node([1, 2], id=-1)]), OverflowError, "can't convert negative int to unsigned"),
    ("float node1", structure(edges=[edge(1.0, 2)]), TypeError, ""),
    ("key not str", structure(edges=[{**edge(1, 2), b"id": 1}]), TypeError, "dict keys must have type str"),
]


@pytest.mark.parametrize("given, kind, message", [case[1:] for case in STRUCTURE_FAILURES],
                         ids=[case[0] for case in STRUCTURE_FAILURES])
def test_structure_failures(given, kind, message):
    raises_exactly(kind, message, core._roundtrip_structure, given)


# ---- hostile objects ------------------------------------------------------------


class RaisingItems(dict):
    def items(self):
        raise ZeroDivisionError("no items")


class ClearsOnIndex:
    def __init__(self, target):
        self.target = target

    def __index__(self):
        self.target.clear()
        return 1


class LyingSequence(collections.abc.Sequence):
    def __len__(self):
        return 5

    def __getitem__(self, index):
        if index >= 1:
            raise IndexError(index)
        return (1, 2)


class BadBool:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


class SharedItems(collections.abc.Mapping):
    """items() hands out a list that the mapping empties while a value is read."""

    def __init__(self):
        self.shared = []
        self.shared.extend([("node1", ClearsOnIndex(self.shared)), ("node2", 2), ("enabled", True)])

    def __getitem__(self, key):
        return dict(self.shared)[key]

    def __iter__(self):
        return iter(dict(self.shared))

    def __len__(self):
        return len(self.shared)

    def items(self):
        return self.shared


def test_hostile_objects_raise_python_exceptions():
    raises_exactly(ZeroDivisionError, "no items", core._read_config, RaisingItems())
    raises_exactly(ZeroDivisionError, "no truth", core._read_config, make_config(crossover_enabled=BadBool()))
    raises_exactly(IndexError, "", core._read_config, make_config(fixed_nodes=LyingSequence()))
    raises_exactly(TypeError, "unexpected type: ", core._read_config, PairsMapping([1, 2]))
    # Depending on whether the host copies the list that items() returns, the
    # emptied entries are either gone or still read: either way no crash.
    result = outcome(core._roundtrip_structure, structure(edges=[SharedItems()]))
    assert isinstance(result, dict) or str(result) == "missing field `node2`"


def test_values_that_change_their_container_while_read():
    pairs = [[1, 2], [3, 4]]
    pairs[0][0] = ClearsOnIndex(pairs)
    with pytest.raises(IndexError):
        core._read_config(make_config(fixed_nodes=pairs))
    config = make_config()
    config["population_size"] = ClearsOnIndex(config)
    written = core._read_config(config)
    assert written["population_size"] == 1


def test_reading_keeps_reference_counts_of_inputs():
    probe, big = object(), 2**40 + 12345
    config = make_config(comment=probe, population_size=big)
    given = structure([node([1, 2], id=big)], [edge(big, big, probe)])
    before = sys.getrefcount(probe), sys.getrefcount(big)
    for _ in range(100):
        core._read_config(config)
        core._roundtrip_structure(given)
        with pytest.raises(TypeError):
            core._read_config({**config, "c1": probe})
    assert (sys.getrefcount(probe), sys.getrefcount(big)) == before


# ---- random input ---------------------------------------------------------------

leaves = st.none() | st.booleans() | st.integers(-2**70, 2**70) | st.floats() | st.text(max_size=8) | st.sampled_from(
    CONFIG_KEYS + SPECIAL_KEYS + ["nodes", "edges", "id", "data", "pos", "type", "node1", "node2", "enabled",
                                  "Grid", "FCN", "NSGA2", "Fixed"])
trees = st.recursive(
    leaves,
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(leaves, inner, max_size=5),
    max_leaves=30,
)


def outcome(call, value):
    try:
        result = call(value)
    except Exception as error:  # any ordinary exception is a valid refusal
        return error
    assert isinstance(result, dict)
    return result


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(trees)
def test_random_trees_give_a_dict_or_an_exception(value):
    outcome(core._read_config, value)
    outcome(core._roundtrip_structure, value)


def replace_at(tree, path, value):
    tree = copy.deepcopy(tree)
    target = tree
    for step in path[:-1]:
        target = target[step]
    target[path[-1]] = value
    return tree


def leaf_paths(tree, prefix=()):
    items = tree.items() if isinstance(tree, dict) else enumerate(tree) if isinstance(tree, list) else ()
    paths = [prefix] if prefix else []
    for key, child in items:
        paths += leaf_paths(child, prefix + (key,))
    return paths


CONFIG_PATHS = leaf_paths(make_config())
STRUCTURE_PATHS = leaf_paths(FULL_STRUCTURE)


@settings(max_examples=300, deadline=None)
@given(st.sampled_from(CONFIG_PATHS), st.sampled_from(STRUCTURE_PATHS), trees)
def test_one_bad_value_in_a_valid_dict_gives_a_dict_or_an_exception(config_path, structure_path, value):
    outcome(core._read_config, replace_at(make_config(), config_path, value))
    result = outcome(core._roundtrip_structure, replace_at(FULL_STRUCTURE, structure_path, value))
    if isinstance(result, dict):
        assert core._roundtrip_structure(result) == result
