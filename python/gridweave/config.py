"""Configuration dictionaries for :class:`gridweave.Population`, from one table.

The native reader takes a dictionary of engine keys, one of which,
``special``, holds the grid settings. Its key table is the one list of
settings: it gives each key's kind, allowed range and choices, refuses a value
outside its range, and ``SETTINGS`` below is made from it at import, adding
only what the engine does not know (each key's default and meaning).
:func:`make_config` fills
in the defaults, so that only the problem (the map's shape and the terminals)
and the settings you want to change need to be given; :func:`validate_config`
checks a configuration against the table and raises ``ValueError`` naming the
key, the value and what is allowed, before anything native runs. The
loaders, the command line's ``--set key=value`` and the table below come from
``SETTINGS`` too.

Positions are (row, column) cells: ``grid_size`` is the cost map's shape
(rows, columns) and ``fixed_nodes`` are the terminals' (row, column) cells.

Every key with its default, what is allowed and its meaning:

{settings table}

``min_separation`` = 0
    integer in [0, 16777216]; cells another route must keep from an edge to protect it; 0: bridges only

Configurations are stored as TOML (engine keys at the top, a ``[special]``
table of grid settings, which may also be spelled ``[grid_settings]``) or
JSON; see :func:`load_config` and :func:`save_config`. Strings are
never read as booleans, and a file's ``grid_size`` and ``fixed_nodes`` must
agree with the map and the terminals they are used with.
"""

from __future__ import annotations

import copy
import json
import math
import numbers
import re
import tomllib
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from . import _core

__all__ = [
    "Setting",
    "SETTINGS",
    "ENGINE_KEYS",
    "SPECIAL_KEYS",
    "ENGINE_DEFAULTS",
    "SPECIAL_DEFAULTS",
    "make_config",
    "apply_overrides",
    "validate_config",
    "check_setting",
    "parse_setting",
    "settings_table",
    "FLAG_KEYS",
    "strategy_name",
    "load_config",
    "save_config",
    "to_toml",
]

Config = dict[str, Any]

GRID_SETTINGS = "special"  # the engine's name of the grid settings' table
GRID_SETTINGS_ALIAS = "grid_settings"  # the same table, as users may also call it


@dataclass(frozen=True)
class Setting:
    """One configuration key: where it lives, its kind, default and allowed values.

    ``kind`` is "int", "float", "bool", "choice", "optional int", "graph init",
    "size" or "cells". Numbers must lie in [``low``, ``high``]; a float
    ``high`` of ``inf`` means any finite number; ``low_open`` excludes ``low``.
    The kind, range and choices come from the engine's key table; ``flag``
    marks the keys the command line offers as options of their own.
    """

    key: str
    special: bool
    kind: str
    default: Any
    meaning: str
    low: float = 0
    high: float = math.inf
    low_open: bool = False
    choices: tuple[str, ...] = ()
    flag: bool = False

    @property
    def path(self) -> str:
        return f"special.{self.key}" if self.special else self.key

    def allowed(self) -> str:
        """What the table's "allowed" column says."""
        if self.kind in ("choice", "graph init"):
            return ", ".join(self.choices) if self.kind == "choice" else \
                '"FCN" or {"Grid": [rows, columns]}'
        if self.kind == "bool":
            return "true or false"
        if self.kind == "size":
            return f"two integers in [{int(self.low)}, {int(self.high)}]"
        if self.kind == "cells":
            return "distinct (row, column) cells"
        if self.kind == "float":
            if self.high == math.inf:
                return "finite number >= 0" if self.low == 0 else f"finite number >= {self.low:g}"
            return f"number in {'(' if self.low_open else '['}{self.low:g}, {self.high:g}]"
        high = "population_size" if self.key.startswith("num_elites") else f"{int(self.high)}"
        suffix = " or none" if self.kind == "optional int" else ""
        return f"integer in [{int(self.low)}, {high}]{suffix}"


