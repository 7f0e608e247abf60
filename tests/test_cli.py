import csv
import json
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

from gridweave import cli
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
        csv.writer(handle).writerows([("row", "column"), *PROBLEM.terminals])
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
    expected = {"network.png", "fitness.png", "pareto.png", "front.png"} if has_matplotlib() else set()
    assert figures == expected
    written = json.loads((out / "front.json").read_text())
    front = written["networks"]
    costs = [network["objectives"][0] for network in front]
    assert front and costs == sorted(costs, reverse=True)
    assert all(len(network["objectives"]) == 2 and network["nodes"] for network in front)
    prices = written["price_of_redundancy"]
    assert [p["level"] for p in prices] == [0.25, 0.5, 0.75, 1.0] and "price of redundancy: 25% costs" in summary
    # each level's price is the cheapest written network reaching it (fitness is 1 / cost)
    for price in prices:
        fitness = max(n["objectives"][0] for n in front if n["objectives"][1] >= price["level"])
        assert price["relative_cost"] == pytest.approx(front[0]["objectives"][0] / fitness, rel=1e-9)


def colour_png(path):
    from PIL import Image

    Image.fromarray(np.dstack([np.zeros((16, 16), np.uint8)] * 2 + [np.full((16, 16), 90, np.uint8)])).save(path)


HUGE = "7" * 400

# (files to write: key -> (file name, content), extra arguments, message)
INPUT_FAULTS = [
    ({"cost": ("absent.npy", None)}, [], "no such file: "),
    ({"terminals": ("absent.csv", None)}, [], "no such file: "),
    ({"config": ("absent.toml", None)}, [], "no such file: "),
    ({"cost": ("map.npy", -np.ones((16, 16)))}, [], "map.npy: the cost map holds negative costs"),
    ({"cost": ("map.npy", b"")}, [], "map.npy: cannot read the cost map"),
    ({"cost": ("map.png", b"not a png")}, [], "map.png: cannot read the cost map"),
    ({"cost": ("map.png", colour_png)}, [], "map.png: the PNG holds colour"),
    ({"cost": ("map.csv", "1,2\n3\n")}, [], "map.csv: not a numeric grid"),
    ({"terminals": ("t.json", "[[1, 2],")}, [], "t.json: cannot read the terminals"),
    ({"terminals": ("t.csv", "3,4\n16,2\n")}, [],
     "terminal (16, 2) lies outside the map of 16 rows and 16 columns"),
    ({"terminals": ("t.csv", "row,column\n3,x\n")}, [], "not numeric"),
    # integers too large for a float are exact: refused as off the map
    ({"terminals": ("t.json", f"[[3, 4], [{HUGE}, 2]]")}, [], f"terminal ({HUGE}, 2) lies outside"),
    ({"terminals": ("t.csv", f"3,4\n5,{HUGE}\n")}, [], f"terminal (5, {HUGE}) lies outside"),
    ({"terminals": ("t.json", "[[3, 4], [1e400, 2]]")}, [], "terminal 2 is not on a grid cell"),
    ({"config": ("run.toml", f"c1 = {HUGE}\n")}, [], "run.toml: "),
    ({}, ["--set", f"c1={HUGE}"], f"--set c1={HUGE}: "),
    ({"terminals": ("t.csv", "3,4\n5,6\n3,4\n")}, [], "t.csv: terminal 3 (3, 4) repeats terminal 1"),
    ({"config": ("run.toml", "popsize = 5\n")}, [], "unknown configuration key 'popsize'"),
    ({"config": ("run.toml", "population_size = \n")}, [], "run.toml: "),
    ({"config": ("run.json", '{"c1": ')}, [], "run.json: "),
    ({"config": ("run.toml", "[special]\ngrid_size = [99, 99]\n")}, [],
     "'special.grid_size' = [99, 99] does not match"),
    ({"config": ("run.toml", "[special]\nfixed_nodes = [[1, 1]]\n")}, [],
     "'special.fixed_nodes' = [[1, 1]] does not match"),
    ({}, ["--set", "c1=-5"], "--set c1=-5: configuration key 'c1' = -5"),
    ({}, ["--set", "popsize=3"], "--set popsize=3: unknown configuration key 'popsize'"),
    ({}, ["--set", "c1"], "--set c1: expected KEY=VALUE"),
    ({}, ["--population-size", "0"], "'population_size' = 0"),
    ({}, ["--png-range", "-1", "2"], "the PNG cost range"),
]

