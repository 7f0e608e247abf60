import itertools
import math
import tomllib

import pytest

import gridweave as gw
from gridweave.config import (
    ENGINE_KEYS,
    SPECIAL_KEYS,
    apply_overrides,
    load_config,
    make_config,
    save_config,
    to_toml,
    validate_config,
)

TERMINALS = [(1, 1), (14, 3), (8, 13)]


def small_config(**overrides):
    return make_config((16, 16), TERMINALS, **{"population_size": 8, **overrides})


def test_make_config_is_complete_and_ordered():
    config = make_config((20, 10), TERMINALS)
    assert tuple(config) == ENGINE_KEYS
    assert tuple(config["special"]) == SPECIAL_KEYS
    assert config["special"]["grid_size"] == [20, 10]
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


@pytest.mark.parametrize("overrides, error, message", [
    ({"mating_strategy": "neat"}, Exception, "unknown variant `neat`"),
    ({"population_size": 2.0}, TypeError, None),
    ({"special": {"graph_init": "Grid"}}, Exception, None),
    ({"population_size": 0}, ValueError, "population_size"),
    ({"special": {"fixed_nodes": [[16, 0]]}}, ValueError, r"\(16, 0\) lies outside"),
])
def test_validate_config_refuses(overrides, error, message):
    with pytest.raises(error, match=message):
        validate_config(small_config(**overrides))


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