@dataclass(frozen=True)
class _About:
    """What the engine's table does not say of a key: its default and meaning."""

    default: Any
    meaning: str
    flag: bool = False
    low: float | None = None  # a narrower lower bound than the engine's


# In the order of the engine's table; a key the engine adds needs its entry here.
_ABOUT: dict[str, _About] = {
    # The engine takes 0 for an empty population (a holder of genomes built by hand).
    "population_size": _About(100, "members per generation", flag=True, low=1),
    "add_node_mutation_prob": _About(0.3, "chance that a mutation splits an edge by a new flexible node"),
    "add_edge_mutation_prob": _About(0.2, "chance that a mutation joins two nodes by a new edge"),
    "remove_edge_mutation_prob": _About(0.1, "chance that a mutation disables an edge (if still connected)"),
    "remove_node_mutation_prob": _About(
        0.1, "chance that a mutation replaces a flexible node of degree two by one edge"),
    "remove_node_single_mutation_prob": _About(
        0.1, "chance that a mutation deletes a flexible node of degree one"),
    "num_elites_species": _About(1, "best members of each species kept unchanged"),
    "num_elites_global": _About(2, "best members of the population kept unchanged"),
    "selection_share": _About(0.5, "share of a species that may become parents"),
    "tournament_size": _About(3, "contestants per tournament"),
    "species_threshold": _About(3.0, "initial compatibility threshold of speciation"),
    "target_species": _About(
        5, "the threshold adapts towards this many species; none: it stays fixed"),
    "mating_strategy": _About("NEATSpeciation", "how the parents of a child are chosen", flag=True),
    "selection_strategy": _About(
        "NEAT", "ranking for selection (NSGA2 and SPEA2 rank objective vectors)", flag=True),
    "diversity_objective": _About(False, "add a novelty objective (only NSGA2 and SPEA2 use it)"),
    "crossover_enabled": _About(True, "children combine two parents (false: copy the fitter one)"),
    "c1": _About(1.0, "weight of excess edges in the compatibility distance"),
    "c2": _About(1.0, "weight of disjoint edges in the compatibility distance"),
    "grid_size": _About(None, "(rows, columns) of the cost map"),
    "fixed_nodes": _About(None, "the terminals, inside the grid"),
    "move_node_mutation_prob": _About(0.3, "chance that a mutation then moves one flexible node"),
    "move_node_mutation_sigma": _About(2.0, "standard deviation of a move along each axis, in cells"),
    "evaluation_strategy": _About(
        "SingleObjective", "fitness alone, or fitness and redundancy", flag=True),
    "graph_init": _About(
        {"Grid": [4, 4]}, "initial graph: the terminals fully connected, or a lattice joined to them"),
    "compatibility_sigma": _About(4, "pooling window, in cells, of the grid compatibility term"),
    "c3": _About(10.0, "weight of the grid compatibility term"),
    "min_separation": _About(
        0, "cells another route must keep from an edge to protect it; 0: bridges only"),
}


def _settings() -> tuple[Setting, ...]:
    """``SETTINGS``: the engine's key table with the defaults and meanings of ``_ABOUT``."""
    native = _core._settings()
    unknown = sorted(set(_ABOUT) - {entry[0] for entry in native})
    if unknown:
        raise ImportError(f"gridweave.config describes keys the engine does not have: {unknown}")
    settings = []
    for key, table, kind, low, high, low_open, choices in native:
        if key not in _ABOUT:
            raise ImportError(f"gridweave.config gives no default and meaning of the engine's key {key!r}")
        about = _ABOUT[key]
        bounds: dict[str, float] = {}
        if low is not None and high is not None:
            bounds = {"low": low if about.low is None else about.low, "high": high}
        if kind in ("int", "optional int", "size"):
            bounds = {name: int(bound) for name, bound in bounds.items()}
        settings.append(Setting(key, table == GRID_SETTINGS, kind, about.default, about.meaning,
                                low_open=low_open, choices=tuple(choices), flag=about.flag, **bounds))
    return tuple(settings)


