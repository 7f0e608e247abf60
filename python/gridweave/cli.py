"""Command line: ``gridweave demo``, ``gridweave run`` and ``gridweave resume``.

``gridweave demo`` evolves a network on the built-in terrain
(:func:`gridweave.problems.default_problem`). ``gridweave run`` reads a cost
map (.npy, .csv or grayscale .png) and terminals (.csv or .json) and,
optionally, a configuration file (.toml or .json) holding the settings to
change from the defaults of :func:`gridweave.config.make_config`; its
``grid_size`` and ``fixed_nodes`` are always taken from the map and the
terminals.

Evolution starts from the best least-cost heuristic network (``--start
steiner``), the straight-line spanning tree (``--start mst``) or the
configured initial graph (``--start config``); ``--time-limit`` stops it
after a number of seconds. Both write into ``--out``: ``best.json`` (structure dictionary of the best
network), ``history.csv``, ``config.toml`` (the complete configuration, usable
with ``--config``) and, with matplotlib installed, ``network.png``,
``fitness.png`` and, for multi-objective runs, ``pareto.png``. Errors in the
input print one line on stderr and exit with status 2.

GIS input (needs ``gridweave[geo]``): a cost map given as a raster (GeoTIFF
and others, see :mod:`gridweave.gis`) keeps its transform and coordinate
system; its nodata cells are impassable, and the terminals are then read as
points in map coordinates from GeoJSON, GeoPackage or CSV. ``best.json``
carries the network with its fitness, cost, seed and map (disabled edges left
out), and ``network.geojson`` the network in map coordinates (in cells for
plain maps); multi-objective runs add ``front.json`` and ``front.geojson``.

Checkpoints: ``--checkpoint FILE`` saves the whole run every
``--checkpoint-every N`` generations (default 10) and when it stops;
``gridweave resume FILE`` continues it and writes the results as ``run``
does (into the run's ``--out`` unless given).
"""

from __future__ import annotations

import argparse
import sys
import time
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import Any

import numpy as np

from . import formats, gis
from .checkpoint import load as load_checkpoint
from .checkpoint import resume
from .config import load_config, make_config, save_config, validate_config
from .evolve import EvolutionResult, evolve
from .problems import check_terminals, default_problem, load_cost_map, load_terminals
from .routes import START_METHODS

__all__ = ["main", "DEMO_GENERATIONS"]

DEMO_GENERATIONS = 300
RUN_GENERATIONS = 100
EXIT_USAGE = 2


