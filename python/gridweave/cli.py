"""Command line: ``gridweave demo`` and ``gridweave run``.

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
``fitness.png`` and, for multi-objective runs, ``pareto.png``. Runs under
the bridge objective also write ``front.json`` (every front network with its
objectives, cheapest first) and ``front.png`` (the front beside its
cheapest, knee and most redundant networks). Errors in the
input print one line on stderr and exit with status 2.
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import Any

import numpy as np

from .config import load_config, make_config, save_config, validate_config
from .evolve import EvolutionResult, canonical_structure, evolve
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
    try:
        cost, terminals, config, label = _prepare(args)
    except InputError as error:
        print(f"gridweave: error: {error}", file=sys.stderr)
        return EXIT_USAGE
    started = time.perf_counter()
    result = evolve(
        cost, config, args.generations, start=args.start, time_limit=args.time_limit,
        progress=not args.quiet, seed=args.seed,
    )
    elapsed = time.perf_counter() - started
    try:
        written = _write_outputs(Path(args.out), result, cost, config, label)
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
                     help="cost map: .npy, .csv or grayscale .png")
    run.add_argument("--terminals", required=True, type=Path, metavar="FILE",
                     help="terminal cells x,y: .csv or .json")
    run.add_argument("--config", type=Path, metavar="FILE",
                     help="settings to change from the defaults: .toml or .json")
    _add_common(run, RUN_GENERATIONS, "gridweave-out")
    return parser


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
    out: Path, result: EvolutionResult, cost: np.ndarray, config: dict[str, Any], label: str
) -> list[Path]:
    out.mkdir(parents=True, exist_ok=True)
    written = [out / "best.json", out / "history.csv", out / "config.toml"]
    written[0].write_text(json.dumps(result.best_structure, indent=1) + "\n", encoding="utf-8")
    result.history_to_csv(written[1])
    save_config(config, written[2])
    if _is_bridge_run(result.config) and result.pareto_front:
        written.append(out / "front.json")
        written[-1].write_text(json.dumps(_front_networks(result), indent=1) + "\n", encoding="utf-8")
    return written + _write_figures(out, result, cost, label)


def _is_bridge_run(config: Mapping[str, Any]) -> bool:
    return "MultiObjectiveBridge" in str(config["special"]["evaluation_strategy"])


def _front_networks(result: EvolutionResult) -> list[dict[str, Any]]:
    """Every front network, cheapest first, with its objectives."""
    front = sorted(result.pareto_front or [], key=lambda g: -g.objectives[0])
    return [{"objectives": list(g.objectives), **canonical_structure(g.get_structure())} for g in front]


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
    if _is_bridge_run(result.config) and result.pareto_front:
        written.append(out / "front.png")
        plot.plot_front_networks(result.pareto_front, cost, written[-1])
    return written


def _objective_labels(config: Mapping[str, Any]) -> tuple[str, str]:
    second = "redundancy (1 - bridge share)" if _is_bridge_run(config) else "novelty"
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
