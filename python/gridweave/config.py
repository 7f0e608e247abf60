"""Configuration dictionaries for :class:`gridweave.Population`.

The native reader takes a dictionary with nineteen engine keys, one of which,
``special``, holds the eight keys of the grid-network part. It has no
defaults. :func:`make_config` fills in the defaults below, so that only the
problem (grid size and fixed nodes) and the settings you want to change need
to be given.

Engine defaults (``ENGINE_DEFAULTS``):

==================================  ==================  ====================================
key                                 default             meaning
==================================  ==================  ====================================
population_size                     100                 members per generation
add_node_mutation_prob              0.3                 split an edge with a new node
add_edge_mutation_prob              0.2                 join two nodes
remove_edge_mutation_prob           0.1                 disable an edge
remove_node_mutation_prob           0.1                 delete a flexible node
remove_node_single_mutation_prob    0.1                 delete a node of degree one or two
num_elites_species                  1                   best members kept per species
num_elites_global                   2                   best members kept overall
selection_share                     0.5                 share of a species that may breed
tournament_size                     3                   contestants per tournament
species_threshold                   3.0                 initial compatibility threshold
target_species                      5                   threshold adapts towards this count
                                                        (``None``: the threshold stays fixed)
mating_strategy                     "NEATSpeciation"    or "GlobalTournament"
selection_strategy                  "NEAT"              or "NSGA2", "SPEA2"
diversity_objective                 False               add a novelty objective
crossover_enabled                   True                combine two parents
c1, c2                              1.0, 1.0            weights of excess / disjoint edges
==================================  ==================  ====================================

Grid-network defaults (``SPECIAL_DEFAULTS``, the ``special`` sub-dictionary;
``grid_size`` and ``fixed_nodes`` come from the arguments of
:func:`make_config`):

========================  ======================  ==========================================
key                       default                 meaning
========================  ======================  ==========================================
move_node_mutation_prob   0.3                     move the flexible nodes after mutation
move_node_mutation_sigma  2.0                     step width of a move, in cells
evaluation_strategy       "SingleObjective"       or "MultiObjectiveBridge"
graph_init                {"Grid": [4, 4]}        4 x 4 lattice joined to the fixed nodes;
                                                  or "FCN" (fixed nodes fully connected)
compatibility_sigma       4                       pooling window of the grid distance
c3                        10.0                    weight of the grid distance
========================  ======================  ==========================================

Configurations are stored as TOML (engine keys at the top, a ``[special]``
table) or JSON; see :func:`load_config` and :func:`save_config`.
"""

from __future__ import annotations

import copy
import json
import math
import numbers
import re
import tomllib
from collections.abc import Iterable, Mapping, Sequence
from pathlib import Path
from typing import Any

from . import _core

__all__ = [
    "ENGINE_KEYS",
    "SPECIAL_KEYS",
    "ENGINE_DEFAULTS",
    "SPECIAL_DEFAULTS",
    "make_config",
    "apply_overrides",
    "validate_config",
    "load_config",
    "save_config",
    "to_toml",
]

Config = dict[str, Any]

ENGINE_KEYS: tuple[str, ...] = (
    "population_size",
    "add_node_mutation_prob",
    "add_edge_mutation_prob",
    "remove_edge_mutation_prob",
    "remove_node_mutation_prob",
    "remove_node_single_mutation_prob",
    "num_elites_species",
    "num_elites_global",
    "selection_share",
    "tournament_size",
    "species_threshold",
    "target_species",
    "mating_strategy",
    "selection_strategy",
    "diversity_objective",
    "crossover_enabled",
    "c1",
    "c2",
    "special",
)

SPECIAL_KEYS: tuple[str, ...] = (
    "grid_size",
    "fixed_nodes",
    "move_node_mutation_prob",
    "move_node_mutation_sigma",
    "evaluation_strategy",
    "graph_init",
    "compatibility_sigma",
    "c3",
)

ENGINE_DEFAULTS: dict[str, Any] = {
    "population_size": 100,
    "add_node_mutation_prob": 0.3,
    "add_edge_mutation_prob": 0.2,
    "remove_edge_mutation_prob": 0.1,
    "remove_node_mutation_prob": 0.1,
    "remove_node_single_mutation_prob": 0.1,
    "num_elites_species": 1,
    "num_elites_global": 2,
    "selection_share": 0.5,
    "tournament_size": 3,
    "species_threshold": 3.0,
    "target_species": 5,
    "mating_strategy": "NEATSpeciation",
    "selection_strategy": "NEAT",
    "diversity_objective": False,
    "crossover_enabled": True,
    "c1": 1.0,
    "c2": 1.0,
}

SPECIAL_DEFAULTS: dict[str, Any] = {
    "move_node_mutation_prob": 0.3,
    "move_node_mutation_sigma": 2.0,
    "evaluation_strategy": "SingleObjective",
    "graph_init": {"Grid": [4, 4]},
    "compatibility_sigma": 4,
    "c3": 10.0,
}