# Settings a configuration file may get wrong, each refused naming the key and the value.
CONFIG_FAULTS = [
    ("add_node_mutation_prob = 1.5", "'add_node_mutation_prob' = 1.5: must be a number in [0, 1]"),
    ('diversity_objective = "false"', "'diversity_objective' = 'false': must be true or false"),
    ("c1 = -5", "'c1' = -5"), ("c2 = nan", "'c2' = nan"), ("[special]\nc3 = inf", "'special.c3' = inf"),
    ("tournament_size = 0", "'tournament_size' = 0"), ("selection_share = 2.0", "'selection_share' = 2.0"),
    ("num_elites_global = 500", "'num_elites_global' = 500"),
    ("[special]\nmove_node_mutation_sigma = -3", "'special.move_node_mutation_sigma' = -3"),
    ("species_threshold = -1", "'species_threshold' = -1"),
    ('population_size = "5"', "'population_size' = '5': must be an integer"),
    ('mating_strategy = "neat"', "'mating_strategy' = 'neat': must be one of NEATSpeciation"),
]


def write_input(path, content):
    if isinstance(content, np.ndarray):
        with path.open("wb") as handle:
            np.save(handle, content)
    elif isinstance(content, bytes):
        path.write_bytes(content)
    elif isinstance(content, str):
        path.write_text(content)
    elif content is not None:
        content(path)


def assert_one_line_error(code, captured, message, out):
    assert code == 2
    lines = captured.err.splitlines()
    assert len(lines) == 1 and lines[0].startswith("gridweave: error: "), captured.err
    assert message in lines[0]
    assert captured.out == "" and not out.exists()


@pytest.mark.parametrize("files, extra, message", INPUT_FAULTS)
def test_input_faults_exit_2_with_one_line(inputs, tmp_path, capsys, files, extra, message):
    if "PNG" in message or "png" in str(files):
        pytest.importorskip("PIL")
    for key, (name, content) in files.items():
        inputs[key] = tmp_path / name
        write_input(inputs[key], content)
    out = tmp_path / "out"
    assert_one_line_error(main(run_args(inputs, out, *extra)), capsys.readouterr(), message, out)


@pytest.mark.parametrize("text, message", CONFIG_FAULTS)
def test_config_file_faults_name_the_key(inputs, tmp_path, capsys, text, message):
    inputs["config"].write_text(text + "\n")
    out = tmp_path / "out"
    code = main(run_args(inputs, out))
    assert_one_line_error(code, capsys.readouterr(), f"run.toml: configuration key {message}", out)


@pytest.mark.parametrize("start", ["steiner", "mst", "config"])
def test_start_and_time_limit(inputs, tmp_path, capsys, start):
    assert main(run_args(inputs, tmp_path / "out", "--start", start, "--generations", "100000",
                         "--time-limit", "0.5")) == 0
    assert "(stopped: time;" in capsys.readouterr().out


def test_config_file_may_repeat_the_problem(inputs, tmp_path):
    save_config({"special": {"grid_size": [16, 16], "fixed_nodes": PROBLEM.terminals}},
                inputs["config"])
    out = tmp_path / "out"
    assert main(run_args(inputs, out, "--generations", "0")) == 0
    assert load_config(out / "config.toml")["special"]["fixed_nodes"] == [
        list(t) for t in PROBLEM.terminals]