SETTINGS: tuple[Setting, ...] = _settings()

BY_KEY: dict[str, Setting] = {s.key: s for s in SETTINGS}
ENGINE_KEYS: tuple[str, ...] = (*(s.key for s in SETTINGS if not s.special), GRID_SETTINGS)
SPECIAL_KEYS: tuple[str, ...] = tuple(s.key for s in SETTINGS if s.special)
FLAG_KEYS: tuple[str, ...] = tuple(s.key for s in SETTINGS if s.flag)
PROBLEM_KEYS = ("grid_size", "fixed_nodes")
ENGINE_DEFAULTS: dict[str, Any] = {s.key: s.default for s in SETTINGS if not s.special}
SPECIAL_DEFAULTS: dict[str, Any] = {
    s.key: s.default for s in SETTINGS if s.special and s.key not in PROBLEM_KEYS
}
MAX_SIZE = int(BY_KEY["tournament_size"].high)  # the engine's limit on sizes and counts


def settings_table() -> str:
    """The settings list of the module documentation, rendered from ``SETTINGS``."""
    lines = ["Engine keys (top level):", ""]
    for setting in SETTINGS:
        if setting.special and setting.key == SPECIAL_KEYS[0]:
            lines += ["Grid settings (the ``special`` table, also spelled ``grid_settings``):", ""]
        lines.append(f"``{setting.key}`` = {_default_text(setting)}")
        lines.append(f"    {setting.allowed()}; {setting.meaning}")
        lines.append("")
    return "\n".join(lines).rstrip()


def _default_text(setting: Setting) -> str:
    if setting.key == "grid_size":
        return "the map's shape"
    if setting.key == "fixed_nodes":
        return "the terminals"
    return json.dumps(setting.default)


__doc__ = (__doc__ or "").replace("{settings table}", settings_table())


def make_config(
    grid_size: Sequence[int], fixed_nodes: Iterable[Sequence[int]], **overrides: Any
) -> Config:
    """Return a complete, checked configuration dictionary for ``gridweave.Population``.

    ``grid_size`` is ``(rows, columns)``, the shape of the cost map;
    ``fixed_nodes`` are the ``(row, column)`` cells of the terminals. Every
    other key takes its default (see the module documentation) unless it is
    overridden. An override may name an engine key (``population_size=50``)
    or a grid setting (``c3=2.0``), which goes into ``special``; a ``special``
    (or ``grid_settings``) mapping is merged key by key. Unknown keys and
    values outside the table's ranges raise :class:`ValueError`.

    Example:
        >>> cfg = make_config((32, 32), [(2, 2), (29, 30)], population_size=20,
        ...                   evaluation_strategy="MultiObjectiveBridge")
        >>> cfg["population_size"], cfg["special"]["evaluation_strategy"]
        (20, 'MultiObjectiveBridge')
        >>> cfg["special"]["fixed_nodes"]
        [[2, 2], [29, 30]]
        >>> make_config((32, 32), [(2, 2)], tournament_size=0)
        Traceback (most recent call last):
        ValueError: configuration key 'tournament_size' = 0: must be an integer in [1, 16777216]
    """
    config: Config = copy.deepcopy(ENGINE_DEFAULTS)
    config["special"] = {
        "grid_size": _pair_list(grid_size, "grid_size"),
        "fixed_nodes": [_pair_list(cell, "fixed_nodes") for cell in fixed_nodes],
        **copy.deepcopy(SPECIAL_DEFAULTS),
    }
    config = apply_overrides(config, overrides)
    validate_config(config)
    return config


def _pair_list(value: Any, key: str) -> list[Any]:
    if isinstance(value, str | bytes) or not isinstance(value, Iterable):
        raise ValueError(f"configuration key 'special.{key}' = {value!r}: must be a (row, column) pair")
    items = list(value)
    return [int(v) if isinstance(v, numbers.Integral) else v for v in items]


