"""A seeded run gives the same networks, fronts and history on any number of worker threads."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

# Prints a summary of one seeded run: everything but the timings.
EVOLVE = textwrap.dedent(
    """
    import json, sys
    from gridweave import evolve
    from gridweave.config import make_config
    from gridweave.problems import make_terrain

    p = make_terrain((24, 24), 4, seed=3)
    config = make_config(p.grid_size, p.terminals, population_size=20, **json.loads(sys.argv[1]))
    result = evolve(p.cost_map, config, 6, progress=False, seed=11)
    print(json.dumps({
        "best": [result.best_fitness, result.best_structure, result.best_objectives],
        "history": [[r.generation, r.best_fitness, r.mean_fitness, r.best_so_far, r.num_species,
                     r.species_threshold] for r in result.history],
        "members": [[g.get_structure(), g.fitness, g.objectives] for g in result.population.members],
        "front": [g.get_structure() for g in result.pareto_front or []],
    }))
    """
)

# Mutates (some genomes twice in one call) and breeds; prints the genomes and
# the registry's next numbers and saved state.
BREED = textwrap.dedent(
    """
    import json, pickle, sys
    import gridweave as gw
    from gridweave.config import make_config

    gw._core._seed(5)
    config = make_config((32, 32), [(2, 2), (29, 3), (15, 28)], population_size=40,
                         add_node_mutation_prob=0.6, add_edge_mutation_prob=0.6,
                         mating_strategy=sys.argv[1])
    pop = gw.Population(config)
    for _ in range(3):
        gw.mutate_genomes(pop.members + pop.members[:7], pop)
    for i, member in enumerate(pop.members):
        member.fitness = float(len(member.edges) + i % 3)
    children = gw.make_offspring(pop, 50)[2]
    gw.mutate_genomes(children, pop)
    print(json.dumps({
        "members": [g.get_structure() for g in pop.members],
        "children": [g.get_structure() for g in children],
        "next": [pop.new_node_id(), pop.get_edge_id(1, 2)],
        "state": pickle.dumps(pop).hex(),
    }))
    """
)

SETTINGS = {
    "neat": {},
    "nsga2-bridge": {"selection_strategy": "NSGA2", "evaluation_strategy": "MultiObjectiveBridge"},
    "spea2-novelty": {"selection_strategy": "SPEA2", "diversity_objective": True},
}


def run_with_threads(threads, script, *args):
    env = dict(os.environ, GRIDWEAVE_NUM_THREADS=str(threads), OPENBLAS_NUM_THREADS="1")
    done = subprocess.run([sys.executable, "-c", script, *args], env=env, capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


@pytest.mark.parametrize("name", SETTINGS)
def test_seeded_evolution_does_not_depend_on_the_thread_count(name):
    runs = [run_with_threads(threads, EVOLVE, json.dumps(SETTINGS[name])) for threads in (1, 2, 4)]
    assert runs[0]["history"] and runs[0]["members"]
    assert runs[1] == runs[0]
    assert runs[2] == runs[0]
    if name == "nsga2-bridge":
        assert runs[0]["front"]


@pytest.mark.parametrize("strategy", ["NEATSpeciation", "GlobalTournament"])
def test_mutation_and_breeding_give_the_same_genomes_and_numbers_on_1_and_4_threads(strategy):
    one, four = (run_with_threads(threads, BREED, strategy) for threads in (1, 4))
    assert len(one["children"]) > 40 and one["next"][0] > 40
    assert four == one
