"""Creating, evaluating and dropping populations keeps memory flat."""

import gc
import os
import resource
import sys

import numpy as np
import pytest

import gridweave as gw
from conftest import make_config


def resident_kb():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize() // 1024


def one_round(cost):
    pop = gw.Population(make_config(population_size=4))
    genome = pop.create_genome(pop.members[0].get_structure())
    gw.evaluate_genomes(pop.members + [genome], cost)
    elites, species_elites, children = gw.make_offspring(pop, 4)
    gw.select(pop, elites, species_elites, children)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer keeps freed memory in quarantine; its leak checker covers this run")
def test_resident_memory_stays_flat():
    cost = np.ones((32, 32))
    for _ in range(100):
        one_round(cost)
    gc.collect()
    warm = resident_kb()
    for _ in range(1000):
        one_round(cost)
    gc.collect()
    assert resident_kb() - warm < 8 * 1024


def test_no_instances_leak_at_exit():
    import subprocess

    code = (
        "import numpy as np, gridweave as gw, sys; sys.path.insert(0, 'tests');"
        "from conftest import make_config;"
        "pop = gw.Population(make_config(population_size=6));"
        "gw.evaluate_genomes(pop.members, np.ones((32, 32)));"
        "e, s, c = gw.make_offspring(pop, 6); gw.select(pop, e, s, c);"
        "[x.representative for x in pop.species]; [g.nodes for g in pop.members]"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert "leaked" not in result.stderr