class InputError(Exception):
    """A problem with the user's files or settings, reported in one line."""


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line with ``argv`` (default: ``sys.argv[1:]``); return the exit status.

    Example:
        >>> import tempfile
        >>> main(["demo", "--generations", "1", "--out", tempfile.mkdtemp(), "--quiet"])
        ... # doctest: +ELLIPSIS
        gridweave: 1 generations in ...
        0
    """
    args = _parser().parse_args(argv)
    if args.command == "resume":
        return _resume(args)
    try:
        cost, terminals, config, label = _prepare(args)
    except InputError as error:
        print(f"gridweave: error: {error}", file=sys.stderr)
        return EXIT_USAGE
    georeference = getattr(args, "georeference", {})
    started = time.perf_counter()
    result = evolve(
        cost, config, args.generations, start=args.start, time_limit=args.time_limit,
        progress=not args.quiet, seed=args.seed, **_checkpoint_options(args, label, georeference),
    )
    elapsed = time.perf_counter() - started
    return _report(args.out, result, cost, config, label, elapsed, georeference)


def _report(out: str, result: EvolutionResult, cost: np.ndarray, config: dict[str, Any],
            label: str, elapsed: float, georeference: Mapping[str, Any]) -> int:
    try:
        written = _write_outputs(Path(out), result, cost, config, label, georeference)
    except OSError as error:
        print(f"gridweave: error: cannot write results: {_one_line(error)}", file=sys.stderr)
        return EXIT_USAGE
    print(_summary(result, elapsed, written))
    return 0


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="gridweave", description="Evolve spatial networks on cost maps."
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    demo = commands.add_parser("demo", help="evolve a network on the built-in terrain")
    _add_common(demo, DEMO_GENERATIONS, "gridweave-demo")
    run = commands.add_parser("run", help="evolve a network on your own cost map")
    run.add_argument("--cost-map", required=True, type=Path, metavar="FILE",
                     help="cost map: .npy, .csv, grayscale .png, or a GIS raster such as "
                          "GeoTIFF (nodata cells impassable)")
    run.add_argument("--terminals", required=True, type=Path, metavar="FILE",
                     help="terminal cells x,y: .csv or .json; with a GIS raster, points in "
                          "map coordinates: .geojson, .gpkg or .csv")
    run.add_argument("--config", type=Path, metavar="FILE",
                     help="settings to change from the defaults: .toml or .json")
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


def _positive(text: str) -> int:
    value = _non_negative(text)
    if value == 0:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


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
        notes, (shape, data) = saved["settings"]["notes"], saved["cost"]
        cost = np.frombuffer(data, dtype=np.float64).reshape(shape)
        started = time.perf_counter()
        result = resume(args.checkpoint, args.generations, progress=not args.quiet)
    except FileNotFoundError:
        print(f"gridweave: error: no such file: {args.checkpoint}", file=sys.stderr)
        return EXIT_USAGE
    except (OSError, ValueError, KeyError, TypeError) as error:
        print(f"gridweave: error: {_one_line(error)}", file=sys.stderr)
        return EXIT_USAGE
    elapsed = time.perf_counter() - started
    georeference = {k: notes[k] for k in ("transform", "crs") if k in notes}
    return _report(args.out or notes.get("out", "gridweave-out"), result, cost, result.config,
                   notes.get("label", "resumed"), elapsed, georeference)


def _add_common(parser: argparse.ArgumentParser, generations: int, out: str) -> None:
    parser.add_argument("--generations", type=_non_negative, default=generations, metavar="N",
                        help=f"number of generations (default {generations})")
    parser.add_argument("--start", choices=START_METHODS, default="steiner",
                        help="start network: the best least-cost heuristic network (steiner, the "
                             "default), the straight-line spanning tree (mst), or the configured "
                             "initial graph (config: pure evolution)")
    parser.add_argument("--time-limit", type=_positive_seconds, metavar="SECONDS",
                        help="stop after this many seconds (checked after every generation)")
    parser.add_argument("--out", default=out, metavar="DIR",
                        help=f"output directory (default {out})")
    parser.add_argument("--seed", type=_non_negative, metavar="N",
                        help="seed the random generators (exactly reproducible with "
                             "GRIDWEAVE_NUM_THREADS=1)")
    parser.add_argument("--quiet", action="store_true", help="no progress bar")


def _non_negative(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {text}")
    return value


def _positive_seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"must be a positive number of seconds: {text}")
    return value


def _prepare(
    args: argparse.Namespace,
) -> tuple[np.ndarray, list[tuple[int, int]], dict[str, Any], str]:
    if args.command == "demo":
        problem = default_problem()
        config = make_config(problem.grid_size, problem.terminals)
        return problem.cost_map, problem.terminals, config, problem.name
    if args.cost_map.suffix.lower() in gis.RASTER_SUFFIXES:
        cost, terminals, args.georeference = _load_geo_inputs(args.cost_map, args.terminals)
    else:
        cost = _load(load_cost_map, args.cost_map)
        terminals = _load(load_terminals, args.terminals)
    try:
        check_terminals(terminals, cost.shape)
    except ValueError as error:
        raise InputError(f"{args.terminals}: {error}") from None
    overrides = _load(load_config, args.config) if args.config else {}
    try:
        config = make_config(cost.shape, terminals, **_settings_only(overrides))
        validate_config(config)
    except Exception as error:  # the native reader raises plain Exception too
        raise InputError(f"{args.config or 'configuration'}: {_one_line(error)}") from None
    return cost, terminals, config, args.cost_map.stem


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


def _load(loader: Any, path: Path) -> Any:
    try:
        return loader(path)
    except FileNotFoundError:
        raise InputError(f"no such file: {path}") from None
    except (OSError, ValueError, ImportError) as error:
        raise InputError(_one_line(error)) from None


def _settings_only(overrides: Mapping[str, Any]) -> dict[str, Any]:
    """The file's settings without the problem, which the map and the terminals define."""
    problem_keys = ("grid_size", "fixed_nodes")
    result = {k: v for k, v in overrides.items() if k not in problem_keys}
    if isinstance(result.get("special"), Mapping):
        result["special"] = {k: v for k, v in result["special"].items() if k not in problem_keys}
    return result


