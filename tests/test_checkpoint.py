"""Checkpoints of evolve(): resumed runs equal uninterrupted ones, a killed run resumes."""

import json
import math
import os
import pickle
import re
import signal
import stat
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from gridweave import _core, checkpoint, evolve
from gridweave.config import make_config
from gridweave.problems import make_terrain

# Runs one evolution in a fresh process and prints a summary of its result.
# Modes: "full" (no stop), "stop" (a callback ends the run after generation 3),
# "kill" (SIGKILL after generation 5), "resume".
SCRIPT = textwrap.dedent(
    """
    import json, os, signal, sys
    import gridweave
    from gridweave.config import make_config
    from gridweave import evolve
    from gridweave.problems import make_terrain

    mode, path, settings = sys.argv[1], sys.argv[2], json.loads(sys.argv[3])
    p = make_terrain((20, 20), 4, seed=3)
    config = make_config(p.grid_size, p.terminals, population_size=14, **settings)

    def stop_after_3(record, population):
        return record.generation == 3

    def kill_after_5(record, population):
        if record.generation == 5:
            os.kill(os.getpid(), signal.SIGKILL)

    callbacks = {"stop": [stop_after_3], "kill": [kill_after_5]}.get(mode, [])
    if mode == "resume":
        result = gridweave.resume(path, progress=False)
    else:
        result = evolve(p.cost_map, config, 8, progress=False, seed=11, checkpoint=path,
                        checkpoint_every=2, callbacks=callbacks, polish_children=1)
    members = [sorted(map(str, g.get_structure()["edges"])) + [g.fitness, g.objectives]
               for g in result.population.members]
    print(json.dumps({
        "best": [result.best_fitness, result.best_structure, result.best_objectives],
        "history": [[r.generation, r.best_fitness, r.mean_fitness, r.best_so_far, r.num_species,
                     r.species_threshold] for r in result.history],
        "members": members,
        "front": sorted(result.pareto_objectives()),
        "stop": result.stop_reason,
    }))
    """
)

SETTINGS = {
    "neat": {},
    "nsga2-bridge": {"selection_strategy": "NSGA2", "evaluation_strategy": "MultiObjectiveBridge"},
    "spea2-novelty": {"selection_strategy": "SPEA2", "diversity_objective": True},
}


def run_script(mode, path, settings, check=True, threads="1"):
    env = dict(os.environ, GRIDWEAVE_NUM_THREADS=threads)
    done = subprocess.run(
        [sys.executable, "-c", SCRIPT, mode, str(path), json.dumps(settings)],
        capture_output=True, text=True, env=env, timeout=300,
    )
    if check:
        assert done.returncode == 0, done.stderr
    return done


@pytest.mark.parametrize("name", SETTINGS)
@pytest.mark.parametrize("stop, threads", [("stop", "1"), ("kill", "1"), ("stop", "2")])
def test_resumed_run_equals_uninterrupted_run(tmp_path, name, stop, threads):
    settings = SETTINGS[name]
    full = json.loads(run_script("full", tmp_path / "full.ckpt", settings, threads=threads).stdout)
    path = tmp_path / "run.ckpt"
    stopped = run_script(stop, path, settings, check=False, threads=threads)
    if stop == "kill":
        assert stopped.returncode == -signal.SIGKILL
        # The last checkpoint is the one after generation 4, written whole.
        assert checkpoint.load(path)["history"][-1][0] == 4
        assert not [p for p in os.listdir(tmp_path) if p.endswith(".tmp")]
    else:
        assert json.loads(stopped.stdout)["stop"] == "callback"
    resumed = json.loads(run_script("resume", path, settings, threads=threads).stdout)
    assert resumed == full


@pytest.fixture(scope="module")
def saved(tmp_path_factory):
    p = make_terrain((16, 16), 3, seed=0)
    path = tmp_path_factory.mktemp("ckpt") / "run.ckpt"
    config = make_config(p.grid_size, p.terminals, population_size=8)
    evolve(p.cost_map, config, 3, progress=False, seed=2, checkpoint=path, checkpoint_every=2)
    return path


def test_failed_write_keeps_the_previous_checkpoint(saved, monkeypatch):
    before = saved.read_bytes()

    def refuse(*args):
        raise OSError("disk full")

    monkeypatch.setattr(os, "replace", refuse)
    with pytest.raises(OSError, match="disk full"):
        checkpoint._write_atomically(saved, b"new")
    assert saved.read_bytes() == before
    assert not [p for p in os.listdir(saved.parent) if p.endswith(".tmp")]


@pytest.mark.parametrize(
    "contents, message",
    [
        (b"garbage", "not a gridweave checkpoint"),
        (pickle.dumps({"kind": "gridweave checkpoint", "format": 99}), "format 99"),
        (pickle.dumps(os.system), "not a gridweave checkpoint"),  # names a function: never called
    ],
)
def test_foreign_files_are_refused(tmp_path, contents, message):
    path = tmp_path / "x.ckpt"
    path.write_bytes(contents)
    with pytest.raises(ValueError, match=message):
        checkpoint.resume(path)


