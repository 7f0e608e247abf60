import os
import signal
import threading

import pytest

import gridweave
from gridweave import checkpoint
from gridweave.config import make_config as full_config
from gridweave.island_coordinator import route
from gridweave.problems import make_terrain

distributed = pytest.importorskip("distributed")
islands = pytest.importorskip("gridweave.islands")

PROBLEM = make_terrain((40, 40), 5, seed=3)


@pytest.fixture(scope="module")
def client():
    """A real cluster of two worker processes, one engine thread each."""
    with islands.local_cluster(2) as cluster, distributed.Client(cluster) as client:
        yield client


def config(**changes):
    return full_config(PROBLEM.grid_size, PROBLEM.terminals, **{"population_size": 16, **changes})


@pytest.mark.parametrize("changes", [
    {},
    {"selection_strategy": "NSGA2", "evaluation_strategy": "MultiObjectiveBridge"},
])
def test_short_run_returns_the_best_of_all_islands(client, changes):
    res = islands.evolve_islands(PROBLEM.cost_map, config(**changes), 4, islands=2,
                                 migration_every=2, migrants=2, client=client)
    assert res.best_fitness == max(r.best_fitness for r in res.islands)
    assert res.islands[res.best_island].best_fitness == res.best_fitness
    gridweave.evaluate_genomes([res.best_genome], PROBLEM.cost_map)
    assert res.best_genome.fitness == pytest.approx(res.best_fitness)
    assert [[h.generation for h in r.history] for r in res.islands] == [list(range(5))] * 2
    assert all(r.engine_threads == 1 and r.migrants_received == 2 for r in res.islands)
    assert res.stop_reason == "generations" and not res.restarts
    if "evaluation_strategy" in changes:
        points = res.pareto_objectives()
        assert points and all(
            not (a[0] >= b[0] and a[1] >= b[1] and a != b) for a in points for b in points
        )


def check_registry(structures):
    """Every node pair has one number, every number one pair, every edge its nodes."""
    pair_of, number_of = {}, {}
    for structure in structures:
        nodes = {n["id"] for n in structure["nodes"]}
        for e in structure["edges"]:
            assert {e["node1"], e["node2"]} <= nodes
            pair = (min(e["node1"], e["node2"]), max(e["node1"], e["node2"]))
            assert pair_of.setdefault(e["id"], pair) == pair
            assert number_of.setdefault(pair, e["id"]) == e["id"]


@pytest.mark.parametrize("topology, numbering", [("ring", "fresh"), ("complete", "position")])
def test_registry_stays_consistent_over_many_migrations(client, topology, numbering):
    res = islands.evolve_islands(PROBLEM.cost_map, config(), 12, islands=3, migration_every=1,
                                 migrants=4, topology=topology, numbering=numbering, client=client)
    for report in res.islands:
        assert report.migrants_received == 4 * 11  # no migration after the last block
        check_registry([m.structure for m in report.members])
        fixed = {tuple(n["data"]["pos"]): n["id"] for m in report.members
                 for n in m.structure["nodes"] if n["data"]["type"] == "Fixed"}
        assert sorted(fixed) == sorted(map(tuple, PROBLEM.terminals))
        per_position = [[n["id"] for n in m.structure["nodes"] if n["data"]["type"] == "Fixed"]
                        for m in report.members]
        assert all(sorted(ids) == sorted(fixed.values()) for ids in per_position)


def test_a_killed_worker_loses_at_most_one_block(client):
    victim = sorted(client.scheduler_info()["workers"])[0]  # island 0 lives there
    pid = client.run(os.getpid)[victim]
    timer = threading.Timer(3.0, os.kill, (pid, signal.SIGKILL))
    timer.start()
    try:
        res = islands.evolve_islands(PROBLEM.cost_map, config(), 10**6, islands=2,
                                     migration_every=3, client=client, time_limit=12)
    finally:
        timer.cancel()
    assert res.restarts and res.stop_reason == "time"
    assert all(r.generations_lost <= 3 for r in res.restarts)
    lost = res.islands[res.restarts[0].island]
    assert lost.restarts >= 1
    assert [h.generation for h in lost.history] == list(range(len(lost.history)))
    assert res.best_fitness == max(r.best_fitness for r in res.islands) > 0


@pytest.mark.parametrize("argument, value", [
    ("islands", 0), ("migration_every", 0), ("migrants", -1), ("topology", "star"),
    ("numbering", "global"), ("workers", 0), ("seed", -1), ("seed", 2.5),
    ("polish_children", -1), ("archive_size", 1), ("start", "best"),  # the checks evolve makes
])
def test_bad_arguments_are_refused_before_a_cluster_starts(argument, value):
    with pytest.raises(ValueError, match=argument):
        islands.evolve_islands(PROBLEM.cost_map, config(), 2, **{argument: value})