def _one_line(error: BaseException) -> str:
    text = " ".join(str(error).split())
    return text or type(error).__name__


def _write_outputs(
    out: Path, result: EvolutionResult, cost: np.ndarray, config: dict[str, Any], label: str,
    georeference: Mapping[str, Any] | None = None,
) -> list[Path]:
    out.mkdir(parents=True, exist_ok=True)
    written = [out / "history.csv", out / "config.toml"]
    result.history_to_csv(written[0])
    save_config(config, written[1])
    networks = _write_networks(out, result, cost, dict(georeference or {}))
    return networks + written + _write_figures(out, result, cost, label)


def _write_networks(out: Path, result: EvolutionResult, cost: np.ndarray,
                    georeference: dict[str, Any]) -> list[Path]:
    """best.json and network.geojson; front.json and front.geojson for a front."""
    options: dict[str, Any] = {"transform": georeference.get("transform"),
                               "crs": georeference.get("crs"), "seed": result.seed}
    written = [
        formats.write_json(out / "best.json", formats.network_json(result.best_structure, cost, **options)),
        formats.write_json(out / "network.geojson",
                           formats.network_geojson(result.best_structure, cost, **options)),
    ]
    if result.pareto_front:
        written.append(formats.write_json(out / "front.json",
                                          formats.front_json(result.pareto_front, cost, **options)))
        written.append(formats.write_json(out / "front.geojson",
                                          formats.front_geojson(result.pareto_front, cost, **options)))
    return written


def _write_figures(out: Path, result: EvolutionResult, cost: np.ndarray, label: str) -> list[Path]:
    try:
        from . import plot
    except ImportError:
        return []
    network = out / "network.png"
    title = f"{label}: best fitness {result.best_fitness:.4g}"
    plot.plot_network(result.best_structure, cost, network, title=title)
    fitness = out / "fitness.png"
    plot.plot_history(result.history, fitness)
    written = [network, fitness]
    if result.pareto_front:
        pareto = out / "pareto.png"
        plot.plot_pareto(result.pareto_front, pareto, population=result.population.members,
                         labels=_objective_labels(result.config))
        written.append(pareto)
    return written


def _objective_labels(config: Mapping[str, Any]) -> tuple[str, str]:
    strategy = config["special"]["evaluation_strategy"]
    second = "redundancy (1 - bridge share)" if "MultiObjectiveBridge" in str(strategy) \
        else "novelty"
    return "fitness (1 / cost)", second


def _summary(result: EvolutionResult, seconds: float, written: list[Path]) -> str:
    structure = result.best_structure
    edges = sum(1 for e in structure["edges"] if e["enabled"])
    cost = 1.0 / result.best_fitness if result.best_fitness > 0 else float("inf")
    last = result.history[-1]
    lines = [
        f"gridweave: {result.generations} generations in {seconds:.1f} s "
        f"(stopped: {result.stop_reason})",
        f"best fitness {result.best_fitness:.6g} (network cost {cost:.6g}), "
        f"{len(structure['nodes'])} nodes, {edges} enabled edges; {last.num_species} species",
    ]
    if result.best_objectives:
        lines.append("objectives: " + ", ".join(f"{v:.6g}" for v in result.best_objectives))
    if result.pareto_front:
        lines.append(f"Pareto front: {len(result.pareto_front)} networks")
    lines.append("wrote " + ", ".join(str(p) for p in written))
    return "\n".join(lines)
