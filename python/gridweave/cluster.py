"""The Dask side of the island model: a local cluster made for islands, the
client a run uses, and where the current code runs."""

from __future__ import annotations

import contextlib
import logging
import os
from collections.abc import Iterator
from typing import Any

__all__ = ["local_cluster", "connected", "available_cpus", "worker_address", "THREADS_VARIABLE"]

# Engine threads per island; the worker processes read it before importing gridweave.
THREADS_VARIABLE = "GRIDWEAVE_NUM_THREADS"
PROFILER_SETTING = "distributed.worker.profile.enabled"


def available_cpus() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def local_cluster(workers: int) -> Any:
    """A ``LocalCluster`` of ``workers`` processes made for islands: one Dask
    thread and one engine thread each, without the dashboard and without Dask's
    sampling profiler (its every-10-ms stack walks take the interpreter lock
    and made generations several times slower)."""
    import dask
    from distributed import LocalCluster

    with dask.config.set({PROFILER_SETTING: False}):
        return LocalCluster(
            n_workers=workers,
            threads_per_worker=1,
            processes=True,
            dashboard_address=":0",
            silence_logs=logging.ERROR,
            env={THREADS_VARIABLE: "1"},
        )


@contextlib.contextmanager
def connected(client: Any, workers: int) -> Iterator[Any]:
    """A ``distributed.Client``: ``client`` itself, one connected to the
    scheduler address ``client``, or (``client=None``) one of a local cluster
    of ``workers`` processes; what is opened here is closed at the end."""
    try:
        from distributed import Client
    except ImportError as error:
        raise ImportError("evolve_islands needs dask distributed: pip install gridweave[distributed]") from error
    with contextlib.ExitStack() as opened:
        if client is None:
            client = opened.enter_context(Client(opened.enter_context(local_cluster(workers))))
        elif isinstance(client, str):
            client = opened.enter_context(Client(client))
        yield client


def worker_address() -> str:
    """The address of the Dask worker running the caller ("local" outside one)."""
    try:
        from distributed import get_worker

        return str(get_worker().address)
    except (ImportError, ValueError):
        return "local"
