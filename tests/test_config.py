import copy
import itertools
import json
import math
import tomllib

import pytest

import gridweave as gw
from gridweave.config import (
    ENGINE_KEYS,
    MAX_SIZE,
    SETTINGS,
    SPECIAL_KEYS,
    apply_overrides,
    load_config,
    make_config,
    parse_setting,
    save_config,
    settings_table,
    to_toml,
    validate_config,
)

TERMINALS = [(1, 1), (14, 3), (8, 13)]


def small_config(**overrides):
    return make_config((16, 16), TERMINALS, **{"population_size": 8, **overrides})


def test_make_config_is_complete_and_ordered():
    config = make_config((20, 14), TERMINALS)
    assert tuple(config) == ENGINE_KEYS
    assert tuple(config["special"]) == SPECIAL_KEYS
    assert config["special"]["grid_size"] == [20, 14]
    assert config["special"]["fixed_nodes"] == [[1, 1], [14, 3], [8, 13]]


@pytest.mark.parametrize("key, expected", [
    ("population_size", 100), ("add_node_mutation_prob", 0.3), ("add_edge_mutation_prob", 0.2),
    ("remove_edge_mutation_prob", 0.1), ("num_elites_global", 2), ("tournament_size", 3),
    ("species_threshold", 3.0), ("target_species", 5), ("mating_strategy", "NEATSpeciation"),
    ("selection_strategy", "NEAT"), ("diversity_objective", False), ("crossover_enabled", True),
    ("special.move_node_mutation_sigma", 2.0), ("special.graph_init", {"Grid": [4, 4]}),
    ("special.compatibility_sigma", 4), ("special.c3", 10.0),
])
def test_defaults(key, expected):
    config = make_config((16, 16), TERMINALS)
    value = config["special"][key[8:]] if key.startswith("special.") else config[key]
    assert value == expected


def test_defaults_are_not_shared_between_configs():
    first = make_config((16, 16), TERMINALS)
    first["special"]["graph_init"]["Grid"][0] = 99
    assert make_config((16, 16), TERMINALS)["special"]["graph_init"] == {"Grid": [4, 4]}


@pytest.mark.parametrize("overrides, path, expected", [
    ({"population_size": 7}, ("population_size",), 7),
    ({"c3": 2.5}, ("special", "c3"), 2.5),
    ({"evaluation_strategy": "MultiObjectiveBridge"}, ("special", "evaluation_strategy"),
     "MultiObjectiveBridge"),
    ({"special": {"graph_init": "FCN"}}, ("special", "graph_init"), "FCN"),
    ({"special": {"c3": 1.0}}, ("special", "compatibility_sigma"), 4),  # merged, not replaced
    ({"target_species": None}, ("target_species",), None),
])
def test_overrides_reach_their_key(overrides, path, expected):
    value = make_config((16, 16), TERMINALS, **overrides)
    for key in path:
        value = value[key]
    assert value == expected


@pytest.mark.parametrize("overrides, name", [
    ({"population": 5}, "'population'"),
    ({"special": {"sigma": 1}}, "'special.sigma'"),
    ({"special": 3}, "'special'"),
])
def test_unknown_override_keys_are_refused(overrides, name):
    with pytest.raises(ValueError, match=name):
        make_config((16, 16), TERMINALS, **overrides)


def test_apply_overrides_leaves_the_original_alone():
    base = small_config()
    changed = apply_overrides(base, {"c1": 0.25, "special": {"c3": 0.5}})
    assert (changed["c1"], changed["special"]["c3"]) == (0.25, 0.5)
    assert (base["c1"], base["special"]["c3"]) == (1.0, 10.0)


@pytest.mark.parametrize("mating, selection, evaluation", list(itertools.product(
    ["NEATSpeciation", "GlobalTournament"], ["NEAT", "NSGA2", "SPEA2"],
    ["SingleObjective", "MultiObjectiveBridge"])))
def test_population_accepts_made_configs(mating, selection, evaluation):
    config = small_config(mating_strategy=mating, selection_strategy=selection,
                          evaluation_strategy=evaluation, diversity_objective=True)
    validate_config(config)
    assert len(gw.Population(config).members) == 8


