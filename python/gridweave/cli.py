"""Command line: ``gridweave demo``, ``gridweave run`` and ``gridweave resume``.

``gridweave demo`` evolves a network on the built-in terrain
(:func:`gridweave.problems.default_problem`). ``gridweave run`` reads a cost
map (.npy, .csv/.txt or grey-scale .png) and terminals (.csv/.txt or .json)
with :mod:`gridweave.formats`. Positions are (row, column) cells; the map's
shape is (rows, columns). Both take a configuration file (.toml or .json)
holding the settings to change from the defaults of
:func:`gridweave.config.make_config`, ``--set KEY=VALUE`` for any key, and
named flags for the common ones; a file's ``grid_size`` and ``fixed_nodes``
must agree with the map and the terminals.

Both write into ``--out``, replacing what an earlier run left there (the
folder is checked before the run starts, and the new outputs are written to
a temporary folder inside it and then moved into place, so a failure while
writing leaves the earlier ones):
``best.json`` (structure dictionary of the best network), ``history.csv``,
``config.toml`` (the complete configuration, usable with ``--config``),
``run.json`` (seed, stop reason, fitness, cost, length and their units)
and, with matplotlib installed, ``network.png``, ``fitness.png`` and, when
there is a front, ``pareto.png``. Runs under the bridge objective also
write ``front.json`` (every front network with its objectives, cheapest
first, and the price of redundancy: the cheapest network reaching each
level) and ``front.png`` (cost against redundancy, the tree and the ring
marked, beside the cheapest, knee and most redundant networks). Errors in the input print one line on
stderr and exit with status 2; Ctrl-C lets the current generation finish,
writes the results so far and exits with status 130.

GIS input (needs ``gridweave[geo]``): a cost map given as a raster (GeoTIFF
and others, see :mod:`gridweave.gis`; ``--band``, ``--nodata``) keeps its
transform and coordinate system; its nodata cells are impassable, and the
terminals are then read as named sites from GeoJSON, GeoPackage (``--layer``)
or CSV (``--name-field``), reprojected onto the raster and placed on their
cells (``--snap`` moves a site off an impassable cell). ``best.json`` carries
the network with its fitness, cost, seed, map and sites (disabled edges left
out), ``network.geojson`` the network in map coordinates (in cells for plain
maps), ``links.csv`` one row per link between sites or junctions, and for GIS
runs ``network.gpkg`` the layers sites, junctions, links (and front); runs
with a front add ``front.geojson``.

Every cost a person reads (summary, ``run.json``, ``best.json``, GeoJSON,
CSV and pictures) is one number: cost units times map units of length (the
raster's unit, metres for most projected systems; cells for plain maps).

Checkpoints: ``--checkpoint FILE`` saves the whole run every
``--checkpoint-every N`` generations (default 10) and when it stops;
``gridweave resume FILE`` continues it and writes the results as ``run``
does (into the run's ``--out`` unless given).
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import json
import os
import re
import shutil
import sys
import tempfile
import time
import warnings
from collections.abc import Callable, Mapping, Sequence
from functools import partial
from pathlib import Path
from typing import Any

import numpy as np

from . import __version__, exports, gis, planning
from .checkpoint import load as load_checkpoint
from .checkpoint import resume
from .checks import checked_cost
from .config import (
    BY_KEY,
    FLAG_KEYS,
    PROBLEM_KEYS,
    apply_overrides,
    load_config,
    make_config,
    parse_setting,
    save_config,
)
from .driver import evolve
from .formats import DEFAULT_PNG_RANGE, check_terminals, load_cost_map, load_terminals
from .history import GenerationRecord, history_to_csv
from .problems import default_problem
from .result import EvolutionResult
from .routes import START_METHODS, least_cost_distances

__all__ = ["main", "DEMO_GENERATIONS", "OUTPUTS"]

DEMO_GENERATIONS = 300
RUN_GENERATIONS = 100
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130
OUTPUTS = ("best.json", "history.csv", "config.toml", "run.json", "network.png", "fitness.png",
           "pareto.png", "front.json", "front.png", "network.geojson", "front.geojson",
           "links.csv", "network.gpkg")
CONVENTION = (
    "Positions are (row, column) cells of the cost map, whose shape is (rows, columns). "
    "Results give the network's cost (cost times length over its cells, in the raster's units "
    "of length: metres for a projected GeoTIFF, cells for plain maps) and its length next to "
    "its fitness."
)
# What a GIS run's outputs need of its inputs (kept in its checkpoints for 'resume').
GEOREFERENCE = ("transform", "crs", "unit", "layer", "sites_crs", "sites")
NAMED_SETTINGS = FLAG_KEYS  # the settings with options of their own


class InputError(Exception):
    """A problem with the user's files or settings, reported in one line."""


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line with ``argv`` (default: ``sys.argv[1:]``); return the exit status.

    Example:
        >>> import tempfile
        >>> main(["demo", "--generations", "1", "--out", tempfile.mkdtemp(), "--quiet",
        ...       "--seed", "5"])  # doctest: +ELLIPSIS
        gridweave: 1 generations in ...
        0
    """
    args = _parser().parse_args(argv)
    try:
        return _resume(args) if args.command == "resume" else _run(args)
    except InputError as error:
        print(f"gridweave: error: {error}", file=sys.stderr)
        return EXIT_USAGE
    except ImportError as error:  # an optional extra the input needs
        print(f"gridweave: error: {_one_line(error)}", file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt:
        print("gridweave: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED


def _run(args: argparse.Namespace) -> int:
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        cost, config, label = _prepare(args)
    for warning in caught:
        print(f"gridweave: warning: {_one_line(warning.message)}", file=sys.stderr)
    _check_writable(Path(args.out))
    if getattr(args, "checkpoint", None) is not None:
        _check_checkpoint_folder(args.checkpoint)
    if args.threads:
        os.environ["GRIDWEAVE_NUM_THREADS"] = str(args.threads)
    georeference = getattr(args, "georeference", {})
    for key in ("existing_paths", "region_cells"):
        if getattr(args, key, None):
            georeference = {**georeference, key: getattr(args, key)}
    started = time.perf_counter()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = evolve(
            cost, config, args.generations, start=args.start, time_limit=args.time_limit,
            stall_generations=args.stall, progress=not args.quiet, seed=args.seed,
            **_checkpoint_options(args, label, georeference), **getattr(args, "plan", {}),
        )
    for warning in caught:
        print(f"gridweave: warning: {_one_line(warning.message)}", file=sys.stderr)
    return _report(args.out, result, cost, config, label, time.perf_counter() - started, georeference)


def _check_writable(out: Path) -> None:
    """Refuses an output folder that cannot be made or written, before a run
    spends its time: the results would be lost at the end. Folders made for
    the check are removed again (the outputs make them)."""
    missing = []
    folder = out.absolute()
    while not folder.exists() and folder != folder.parent:
        missing.append(folder)
        folder = folder.parent
    try:
        out.mkdir(parents=True, exist_ok=True)
        handle, probe = tempfile.mkstemp(prefix=".gridweave-", dir=out)
        os.close(handle)
        os.unlink(probe)
    except OSError as error:
        raise InputError(f"cannot write results to {out}: {_one_line(error)}") from None
    finally:
        for made in missing:  # deepest first
            with contextlib.suppress(OSError):
                made.rmdir()


def _check_checkpoint_folder(checkpoint: Path) -> None:
    folder = checkpoint.parent
    if not folder.is_dir():
        raise InputError(f"--checkpoint {checkpoint}: no such folder: {folder}")
    if not os.access(folder, os.W_OK):
        raise InputError(f"--checkpoint {checkpoint}: cannot write into {folder}")


def _report(out: str, result: EvolutionResult, cost: np.ndarray, config: dict[str, Any],
            label: str, elapsed: float, georeference: Mapping[str, Any]) -> int:
    try:
        written = _write_outputs(Path(out), result, cost, config, label, georeference)
    except OSError as error:
        raise InputError(f"cannot write results: {_one_line(error)}") from None
    print(_summary(result, elapsed, written, georeference))
    return EXIT_INTERRUPTED if result.interrupted else 0


def _checkpoint_options(args: argparse.Namespace, label: str,
                        georeference: Mapping[str, Any]) -> dict[str, Any]:
    """evolve()'s checkpoint arguments; the notes let 'resume' write the same outputs."""
    if getattr(args, "checkpoint", None) is None:
        return {}
    notes = {"out": str(args.out), "label": label, **georeference}
    return {"checkpoint": args.checkpoint, "checkpoint_every": args.checkpoint_every,
            "checkpoint_notes": notes}