def make_config(
    grid_size: Sequence[int], fixed_nodes: Iterable[Sequence[int]], **overrides: Any
) -> Config:
    """Return a complete configuration dictionary for ``gridweave.Population``.

    ``grid_size`` is ``(width, height)``, the shape of the cost map;
    ``fixed_nodes`` are the ``(x, y)`` cells of the terminals. Every other key
    takes its default (see the module documentation) unless it is overridden.
    An override may name an engine key (``population_size=50``) or a key of the
    grid-network part (``c3=2.0``), which goes into ``special``; a ``special``
    mapping is merged key by key. Unknown keys raise :class:`ValueError`.
    Values are not checked here; the native reader checks them when the
    population is created (see :func:`validate_config`).

    Example:
        >>> cfg = make_config((32, 32), [(2, 2), (29, 30)], population_size=20,
        ...                   evaluation_strategy="MultiObjectiveBridge")
        >>> cfg["population_size"], cfg["special"]["evaluation_strategy"]
        (20, 'MultiObjectiveBridge')
        >>> cfg["special"]["fixed_nodes"]
        [[2, 2], [29, 30]]
    """
    config: Config = copy.deepcopy(ENGINE_DEFAULTS)
    config["special"] = {
        "grid_size": [int(v) for v in grid_size],
        "fixed_nodes": [[int(x), int(y)] for x, y in fixed_nodes],
        **copy.deepcopy(SPECIAL_DEFAULTS),
    }
    return apply_overrides(config, overrides)


def apply_overrides(config: Mapping[str, Any], overrides: Mapping[str, Any]) -> Config:
    """Return a copy of ``config`` with ``overrides`` applied, as in :func:`make_config`.

    Engine keys replace the top-level value, grid-network keys replace the
    value inside ``special``, and a ``special`` mapping is merged into it.

    Example:
        >>> base = make_config((16, 16), [(1, 1)])
        >>> cfg = apply_overrides(base, {"special": {"c3": 2.0}, "c1": 0.5})
        >>> cfg["special"]["c3"], cfg["c1"], base["c1"]
        (2.0, 0.5, 1.0)
    """
    result: Config = copy.deepcopy(dict(config))
    special = result.setdefault("special", {})
    for key, value in overrides.items():
        if key == "special":
            if not isinstance(value, Mapping):
                raise ValueError("configuration key 'special' must be a table of grid settings")
            for inner_key, inner_value in value.items():
                _check_key(inner_key, SPECIAL_KEYS, "special.")
                special[inner_key] = copy.deepcopy(inner_value)
        elif key in SPECIAL_KEYS:
            special[key] = copy.deepcopy(value)
        else:
            _check_key(key, ENGINE_KEYS, "")
            result[key] = copy.deepcopy(value)
    return result


def _check_key(key: str, allowed: tuple[str, ...], prefix: str) -> None:
    if key not in allowed:
        raise ValueError(
            f"unknown configuration key '{prefix}{key}' (known keys: {', '.join(allowed)})"
        )


def validate_config(config: Mapping[str, Any]) -> None:
    """Check ``config`` with the native reader; raise its exception if it is refused.

    Besides the reader's own checks (missing keys, wrong types, unknown
    strategy names) this refuses a ``population_size`` below 1, a grid that is
    not two positive sizes and fixed nodes outside the grid.

    Example:
        >>> validate_config(make_config((16, 16), [(1, 1), (14, 14)]))
        >>> validate_config(make_config((16, 16), [(1, 1)], mating_strategy="neat"))
        ... # doctest: +ELLIPSIS
        Traceback (most recent call last):
        Exception: unknown variant `neat`, expected ...
    """
    _core.Population(dict(config))
    check_population_size(config)
    width, height = config["special"]["grid_size"]
    if width < 1 or height < 1:
        raise ValueError(f"grid_size must be two positive sizes, got [{width}, {height}]")
    for x, y in config["special"]["fixed_nodes"]:
        if not (0 <= x < width and 0 <= y < height):
            raise ValueError(f"fixed node ({x}, {y}) lies outside the {width}x{height} grid")


def check_population_size(config: Mapping[str, Any]) -> None:
    """Raise ``ValueError`` when ``config`` asks for an empty population (the engine allows one)."""
    size = config["population_size"]
    if isinstance(size, int) and size < 1:
        raise ValueError("population_size must be at least 1")