@pytest.mark.parametrize("overrides, message", [
    ({"mating_strategy": "neat"}, "'mating_strategy' = 'neat': must be one of NEATSpeciation"),
    ({"population_size": 2.0}, "'population_size' = 2.0"),
    ({"special": {"graph_init": "Grid"}}, "'special.graph_init' = 'Grid'"),
    ({"population_size": 0}, "'population_size' = 0"),
    ({"num_elites_global": 500}, r"'num_elites_global' = 500: .*population_size = 8"),
    ({"special": {"fixed_nodes": [[16, 0]]}}, r"\(16, 0\) lies outside"),
    ({"special": {"fixed_nodes": [[1, 1], [1, 1]]}}, r"\(1, 1\) is given twice"),
    ({"special": {"graph_init": {"Grid": [20, 20]}}}, "lattice of 20 x 20 nodes"),
])
def test_validate_config_refuses(overrides, message):
    with pytest.raises(ValueError, match=message):
        validate_config(apply_overrides(small_config(), overrides))


def test_validate_config_refuses_missing_and_unknown_keys():
    config = small_config()
    del config["special"]["c3"]
    with pytest.raises(ValueError, match="'special.c3' is missing"):
        validate_config(config)
    with pytest.raises(ValueError, match="unknown configuration key 'popsize'"):
        validate_config({**small_config(), "popsize": 3})


def out_of_range(setting):
    """A value below and one above the setting's range (None where there is none)."""
    if setting.kind in ("int", "optional int"):
        return setting.low - 1, setting.high + 1
    if setting.kind == "float":
        below = setting.low if setting.low_open else setting.low - 0.5
        return below, (math.inf if setting.high == math.inf else setting.high + 0.5)
    if setting.kind == "size":
        return [0, 4], [4, MAX_SIZE + 1]
    if setting.kind == "cells":
        return [[-1, 0]], [[16, 0]]
    if setting.kind == "graph init":
        return {"Grid": [-1, 2]}, {"Grid": [17, 16]}
    return None, None


WRONG_TYPES = {"int": "5", "optional int": 2.0, "float": "0.5", "bool": "false",
               "choice": 1, "graph init": "Grid", "size": 16, "cells": [[1, 1.5]]}


@pytest.mark.parametrize("setting", SETTINGS, ids=[s.key for s in SETTINGS])
@pytest.mark.parametrize("case", ["below", "above", "wrong type"])
def test_every_setting_is_checked(setting, case):
    below, above = out_of_range(setting)
    value = {"below": below, "above": above, "wrong type": WRONG_TYPES[setting.kind]}[case]
    if value is None:
        pytest.skip("no range")
    config = small_config()
    (config["special"] if setting.special else config)[setting.key] = value
    with pytest.raises(ValueError, match=f"configuration key '{setting.path}"):
        validate_config(config)


def test_documentation_table_is_the_table():
    assert settings_table() in gw.config.__doc__


def as_json(value):
    return json.loads(json.dumps(value))


def test_native_reader_takes_the_table():
    config = small_config(target_species=None)
    assert as_json(gw._core._read_config(config)) == config
    for setting in SETTINGS:  # the extremes the table allows read back unchanged
        if setting.kind in ("int", "float"):
            for value in (setting.low if not setting.low_open else 0.5, min(setting.high, 1e300)):
                changed = copy.deepcopy(config)
                (changed["special"] if setting.special else changed)[setting.key] = value
                assert as_json(gw._core._read_config(changed)) == changed
    for setting in SETTINGS:
        if setting.kind == "optional int":
            continue
        partial = copy.deepcopy(config)
        del (partial["special"] if setting.special else partial)[setting.key]
        if setting.key == "min_separation":  # configurations written before it read as 0
            assert gw._core._read_config(partial)["special"]["min_separation"] == 0
            continue
        with pytest.raises(Exception, match=setting.key):
            gw._core._read_config(partial)


@pytest.mark.parametrize("key, text, expected", [
    ("population_size", "30", 30), ("c3", "2.5", 2.5), ("special.c3", "1", 1),
    ("crossover_enabled", "false", False), ("target_species", "none", None),
    ("graph_init", "FCN", "FCN"), ("graph_init", "{ Grid = [2, 3] }", {"Grid": [2, 3]}),
])
def test_parse_setting(key, text, expected):
    assert parse_setting(key, text) == expected


ROUND_TRIP_CONFIGS = [
    small_config(),
    small_config(target_species=None, graph_init="FCN"),
    small_config(selection_strategy="SPEA2", evaluation_strategy="MultiObjectiveBridge",
                 diversity_objective=True, species_threshold=0.5),
    make_config((64, 48), [(0, 0), (63, 47)], selection_strategy="NSGA2", c1=2),
]


