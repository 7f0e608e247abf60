import csv
import json
import os
import subprocess
import sys

import numpy as np
import pytest

from gridweave.cli import main
from gridweave.config import load_config, save_config
from gridweave.problems import make_terrain

PROBLEM = make_terrain((16, 16), n_terminals=3, seed=5)


def has_matplotlib():
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return False
    return True


@pytest.fixture
def inputs(tmp_path):
    """Cost map, terminals and a small configuration written as the user would."""
    paths = {"cost": tmp_path / "map.npy", "terminals": tmp_path / "terminals.csv",
             "config": tmp_path / "run.toml"}
    np.save(paths["cost"], PROBLEM.cost_map)
    with paths["terminals"].open("w", newline="") as handle:
        csv.writer(handle).writerows([("x", "y"), *PROBLEM.terminals])
    save_config({"population_size": 10, "selection_strategy": "NSGA2",
                 "special": {"evaluation_strategy": "MultiObjectiveBridge"}}, paths["config"])
    return paths


def run_args(inputs, out, *extra):
    return ["run", "--cost-map", str(inputs["cost"]), "--terminals", str(inputs["terminals"]),
            "--config", str(inputs["config"]), "--out", str(out), "--quiet", *extra]


def test_run_writes_results(inputs, tmp_path, capsys):
    out = tmp_path / "out"
    assert main(run_args(inputs, out, "--generations", "2", "--seed", "3")) == 0
    summary = capsys.readouterr().out
    assert "2 generations" in summary and "Pareto front" in summary
    best = json.loads((out / "best.json").read_text())
    fixed = sorted(tuple(n["data"]["pos"]) for n in best["nodes"] if n["data"]["type"] == "Fixed")
    assert fixed == sorted(PROBLEM.terminals)
    rows = list(csv.DictReader((out / "history.csv").open()))
    assert [int(r["generation"]) for r in rows] == [0, 1, 2]
    config = load_config(out / "config.toml")
    assert (config["population_size"], config["selection_strategy"]) == (10, "NSGA2")
    assert config["special"]["grid_size"] == [16, 16]
    figures = {p.name for p in out.glob("*.png")}
    expected = {"network.png", "fitness.png", "pareto.png"} if has_matplotlib() else set()
    assert figures == expected


@pytest.mark.parametrize("problem, message", [
    ({"cost": "absent.npy"}, "no such file: "),
    ({"terminals": "absent.csv"}, "no such file: "),
    ({"config": "absent.toml"}, "no such file: "),
    ({"config_text": "popsize = 5\n"}, "unknown configuration key 'popsize'"),
    ({"config_text": 'mating_strategy = "neat"\n'}, "unknown variant `neat`"),
    ({"config_text": "population_size = 2.5\n"}, "run.toml: "),
    ({"config_text": "population_size = \n"}, "run.toml"),
    ({"terminals_text": "3,4\n16,2\n"}, "terminal (16, 2) lies outside the 16x16 cost map"),
    ({"terminals_text": "x,y\n3,x\n"}, "not numeric"),
])
def test_input_errors_exit_2_with_one_line(inputs, tmp_path, capsys, problem, message):
    if "config_text" in problem:
        inputs["config"].write_text(problem["config_text"])
    if "terminals_text" in problem:
        inputs["terminals"].write_text(problem["terminals_text"])
    for key in ("cost", "terminals", "config"):
        if key in problem:
            inputs[key] = tmp_path / problem[key]
    assert main(run_args(inputs, tmp_path / "out")) == 2
    captured = capsys.readouterr()
    lines = captured.err.splitlines()
    assert len(lines) == 1 and lines[0].startswith("gridweave: error: ")
    assert message in lines[0]
    assert captured.out == "" and not (tmp_path / "out").exists()


@pytest.mark.parametrize("start", ["steiner", "mst", "config"])
def test_start_and_time_limit(inputs, tmp_path, capsys, start):
    assert main(run_args(inputs, tmp_path / "out", "--start", start, "--generations", "100000",
                         "--time-limit", "0.5")) == 0
    assert "(stopped: time)" in capsys.readouterr().out


def test_config_file_cannot_move_the_terminals(inputs, tmp_path):
    save_config({"special": {"grid_size": [99, 99], "fixed_nodes": [[50, 50]]}}, inputs["config"])
    out = tmp_path / "out"
    assert main(run_args(inputs, out, "--generations", "0")) == 0
    assert load_config(out / "config.toml")["special"]["fixed_nodes"] == [
        list(t) for t in PROBLEM.terminals]


@pytest.mark.parametrize("argv", [["demo", "--generations", "-1"], ["run", "--cost-map", "x"],
                                  ["launch"], ["demo", "--start", "random"],
                                  ["demo", "--time-limit", "0"], ["demo", "--time-limit", "soon"]])
def test_usage_errors_exit_2(argv, capsys):
    with pytest.raises(SystemExit) as stop:
        main(argv)
    assert stop.value.code == 2
    assert "Traceback" not in capsys.readouterr().err


def test_python_m_gridweave_demo(tmp_path):
    out = tmp_path / "demo"
    done = subprocess.run([sys.executable, "-m", "gridweave", "demo", "--generations", "1",
                           "--out", str(out), "--seed", "7"],
                          capture_output=True, text=True, timeout=120,
                          env={**os.environ, "GRIDWEAVE_NUM_THREADS": "1"})
    assert done.returncode == 0, done.stderr
    assert "1 generations" in done.stdout
    assert (out / "best.json").exists() and (out / "history.csv").exists()


def test_run_with_checkpoint_then_resume(inputs, tmp_path, capsys):
    saved = tmp_path / "run.ckpt"
    first, second = tmp_path / "first", tmp_path / "second"
    assert main(run_args(inputs, first, "--generations", "3", "--seed", "2",
                         "--checkpoint", str(saved), "--checkpoint-every", "2")) == 0
    assert main(["resume", str(saved), "--generations", "5", "--out", str(second), "--quiet"]) == 0
    rows = list(csv.DictReader((second / "history.csv").open()))
    assert [int(r["generation"]) for r in rows] == list(range(6))
    best = json.loads((second / "best.json").read_text())
    assert best["seed"] == 2 and best["format"] == 1 and (second / "front.geojson").exists()
    assert main(["resume", str(tmp_path / "missing.ckpt")]) == 2
    assert "no such file" in capsys.readouterr().err


def test_core_and_cli_import_without_the_optional_extras():
    code = ("import sys, gridweave, gridweave.cli, gridweave.formats, gridweave.checkpoint; "
            "print(sorted({'rasterio', 'shapely', 'networkx', 'matplotlib'} & set(sys.modules)))")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert done.stdout.strip() == "[]"