def _resume(args: argparse.Namespace) -> int:
    try:
        saved = load_checkpoint(args.checkpoint)
        notes = saved["settings"]["notes"]
        out = Path(args.out or notes.get("out", "gridweave-out"))
        _check_writable(out)
        started = time.perf_counter()
        result = resume(args.checkpoint, args.generations, progress=not args.quiet)
        shape, data = saved["cost"]
        cost = checked_cost(np.frombuffer(data, dtype=np.float64).reshape(shape), shape)
    except FileNotFoundError:
        raise InputError(f"no such file: {args.checkpoint}") from None
    except (OSError, ValueError, KeyError, TypeError, AttributeError) as error:
        message = _one_line(error)
        named = str(args.checkpoint) in message
        raise InputError(message if named else f"{args.checkpoint}: {message}") from None
    georeference = {k: notes[k] for k in GEOREFERENCE if k in notes}
    return _report(str(out), result, cost, result.config, notes.get("label", "resumed"),
                   time.perf_counter() - started, georeference)


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="gridweave", description=f"Evolve spatial networks on cost maps. {CONVENTION}"
    )
    parser.add_argument("--version", action="version", version=f"gridweave {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    demo = commands.add_parser("demo", help="evolve a network on the built-in terrain",
                               description=f"Evolve a network on the built-in terrain. {CONVENTION}")
    _add_common(demo, DEMO_GENERATIONS, "gridweave-demo")
    run = commands.add_parser("run", help="evolve a network on your own cost map",
                              description=f"Evolve a network on your own cost map. {CONVENTION}")
    run.add_argument("--cost-map", required=True, type=Path, metavar="FILE",
                     help="cost map indexed [row, column]: .npy, .csv/.txt, grey-scale .png, or a "
                          "GIS raster such as GeoTIFF; nan and nodata cells are impassable")
    run.add_argument("--terminals", required=True, type=Path, metavar="FILE",
                     help="terminal cells, one 'row,column' per line (.csv/.txt) or .json; with a "
                          "GIS raster, points in map coordinates: .geojson, .gpkg or .csv")
    run.add_argument("--png-range", nargs=2, type=float, metavar=("LOW", "HIGH"),
                     default=DEFAULT_PNG_RANGE,
                     help="costs of black and white pixels of a PNG map (default "
                          f"{DEFAULT_PNG_RANGE[0]:g} {DEFAULT_PNG_RANGE[1]:g})")
    run.add_argument("--nodata", type=float, metavar="VALUE",
                     help="cells of this value are impassable (besides a raster's own nodata)")
    run.add_argument("--band", type=_positive, metavar="N",
                     help="the band of a GIS raster holding the cost (default 1)")
    run.add_argument("--layer", action="append", default=[], metavar="NAME|FILE:WEIGHT",
                     help="the layer of a GeoPackage of sites holding several; or, as FILE:WEIGHT "
                          "(repeatable), a cost layer of the map's shape added with that weight")
    run.add_argument("--barrier", action="append", default=[], type=Path, metavar="FILE",
                     help="exclusion zones (GeoJSON/GeoPackage over a GIS raster) made impassable "
                          "(repeatable)")
    run.add_argument("--existing", type=Path, metavar="FILE",
                     help="a network already built, costing nothing and joined anywhere: lines "
                          "(GeoJSON/GeoPackage) over a GIS raster, else JSON cell paths or a structure")
    run.add_argument("--regions", type=Path, metavar="FILE",
                     help="areas the network must reach (one cell of each): polygons "
                          "(GeoJSON/GeoPackage) over a GIS raster, else a JSON list of cell lists")
    run.add_argument("--name-field", metavar="FIELD",
                     help="the property (CSV: column) naming each site (default: name, else id)")
    run.add_argument("--snap", type=_non_negative_distance, default=0.0, metavar="DISTANCE",
                     help="move a site on an impassable cell to the nearest passable cell "
                          "within DISTANCE map units (default 0: refuse it)")
    _add_common(run, RUN_GENERATIONS, "gridweave-out")
    run.add_argument("--checkpoint", type=Path, metavar="FILE",
                     help="save the whole run to FILE, to continue with 'gridweave resume'")
    run.add_argument("--checkpoint-every", type=_positive, default=10, metavar="N",
                     help="generations between checkpoints (default 10)")
    again = commands.add_parser("resume", help="continue a run from its checkpoint")
    again.add_argument("checkpoint", type=Path, metavar="FILE", help="checkpoint file")
    again.add_argument("--generations", type=_non_negative, metavar="N",
                       help="generations in all (default: as the run was started)")
    again.add_argument("--out", metavar="DIR", help="output directory (default: the run's)")
    again.add_argument("--quiet", action="store_true", help="no progress bar")
    return parser


