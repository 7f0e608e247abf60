import itertools
import json
import math
import os
import signal
import subprocess
import sys
import warnings

import numpy as np
import pytest

import gridweave as gw
from gridweave import evolve
from gridweave.config import make_config
from gridweave.history import GenerationRecord, history_from_csv
from gridweave.problems import (
    RIVER_COST,
    check_terminals,
    default_problem,
    load_cost_map,
    load_terminals,
    make_terrain,
)

PROBLEM = make_terrain((16, 16), n_terminals=3, seed=5)
GENERATIONS = 3


def tiny_config(**overrides):
    settings = {"population_size": 12, "target_species": 3, **overrides}
    return make_config(PROBLEM.grid_size, PROBLEM.terminals, **settings)


def raw_scores(genomes):
    """Fitness of the genomes by a fresh evaluation (restores what ranking overwrote)."""
    gw.evaluate_genomes(genomes, PROBLEM.cost_map)
    return [g.fitness for g in genomes]


# --- problems -------------------------------------------------------------------------------

@pytest.mark.parametrize("size, count, seed", [((16, 16), 3, 5), ((64, 64), 6, 2024),
                                               ((40, 25), 5, 1), ((12, 12), 2, 0)])
def test_terrain_is_seeded_and_terminals_sit_on_dry_land(size, count, seed):
    problem = make_terrain(size, n_terminals=count, seed=seed)
    again = make_terrain(size, n_terminals=count, seed=seed)
    assert np.array_equal(problem.cost_map, again.cost_map)
    assert problem.terminals == again.terminals
    assert problem.grid_size == size and len(problem.terminals) == count
    check_terminals(problem.terminals, size)
    assert all(problem.cost_map[t] < RIVER_COST for t in problem.terminals)
    ford_x, ford_y = problem.ford
    assert problem.cost_map[ford_x, ford_y] < RIVER_COST
    # the river runs along the whole y axis except at the ford
    ford_rows = 2 * max(1, size[1] // 32) + 1
    assert (problem.cost_map >= RIVER_COST).any(axis=0).sum() >= size[1] - ford_rows


def test_default_problem_and_seeds_differ():
    assert default_problem().grid_size == (64, 64)
    assert len(default_problem().terminals) == 6
    assert make_terrain(seed=1).terminals != make_terrain(seed=2).terminals


@pytest.mark.parametrize("size, count", [((10, 30), 3), ((20, 20), 0)])
def test_terrain_refuses_impossible_requests(size, count):
    with pytest.raises(ValueError):
        make_terrain(size, n_terminals=count)


def write_cost_map(path, cost):
    if path.suffix == ".npy":
        np.save(path, cost)
    elif path.suffix == ".csv":
        np.savetxt(path, cost, delimiter=",")
    else:
        pytest.importorskip("matplotlib.image").imsave(path, cost, cmap="gray", vmin=0, vmax=1)


@pytest.mark.parametrize("suffix", [".npy", ".csv", ".png"])
def test_cost_map_files_load_as_float64_grids(tmp_path, suffix):
    cost = np.linspace(0.0, 1.0, 12 * 7).reshape(12, 7)
    path = tmp_path / f"map{suffix}"
    write_cost_map(path, cost)
    loaded = load_cost_map(path, png_range=(0, 1))
    assert loaded.dtype == np.float64 and loaded.shape == (12, 7)
    assert loaded.flags.c_contiguous
    np.testing.assert_allclose(loaded, cost, atol=2 / 255 if suffix == ".png" else 0)


@pytest.mark.parametrize("bits", [8, 16])
@pytest.mark.parametrize("without_matplotlib", [False, True])
def test_grey_pngs_map_onto_the_cost_range(tmp_path, monkeypatch, bits, without_matplotlib):
    image = pytest.importorskip("PIL.Image")
    if without_matplotlib:
        monkeypatch.setitem(sys.modules, "matplotlib", None)
    top = 2**bits - 1
    levels = np.array([[0, top // 3, top]] * 2, dtype=np.uint8 if bits == 8 else np.uint16)
    path = tmp_path / "map.png"
    image.fromarray(levels).save(path)
    np.testing.assert_allclose(load_cost_map(path, png_range=(2, 5)), 2 + 3 * (levels / top))
    assert load_cost_map(path).min() == 1.0  # the default range makes no cell free


def test_transparent_pixels_and_nodata_are_impassable(tmp_path):
    image = pytest.importorskip("PIL.Image")
    grey_alpha = np.array([[[10, 255], [200, 0]]], dtype=np.uint8)
    image.fromarray(grey_alpha, mode="LA").save(tmp_path / "map.png")
    assert np.isposinf(load_cost_map(tmp_path / "map.png")).tolist() == [[False, True]]
    np.savetxt(tmp_path / "map.txt", [[1.0, -9999.0]])
    assert np.isposinf(load_cost_map(tmp_path / "map.txt", nodata=-9999)).tolist() == [[False, True]]


@pytest.mark.parametrize("name, content, message", [
    ("missing.npy", None, "no such file"),
    ("flat.npy", np.ones(5), "2-D"),
    ("minus-inf.npy", np.array([[1.0, -np.inf]]), "negative"),
    ("negative.csv", "1,-2\n3,4\n", "negative"),
    ("words.csv", "a,b\n", "numeric"),
    ("map.bmp", "x", ".npy, .csv, .txt or .png"),
])
def test_cost_map_errors(tmp_path, name, content, message):
    path = tmp_path / name
    if isinstance(content, str):
        path.write_text(content)
    elif content is not None:
        np.save(path, content)
    with pytest.raises((ValueError, FileNotFoundError), match=message):
        load_cost_map(path)


@pytest.mark.parametrize("name, text", [
    ("t.csv", "3,4\n10,2\n"),
    ("t.csv", "x, y\n3, 4\n\n10, 2\n"),
    ("t.json", "[[3, 4], [10, 2]]"),
    ("t.json", '{"terminals": [[3, 4.0], [10, 2]]}'),
])
def test_terminal_files(tmp_path, name, text):
    path = tmp_path / name
    path.write_text(text)
    assert load_terminals(path) == [(3, 4), (10, 2)]


@pytest.mark.parametrize("name, text, message", [
    ("t.csv", "3,4,5\n", "not a \\(row, column\\) pair"),
    ("t.csv", "3,4.5\n", "not on a grid cell"),
    ("t.json", '{"points": []}', "list of"),
    ("t.txt.gz", "", ".csv, .txt or .json"),
    ("t.csv", "3,4\n5,6\n3,4\n", "terminal 3 \\(3, 4\\) repeats terminal 1"),
])
def test_terminal_file_errors(tmp_path, name, text, message):
    path = tmp_path / name
    path.write_text(text)
    with pytest.raises(ValueError, match=message):
        load_terminals(path)


@pytest.mark.parametrize("terminals", [[], [(0, 0), (16, 3)], [(-1, 2)], [(3, 16)],
                                       [(1, 1), (1, 1)]])
def test_check_terminals_refuses(terminals):
    with pytest.raises(ValueError):
        check_terminals(terminals, (16, 16))


# --- evolve ---------------------------------------------------------------------------------

def check_result(result, config, generations):
    history = result.history
    assert [r.generation for r in history] == list(range(generations + 1))
    best = [r.best_so_far for r in history]
    assert best == sorted(best), "best-so-far must never decrease"
    assert all(r.best_so_far >= r.best_fitness for r in history)
    assert result.best_fitness == best[-1] > 0
    assert all(r.num_species >= 1 and r.seconds >= 0 for r in history)
    # the recorded best is what the best structure scores
    genome = result.population.create_genome(result.best_structure)
    assert raw_scores([genome]) == pytest.approx([result.best_fitness])
    fixed = sorted(tuple(n["data"]["pos"]) for n in result.best_structure["nodes"]
                   if n["data"]["type"] == "Fixed")
    assert fixed == sorted(PROBLEM.terminals)
    # the final members carry raw scores again
    members = result.population.members
    assert len(members) == config["population_size"]
    stored = [m.fitness for m in members]
    assert raw_scores(members) == pytest.approx(stored)
    assert max(stored) <= result.best_fitness


@pytest.mark.parametrize("mating, selection, evaluation", list(itertools.product(
    ["NEATSpeciation", "GlobalTournament"], ["NEAT", "NSGA2", "SPEA2"],
    ["SingleObjective", "MultiObjectiveBridge"])))
def test_evolve_every_strategy(mating, selection, evaluation):
    config = tiny_config(mating_strategy=mating, selection_strategy=selection,
                         evaluation_strategy=evaluation)
    result = evolve(PROBLEM.cost_map, config, GENERATIONS, progress=False)
    check_result(result, config, GENERATIONS)
    assert result.stop_reason == "generations" and not result.interrupted
    multi = evaluation == "MultiObjectiveBridge"
    assert (result.pareto_front is not None) == multi
    assert (result.best_objectives is not None) == multi
    if multi:
        assert result.best_objectives[0] == result.best_fitness
        assert all(len(v) == 2 for v in result.pareto_objectives())


@pytest.mark.parametrize("mating, selection, evaluation", [
    ("NEATSpeciation", "NSGA2", "SingleObjective"),
    ("GlobalTournament", "SPEA2", "MultiObjectiveBridge"),
    ("NEATSpeciation", "NEAT", "MultiObjectiveBridge"),
])
def test_evolve_with_diversity_objective(mating, selection, evaluation):
    config = tiny_config(mating_strategy=mating, selection_strategy=selection,
                         evaluation_strategy=evaluation, diversity_objective=True)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = evolve(PROBLEM.cost_map, config, GENERATIONS, progress=False)
    # NEAT selection ranks by fitness alone: the novelty score is skipped, with a warning
    neat = selection == "NEAT"
    assert any("no effect under NEAT" in str(w.message) for w in caught) == neat
    # a novelty score follows the evaluation objectives of every final member
    # (checked first: check_result evaluates the members again)
    width = (3 if evaluation == "MultiObjectiveBridge" else 2) - neat
    assert {len(m.objectives) for m in result.population.members} == {width}
    check_result(result, config, GENERATIONS)
    assert result.pareto_front


def test_stop_conditions_and_callbacks():
    seen = []

    def stop_at_two(record, population):
        seen.append((record.generation, len(population.members)))
        return record.generation == 2

    result = evolve(PROBLEM.cost_map, tiny_config(), 10, callbacks=[stop_at_two], progress=False)
    assert (result.stop_reason, result.generations) == ("callback", 2)
    assert seen == [(0, 12), (1, 12), (2, 12)]
    result = evolve(PROBLEM.cost_map, tiny_config(), 10, stop_at_fitness=0.0, progress=False)
    assert (result.stop_reason, result.generations) == ("fitness", 0)
    result = evolve(PROBLEM.cost_map, tiny_config(), 0, progress=False)
    assert (result.stop_reason, result.generations) == ("generations", 0)


def test_stall_stops_when_the_best_does_not_improve():
    # without mutation, crossover and polish nothing new can appear after generation 0
    frozen = {key: 0.0 for key in ["add_node_mutation_prob", "add_edge_mutation_prob",
                                   "remove_edge_mutation_prob", "remove_node_mutation_prob",
                                   "remove_node_single_mutation_prob", "move_node_mutation_prob"]}
    config = tiny_config(crossover_enabled=False, **frozen)
    result = evolve(PROBLEM.cost_map, config, 20, stall_generations=2, polish=False, progress=False)
    assert (result.stop_reason, result.generations) == ("stall", 2)


def test_ctrl_c_finishes_the_generation_and_returns():
    def press_ctrl_c(record, population):
        if record.generation == 1:
            signal.raise_signal(signal.SIGINT)

    result = evolve(PROBLEM.cost_map, tiny_config(), 5, callbacks=[press_ctrl_c], progress=False)
    assert result.interrupted and result.generations == 1
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler


def test_start_genome_from_a_structure():
    terminals = [{"id": i + 1, "data": {"pos": list(p), "type": "Fixed"}}
                 for i, p in enumerate(PROBLEM.terminals)]
    edges = [{"node1": 1, "node2": 2, "enabled": True}, {"node1": 2, "node2": 3, "enabled": True}]
    start = {"nodes": terminals, "edges": edges}
    result = evolve(PROBLEM.cost_map, tiny_config(), 1, start_genome=start, progress=False)
    assert result.history[0].best_fitness > 0  # the start path is connected


@pytest.mark.parametrize("cost, config, message", [
    (np.ones((16, 15)), tiny_config(), "does not match grid_size"),
    (np.ones(16), tiny_config(), "two-dimensional"),
    (np.ones((8, 8)), {**make_config((8, 8), [(1, 1)]), "c1": -5}, "'c1' = -5"),
])
def test_evolve_refuses_mismatched_inputs(cost, config, message):
    with pytest.raises(ValueError, match=message):
        evolve(cost, config, 1, progress=False)


def test_history_csv_round_trip(tmp_path):
    config = tiny_config(evaluation_strategy="MultiObjectiveBridge")
    result = evolve(PROBLEM.cost_map, config, 2, progress=False)
    path = tmp_path / "history.csv"
    result.history_to_csv(path)
    assert history_from_csv(path) == result.history
    header = path.read_text().splitlines()[0].split(",")
    assert header[:3] == ["generation", "best_fitness", "mean_fitness"]
    assert header[-2:] == ["objective_0", "objective_1"]


SEEDED_RUN = """
import json, sys
import gridweave as gw
from gridweave.config import make_config
from gridweave import evolve
from gridweave.problems import make_terrain
p = make_terrain((16, 16), n_terminals=3, seed=5)
config = make_config(p.grid_size, p.terminals, population_size=12,
                     selection_strategy=sys.argv[1], evaluation_strategy=sys.argv[2])
result = evolve(p.cost_map, config, 4, progress=False, seed=123)
print(json.dumps({"threads": gw._core._num_threads(), "structure": result.best_structure,
                  "history": [(r.best_fitness, r.mean_fitness, r.best_so_far, r.num_species)
                              for r in result.history]}))
"""


@pytest.mark.parametrize("selection, evaluation", [("NEAT", "SingleObjective"),
                                                   ("NSGA2", "MultiObjectiveBridge")])
def test_seeded_single_thread_runs_repeat_exactly(selection, evaluation):
    env = {**os.environ, "GRIDWEAVE_NUM_THREADS": "1"}
    runs = [subprocess.run([sys.executable, "-c", SEEDED_RUN, selection, evaluation],
                           env=env, capture_output=True, text=True, check=True)
            for _ in range(2)]
    first, second = (json.loads(run.stdout) for run in runs)
    assert first["threads"] == 1
    assert first == second


# --- plots ----------------------------------------------------------------------------------

@pytest.mark.parametrize("kind", ["network", "history", "pareto"])
def test_plots_are_written(tmp_path, kind):
    plot = pytest.importorskip("gridweave.plot")
    history = [GenerationRecord(g, 0.1 * g, 0.05, 0.1 * g, 2, 3.0, None, 0.0) for g in range(4)]
    structure = {"nodes": [{"id": 1, "data": {"pos": (1, 1), "type": "Fixed"}},
                           {"id": 2, "data": {"pos": (9, 4), "type": "Flexible"}}],
                 "edges": [{"id": 1, "node1": 1, "node2": 2, "enabled": True},
                           {"id": 2, "node1": 2, "node2": 7, "enabled": True}]}
    path = tmp_path / f"{kind}.png"
    if kind == "network":
        plot.plot_network(structure, PROBLEM.cost_map, path)
    elif kind == "history":
        plot.plot_history(history, path)
    else:
        plot.plot_pareto([(1.0, 0.0), (0.5, 1.0)], path, population=[(0.2, 0.3), (0.1, 0.1)])
    assert path.read_bytes()[:4] == b"\x89PNG"


# --- honest inputs, units and the API -------------------------------------------------------

def line_config(**overrides):
    """Terminals at the two ends of a straight 64-cell line on a 16 x 64 map."""
    return make_config((16, 64), [(5, 0), (5, 63)], population_size=6, **overrides)


def test_cost_and_length_are_reported_in_map_units():
    result = evolve(np.ones((16, 64)), line_config(), 1, progress=False, seed=1)
    # 64 line cells of cost 1 plus the two node cells; 63 cells from end to end
    assert (result.best_cost, result.best_length) == pytest.approx((66.0, 63.0))
    assert result.best_cost == pytest.approx((16 + 64) / result.best_fitness)
    assert (result.history[-1].best_cost, result.history[-1].best_length) == pytest.approx(
        (66.0, 63.0))
    text = repr(result)
    assert "best_cost=66" in text and "\n" not in text and len(text) < 200


@pytest.mark.parametrize("wall_rows, avoidable", [(slice(0, 12), True), (slice(None), False)])
def test_nan_cells_are_impassable(wall_rows, avoidable):
    cost = np.ones((16, 64))
    cost[wall_rows, 30] = np.nan
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = evolve(cost, line_config(), 2, progress=False, seed=2)
    assert math.isfinite(result.best_cost) == avoidable
    warned = any("avoids the impassable" in str(w.message) for w in caught)
    assert warned == (not avoidable)


@pytest.mark.parametrize("value", [-1.0, -np.inf])
def test_negative_costs_are_refused(value):
    with pytest.raises(ValueError, match="negative costs"):
        evolve(np.full((16, 64), value), line_config(), 1, progress=False)


@pytest.mark.parametrize("cells", [[(5, 0)], [(5, 0), (5, 62)], [(5, 0), (5, 63), (9, 9)]])
def test_start_genome_must_hold_every_terminal(cells):
    nodes = [{"id": i + 1, "data": {"pos": list(c), "type": "Fixed"}} for i, c in enumerate(cells)]
    edges = [{"node1": i, "node2": i + 1, "enabled": True} for i in range(1, len(cells))]
    with pytest.raises(ValueError, match="must hold every terminal"):
        evolve(np.ones((16, 64)), line_config(), 1, start_genome={"nodes": nodes, "edges": edges},
               progress=False)


@pytest.mark.parametrize("seed, error", [(-3, ValueError), ("7", ValueError), (1.5, ValueError),
                                         (2**64 + 5, None), (2**200, None)])
def test_seeds(seed, error):
    if error:
        with pytest.raises(error, match="seed must be a non-negative integer"):
            evolve(np.ones((16, 64)), line_config(), 0, progress=False, seed=seed)
    else:
        assert evolve(np.ones((16, 64)), line_config(), 0, progress=False, seed=seed).seed == seed


def test_a_raising_callback_stops_the_run_and_carries_the_result():
    def fail_at_two(record, population):
        if record.generation == 2:
            raise RuntimeError("callback failed")

    with pytest.raises(RuntimeError, match="callback failed") as caught:
        evolve(PROBLEM.cost_map, tiny_config(), 5, callbacks=[fail_at_two], progress=False)
    result = caught.value.result
    assert (result.stop_reason, result.generations) == ("callback error", 2)
    assert result.best_fitness > 0