@pytest.mark.parametrize("suffix", [".toml", ".json"])
@pytest.mark.parametrize("config", ROUND_TRIP_CONFIGS)
def test_save_load_round_trip(tmp_path, config, suffix):
    path = tmp_path / f"run{suffix}"
    save_config(config, path)
    loaded = load_config(path)
    assert loaded == config
    validate_config(loaded)


def test_partial_toml_file_is_read_as_written(tmp_path):
    path = tmp_path / "partial.toml"
    path.write_text('population_size = 30\nselection_strategy = "NSGA2"\n[special]\nc3 = 2.5\n')
    assert load_config(path) == {"population_size": 30, "selection_strategy": "NSGA2",
                                 "special": {"c3": 2.5}}
    config = make_config((16, 16), TERMINALS, **load_config(path))
    assert (config["population_size"], config["special"]["c3"], config["target_species"]) == (
        30, 2.5, 5)


@pytest.mark.parametrize("name, text, message", [
    ("run.yaml", "a: 1", "must end in .toml or .json"),
    ("run.toml", "population_size = ", "run.toml"),
    ("run.json", "[1, 2]", "table of keys"),
    ("run.json", '{"c1": ', "run.json: "),
    ("run.toml", "add_node_mutation_prob = 1.5", "run.toml: configuration key "
     "'add_node_mutation_prob' = 1.5: must be a number in \\[0, 1\\]"),
    ("run.toml", "[special]\npopsize = 1", "'special.popsize'"),
])
def test_load_config_errors(tmp_path, name, text, message):
    path = tmp_path / name
    path.write_text(text)
    with pytest.raises(ValueError, match=message):
        load_config(path)


@pytest.mark.parametrize("value", [
    "plain", 'quote " and \\ backslash', "line\nbreak\ttab", "ümlaut ☃ 😀", "del\x7fchar", "",
    0, -5, 2**63 - 1, 0.1, -2.5e-300, 1e300, math.inf, -math.inf, True, False,
    [1, 2, 3], [[1, 2], [3, 4]], [], ["a", 1.5],
])
def test_toml_writer_values_parse_back(value):
    data = {"key": value, "table": {"inner": value, "inline": {"Grid": [4, 4]}}}
    assert tomllib.loads(to_toml(data)) == data


def test_toml_writer_quotes_keys_and_skips_none():
    data = {"needs quotes": 1, "a.b": 2, "gone": None, "t": {"x": None, "y": 1}}
    assert tomllib.loads(to_toml(data)) == {"needs quotes": 1, "a.b": 2, "t": {"y": 1}}
    assert math.isnan(tomllib.loads(to_toml({"v": math.nan}))["v"])


@pytest.mark.parametrize("value, error", [([1, None], ValueError), (object(), TypeError),
                                          ({1: 2}, TypeError)])
def test_toml_writer_refuses_what_toml_cannot_hold(value, error):
    with pytest.raises(error):
        to_toml({"t": {"v": value}})


def test_settings_are_the_engine_table_in_its_order():
    native = gw._core._settings()
    assert [(s.key, s.special) for s in SETTINGS] == [(key, table == "special") for key, table, *_ in native]
    assert list(gw.config._ABOUT) == [s.key for s in SETTINGS]  # described in the table's order


@pytest.mark.parametrize("key, value", [
    ("c1", -1.0), ("selection_share", 0.0), ("target_species", 0), ("species_threshold", math.inf),
    ("grid_size", [0, 16]), ("num_elites_global", MAX_SIZE + 1), ("move_node_mutation_sigma", math.nan),
])
def test_engine_refuses_what_the_table_refuses(key, value):
    config = small_config()
    (config["special"] if key in SPECIAL_KEYS else config)[key] = value
    with pytest.raises(ValueError, match=f"'{key}'"):
        gw.Population(config)
    with pytest.raises(ValueError, match=f"'(special.)?{key}'"):
        validate_config(config)


def test_grid_settings_is_a_spelling_of_special(tmp_path):
    made = small_config(grid_settings={"c3": 2.5})
    assert made["special"]["c3"] == 2.5 and "grid_settings" not in made
    assert apply_overrides(made, {"grid_settings": {"c3": 0.5}})["special"]["c3"] == 0.5
    path = tmp_path / "run.toml"
    path.write_text("population_size = 12\n[grid_settings]\nc3 = 4.0\n")
    assert load_config(path) == {"population_size": 12, "special": {"c3": 4.0}}
    assert parse_setting("grid_settings.c3", "1.5") == 1.5
    with pytest.raises(ValueError, match="name one table"):
        apply_overrides(made, {"grid_settings": {}, "special": {}})