def test_settings_from_the_command_line(inputs, tmp_path):
    out = tmp_path / "out"
    assert main(run_args(inputs, out, "--generations", "1", "--set", "c3=2.5", "--set",
                         "special.graph_init=FCN", "--set", "target_species=none",
                         "--set", "grid_settings.move_node_mutation_sigma=1.5",
                         "--population-size", "7", "--selection-strategy", "SPEA2",
                         "--stall", "5", "--threads", "1")) == 0
    config = load_config(out / "config.toml")
    assert (config["special"]["c3"], config["special"]["graph_init"]) == (2.5, "FCN")
    assert config["special"]["move_node_mutation_sigma"] == 1.5
    assert (config["population_size"], config["selection_strategy"]) == (7, "SPEA2")
    assert config["target_species"] is None


def test_coordinates_are_row_column(tmp_path, capsys):
    """A 10 x 30 map: terminals given as (row, column) are nodes on exactly those cells."""
    cost, terminals = np.ones((10, 30)), [(2, 25), (8, 3), (0, 29)]
    np.savetxt(tmp_path / "map.txt", cost)  # white space, as np.savetxt writes by default
    (tmp_path / "t.csv").write_text("row,column\n" + "".join(f"{r},{c}\n" for r, c in terminals))
    out = tmp_path / "out"
    assert main(["run", "--cost-map", str(tmp_path / "map.txt"), "--terminals",
                 str(tmp_path / "t.csv"), "--generations", "1", "--out", str(out), "--quiet"]) == 0
    best = json.loads((out / "best.json").read_text())
    fixed = sorted(tuple(n["data"]["pos"]) for n in best["nodes"] if n["data"]["type"] == "Fixed")
    assert fixed == sorted(terminals)
    assert load_config(out / "config.toml")["special"]["grid_size"] == [10, 30]
    if has_matplotlib():
        from gridweave.plot import plot_network

        axes = plot_network(best, cost).axes[0]
        assert (axes.get_xlabel(), axes.get_ylabel()) == ("column", "row")
        assert axes.get_xlim()[1] > 25 > axes.get_ylim()[0]  # 30 columns across, 10 rows down


def test_outputs_carry_seed_cost_and_replace_stale_files(inputs, tmp_path, capsys):
    out = tmp_path / "out"
    out.mkdir()
    (out / "pareto.png").write_bytes(b"stale")
    inputs["config"].write_text("population_size = 8\n")
    seed = "18446744073709551616"  # 2**64, hashed down for the native generators
    assert main(run_args(inputs, out, "--generations", "1", "--seed", seed)) == 0
    summary = capsys.readouterr().out
    record = json.loads((out / "run.json").read_text())
    assert record["seed"] == int(seed) and f"seed {seed}" in summary
    assert record["best_cost"] > 0 and record["best_length"] > 0
    assert "(cost x cells)" in summary
    assert {"Steiner trees", "generations", "final polish"} <= set(record["phase_seconds"])
    assert record["cut_short"] == []
    assert not (out / "pareto.png").exists()
    rows = list(csv.DictReader((out / "history.csv").open()))
    assert float(rows[-1]["best_cost"]) == pytest.approx(record["best_cost"])


def test_demo_takes_a_config_and_version(tmp_path, capsys):
    config = tmp_path / "demo.toml"
    config.write_text("population_size = 6\n")
    assert main(["demo", "--config", str(config), "--generations", "0", "--quiet",
                 "--out", str(tmp_path / "out")]) == 0
    assert load_config(tmp_path / "out" / "config.toml")["population_size"] == 6
    capsys.readouterr()
    with pytest.raises(SystemExit) as stop:
        main(["--version"])
    assert stop.value.code == 0 and capsys.readouterr().out.startswith("gridweave ")


@pytest.mark.parametrize("argv", [["demo", "--generations", "-1"], ["run", "--cost-map", "x"],
                                  ["launch"], ["demo", "--start", "random"],
                                  ["demo", "--time-limit", "0"], ["demo", "--time-limit", "soon"],
                                  ["demo", "--seed", "-3"]])
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