def apply_overrides(config: Mapping[str, Any], overrides: Mapping[str, Any]) -> Config:
    """Return a copy of ``config`` with ``overrides`` applied, as in :func:`make_config`.

    Engine keys replace the top-level value, grid settings replace the value
    inside ``special``, and a ``special`` (or ``grid_settings``) mapping is
    merged into it.
    Values are not checked here (see :func:`validate_config`).

    Example:
        >>> base = make_config((16, 16), [(1, 1)])
        >>> cfg = apply_overrides(base, {"special": {"c3": 2.0}, "c1": 0.5})
        >>> cfg["special"]["c3"], cfg["c1"], base["c1"]
        (2.0, 0.5, 1.0)
    """
    result: Config = _engine_spelling(copy.deepcopy(dict(config)))
    special = result.setdefault("special", {})
    for key, value in _engine_spelling(overrides).items():
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


def _engine_spelling(mapping: Mapping[str, Any]) -> dict[str, Any]:
    """``mapping`` with a ``grid_settings`` table under the engine's name ``special``."""
    result = dict(mapping)
    if GRID_SETTINGS_ALIAS in result:
        if GRID_SETTINGS in result:
            raise ValueError("configuration keys 'special' and 'grid_settings' name one table: give one")
        result[GRID_SETTINGS] = result.pop(GRID_SETTINGS_ALIAS)
    return result


def _check_key(key: str, allowed: tuple[str, ...], prefix: str) -> None:
    if key not in allowed:
        raise ValueError(
            f"unknown configuration key '{prefix}{key}' (known keys: {', '.join(allowed)})"
        )


def validate_config(config: Mapping[str, Any]) -> None:
    """Check a complete configuration against ``SETTINGS``; raise ValueError if it is refused.

    Every key must be present with a value of its kind inside its range (the
    message names the key, the value and what is allowed); unknown keys are
    refused. Besides the ranges, the elite counts may not exceed
    ``population_size``, the fixed nodes must be distinct cells inside
    ``grid_size`` and a ``Grid`` lattice must fit the grid (the engine's rule,
    asked of it).

    Example:
        >>> validate_config(make_config((16, 16), [(1, 1), (14, 14)]))
        >>> cfg = make_config((16, 16), [(1, 1)])
        >>> validate_config({**cfg, "mating_strategy": "neat"})
        Traceback (most recent call last):
        ValueError: configuration key 'mating_strategy' = 'neat': must be one of NEATSpeciation, GlobalTournament
    """
    if not isinstance(config, Mapping) or not isinstance(config.get("special"), Mapping):
        raise ValueError("a configuration must be a mapping with a 'special' table")
    special = config["special"]
    for mapping, known, prefix in ((config, ENGINE_KEYS, ""), (special, SPECIAL_KEYS, "special.")):
        for key in mapping:
            _check_key(key, known, prefix)
    for setting in SETTINGS:
        mapping = special if setting.special else config
        if setting.key not in mapping:
            if setting.kind == "optional int":
                continue
            raise ValueError(f"configuration key '{setting.path}' is missing")
        check_setting(setting.key, mapping[setting.key])
    _check_together(config)
    try:
        _core._check_config(config)  # the rules the engine alone keeps (a lattice must fit the grid)
    except ValueError as error:
        raise ValueError(_in_table_words(str(error), config)) from None


_NATIVE_REFUSAL = re.compile(r"configuration key '(\w+)': (.*)", re.DOTALL)


def _in_table_words(message: str, config: Mapping[str, Any]) -> str:
    """An engine refusal as the table's checks word theirs: the key's path and value first."""
    match = _NATIVE_REFUSAL.fullmatch(message)
    if not match or match[1] not in BY_KEY:
        return message
    setting = BY_KEY[match[1]]
    value = (config["special"] if setting.special else config)[setting.key]
    return f"configuration key '{setting.path}' = {value!r}: {match[2]}"