def _add_common(parser: argparse.ArgumentParser, generations: int, out: str) -> None:
    parser.add_argument("--config", type=Path, metavar="FILE",
                        help="settings to change from the defaults: .toml or .json")
    parser.add_argument("--set", action="append", default=[], metavar="KEY=VALUE",
                        dest="settings", help="change one setting (any key of gridweave.config; "
                        "values as in TOML, e.g. --set c3=2.5 --set graph_init=FCN); repeatable")
    for key in NAMED_SETTINGS:
        setting = BY_KEY[key]
        parser.add_argument(f"--{key.replace('_', '-')}", type=int if setting.kind == "int" else str,
                            choices=setting.choices or None, metavar="N" if setting.kind == "int" else None,
                            help=f"{setting.meaning} (default {setting.default})")
    parser.add_argument("--generations", type=_non_negative, default=generations, metavar="N",
                        help=f"number of generations (default {generations})")
    parser.add_argument("--stall", type=_non_negative, metavar="N",
                        help="stop when the best network has not improved for N generations")
    parser.add_argument("--start", choices=START_METHODS, default="steiner",
                        help="start network: the best least-cost heuristic network (steiner, the "
                             "default), the straight-line spanning tree (mst), or the configured "
                             "initial graph (config: pure evolution)")
    parser.add_argument("--time-limit", type=_positive_seconds, metavar="SECONDS",
                        help="stop after this many seconds (checked after every generation)")
    parser.add_argument("--threads", type=_positive, metavar="N",
                        help="worker threads (default: every available CPU)")
    parser.add_argument("--out", default=out, metavar="DIR",
                        help=f"output directory (default {out})")
    parser.add_argument("--seed", type=_non_negative, metavar="N",
                        help="seed the random generators: any non-negative integer (the same "
                             "network on any number of threads); written to run.json")
    parser.add_argument("--quiet", action="store_true", help="no progress bar")