def test_renumbered_migrants_share_fresh_numbers_within_a_batch():
    population = gridweave.Population(config(population_size=4))
    fixed = {tuple(n.data.pos): i for i, n in population.members[0].nodes.items() if n.data.type_ == "Fixed"}
    structure = {"nodes": [{"id": 1000, "data": {"pos": (5, 5), "type": "Flexible"}},
                           *[{"id": 2000 + k, "data": {"pos": p, "type": "Fixed"}}
                             for k, p in enumerate(fixed)]],
                 "edges": [{"id": 77, "node1": 1000, "node2": 2000, "enabled": True}]}
    fresh = {}
    first = population.create_genome(islands.renumber(structure, fixed, fresh, population.new_node_id))
    second = population.create_genome(islands.renumber(structure, fixed, fresh, population.new_node_id))
    assert first.edges.keys() == second.edges.keys()
    (edge,) = first.edges.values()
    assert edge.node2 == fixed[next(iter(fixed))] and edge.node1 == fresh[1000]
    assert population.get_edge_id(edge.node1, edge.node2) == edge.id


def test_position_numbering_never_merges_two_nodes_of_a_migrant():
    draws = iter(range(500, 600))
    structure = {"nodes": [{"id": 1, "data": {"pos": (3, 3), "type": "Flexible"}},
                           {"id": 2, "data": {"pos": (9, 9), "type": "Flexible"}}],
                 "edges": [{"id": 4, "node1": 1, "node2": 2, "enabled": False}]}
    moved = {(3, 3): 40, (9, 9): 40}  # node 40 sits at different cells in two members
    out = islands.renumber(structure, {}, {}, lambda: next(draws), known=moved)
    assert [n["id"] for n in out["nodes"]] == [40, 500]
    assert out["edges"] == [{"node1": 40, "node2": 500, "enabled": False}]


def geometry(structure):
    cell = {n["id"]: tuple(n["data"]["pos"]) for n in structure["nodes"]}
    return sorted((*sorted((cell[e["node1"]], cell[e["node2"]])), e["enabled"]) for e in structure["edges"])


@pytest.mark.parametrize("changes", [{}, {"selection_strategy": "SPEA2",
                                         "evaluation_strategy": "MultiObjectiveBridge"}])
@pytest.mark.parametrize("whole_state", [True, False])  # False: a checkpoint of members only
def test_an_island_rebuilt_from_its_checkpoint_keeps_its_networks(changes, whole_state):
    settings = islands.IslandSettings(None, True, 1, 50, 2, "fresh", None)
    island = islands.Island(0, PROBLEM.cost_map, config(**changes), settings)
    island.advance(0, 3, [], None)
    packed = island.packed_checkpoint()
    saved = island.checkpoint() if whole_state else packed
    rebuilt = islands.Island(0, PROBLEM.cost_map, config(**changes), settings, saved)
    assert rebuilt.generation == 3 and [h.generation for h in rebuilt.history] == [0, 1, 2, 3]
    # ranked selection reorders the members by fitness
    assert (sorted(geometry(g.get_structure()) for g in rebuilt.run.members)
            == sorted(geometry(m.structure()) for m in packed.members))
    assert sorted(rebuilt.run.raw) == pytest.approx(sorted(m.fitness for m in packed.members))
    assert rebuilt.run.best_raw == pytest.approx(island.run.best_raw)
    check_registry([g.get_structure() for g in rebuilt.run.members])


@pytest.mark.parametrize("selection", ["NEAT", "NSGA2"])
@pytest.mark.parametrize("strong", [True, False])
def test_newcomers_compete_like_children(selection, strong):
    from gridweave.start import start_run

    cfg = config(selection_strategy=selection, population_size=12)
    run = start_run(PROBLEM.cost_map, cfg, None, "config", False, 0, 50)
    newcomer = run.population.create_genome(run.best.get_structure())
    gridweave.evaluate_genomes([newcomer], PROBLEM.cost_map)
    if strong:
        newcomer.fitness = 1e9  # better than every child
    else:
        newcomer.fitness = 0.0
        newcomer.objectives = [0.0] if selection == "NSGA2" else None
    run.step([newcomer])
    kept = [g.get_structure() == newcomer.get_structure() and g.fitness == newcomer.fitness
            for g in run.population.members]
    assert len(run.members) == 12 and any(kept) == strong


def test_routes_of_migrants():
    batches = [[islands.Migrant({}, float(i * 10 + k), None) for k in range(2)] for i in range(3)]
    ring = route(batches, "ring", 2)
    assert [[m.fitness for m in arriving] for arriving in ring] == [[20, 21], [0, 1], [10, 11]]
    complete = route(batches, "complete", 2)
    assert [[m.fitness for m in arriving] for arriving in complete] == [[21, 20], [21, 20], [11, 10]]
    assert route(batches[:1], "ring", 2) == [[]]


