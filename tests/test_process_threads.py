"""Forks, worker-pool limits, waiting threads and Ctrl-C never hang or crash
the process. Every probe runs in its own interpreter."""

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

PRELOADED = os.environ.get("LD_PRELOAD", "")


def run_isolated(code, env=None, timeout=120, limit_memory=False):
    """Runs `code` (with gw, np and make_config imported) in its own interpreter,
    optionally under an address-space limit that admits only some threads."""
    prelude = "import gridweave as gw\nimport numpy as np\nfrom conftest import make_config\n"
    if limit_memory:
        prelude = "import resource\nresource.setrlimit(resource.RLIMIT_AS, (2**30, 2**30))\n" + prelude
    env = {**os.environ, "PYTHONPATH": str(Path(__file__).parent), **(env or {})}
    return subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout, env=env)


def assert_prints(result, expected):
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == expected, result.stdout + result.stderr


@pytest.mark.skipif("tsan" in PRELOADED, reason="the thread sanitizer does not follow multi-threaded forks")
@pytest.mark.parametrize("how", ["os.fork", "multiprocessing"])
def test_forked_child_gets_a_working_pool(how):
    result = run_isolated(f"""
        import multiprocessing, os
        pop = gw.Population(make_config(population_size=40))
        for _ in range(3):
            gw.evaluate_genomes(pop.members, np.ones((32, 32)))
            gw.select(pop, *gw.make_offspring(pop, 40))

        def child_work(_=None):
            gw.evaluate_genomes(pop.members, np.ones((32, 32)))
            gw.mutate_genomes(pop.members, pop)
            return len(pop.members)

        if "{how}" == "os.fork":
            pid = os.fork()
            if pid == 0:
                os._exit(0 if child_work() == 40 else 1)
            print(os.waitpid(pid, 0)[1])
        else:
            with multiprocessing.get_context("fork").Pool(2) as workers:
                print(sum(workers.map(child_work, range(4))))
    """, timeout=60)
    assert_prints(result, ["0"] if how == "os.fork" else ["160"])


@pytest.mark.skipif(bool(PRELOADED), reason="sanitizer runtimes reserve more address space than the limit")
def test_pool_falls_back_when_threads_cannot_start():
    result = run_isolated("""
        print(gw._core._num_threads() >= 1)
        pop = gw.Population(make_config(population_size=20))
        gw.evaluate_genomes(pop.members, np.ones((32, 32)))
        print(all(g.fitness > 0 for g in pop.members))
    """, env={"GRIDWEAVE_NUM_THREADS": "100000", "PYTHONWARNINGS": "always"}, limit_memory=True)
    assert_prints(result, ["True", "True"])
    assert "GRIDWEAVE_NUM_THREADS" in result.stderr


def test_waiting_for_a_busy_population_lets_other_threads_run():
    result = run_isolated("""
        import threading, time
        pop = gw.Population(make_config(population_size=50, mating_strategy="GlobalTournament",
                                        tournament_size=2**20))
        busy = threading.Thread(target=gw.make_offspring, args=(pop, 50))
        ticks, stop = [], threading.Event()

        def ticker():
            while not stop.is_set():
                ticks.append(1)
                time.sleep(0.01)

        busy.start()
        time.sleep(0.2)
        threading.Thread(target=ticker).start()
        start = time.monotonic()
        len(pop.members)  # waits for make_offspring
        waited = time.monotonic() - start
        stop.set()
        busy.join()
        print(waited > 0.3 and len(ticks) > waited / 0.01 / 4)
    """)
    assert_prints(result, ["True"])


def test_finalizers_during_conversions_do_not_deadlock():
    result = run_isolated("""
        import gc, threading
        pop = gw.Population(make_config(population_size=30))
        gc.set_threshold(5, 1, 1)

        class Cycle:
            def __init__(self):
                self.me = self
            def __del__(self):
                pop.create_genome({"nodes": [], "edges": []})

        def stats():
            for _ in range(300):
                [Cycle() for _ in range(3)]
                pop.get_stats(), pop.species, pop.members

        def writer():
            for _ in range(300):
                pop.create_genome({"nodes": [], "edges": []})
                gw.mutate_genomes(pop.members[:5], pop)

        threads = [threading.Thread(target=f) for f in (stats, writer, stats)]
        for t in threads: t.start()
        for t in threads: t.join()
        print("done")
    """, timeout=90)
    assert_prints(result, ["done"])