def test_ctrl_c_exits_130(tmp_path):
    out = tmp_path / "demo"
    process = subprocess.Popen([sys.executable, "-m", "gridweave", "demo", "--generations",
                                "100000", "--time-limit", "60", "--out", str(out), "--quiet"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    time.sleep(6)
    process.send_signal(signal.SIGINT)
    stdout, stderr = process.communicate(timeout=120)
    assert process.returncode == 130, stderr
    assert "Traceback" not in stderr
    if (out / "run.json").exists():  # the signal came during the generation loop
        assert json.loads((out / "run.json").read_text())["stop_reason"] == "interrupted"


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
    code = ("import sys, gridweave, gridweave.cli, gridweave.formats, gridweave.exports, gridweave.checkpoint; "
            "print(sorted({'rasterio', 'shapely', 'networkx', 'matplotlib'} & set(sys.modules)))")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert done.stdout.strip() == "[]"


def refuse_to_run(*args, **kwargs):
    raise AssertionError("the run started")


@pytest.mark.parametrize("command", ["run", "resume"])
@pytest.mark.parametrize("target", ["a file", "below a file"])
def test_unwritable_output_is_refused_before_the_run(inputs, tmp_path, capsys, monkeypatch,
                                                      command, target):
    blocker = tmp_path / "taken"
    blocker.write_text("not a folder")
    out = blocker if target == "a file" else blocker / "sub"
    if command == "run":
        monkeypatch.setattr(cli, "evolve", refuse_to_run)
        code = main(run_args(inputs, out, "--generations", "2"))
    else:
        saved = tmp_path / "run.ckpt"
        assert main(run_args(inputs, tmp_path / "first", "--generations", "1",
                             "--checkpoint", str(saved))) == 0
        capsys.readouterr()
        monkeypatch.setattr(cli, "resume", refuse_to_run)
        code = main(["resume", str(saved), "--generations", "3", "--out", str(out), "--quiet"])
    captured = capsys.readouterr()
    assert code == 2 and captured.out == ""
    lines = captured.err.splitlines()
    assert len(lines) == 1 and lines[0].startswith(f"gridweave: error: cannot write results to {out}")
    assert blocker.read_text() == "not a folder"


def test_a_failed_write_leaves_the_earlier_outputs(inputs, tmp_path, capsys, monkeypatch):
    out = tmp_path / "out"
    assert main(run_args(inputs, out, "--generations", "1", "--seed", "1")) == 0
    earlier = {p.name: p.read_bytes() for p in out.iterdir()}
    assert {"best.json", "run.json", "front.json"} <= set(earlier)

    def disk_full(*args):
        raise OSError("No space left on device")

    monkeypatch.setattr(cli, "_write_figures", disk_full)
    code = main(run_args(inputs, out, "--generations", "2", "--seed", "2"))
    assert code == 2 and "cannot write results: No space left on device" in capsys.readouterr().err
    assert {p.name: p.read_bytes() for p in out.iterdir()} == earlier


@pytest.mark.parametrize("damage", ["settings", "cost"])
def test_resume_of_a_damaged_checkpoint_exits_2_with_one_line(inputs, tmp_path, capsys, damage):
    import pickle

    from gridweave import checkpoint

    saved = tmp_path / "run.ckpt"
    assert main(run_args(inputs, tmp_path / "first", "--generations", "1",
                         "--checkpoint", str(saved))) == 0
    capsys.readouterr()
    contents = checkpoint.load(saved)
    if damage == "settings":
        del contents["settings"]["elapsed"]
    else:
        contents["cost"] = ((4, 4), np.ones(16).tobytes())
    saved.write_bytes(pickle.dumps(contents))
    out = tmp_path / "second"
    code = main(["resume", str(saved), "--generations", "2", "--out", str(out), "--quiet"])
    captured = capsys.readouterr()
    assert code == 2 and captured.err.count(str(saved)) == 1
    assert_one_line_error(code, captured, "damaged gridweave checkpoint", out)