def test_resume_extends_a_finished_run(saved):
    result = checkpoint.resume(saved, generations=5, progress=False)
    assert [r.generation for r in result.history] == list(range(6))
    assert checkpoint.load(saved)["settings"]["generations"] == 5
    with pytest.raises(ValueError, match="below the 5 generations"):
        checkpoint.resume(saved, generations=2)


def edited_copy(saved, folder, edit):
    """A copy of the checkpoint `saved` in `folder`, its contents changed by `edit`."""
    contents = checkpoint.load(saved)
    edit(contents)
    path = folder / "edited.ckpt"
    path.write_bytes(pickle.dumps(contents))
    return path


def set_cost(contents, cost):
    contents["cost"] = (cost.shape, np.ascontiguousarray(cost, dtype=np.float64).tobytes())


def saved_cost(contents):
    shape, data = contents["cost"]
    return np.frombuffer(data, dtype=np.float64).reshape(shape).copy()


def with_cell(value):
    def edit(contents):
        cost = saved_cost(contents)
        cost[5, 7] = value
        set_cost(contents, cost)
    return edit


def with_edge_to_nowhere(contents):
    population, extras = _core._load_run(contents["state"])
    genome = population.members[0]
    edge_id, edge = next(iter(genome.edges.items()))
    old = struct.pack("<QQQ?", edge_id, edge.node1, edge.node2, edge.enabled)
    new = struct.pack("<QQQ?", edge_id, edge.node1, 2**40, edge.enabled)
    contents["state"] = contents["state"].replace(old, new)


def without(section, key):
    def edit(contents):
        del (contents[section] if section else contents)[key]
    return edit


@pytest.mark.parametrize("edit, message", [
    (lambda c: set_cost(c, saved_cost(c)[:8, :12]), r"cost map shape .* does not match grid_size"),
    (lambda c: set_cost(c, saved_cost(c).ravel()), "must be two-dimensional"),
    (with_cell(-1.0), "negative costs"),
    (lambda c: c.update(cost=((16, 16), b"\0" * 8)), "cannot reshape"),
    (with_edge_to_nowhere, "names node 1099511627776, which its genome lacks"),
    (without("settings", "stall_generations"), re.escape("KeyError('stall_generations')")),
    (without("settings", "elapsed"), re.escape("KeyError('elapsed')")),
    (without("settings", "seed"), re.escape("KeyError('seed')")),
    (lambda c: c["settings"].update(checkpoint_every=0), "checkpoint_every is 0"),
    (lambda c: c["settings"].update(seed=-4), "seed must be a non-negative integer"),
    (lambda c: c.update(history=[]), "IndexError"),
    (lambda c: c["config"].update(population_size=-3), "population_size"),
])
def test_damaged_checkpoints_are_refused_before_the_run(saved, tmp_path, edit, message):
    path = edited_copy(saved, tmp_path, edit)
    before = path.read_bytes()
    with pytest.raises(ValueError, match="damaged gridweave checkpoint") as refusal:
        checkpoint.resume(path, progress=False)
    assert re.search(message, str(refusal.value)), refusal.value
    assert path.read_bytes() == before


def test_resume_makes_nan_cells_impassable(saved, tmp_path):
    path = edited_copy(saved, tmp_path, with_cell(math.nan))
    checkpoint.resume(path, generations=checkpoint.load(path)["history"][-1][0] + 1,
                      progress=False)
    cost = saved_cost(checkpoint.load(path))
    assert cost[5, 7] == math.inf and not np.isnan(cost).any()


def test_a_rewritten_checkpoint_keeps_its_permissions(saved, tmp_path):
    path = tmp_path / "shared.ckpt"
    path.write_bytes(saved.read_bytes())
    path.chmod(0o640)
    done = checkpoint.load(path)["history"][-1][0]
    checkpoint.resume(path, generations=done + 1, progress=False)
    assert stat.S_IMODE(path.stat().st_mode) == 0o640
    assert checkpoint.load(path)["history"][-1][0] == done + 1


def test_the_folder_is_synced_after_the_rename(tmp_path, monkeypatch):
    events = []
    fsync, replace = os.fsync, os.replace
    monkeypatch.setattr(os, "replace", lambda *a: (events.append("replace"), replace(*a))[1])

    def recording_fsync(handle):
        events.append("folder" if stat.S_ISDIR(os.fstat(handle).st_mode) else "file")
        fsync(handle)

    monkeypatch.setattr(os, "fsync", recording_fsync)
    checkpoint._write_atomically(tmp_path / "run.ckpt", b"contents")
    assert events == ["file", "replace", "folder"]
    assert (tmp_path / "run.ckpt").read_bytes() == b"contents"
