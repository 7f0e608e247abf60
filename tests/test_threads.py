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


def shutil_which(name):
    import shutil

    return shutil.which(name)
