import os
import subprocess
import sys

import pytest

import gridweave


def _pool_size(env=None, prefix=()):
    code = "import gridweave; print(gridweave._core._num_threads())"
    out = subprocess.run([*prefix, sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    return int(out.stdout)


def test_internal_error_is_not_an_exception():
    assert issubclass(gridweave.InternalError, BaseException)
    assert not issubclass(gridweave.InternalError, Exception)
    assert gridweave.InternalError.__bases__ == (BaseException,)


@pytest.mark.parametrize("value, expected", [("3", 3), ("1", 1)])
def test_pool_size_follows_environment(value, expected):
    env = dict(os.environ, GRIDWEAVE_NUM_THREADS=value)
    assert _pool_size(env) == expected


def test_pool_size_follows_affinity_mask():
    if not shutil_which("taskset"):
        pytest.skip("taskset not available")
    env = {k: v for k, v in os.environ.items() if k != "GRIDWEAVE_NUM_THREADS"}
    assert _pool_size(env, prefix=("taskset", "-c", "0")) == 1


_BREED = """
import sys
import gridweave as gw
from gridweave.config import make_config
gw._core._seed(11)
config = make_config((32, 32), [(2, 2), (29, 3), (15, 28)], population_size=30, mating_strategy=sys.argv[1])
pop = gw.Population(config)
for i, member in enumerate(pop.members):
    member.fitness = float(len(member.edges) + i % 3)
print([child.get_structure() for child in gw.make_offspring(pop, 60)[2]])
"""


@pytest.mark.parametrize("strategy", ["NEATSpeciation", "GlobalTournament"])
def test_seeded_offspring_do_not_depend_on_the_thread_count(strategy):
    children = []
    for threads in ("1", "2"):
        env = dict(os.environ, GRIDWEAVE_NUM_THREADS=threads)
        run = subprocess.run([sys.executable, "-c", _BREED, strategy], env=env, capture_output=True, text=True,
                             check=True)
        children.append(run.stdout)
    assert children[0] == children[1] and "edges" in children[0]


def shutil_which(name):
    import shutil

    return shutil.which(name)
