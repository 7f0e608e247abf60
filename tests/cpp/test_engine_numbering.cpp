#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "evocore/genome_batch.hpp"
#include "toy_specialization.hpp"

using evocore::DeferredNumbers;
using evocore::NumberRequests;
using evocore::PopulationState;
using namespace toy;

namespace {

bool has_provisional_numbers(const Genome& genome) {
  for (const auto& [id, node] : genome.nodes)
    if (NumberRequests::provisional(id) || NumberRequests::provisional(node.id)) return true;
  for (const auto& [id, edge] : genome.edges)
    for (uint64_t number : {id, edge.id, edge.node1, edge.node2})
      if (NumberRequests::provisional(number)) return true;
  return false;
}

// Genomes 1-2-3 of one registry: node counter 3, pair 1-2 is edge 1, 2-3 edge 2.
std::vector<Handle> paths(size_t count, const evocore::StateHandle& state) {
  std::vector<Handle> genomes;
  for (size_t i = 0; i < count; ++i)
    genomes.push_back(Handle::make(
        make_genome({1, 2, 3}, {{1, 1, 2, true}, {2, 2, 3, true}}, 0, quiet_config(), {}, state)));
  return genomes;
}

// A new node joined to node 1, and the pair 1-3 that every genome shares.
void grow(Genome& genome) {
  const uint64_t node = genome.state->new_node_id();
  genome.nodes[node] = {node, 0};
  const uint64_t spoke = genome.state->get_edge_id(1, node);
  genome.edges[spoke] = {spoke, 1, node, true};
  const uint64_t chord = genome.state->get_edge_id(3, 1);
  genome.edges[chord] = {chord, 3, 1, true};
}

}  // namespace

TEST(DeferredNumbering, APairAskedAgainKeepsItsNumberWhenNodeRequestsPassTheScanLimit) {
  for (int nodes_between : {1, 40}) {
    NumberRequests requests;
    const uint64_t pair = requests.edge({5, 6});
    for (int i = 0; i < nodes_between; ++i) requests.node();
    for (uint64_t i = 0; i < 40; ++i) requests.edge({100 + i, 200 + i});
    EXPECT_EQ(requests.edge({5, 6}), pair) << nodes_between;
  }
}

TEST(DeferredNumbering, KnownPairsAreLookedUpAndNewOnesWaitForAssignment) {
  PopulationState state;
  const uint64_t a = state.new_node_id(), b = state.new_node_id();
  EXPECT_EQ(state.get_edge_id(a, b), 1u);
  NumberRequests first, second;
  {
    const DeferredNumbers deferred(state, first);
    EXPECT_EQ(state.get_edge_id(b, a), 1u);
    const uint64_t node = state.new_node_id();
    const uint64_t pair = state.get_edge_id(5, 6);
    EXPECT_TRUE(NumberRequests::provisional(node) && NumberRequests::provisional(pair));
    EXPECT_EQ(state.get_edge_id(6, 5), pair);  // asked twice, one number
    EXPECT_TRUE(NumberRequests::provisional(state.get_edge_id(node, b)));
  }
  {
    const DeferredNumbers deferred(state, second);
    state.get_edge_id(5, 6);
  }
  EXPECT_EQ(state.node_counter(), 2u);
  EXPECT_EQ(state.edge_counter(), 1u);
  // Assigned in list order: the second list's request for 5-6 reuses the first's number.
  first.draw(state);
  first.adopt(state);
  second.draw(state);
  second.adopt(state);
  const uint64_t base = NumberRequests::kFirstProvisional;
  EXPECT_EQ(first.real(base), 3u);      // the node
  EXPECT_EQ(first.real(base + 1), 2u);  // 5-6
  EXPECT_EQ(first.real(base + 2), 3u);  // node-b
  EXPECT_EQ(second.real(base), 2u);
  EXPECT_EQ(state.get_edge_id(b, 3), 3u);
  EXPECT_EQ(state.edge_counter(), 3u);
  EXPECT_EQ(first.real(7), 7u);
  EXPECT_THROW(first.real(base + 3), evocore::InternalError);
}

TEST(DeferredNumbering, GenomesGetTheNumbersOfASerialPassInListOrder) {
  auto state = std::make_shared<PopulationState>();
  auto genomes = paths(64, state);
  genomes.push_back(genomes[5]);  // changed twice, after all others
  evocore::change_genomes(genomes, [](Genome& genome, size_t) { grow(genome); });
  auto serial_state = std::make_shared<PopulationState>();
  auto serial = paths(64, serial_state);
  serial.push_back(serial[5]);
  for (const auto& genome : serial) grow(*genome.write());
  for (size_t i = 0; i < genomes.size(); ++i) {
    const auto genome = genomes[i].read();
    EXPECT_FALSE(has_provisional_numbers(*genome));
    for (const auto& [id, edge] : genome->edges) {
      EXPECT_EQ(edge.id, id);
      EXPECT_EQ(state->get_edge_id(edge.node1, edge.node2), id);
    }
    std::set<uint64_t> numbers, serial_numbers;
    for (const auto& entry : genome->edges) numbers.insert(entry.first);
    for (const auto& entry : serial[i].read()->edges) serial_numbers.insert(entry.first);
    EXPECT_EQ(numbers, serial_numbers);
  }
  EXPECT_EQ(genomes[5].read()->nodes.size(), 5u);
  EXPECT_EQ(state->contents().table, serial_state->contents().table);
  EXPECT_EQ(state->node_counter(), serial_state->node_counter());
}