@pytest.mark.parametrize("seed", [2**64 - 1, 2**64, 10**40])
def test_islands_take_every_seed_evolve_takes(client, seed):
    res = islands.evolve_islands(PROBLEM.cost_map, config(population_size=8), 1, islands=2,
                                 migration_every=1, client=client, seed=seed, start="config")
    assert [len(r.history) for r in res.islands] == [2, 2] and not res.restarts


@pytest.mark.parametrize("seed, index", [(2**64 - 1, 1), (2**64, 0), (5, 3)])
def test_an_island_seeds_its_generators_within_64_bits(seed, index):
    settings = islands.IslandSettings(None, False, 0, 50, 2, "fresh", seed)
    island = islands.Island(index, PROBLEM.cost_map, config(population_size=6), settings)
    assert len(island.run.members) == 6


def outcome(res):
    """Everything of an islands run but its timings and addresses."""
    return (res.best_structure, res.best_fitness, res.best_island, res.pareto_objectives(),
            [([(h.generation, h.best_fitness, h.mean_fitness, h.num_species) for h in r.history],
              [(m.structure, m.fitness) for m in r.members], r.migrants_received) for r in res.islands])


BRIDGE = {"evaluation_strategy": "MultiObjectiveBridge"}


@pytest.mark.parametrize("changes", [{}, {"selection_strategy": "NSGA2", **BRIDGE}])
def test_the_same_seed_gives_the_same_islands_run(client, changes):
    runs = [outcome(islands.evolve_islands(PROBLEM.cost_map, config(**changes), 4, islands=3, migration_every=2,
                                           client=client, seed=8)) for _ in range(2)]
    assert runs[0] == runs[1]


def step_summary(island, epoch):
    return ([(m.structure, m.fitness) for m in epoch.emigrants], [g.get_structure() for g in island.run.members],
            [(h.generation, h.best_fitness, h.mean_fitness) for h in island.history], island.run.best_raw)


@pytest.mark.parametrize("changes", [{}, {"selection_strategy": "SPEA2", **BRIDGE}])
def test_a_restored_island_replays_what_the_lost_one_ran(changes):
    settings = islands.IslandSettings(None, True, 2, 50, 2, "fresh", 21)
    neighbour = islands.Island(1, PROBLEM.cost_map, config(**changes), settings)
    migrants = neighbour.advance(0, 1, [], None).emigrants
    island = islands.Island(0, PROBLEM.cost_map, config(**changes), settings)
    island.advance(0, 2, [], None)
    saved = island.checkpoint()
    kept = step_summary(island, island.advance(2, 3, migrants, None))
    restored = islands.Island(0, PROBLEM.cost_map, config(**changes), settings, saved)
    assert step_summary(restored, restored.advance(2, 3, migrants, None)) == kept


def test_islands_extend_an_existing_network(client):
    cost = make_terrain((24, 24), 3, seed=4).cost_map
    config = full_config((24, 24), [(20, 3), (18, 20), (12, 12)], population_size=8)
    road = [[(2, 0), (2, 23)]]
    result = islands.evolve_islands(cost, config, 4, islands=2, migration_every=2, client=client, seed=3,
                                    existing=road)
    plan = gridweave.planning.attachments((24, 24), road)
    genome = gridweave.routes.genome_from_structure(config, result.best_structure)
    gridweave.evaluate_genomes([genome], plan.free_cost(cost), **plan.native())
    assert genome.fitness == pytest.approx(result.best_fitness, rel=1e-12) and genome.fitness > 0
    assert plan.attachment_points(result.best_structure)


@pytest.mark.parametrize("changes", [{}, {"selection_strategy": "SPEA2", **BRIDGE}])
def test_an_island_checkpoint_is_a_checkpoint_file_that_resume_continues(tmp_path, changes):
    settings = islands.IslandSettings(None, False, 0, 50, 2, "fresh", 4, generations=5)
    island = islands.Island(1, PROBLEM.cost_map, config(**changes), settings)
    island.advance(0, 2, [], None)
    path = tmp_path / "island.ckpt"
    checkpoint.write(path, island.checkpoint(), PROBLEM.cost_map)
    resumed = gridweave.resume(path, progress=False)
    island.advance(2, 3, [], None)
    assert ([(h.generation, h.best_fitness, h.mean_fitness, h.num_species) for h in resumed.history]
            == [(h.generation, h.best_fitness, h.mean_fitness, h.num_species) for h in island.history])
    assert checkpoint.load(path)["history"][-1][0] == 5  # resume went on writing the file


def test_an_unseeded_run_reports_the_seed_that_repeats_it(client):
    first = islands.evolve_islands(PROBLEM.cost_map, config(population_size=8), 2, islands=2,
                                   migration_every=1, client=client, start="config")
    again = islands.evolve_islands(PROBLEM.cost_map, config(population_size=8), 2, islands=2,
                                   migration_every=1, client=client, start="config", seed=first.seed)
    assert outcome(again) == outcome(first)