def check_setting(key: str, value: Any) -> None:
    """Raise ValueError unless ``value`` is of the kind and inside the range of ``key``.

    Example:
        >>> check_setting("c2", float("nan"))
        Traceback (most recent call last):
        ValueError: configuration key 'c2' = nan: must be a finite number >= 0
        >>> check_setting("diversity_objective", "false")
        Traceback (most recent call last):
        ValueError: configuration key 'diversity_objective' = 'false': must be true or false
    """
    setting = BY_KEY[key]
    if not _fits(setting, value):
        raise ValueError(
            f"configuration key '{setting.path}' = {value!r}: must be {_article(setting)}"
        )


def _article(setting: Setting) -> str:
    allowed = setting.allowed()
    if setting.kind in ("choice",):
        return "one of " + allowed
    if setting.kind in ("int", "optional int", "float") and not allowed.startswith("finite"):
        return ("an " if allowed.startswith("integer") else "a ") + allowed
    if allowed.startswith("finite"):
        return "a " + allowed
    return allowed


def _is_int(value: Any) -> bool:
    return isinstance(value, numbers.Integral) and not isinstance(value, bool)


def _is_real(value: Any) -> bool:
    return isinstance(value, numbers.Real) and not isinstance(value, bool)


def _fits(setting: Setting, value: Any) -> bool:
    kind = setting.kind
    if kind == "optional int" and value is None:
        return True
    if kind in ("int", "optional int"):
        return _is_int(value) and setting.low <= value <= setting.high
    if kind == "float":
        if not _is_real(value) or math.isnan(value):
            return False
        above_low = value > setting.low if setting.low_open else value >= setting.low
        below_high = value < setting.high if setting.high == math.inf else value <= setting.high
        return above_low and below_high
    if kind == "bool":
        return isinstance(value, bool)
    if kind == "choice":
        return strategy_name(value) in setting.choices and (
            isinstance(value, str) or _unit_variant(value))
    if kind == "graph init":
        return value == "FCN" or _lattice(value) is not None
    if kind == "size":
        return _is_pair(value) and all(setting.low <= v <= setting.high for v in value)
    return _is_cell_list(value)


def _unit_variant(value: Any) -> bool:
    return isinstance(value, Mapping) and len(value) == 1 and next(iter(value.values())) is None


def _is_pair(value: Any) -> bool:
    return (isinstance(value, Sequence) and not isinstance(value, str) and len(value) == 2
            and all(_is_int(v) for v in value))


def _is_cell_list(value: Any) -> bool:
    return (isinstance(value, Sequence) and not isinstance(value, str)
            and all(_is_pair(cell) for cell in value))


def _lattice(value: Any) -> tuple[int, int] | None:
    """The (rows, columns) of a ``{"Grid": [rows, columns]}`` value, else None."""
    if not (isinstance(value, Mapping) and list(value) == ["Grid"]):
        return None
    cells = value["Grid"]
    if not _is_pair(cells) or not all(0 <= v < 2**32 for v in cells):
        return None
    return int(cells[0]), int(cells[1])


def _check_together(config: Mapping[str, Any]) -> None:
    special = config["special"]
    for key in ("num_elites_species", "num_elites_global"):
        if config[key] > config["population_size"]:
            raise ValueError(
                f"configuration key '{key}' = {config[key]!r}: must be an integer in "
                f"[0, population_size = {config['population_size']}]"
            )
    rows, columns = special["grid_size"]
    seen: set[tuple[int, int]] = set()
    for row, column in special["fixed_nodes"]:
        if not (0 <= row < rows and 0 <= column < columns):
            raise ValueError(
                f"configuration key 'special.fixed_nodes': terminal ({row}, {column}) lies "
                f"outside the grid of {rows} rows and {columns} columns"
            )
        if (row, column) in seen:
            raise ValueError(
                f"configuration key 'special.fixed_nodes': terminal ({row}, {column}) is given twice"
            )
        seen.add((row, column))