def load_config(path: str | Path) -> Config:
    """Read a configuration from a ``.toml`` or ``.json`` file.

    The file holds engine keys at the top level and grid-network keys in a
    ``special`` table; it may be complete or hold only the keys to change (pass
    it to :func:`apply_overrides` or as ``**overrides`` to :func:`make_config`).
    TOML has no null: a file that holds every key except ``target_species``
    is read with ``target_species = None`` (fixed threshold), as
    :func:`save_config` writes it.

    Example:
        >>> import tempfile, os
        >>> path = os.path.join(tempfile.mkdtemp(), "run.toml")
        >>> _ = Path(path).write_text('population_size = 30\\n[special]\\nc3 = 2.5\\n')
        >>> load_config(path)
        {'population_size': 30, 'special': {'c3': 2.5}}
    """
    path = Path(path)
    text = path.read_text(encoding="utf-8")
    suffix = path.suffix.lower()
    if suffix == ".json":
        data = json.loads(text)
    elif suffix == ".toml":
        try:
            data = tomllib.loads(text)
        except tomllib.TOMLDecodeError as error:
            raise ValueError(f"{path}: {error}") from None
    else:
        raise ValueError(f"{path}: configuration files must end in .toml or .json")
    if not isinstance(data, dict):
        raise ValueError(f"{path}: a configuration must be a table of keys")
    if _is_complete(data) and "target_species" not in data:
        data["target_species"] = None
    return data


def _is_complete(data: Mapping[str, Any]) -> bool:
    special = data.get("special")
    return (
        isinstance(special, Mapping)
        and all(k in data for k in ENGINE_KEYS if k != "target_species")
        and all(k in special for k in SPECIAL_KEYS)
    )


def save_config(config: Mapping[str, Any], path: str | Path) -> None:
    """Write ``config`` to ``path`` as TOML (``.toml``) or JSON (``.json``).

    In TOML, keys whose value is ``None`` are left out (see :func:`load_config`).

    Example:
        >>> import tempfile, os
        >>> cfg = make_config((16, 16), [(1, 1), (14, 2)], target_species=None)
        >>> path = os.path.join(tempfile.mkdtemp(), "run.toml")
        >>> save_config(cfg, path)
        >>> load_config(path) == cfg
        True
    """
    path = Path(path)
    suffix = path.suffix.lower()
    if suffix == ".json":
        path.write_text(json.dumps(config, indent=2) + "\n", encoding="utf-8")
    elif suffix == ".toml":
        path.write_text(to_toml(config), encoding="utf-8")
    else:
        raise ValueError(f"{path}: configuration files must end in .toml or .json")


_BARE_KEY = re.compile(r"^[A-Za-z0-9_-]+$")


def to_toml(data: Mapping[str, Any]) -> str:
    """Render a mapping as TOML text.

    Scalars and arrays of the top level come first, mappings of the top level
    become ``[tables]``, deeper mappings become inline tables. ``None`` values
    are left out of tables (TOML has no null) and refused inside arrays.

    Example:
        >>> print(to_toml({"a": 1, "b": [0.5, True], "t": {"s": "x", "g": {"Grid": [4, 4]}}}))
        a = 1
        b = [0.5, true]
        <BLANKLINE>
        [t]
        s = "x"
        g = { Grid = [4, 4] }
        <BLANKLINE>
    """
    scalars = {k: v for k, v in data.items() if not isinstance(v, Mapping)}
    lines = [_toml_pair(k, v) for k, v in scalars.items() if v is not None]
    for key, value in data.items():
        if isinstance(value, Mapping):
            lines += ["", f"[{_toml_key(key)}]"]
            lines += [_toml_pair(k, v) for k, v in value.items() if v is not None]
    return "\n".join(lines) + "\n"


def _toml_pair(key: Any, value: Any) -> str:
    return f"{_toml_key(key)} = {_toml_value(value)}"


def _toml_key(key: Any) -> str:
    if not isinstance(key, str):
        raise TypeError(f"TOML keys must be strings, got {key!r}")
    return key if _BARE_KEY.match(key) else _toml_string(key)


def _toml_string(text: str) -> str:
    # JSON string escapes are valid TOML escapes; DEL must be escaped in TOML only.
    return json.dumps(text, ensure_ascii=False).replace("\x7f", "\\u007F")


def _toml_value(value: Any) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, numbers.Integral):
        return str(int(value))
    if isinstance(value, numbers.Real):
        value = float(value)
        if math.isnan(value):
            return "nan"
        if math.isinf(value):
            return "inf" if value > 0 else "-inf"
        return repr(value)
    if isinstance(value, str):
        return _toml_string(value)
    if isinstance(value, Mapping):
        inner = ", ".join(_toml_pair(k, v) for k, v in value.items() if v is not None)
        return "{ " + inner + " }" if inner else "{}"
    if isinstance(value, (list, tuple)):
        if any(item is None for item in value):
            raise ValueError("TOML arrays cannot hold None")
        return "[" + ", ".join(_toml_value(item) for item in value) + "]"
    raise TypeError(f"cannot write {type(value).__name__} value {value!r} as TOML")