def _integer(text: str, low: int, what: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < low:
        raise argparse.ArgumentTypeError(f"{what}: {text}")
    return value


def _non_negative(text: str) -> int:
    return _integer(text, 0, "must not be negative")


def _positive(text: str) -> int:
    return _integer(text, 1, "must be at least 1")


def _non_negative_distance(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0 <= value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be a distance of 0 or more: {text}")
    return value


def _positive_seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"must be a positive number of seconds: {text}")
    return value


def _prepare(args: argparse.Namespace) -> tuple[np.ndarray, dict[str, Any], str]:
    if args.command != "demo":
        args.layer, args.cost_layers = _split_layers(args.layer)
    if args.command == "demo":
        problem = default_problem()
        cost, terminals, label = problem.cost_map, problem.terminals, problem.name
    elif args.cost_map.suffix.lower() in gis.RASTER_SUFFIXES:
        cost, terminals, args.georeference = _load_geo_inputs(args)
        label = args.cost_map.stem
    else:
        _refuse_geo_options(args)
        cost = _load(lambda p: load_cost_map(p, png_range=args.png_range, nodata=args.nodata),
                     args.cost_map)
        terminals = _load(load_terminals, args.terminals)
        try:
            check_terminals(terminals, cost.shape)
        except ValueError as error:
            raise InputError(f"{args.terminals}: {error}") from None
        _refuse_impassable_terminals(cost, terminals, args.terminals)
        label = args.cost_map.stem
    if args.command != "demo":
        cost = _with_layers(args, cost)
        args.plan = _plan_inputs(args, cost.shape)
    config = _configuration(args, cost.shape, terminals)
    try:
        cost = checked_cost(cost, cost.shape)
    except ValueError as error:
        raise InputError(f"{args.cost_map}: {error}") from None
    _refuse_separated(cost, terminals, _site_names(args, terminals))
    return cost, config, label


def _split_layers(values: Sequence[str]) -> tuple[str | None, list[tuple[Path, float]]]:
    """--layer values: FILE:WEIGHT cost layers, and at most one site layer name."""
    names: list[str] = []
    layers: list[tuple[Path, float]] = []
    for value in values:
        path, _, weight = value.rpartition(":")
        if path and re.fullmatch(r"[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?", weight):
            layers.append((Path(path), float(weight)))
        else:
            names.append(value)
    if len(names) > 1:
        raise InputError(f"--layer names one site layer, got {', '.join(names)}")
    return (names[0] if names else None), layers


def _with_layers(args: argparse.Namespace, cost: np.ndarray) -> np.ndarray:
    """The cost map with the --layer cost layers added and the --barrier zones made impassable."""
    if not args.cost_layers and not args.barrier:
        return cost
    from . import costs

    raster: gis.GeoRaster | None = getattr(args, "raster", None)
    layers: list[tuple[Any, float]] = [(cost, 1.0)]
    for path, weight in args.cost_layers:
        layer = _load(lambda p: gis.read_raster(p).cost if raster is not None else load_cost_map(p), path)
        if layer.shape != cost.shape:
            raise InputError(f"--layer {path}: shape {layer.shape} differs from the cost map's {cost.shape}")
        layers.append((layer, weight))
    for path in args.barrier:
        if raster is None:
            raise InputError(f"--barrier applies to GIS rasters only, not {args.cost_map.name}")
        shapes = _load(partial(gis.read_shapes, raster=raster, argument="--barrier"), path)
        try:
            layers.append((costs.barriers(cost.shape, raster.transform, shapes), 1.0))
        except ValueError as error:
            raise InputError(f"--barrier {path}: {_one_line(error)}") from None
    try:
        return costs.combine(layers)
    except (TypeError, ValueError) as error:
        raise InputError(f"--layer: {_one_line(error)}") from None


def _plan_inputs(args: argparse.Namespace, shape: tuple[int, ...]) -> dict[str, Any]:
    """evolve()'s existing= and regions= from --existing and --regions (as masks)."""
    raster = getattr(args, "raster", None)
    given: dict[str, Any] = {}
    for kind in ("existing", "regions"):
        path = getattr(args, kind)
        if path is not None:
            given[kind] = _load(partial(planning.read_plan_file, kind=kind, raster=raster), path)
    if not given:
        return {}
    try:
        plan = planning.attachments(shape, given.get("existing"), given.get("regions"))
    except (TypeError, ValueError) as error:
        option = "--existing" if "existing" in str(error).split(":")[0] else "--regions"
        raise InputError(f"{option} {getattr(args, option[2:])}: {_one_line(error)}") from None
    assert plan is not None
    if isinstance(given.get("existing"), list):
        args.existing_paths = given["existing"]
    cols = shape[1]
    args.region_cells = [[[int(i) // cols, int(i) % cols] for i in r] for r in plan.regions]
    existing, regions = planning.as_masks(plan)
    return {"existing": existing, "regions": regions}


def _refuse_geo_options(args: argparse.Namespace) -> None:
    for option in ("band", "layer", "name_field", "snap"):
        if getattr(args, option) not in (None, 0.0):
            raise InputError(f"--{option.replace('_', '-')} applies to GIS rasters and site files "
                             f"only, not {args.cost_map.name}")


def _refuse_impassable_terminals(cost: np.ndarray, terminals: Sequence[tuple[int, int]],
                                 path: Path) -> None:
    for number, cell in enumerate(terminals, 1):
        if not np.isfinite(cost[cell]):
            raise InputError(f"{path}: terminal {number} {cell} lies on an impassable cell")


def _site_names(args: argparse.Namespace, terminals: Sequence[tuple[int, int]]) -> list[str]:
    sites = getattr(args, "georeference", {}).get("sites")
    if sites:
        return [f"{s['name']} at ({s['x']:.10g}, {s['y']:.10g})" for s in sites]
    return [f"({r}, {c})" for r, c in terminals]


def _refuse_separated(cost: np.ndarray, terminals: Sequence[tuple[int, int]],
                      names: Sequence[str]) -> None:
    """Refuses sites that no route joins, naming the groups that reach each other."""
    if len(terminals) < 2 or np.isfinite(cost).all():
        return
    groups: list[list[int]] = []
    left = list(range(len(terminals)))
    while left:
        distances = least_cost_distances(cost, [terminals[left[0]]])
        reached = [i for i in left if np.isfinite(distances[terminals[i]])]
        groups.append(reached)
        left = [i for i in left if i not in reached]
    if len(groups) > 1:
        described = "; ".join("{" + ", ".join(names[i] for i in g) + "}" for g in groups)
        raise InputError(f"impassable cells split the sites into {len(groups)} groups that no "
                         f"route joins: {described}")


def _configuration(
    args: argparse.Namespace, shape: Sequence[int], terminals: list[tuple[int, int]]
) -> dict[str, Any]:
    source = str(args.config or "configuration")
    overrides = _load(load_config, args.config) if args.config else {}
    _check_problem_keys(overrides, shape, terminals, source)
    try:
        overrides = apply_overrides(_without_problem(overrides), _command_line_settings(args))
        config = make_config(shape, terminals, **overrides)
    except (ValueError, OverflowError) as error:  # overflow: an integer too large for a float
        raise InputError(_elites_message(args, error) or f"{source}: {_one_line(error)}") from None
    return config


def _elites_message(args: argparse.Namespace, error: Exception) -> str:
    """A population too small for its elites, said in the words of the option given."""
    size = getattr(args, "population_size", None)
    if size is None or "num_elites" not in str(error) or "population_size" not in str(error):
        return ""
    key = "num_elites_global" if "num_elites_global" in str(error) else "num_elites_species"
    return (f"--population-size {size} is smaller than the {key} it keeps unchanged; give a "
            f"larger population or lower it with --set {key}=N")


def _command_line_settings(args: argparse.Namespace) -> dict[str, Any]:
    settings: dict[str, Any] = {}
    for item in args.settings:
        key, equals, text = item.partition("=")
        if not equals:
            raise InputError(f"--set {item}: expected KEY=VALUE")
        try:
            name = key.strip().removeprefix("special.").removeprefix("grid_settings.")
            settings[name] = parse_setting(key.strip(), text.strip())
        except (ValueError, OverflowError) as error:
            raise InputError(f"--set {item}: {_one_line(error)}") from None
    for key in NAMED_SETTINGS:
        if getattr(args, key) is not None:
            settings[key] = getattr(args, key)
    return settings


def _check_problem_keys(
    overrides: Mapping[str, Any], shape: Sequence[int], terminals: list[tuple[int, int]],
    source: str,
) -> None:
    """A file's grid_size and fixed_nodes must be the map's shape and the terminals."""
    special = overrides.get("special") or {}
    expected = {"grid_size": [int(v) for v in shape],
                "fixed_nodes": [[int(r), int(c)] for r, c in terminals]}
    for key in PROBLEM_KEYS:
        if key in special and [list(v) if key == "fixed_nodes" else v
                               for v in special[key]] != expected[key]:
            raise InputError(
                f"{source}: configuration key 'special.{key}' = {special[key]!r} does not match "
                f"the cost map and terminals ({expected[key]!r})"
            )


def _without_problem(overrides: Mapping[str, Any]) -> dict[str, Any]:
    result = dict(overrides)
    if isinstance(result.get("special"), Mapping):
        result["special"] = {k: v for k, v in result["special"].items() if k not in PROBLEM_KEYS}
    return result


def _load_geo_inputs(args: argparse.Namespace) -> tuple[np.ndarray, list[tuple[int, int]], dict[str, Any]]:
    """A GIS raster, and the sites placed on its cells; the georeference the outputs carry."""
    raster = _load(lambda p: gis.read_raster(p, band=args.band, nodata=args.nodata), args.cost_map)
    layer = _load(lambda p: gis.read_site_layer(p, layer=args.layer, name_field=args.name_field),
                  args.terminals)
    try:
        layer, placed = gis.placed_layer(layer, raster, snap=args.snap)
    except ValueError as error:
        raise InputError(f"{args.terminals}: {_one_line(error)}") from None
    georeference = {"transform": list(raster.transform), "crs": raster.crs, "unit": raster.unit,
                    "layer": layer.layer, "sites_crs": layer.crs, "sites": [p.record() for p in placed]}
    args.raster = raster
    return raster.cost, [p.cell for p in placed], georeference


def _load(loader: Callable[[Path], Any], path: Path) -> Any:
    try:
        return loader(path)
    except FileNotFoundError:
        raise InputError(f"no such file: {path}") from None
    except (OSError, ValueError, OverflowError) as error:
        message = _one_line(error)
        raise InputError(message if str(path) in message else f"{path}: {message}") from None


def _one_line(error: BaseException | Warning | str) -> str:
    text = " ".join(str(error).split())
    return text or type(error).__name__


def _write_outputs(
    out: Path, result: EvolutionResult, cost: np.ndarray, config: dict[str, Any], label: str,
    georeference: Mapping[str, Any] | None = None,
) -> list[Path]:
    """Writes every output into a fresh folder inside ``out``, then moves them
    into place and removes the earlier outputs the new set lacks: a failure
    while writing leaves the earlier set as it was."""
    out.mkdir(parents=True, exist_ok=True)
    staging = Path(tempfile.mkdtemp(prefix=".gridweave-", dir=out))
    units = Units.of(georeference or {})
    try:
        written = [staging / "history.csv", staging / "config.toml", staging / "run.json"]
        history_to_csv(units.history(result.history), written[0])
        save_config(config, written[1])
        written[2].write_text(json.dumps(_run_record(result, units), indent=1) + "\n", encoding="utf-8")
        networks = _write_networks(staging, result, cost, dict(georeference or {}))
        written = networks + written + _write_figures(staging, result, cost, label, georeference or {})
        names = {path.name for path in written}
        for name in OUTPUTS:
            if name not in names:
                (out / name).unlink(missing_ok=True)
        for path in written:
            os.replace(path, out / path.name)
    finally:
        shutil.rmtree(staging, ignore_errors=True)
    return [out / path.name for path in written]


def _price_text(price: dict[str, Any]) -> str:
    """One level of the price of redundancy (costs already in the output's unit), as the summary prints it."""
    level = f"{price['level']:.0%}"
    if price["cost"] is None:
        return f"{level} not reached"
    return f"{level} costs {price['cost']:.6g} ({price['relative_cost']:.3f} x the tree)"


def _prices(result: EvolutionResult, units: Units) -> list[dict[str, Any]]:
    """The price of redundancy with costs in the unit every other output uses."""
    if not _is_bridge_run(result.config):
        return []
    return [{**{k: v for k, v in price.items() if k != "index"},
             "cost": None if price["cost"] is None else price["cost"] * units.side, "cost_unit": units.cost}
            for price in result.price_of_redundancy()]


@dataclasses.dataclass(frozen=True)
class Units:
    """Costs and lengths as a person reads them: the engine's, in cells, times
    the side of a cell in the raster's unit of length (1 for plain maps)."""

    side: float = 1.0
    length: str = "cells"

    @classmethod
    def of(cls, georeference: Mapping[str, Any]) -> Units:
        transform = georeference.get("transform")
        if transform is None:
            return cls()
        return cls(gis.cell_size(transform), str(georeference.get("unit") or "map unit"))

    @property
    def cost(self) -> str:
        return "cost x cells" if self.length == "cells" else f"cost x {self.length}"

    def history(self, records: Sequence[GenerationRecord]) -> list[GenerationRecord]:
        return [dataclasses.replace(r, best_cost=r.best_cost * self.side,
                                    best_length=r.best_length * self.side) for r in records]


def _write_networks(out: Path, result: EvolutionResult, cost: np.ndarray,
                    georeference: dict[str, Any]) -> list[Path]:
    """best.json, network.geojson and links.csv (network.gpkg for a GIS raster);
    front.json and front.geojson for a front."""
    place: dict[str, Any] = {"transform": georeference.get("transform"),
                             "sites": georeference.get("sites") or ()}
    options: dict[str, Any] = {**place, "crs": georeference.get("crs"), "seed": result.seed,
                               "unit": georeference.get("unit")}
    best = result.best_structure
    written = [
        exports.write_json(out / "best.json", exports.network_json(best, cost, **options)),
        exports.write_json(out / "network.geojson", _network_geojson(result, cost, options, georeference)),
        exports.links_csv(out / "links.csv", best, cost, **place),
    ]
    if result.pareto_front:
        front = exports.front_json(result.pareto_front, cost, **options)
        if _is_bridge_run(result.config):
            front["price_of_redundancy"] = _prices(result, Units.of(georeference))
        written.append(exports.write_json(out / "front.json", front))
        written.append(exports.write_json(out / "front.geojson",
                                          exports.front_geojson(result.pareto_front, cost, **options)))
    if place["transform"] is not None and _has("shapely"):  # CSV sites need no shapely
        written.append(exports.write_geopackage(out / "network.gpkg", best, cost, **place,
                                                crs=georeference.get("crs"),
                                                front=result.pareto_front or ()))
    return written


def _network_geojson(result: EvolutionResult, cost: np.ndarray, options: Mapping[str, Any],
                     georeference: Mapping[str, Any]) -> dict[str, Any]:
    """network.geojson; an extension also shows the existing network and where it is joined."""
    collection = exports.network_geojson(result.best_structure, cost, **options)
    if result.attachment_points or georeference.get("existing_paths"):
        exports.mark_parts(collection, result.attachment_points, georeference.get("existing_paths") or (),
                           georeference.get("transform"))
    return collection


def _has(module: str) -> bool:
    try:
        __import__(module)
    except ImportError:
        return False
    return True


def _is_bridge_run(config: Mapping[str, Any]) -> bool:
    return "MultiObjectiveBridge" in str(config["special"]["evaluation_strategy"])


def _run_record(result: EvolutionResult, units: Units) -> dict[str, Any]:
    return {
        "seed": result.seed,
        "stop_reason": result.stop_reason,
        "generations": result.generations,
        "best_fitness": result.best_fitness,
        "best_cost": _json_number(result.best_cost * units.side),
        "cost_unit": units.cost,
        "best_length": result.best_length * units.side,
        "length_unit": units.length,
        "best_objectives": result.best_objectives,
        "phase_seconds": result.phase_seconds,
        "cut_short": result.cut_short,
        "gridweave_version": __version__,
    }


def _json_number(value: float) -> float | str:
    return value if np.isfinite(value) else str(value)


def _write_figures(out: Path, result: EvolutionResult, cost: np.ndarray, label: str,
                   georeference: Mapping[str, Any]) -> list[Path]:
    try:
        from . import plot
    except ImportError:
        return []
    units = Units.of(georeference)
    network = out / "network.png"
    title = (f"{label}\ncost {result.best_cost * units.side:,.6g} ({units.cost}), length "
             f"{result.best_length * units.side:,.6g} {units.length}, fitness {result.best_fitness:.4g}")
    plot.plot_network(result.best_structure, cost, network, title=title,
                      transform=georeference.get("transform"),
                      sites=georeference.get("sites") or (), unit=units.length,
                      existing=georeference.get("existing_paths") or (),
                      regions=georeference.get("region_cells") or ())
    fitness = out / "fitness.png"
    plot.plot_history(units.history(result.history), fitness,
                      labels=(f"cost ({units.cost})", f"length ({units.length})"))
    written = [network, fitness]
    if result.pareto_front:
        pareto = out / "pareto.png"
        plot.plot_pareto(result.pareto_front, pareto, population=result.population.members,
                         labels=_objective_labels(result.config))
        written.append(pareto)
    if _is_bridge_run(result.config) and result.pareto_front:
        written.append(out / "front.png")
        plot.plot_front_networks(result.pareto_front, cost, written[-1], costs=result.front_costs,
                                 references=result.references)
    return written


def _site_lines(georeference: Mapping[str, Any], units: Units) -> list[str]:
    """Where the sites came from and how far they moved onto their cells."""
    sites = georeference.get("sites") or []
    if not sites:
        return []
    layer, crs = georeference.get("layer"), georeference.get("sites_crs")
    farthest = max(sites, key=lambda s: s["snapped"])
    where = f" from layer {layer!r}" if layer else ""
    if crs and crs != georeference.get("crs"):
        where += f" reprojected from {crs}"
    lines = [f"sites: {len(sites)}{where}, each placed on its cell's centre within "
             f"{farthest['snapped']:.4g} {units.length} (farthest: {farthest['name']})"]
    moved = [s for s in sites if s.get("moved")]
    if moved:
        lines.append("moved off impassable cells: " + ", ".join(
            f"{s['name']} by {s['snapped']:.4g} {units.length}" for s in moved))
    return lines


def _objective_labels(config: Mapping[str, Any]) -> tuple[str, str]:
    second = "redundancy (1 - bridge share)" if _is_bridge_run(config) else "novelty"
    return "fitness (1 / trace cost)", second


def _summary(result: EvolutionResult, seconds: float, written: list[Path],
             georeference: Mapping[str, Any]) -> str:
    structure = result.best_structure
    edges = sum(1 for e in structure["edges"] if e["enabled"])
    last = result.history[-1]
    units = Units.of(georeference)
    lines = [
        f"gridweave: {result.generations} generations in {seconds:.1f} s "
        f"(stopped: {result.stop_reason}; seed {result.seed})",
        f"best network: cost {result.best_cost * units.side:.10g} ({units.cost}), length "
        f"{result.best_length * units.side:.6g} {units.length}, fitness {result.best_fitness:.6g}; "
        f"{len(structure['nodes'])} nodes, {edges} enabled edges; {last.num_species} species",
        *_site_lines(georeference, units),
    ]
    if result.attachment_points:
        lines.append(f"joins the existing network at {len(result.attachment_points)} points: "
                     + ", ".join(f"({r}, {c})" for r, c in result.attachment_points[:12])
                     + (" ..." if len(result.attachment_points) > 12 else ""))
    if result.cut_short:
        lines.append("the time limit cut short: " + ", ".join(result.cut_short))
    if result.best_objectives:
        lines.append("objectives: " + ", ".join(f"{v:.6g}" for v in result.best_objectives))
    if result.pareto_front:
        lines.append(f"Pareto front: {len(result.pareto_front)} networks")
        prices = _prices(result, units)
        if prices:
            lines.append("price of redundancy: " + "; ".join(_price_text(p) for p in prices))
    lines.append("wrote " + ", ".join(str(p) for p in written))
    return "\n".join(lines)
