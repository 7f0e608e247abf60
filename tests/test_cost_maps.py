"""The cost-map boundary: what a NaN, nodata, masked or negative cell means, for
every entry alike, and how a map is read (in place or copied once)."""

import math
import re
import sys
from pathlib import Path

import numpy as np
import pytest

import gridweave as gw
from gridweave import routes
from gridweave.checks import checked_cost
from gridweave.config import make_config
from gridweave.driver import evolve
from gridweave.formats import load_cost_map
from gridweave.measure import cost_array, network_cost

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))
import report  # noqa: E402

TERMINALS = [(1, 1), (1, 10), (10, 6)]


def _map(blocked):
    cost = np.ones((12, 12))
    cost[5, 2:12] = blocked  # a wall with a gap at the left
    return cost


def _tree():
    cost = _map(np.inf)
    return routes.genome_from_structure(make_config(cost.shape, TERMINALS), routes.spanning_tree(cost, TERMINALS))


def _evaluated(cost):
    genome = _tree()
    gw.evaluate_genomes([genome], cost)
    return genome.fitness


ENTRIES = {
    "checked_cost": lambda c: checked_cost(c, c.shape).tolist(),
    "distances": lambda c: routes.least_cost_distances(c, [(0, 0)]).tolist(),
    "steiner": lambda c: routes.steiner_tree(c, TERMINALS)["cost"],
    "polish": lambda c: routes.polish([_tree()], c),
    "network_cost": lambda c: network_cost(_tree(), c),
    "evaluate": _evaluated,
}
REFUSING = {**ENTRIES, "evolve": lambda c: evolve(c, make_config(c.shape, TERMINALS), 1, progress=False)}


@pytest.mark.parametrize("entry", ENTRIES)
def test_every_entry_reads_nan_and_masked_cells_as_impassable(entry):
    call = ENTRIES[entry]
    walled = call(_map(np.inf))
    assert call(_map(np.nan)) == walled
    assert call(np.ma.masked_array(_map(7.0), mask=_map(7.0) == 7.0)) == walled


@pytest.mark.parametrize("entry", REFUSING)
@pytest.mark.parametrize("value", [-1.0, -np.inf])
def test_every_entry_refuses_a_negative_cost_naming_the_first_cell(entry, value):
    cost = _map(1.0)
    cost[7, 3] = cost[9, 9] = value
    with pytest.raises(ValueError, match=re.escape(f"negative costs (first at (row, column) (7, 3): {value!r}; "
                                                   "2 negative cells)")):
        REFUSING[entry](cost)


@pytest.mark.parametrize("layout, in_place", [
    (lambda c: c, True), (lambda c: c.astype(np.float32), True), (np.asfortranarray, False),
    (lambda c: np.repeat(c, 2, axis=1)[:, ::2], False), (lambda c: c.astype(np.int32), False),
])
def test_c_contiguous_floats_are_read_in_place_and_other_layouts_copied_once(layout, in_place):
    cost = layout(np.arange(12.0).reshape(3, 4))
    read = cost_array(cost)
    assert (read is cost) == in_place
    assert read.flags["C_CONTIGUOUS"] and read.tolist() == np.asarray(cost, dtype=np.float64).tolist()
    assert cost_array(read) is read  # a checked map passes again without a copy


def test_an_array_at_the_address_of_a_checked_one_is_checked_anew():
    for _ in range(20):  # freed arrays' memory comes back for the next one of the same size
        checked = cost_array(np.ones((64, 64)))
        del checked
        with pytest.raises(ValueError, match="negative costs"):
            cost_array(np.full((64, 64), -1.0))


def test_nodata_cells_are_impassable_and_the_caller_keeps_its_map(tmp_path):
    cost = np.array([[1.0, -9999.0], [np.nan, 2.0]])
    assert cost_array(cost, nodata=-9999).tolist() == [[1.0, math.inf], [math.inf, 2.0]]
    assert np.isnan(cost[1, 0]) and cost[0, 1] == -9999.0
    np.save(tmp_path / "map.npy", cost)
    with pytest.raises(ValueError, match=r"map\.npy: the cost map holds negative costs"):
        load_cost_map(tmp_path / "map.npy")


# What each rule looks like where it is applied: the rules may live in one file only.
RULES = {
    "NaN is impassable": r"isnan\(\s*[\w.]*(cost|cell)",
    "nodata is impassable": r"==\s*\*?nodata\b",
    "negative costs are refused": r"\bcost\w*\s*<\s*0",
}


@pytest.mark.parametrize("rule", RULES)
def test_the_cell_rules_live_in_one_place(rule):
    sources = [*(ROOT / "python" / "gridweave").glob("*.py"), *(ROOT / "src" / "python").glob("*.[ch]pp")]
    found = {p.relative_to(ROOT).as_posix() for p in sources if re.search(RULES[rule], p.read_text())}
    assert found == {"src/python/cost_maps.cpp"}


def test_a_benchmark_replaces_its_own_section(tmp_path):
    path = tmp_path / "benchmarks.md"
    report.replace_section(path, "a", "A", "python bench/a.py", ["| x |", "|---|", "| 1 |"])
    report.replace_section(path, "b", "B", "python bench/b.py", ["note", "| y |"])
    report.replace_section(path, "a", "A", "python bench/a.py --quick", ["| x |", "|---|", "| 2 |"])
    text = path.read_text()
    assert text.count("<!-- bench:a -->") == 1 and "| 2 |" in text and "| 1 |" not in text
    assert "--quick" in text and text.index("bench:a") < text.index("bench:b")
    assert "```\nnote\n```" in text
