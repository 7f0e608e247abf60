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
``run.json`` (seed, stop reason, fitness, cost in map units, length in cells)
and, with matplotlib installed, ``network.png``, ``fitness.png`` and, when
there is a front, ``pareto.png``. Runs under the bridge objective also
write ``front.json`` (every front network with its objectives, cheapest
first, and the price of redundancy: the cheapest network reaching each
level) and ``front.png`` (cost against redundancy, the tree and the ring
marked, beside the cheapest, knee and most redundant networks). Errors in the input print one line on
stderr and exit with status 2; Ctrl-C lets the current generation finish,
writes the results so far and exits with status 130.

GIS input (needs ``gridweave[geo]``): a cost map given as a raster (GeoTIFF
and others, see :mod:`gridweave.gis`) keeps its transform and coordinate
system; its nodata cells are impassable, and the terminals are then read as
points in map coordinates from GeoJSON, GeoPackage or CSV. ``best.json``
carries the network with its fitness, cost, seed and map (disabled edges left
out), and ``network.geojson`` the network in map coordinates (in cells for
plain maps); runs with a front add ``front.geojson``.

Checkpoints: ``--checkpoint FILE`` saves the whole run every
``--checkpoint-every N`` generations (default 10) and when it stops;
``gridweave resume FILE`` continues it and writes the results as ``run``
does (into the run's ``--out`` unless given).
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import shutil
import sys
import tempfile
import time
import warnings
from collections.abc import Callable, Mapping, Sequence
from pathlib import Path
from typing import Any

import numpy as np

from . import __version__, exports, gis
from .checkpoint import load as load_checkpoint
from .checkpoint import resume
from .config import (
    BY_KEY,
    PROBLEM_KEYS,
    apply_overrides,
    load_config,
    make_config,
    parse_setting,
    save_config,
)
from .driver import EvolutionResult, checked_cost, evolve
from .formats import DEFAULT_PNG_RANGE, check_terminals, load_cost_map, load_terminals
from .problems import default_problem
from .routes import START_METHODS

__all__ = ["main", "DEMO_GENERATIONS", "OUTPUTS"]

DEMO_GENERATIONS = 300
RUN_GENERATIONS = 100
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130
OUTPUTS = ("best.json", "history.csv", "config.toml", "run.json", "network.png", "fitness.png",
           "pareto.png", "front.json", "front.png", "network.geojson", "front.geojson")
CONVENTION = (
    "Positions are (row, column) cells of the cost map, whose shape is (rows, columns). "
    "Results give the network's cost in map units (cost times step length over its cells) "
    "and its length in cells next to its fitness."
)
NAMED_SETTINGS = ("population_size", "mating_strategy", "selection_strategy",
                  "evaluation_strategy")


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
    except KeyboardInterrupt:
        print("gridweave: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED


def _run(args: argparse.Namespace) -> int:
    cost, config, label = _prepare(args)
    _check_writable(Path(args.out))
    if args.threads:
        os.environ["GRIDWEAVE_NUM_THREADS"] = str(args.threads)
    georeference = getattr(args, "georeference", {})
    started = time.perf_counter()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = evolve(
            cost, config, args.generations, start=args.start, time_limit=args.time_limit,
            stall_generations=args.stall, progress=not args.quiet, seed=args.seed,
            **_checkpoint_options(args, label, georeference),
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


def _report(out: str, result: EvolutionResult, cost: np.ndarray, config: dict[str, Any],
            label: str, elapsed: float, georeference: Mapping[str, Any]) -> int:
    try:
        written = _write_outputs(Path(out), result, cost, config, label, georeference)
    except OSError as error:
        raise InputError(f"cannot write results: {_one_line(error)}") from None
    print(_summary(result, elapsed, written))
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
    georeference = {k: notes[k] for k in ("transform", "crs") if k in notes}
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
                     help="cells of this value are impassable")
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
                        help="seed the random generators: any non-negative integer (exactly "
                             "reproducible with --threads 1); written to run.json")
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


def _positive_seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"must be a positive number of seconds: {text}")
    return value


def _prepare(args: argparse.Namespace) -> tuple[np.ndarray, dict[str, Any], str]:
    if args.command == "demo":
        problem = default_problem()
        cost, terminals, label = problem.cost_map, problem.terminals, problem.name
    elif args.cost_map.suffix.lower() in gis.RASTER_SUFFIXES:
        cost, terminals, args.georeference = _load_geo_inputs(args.cost_map, args.terminals)
        label = args.cost_map.stem
    else:
        cost = _load(lambda p: load_cost_map(p, png_range=args.png_range, nodata=args.nodata),
                     args.cost_map)
        terminals = _load(load_terminals, args.terminals)
        try:
            check_terminals(terminals, cost.shape)
        except ValueError as error:
            raise InputError(f"{args.terminals}: {error}") from None
        label = args.cost_map.stem
    config = _configuration(args, cost.shape, terminals)
    try:
        cost = checked_cost(cost, cost.shape)
    except ValueError as error:
        raise InputError(f"{args.cost_map}: {error}") from None
    return cost, config, label


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
        raise InputError(f"{source}: {_one_line(error)}") from None
    return config