@pytest.mark.parametrize("reader", ["gw.evaluate_genomes([g], cost)", "routes.polish([g], cost)"])
def test_a_redundancy_chain_never_waits_for_the_pool_holding_its_genome(reader):
    # With one worker, a chain that kept its genome's read lock while waiting for
    # the pool would wait forever on pool work that needs the genome's write lock.
    result = run_isolated(f"""
        import threading
        from gridweave import routes
        from gridweave.config import make_config as full_config
        cost = np.ones((40, 40))
        terminals = [(1, 1), (38, 2), (20, 37), (5, 30)]
        g = routes.genome_from_structure(full_config((40, 40), terminals),
                                         routes.spanning_tree(cost, terminals))
        def reading():
            for _ in range(200):
                {reader}
        def chaining():
            for _ in range(200):
                gw.redundancy_chain(g, cost, 1)
        threads = [threading.Thread(target=f) for f in (reading, chaining)]
        for t in threads: t.start()
        for t in threads: t.join()
        print("done")
    """, env={"GRIDWEAVE_NUM_THREADS": "1"}, timeout=120)
    assert_prints(result, ["done"])


LONG_CALLS = {
    "make_offspring": """
        pop = gw.Population(make_config(population_size=20, mating_strategy="GlobalTournament",
                                        tournament_size=2**24))
        call = lambda: gw.make_offspring(pop, 10**6)
        after = lambda: pop.members""",
    "constructor": """
        call = lambda: gw.Population(make_config(population_size=2**24))
        after = lambda: None""",
    "least-cost search": """
        import numpy as np
        call = lambda: [gw.least_cost_distances(np.ones((3000, 3000)), [(0, 0)]) for _ in range(100)]
        after = lambda: None""",
    "spanning tree": """
        import numpy as np
        from gridweave import routes
        cells = [(r, c) for r in range(0, 1000, 10) for c in range(0, 1000, 20)]
        call = lambda: [routes.spanning_tree(np.ones((1000, 1000)), cells) for _ in range(100)]
        after = lambda: None""",
    "grown Steiner tree": """
        from gridweave import routes
        rng = np.random.default_rng(2)
        cost = 1.0 + rng.random((2000, 2000))
        cells = [divmod(int(v), 2000) for v in rng.choice(2000 * 2000, 2000, replace=False)]
        call = lambda: [routes.steiner_tree(cost, cells, method="grow", roots=2) for _ in range(100)]
        after = lambda: None""",
    "routed redundancy chain": """
        from gridweave import routes
        from gridweave.config import make_config as full_config
        rng = np.random.default_rng(3)
        cost = 1.0 + rng.random((2000, 2000))
        cells = [divmod(int(v), 2000) for v in rng.choice(2000 * 2000, 500, replace=False)]
        tree = routes.genome_from_structure(full_config(cost.shape, cells), routes.spanning_tree(cost, cells))
        call = lambda: [gw.redundancy_chain(tree, cost, routed=True) for _ in range(100)]
        after = lambda: tree.nodes""",
    "key-path exchange": """
        import numpy as np
        from gridweave import routes
        from gridweave.config import make_config as full_config
        # A random map rather than a generated terrain: no BLAS threads in this probe.
        rng = np.random.default_rng(1)
        cost = 1.0 + rng.random((1500, 1500))
        terminals = [tuple(int(v) for v in cell) for cell in rng.choice(1500, (60, 2), replace=False)]
        cfg = full_config(cost.shape, terminals)
        trees = [routes.spanning_tree(cost, terminals)] * 50
        genomes = lambda: [routes.genome_from_structure(cfg, t) for t in trees]
        call = lambda: [routes.polish(genomes(), cost, exchange=True) for _ in range(100)]
        after = lambda: None""",
}


@pytest.mark.parametrize("setup", LONG_CALLS.values(), ids=LONG_CALLS.keys())
def test_ctrl_c_ends_long_native_work(setup):
    result = run_isolated(textwrap.dedent(setup) + textwrap.dedent("""
        import os, signal, threading, time
        threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
        start = time.monotonic()
        try:
            call()
        except KeyboardInterrupt:
            print("interrupted", time.monotonic() - start < 5)
        try:
            after()
            print("usable")
        except gw.InternalError as error:
            print("broken" if "broken" in str(error) else error)
    """))
    assert result.returncode == 0, result.stderr
    assert result.stdout.split()[:2] == ["interrupted", "True"], result.stdout
    assert result.stdout.split()[2] in ("usable", "broken")