def parse_setting(key: str, text: str) -> Any:
    """The value of ``key`` written as ``text`` on the command line, checked.

    Values are read as TOML values (``true``, ``0.5``, ``{ Grid = [8, 8] }``),
    bare words as strings, and ``none`` as no value (``target_species`` only).

    Example:
        >>> parse_setting("graph_init", "{ Grid = [8, 8] }"), parse_setting("selection_strategy", "NSGA2")
        ({'Grid': [8, 8]}, 'NSGA2')
        >>> parse_setting("crossover_enabled", "yes")
        Traceback (most recent call last):
        ValueError: configuration key 'crossover_enabled' = 'yes': must be true or false
    """
    key = key.removeprefix("special.").removeprefix("grid_settings.")
    if key not in BY_KEY:
        _check_key(key, ENGINE_KEYS[:-1] + SPECIAL_KEYS, "")
    if text.strip().lower() == "none" and BY_KEY[key].kind == "optional int":
        return None
    try:
        value = tomllib.loads(f"value = {text}")["value"]
    except tomllib.TOMLDecodeError:
        value = text
    check_setting(key, value)
    return value


def strategy_name(value: Any) -> str:
    """The variant name of an enumeration given as a string or a one-entry mapping.

    Example:
        >>> strategy_name("NSGA2"), strategy_name({"Grid": [4, 4]})
        ('NSGA2', 'Grid')
    """
    if isinstance(value, Mapping) and len(value) == 1:
        return str(next(iter(value)))
    return str(value)


def load_config(path: str | Path) -> Config:
    """Read a configuration from a ``.toml`` or ``.json`` file.

    The file holds engine keys at the top level and grid settings in a
    ``special`` table (or one called ``grid_settings``, read as ``special``);
    it may be complete or hold only the keys to change (pass it to
    :func:`apply_overrides` or as ``**overrides`` to :func:`make_config`).
    Unknown keys and values outside their range raise ValueError naming the
    file and the key. TOML has no null: a file that
    holds every key except ``target_species`` is read with ``target_species =
    None`` (fixed threshold), as :func:`save_config` writes it.

    Example:
        >>> import tempfile, os
        >>> path = os.path.join(tempfile.mkdtemp(), "run.toml")
        >>> _ = Path(path).write_text('population_size = 30\\n[special]\\nc3 = 2.5\\n')
        >>> load_config(path)
        {'population_size': 30, 'special': {'c3': 2.5}}
    """
    path = Path(path)
    data = _read_table(path)
    try:
        data = _engine_spelling(data)
        for mapping, prefix in ((data, ""), (data.get("special") or {}, "special.")):
            for key, value in mapping.items():
                if prefix or key != "special":
                    _check_key(key, SPECIAL_KEYS if prefix else ENGINE_KEYS, prefix)
                    check_setting(key, value)
        if "special" in data and not isinstance(data["special"], Mapping):
            raise ValueError("configuration key 'special' must be a table of grid settings")
    except ValueError as error:
        raise ValueError(f"{path}: {error}") from None
    if _is_complete(data) and "target_species" not in data:
        data["target_species"] = None
    return data


def _read_table(path: Path) -> dict[str, Any]:
    suffix = path.suffix.lower()
    if suffix not in (".json", ".toml"):
        raise ValueError(f"{path}: configuration files must end in .toml or .json")
    try:
        text = path.read_text(encoding="utf-8")
        data = json.loads(text) if suffix == ".json" else tomllib.loads(text)
    except FileNotFoundError:
        raise FileNotFoundError(f"no such file: {path}") from None
    except (OSError, UnicodeDecodeError, ValueError) as error:
        raise ValueError(f"{path}: {' '.join(str(error).split())}") from None
    if not isinstance(data, dict):
        raise ValueError(f"{path}: a configuration must be a table of keys")
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