def _command_line_settings(args: argparse.Namespace) -> dict[str, Any]:
    settings: dict[str, Any] = {}
    for item in args.settings:
        key, equals, text = item.partition("=")
        if not equals:
            raise InputError(f"--set {item}: expected KEY=VALUE")
        try:
            settings[key.strip().removeprefix("special.")] = parse_setting(key.strip(), text.strip())
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


def _load_geo_inputs(
    raster_path: Path, sites_path: Path
) -> tuple[np.ndarray, list[tuple[int, int]], dict[str, Any]]:
    """A GIS raster, and the terminals as map points turned into its cells."""
    raster = _load(gis.read_raster, raster_path)
    sites = _load(gis.read_sites, sites_path)
    try:
        terminals = gis.cells_of(sites, raster.transform, raster.cost.shape)
    except ValueError as error:
        raise InputError(f"{sites_path}: {error}") from None
    return raster.cost, terminals, {"transform": list(raster.transform), "crs": raster.crs}


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
    try:
        written = [staging / "history.csv", staging / "config.toml", staging / "run.json"]
        result.history_to_csv(written[0])
        save_config(config, written[1])
        written[2].write_text(json.dumps(_run_record(result), indent=1) + "\n", encoding="utf-8")
        networks = _write_networks(staging, result, cost, dict(georeference or {}))
        written = networks + written + _write_figures(staging, result, cost, label)
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
    """One level of the price of redundancy, as the summary prints it."""
    level = f"{price['level']:.0%}"
    if price["cost"] is None:
        return f"{level} not reached"
    return f"{level} costs {price['cost']:.6g} ({price['relative_cost']:.3f} x the tree)"


def _write_networks(out: Path, result: EvolutionResult, cost: np.ndarray,
                    georeference: dict[str, Any]) -> list[Path]:
    """best.json and network.geojson; front.json and front.geojson for a front."""
    options: dict[str, Any] = {"transform": georeference.get("transform"),
                               "crs": georeference.get("crs"), "seed": result.seed}
    written = [
        exports.write_json(out / "best.json", exports.network_json(result.best_structure, cost, **options)),
        exports.write_json(out / "network.geojson",
                           exports.network_geojson(result.best_structure, cost, **options)),
    ]
    if result.pareto_front:
        front = exports.front_json(result.pareto_front, cost, **options)
        if _is_bridge_run(result.config):
            front["price_of_redundancy"] = [{k: v for k, v in price.items() if k != "index"}
                                            for price in result.price_of_redundancy()]
        written.append(exports.write_json(out / "front.json", front))
        written.append(exports.write_json(out / "front.geojson",
                                          exports.front_geojson(result.pareto_front, cost, **options)))
    return written


def _is_bridge_run(config: Mapping[str, Any]) -> bool:
    return "MultiObjectiveBridge" in str(config["special"]["evaluation_strategy"])


def _run_record(result: EvolutionResult) -> dict[str, Any]:
    return {
        "seed": result.seed,
        "stop_reason": result.stop_reason,
        "generations": result.generations,
        "best_fitness": result.best_fitness,
        "best_cost": _json_number(result.best_cost),
        "best_length": result.best_length,
        "best_objectives": result.best_objectives,
        "phase_seconds": result.phase_seconds,
        "cut_short": result.cut_short,
        "gridweave_version": __version__,
    }


def _json_number(value: float) -> float | str:
    return value if np.isfinite(value) else str(value)


def _write_figures(out: Path, result: EvolutionResult, cost: np.ndarray, label: str) -> list[Path]:
    try:
        from . import plot
    except ImportError:
        return []
    network = out / "network.png"
    title = (f"{label}\ncost {result.best_cost:.6g} (map units), length "
             f"{result.best_length:.1f} cells, fitness {result.best_fitness:.4g}")
    plot.plot_network(result.best_structure, cost, network, title=title)
    fitness = out / "fitness.png"
    plot.plot_history(result.history, fitness)
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


def _objective_labels(config: Mapping[str, Any]) -> tuple[str, str]:
    second = "redundancy (1 - bridge share)" if _is_bridge_run(config) else "novelty"
    return "fitness (1 / trace cost)", second


def _summary(result: EvolutionResult, seconds: float, written: list[Path]) -> str:
    structure = result.best_structure
    edges = sum(1 for e in structure["edges"] if e["enabled"])
    last = result.history[-1]
    lines = [
        f"gridweave: {result.generations} generations in {seconds:.1f} s "
        f"(stopped: {result.stop_reason}; seed {result.seed})",
        f"best network: cost {result.best_cost:.6g} in map units, length "
        f"{result.best_length:.6g} cells, fitness {result.best_fitness:.6g}; "
        f"{len(structure['nodes'])} nodes, {edges} enabled edges; {last.num_species} species",
    ]
    if result.cut_short:
        lines.append("the time limit cut short: " + ", ".join(result.cut_short))
    if result.best_objectives:
        lines.append("objectives: " + ", ".join(f"{v:.6g}" for v in result.best_objectives))
    if result.pareto_front:
        lines.append(f"Pareto front: {len(result.pareto_front)} networks")
        prices = result.price_of_redundancy() if _is_bridge_run(result.config) else []
        if prices:
            lines.append("price of redundancy: " + "; ".join(_price_text(p) for p in prices))
    lines.append("wrote " + ", ".join(str(p) for p in written))
    return "\n".join(lines)