// Genomes of two registries interleaved, the first of the rarer one: each
// registry ends as after a serial pass over its own genomes.
TEST(DeferredNumbering, EachRegistryGetsTheNumbersOfItsOwnSerialPass) {
  for (const bool others_first : {true, false}) {
    auto main_state = std::make_shared<PopulationState>(), other_state = std::make_shared<PopulationState>();
    auto mains = paths(40, main_state), others = paths(40, other_state);
    std::vector<Handle> mixed;
    const auto is_main = [&](size_t i) { return (i % 3 != 0) == others_first; };
    for (size_t i = 0; i < 40; ++i) mixed.push_back(is_main(i) ? mains[i] : others[i]);
    evocore::change_genomes(mixed, [](Genome& genome, size_t) { grow(genome); });
    auto serial_main = std::make_shared<PopulationState>(),
         serial_other = std::make_shared<PopulationState>();
    auto serial_mains = paths(40, serial_main), serial_others = paths(40, serial_other);
    for (size_t i = 0; i < 40; ++i) grow(*(is_main(i) ? serial_mains[i] : serial_others[i]).write());
    EXPECT_EQ(main_state->contents().table, serial_main->contents().table) << others_first;
    EXPECT_EQ(other_state->contents().table, serial_other->contents().table) << others_first;
    for (size_t i = 0; i < 40; ++i) {
      EXPECT_FALSE(has_provisional_numbers(*mixed[i].read()));
      EXPECT_EQ(mixed[i].read()->edges.size(),
                (is_main(i) ? serial_mains[i] : serial_others[i]).read()->edges.size());
    }
  }
}

// A failure marks its genome broken; an interrupt stops the changes but not
// the numbering of the genomes changed so far, though it is still requested.
TEST(DeferredNumbering, AStoppedChangeLeavesNoProvisionalNumbersBehind) {
  for (const bool interrupt : {false, true}) {
    auto state = std::make_shared<PopulationState>();
    auto genomes = paths(64, state);
    std::atomic<bool> requested{false};
    const evocore::InterruptRequestScope interruptible(&requested);
    const auto stopping = [&](Genome& genome, size_t i) {
      grow(genome);
      if (i != 3) return;
      if (interrupt) return requested.store(true);
      evocore::fail("no luck");
    };
    if (interrupt)
      EXPECT_THROW(evocore::change_genomes(genomes, stopping), evocore::Interrupted);
    else
      EXPECT_THROW(evocore::change_genomes(genomes, stopping), evocore::InternalError);
    for (size_t i = 0; i < genomes.size(); ++i) {
      if (i == 3 && !interrupt) {
        EXPECT_TRUE(genomes[i].is_broken());
        continue;
      }
      EXPECT_FALSE(has_provisional_numbers(*genomes[i].read())) << interrupt << " " << i;
    }
  }
}

TEST(DeferredNumbering, APairTheRegistryHoldsKeepsItsNumberWhenAdopted) {
  PopulationState state;
  EXPECT_EQ(state.adopt_edge_id(4, 9, 7), 7u);
  EXPECT_EQ(state.adopt_edge_id(9, 4, 8), 7u);
  EXPECT_EQ(state.pair_of(7), std::make_pair(uint64_t{4}, uint64_t{9}));
  EXPECT_FALSE(state.pair_of(8));
}

TEST(DeferredNumbering, PairsNumberedSinceTheStepBeganCountAsNew) {
  PopulationState state;
  NumberRequests requests(state.edge_counter());
  EXPECT_EQ(state.get_edge_id(1, 2), 1u);  // an earlier genome's assignment, while this one changes
  {
    const DeferredNumbers deferred(state, requests);
    EXPECT_TRUE(NumberRequests::provisional(state.get_edge_id(2, 1)));
  }
  requests.draw(state);
  requests.adopt(state);
  EXPECT_EQ(requests.real(NumberRequests::kFirstProvisional), 1u);  // the pair keeps its one number
}

// Two callers changing the same genomes at once: each batch's provisional
// numbers are gone before the other batch touches a genome.
TEST(DeferredNumbering, BatchesOverTheSameGenomesFromTwoThreadsDoNotMix) {
  auto state = std::make_shared<PopulationState>();
  const auto genomes = paths(32, state);
  std::vector<std::exception_ptr> failures(2);
  std::vector<std::thread> callers;
  for (size_t t = 0; t < 2; ++t)
    callers.emplace_back([&, t] {
      try {
        for (int round = 0; round < 40; ++round)
          evocore::change_genomes(genomes, [](Genome& genome, size_t) { grow(genome); });
      } catch (...) {
        failures[t] = std::current_exception();
      }
    });
  for (auto& caller : callers) caller.join();
  for (const auto& failure : failures) EXPECT_FALSE(failure);
  for (const auto& genome : genomes) {
    EXPECT_FALSE(has_provisional_numbers(*genome.read()));
    EXPECT_EQ(genome.read()->nodes.size(), 3u + 80u);
  }
}
