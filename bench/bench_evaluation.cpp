// Genomes per second of the cost evaluation: the sparse form (touched cells
// only) against a dense one (full trace grid, then trace x cost over every cell),
// the trace kernel alone against a plain gather of the same samples, and a
// compatibility signature against the cost.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <set>
#include <utility>
#include <vector>

#include "evocore/rng.hpp"
#include "weave/evaluation/connectivity.hpp"
#include "weave/evaluation/evaluate.hpp"
#include "weave/evaluation/samples.hpp"
#include "weave/evaluation/sparse_trace.hpp"
#include "weave/evaluation/traces.hpp"

namespace {

using namespace weave;

constexpr int kGenomes = 1000;
constexpr int kNodes = 40;
constexpr int kEdges = 60;

struct Network {
  WeaveNodeMap nodes;
  EdgeMap edges;
};

// kNodes distinct cells, a random spanning tree plus extra distinct pairs.
Network random_network(evocore::Rng& rng, int32_t side) {
  Network network;
  std::set<std::pair<int32_t, int32_t>> cells;
  for (uint64_t id = 1; id <= kNodes;) {
    const auto x = static_cast<int32_t>(rng.uniform_int(0, side - 1)),
               y = static_cast<int32_t>(rng.uniform_int(0, side - 1));
    if (!cells.emplace(x, y).second) continue;
    network.nodes[id] = WeaveNode{id, {{x, y}, NodeType::Flexible}};
    ++id;
  }
  std::set<std::pair<uint64_t, uint64_t>> pairs;
  const auto add = [&](uint64_t a, uint64_t b) {
    if (a == b || !pairs.emplace(std::min(a, b), std::max(a, b)).second) return;
    const uint64_t id = network.edges.size() + 1;
    network.edges[id] = Edge{id, a, b, true};
  };
  for (uint64_t id = 2; id <= kNodes; ++id) add(rng.uniform_int(1, id - 1), id);
  while (network.edges.size() < kEdges) add(rng.uniform_int(1, kNodes), rng.uniform_int(1, kNodes));
  return network;
}

double dense_fitness(const Network& network, const CostMap& map) {
  if (!is_connected(network.nodes, network.edges)) return 0.0;
  const auto traces = compute_traces(map.rows, map.cols, network.nodes, network.edges);
  double cost = 0.0;
  for (size_t i = 0; i < traces.size(); ++i) cost += traces[i] * map.data[i];
  return 1.0 / (cost > 1e-7 ? cost : 1e-7);
}

struct Sample {
  uint64_t cell;
  double weight;
};

// Every node cell and edge sample the kernel visits, listed once beforehand.
std::vector<Sample> samples_of(const Network& network, const CostMap& map) {
  std::vector<Sample> samples;
  detail::for_each_trace_contribution(
      map.rows, map.cols, network.nodes, network.edges,
      [&](uint64_t cell) { samples.push_back({cell, 1.0}); },
      [&](uint64_t cell, double weight, bool) { samples.push_back({cell, weight}); });
  return samples;
}

double gathered_cost(const std::vector<Sample>& samples, const CostMap& map) {
  double sum = 0.0;
  for (const Sample& sample : samples) sum += sample.weight * map.data[sample.cell];
  return sum * detail::trace_scale(map.rows, map.cols);
}

// Genomes per second of one pass over `count` networks; `checksum` gets the pass's sum.
template <class Evaluate>
double pass_rate(const std::vector<Network>& networks, size_t count, Evaluate&& evaluate, double& checksum) {
  double sum = 0.0;
  const auto start = std::chrono::steady_clock::now();
  for (size_t i = 0; i < count; ++i) sum += evaluate(i, networks[i]);
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  checksum = sum;
  return static_cast<double>(count) / elapsed.count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The kernel and the gather take turns, pass by pass, so that a shared machine
// slows both alike; the ratio is the median of the rounds' ratios.
void kernel_against_gather(int32_t side, const std::vector<Network>& networks, const CostMap& map) {
  std::vector<std::vector<Sample>> samples;
  size_t sample_count = 0;
  for (const auto& network : networks) sample_count += samples.emplace_back(samples_of(network, map)).size();
  double kernel_sum = 0.0, gather_sum = 0.0, best_kernel = 0.0, best_gather = 0.0;
  std::vector<double> ratios;
  for (int round = 0; round < 15; ++round) {
    const double kernel = pass_rate(
        networks, networks.size(),
        [&](size_t, const Network& n) { return trace_cost(n.nodes, n.edges, map); }, kernel_sum);
    const double gather = pass_rate(
        networks, networks.size(), [&](size_t i, const Network&) { return gathered_cost(samples[i], map); },
        gather_sum);
    best_kernel = std::max(best_kernel, kernel);
    best_gather = std::max(best_gather, gather);
    ratios.push_back(gather / kernel);
  }
  std::printf(
      "%4d x %-4d  kernel %10.0f genomes/s  gather %8.0f genomes/s  gather / kernel %5.2f (median of 15 "
      "rounds)"
      "  (%.0f samples per genome, cost sums %.9g / %.9g)\n",
      side, side, best_kernel, best_gather, median(ratios),
      static_cast<double>(sample_count) / static_cast<double>(networks.size()), kernel_sum, gather_sum);
}

// The dense form is slow (a full grid per genome): one pass over the first 100.
void sparse_against_dense(int32_t side, const std::vector<Network>& networks, const CostMap& map) {
  constexpr size_t kDenseGenomes = 100;
  double sparse_sum = 0.0, dense_sum = 0.0;
  const double sparse = pass_rate(
      networks, kDenseGenomes,
      [&](size_t, const Network& n) {
        return evaluate_genome(n.nodes, n.edges, EvaluationStrategy::SingleObjective, map).fitness;
      },
      sparse_sum);
  const double dense = pass_rate(
      networks, kDenseGenomes, [&](size_t, const Network& n) { return dense_fitness(n, map); }, dense_sum);
  std::printf(
      "%4d x %-4d  sparse %10.0f genomes/s  dense %8.0f genomes/s  ratio %6.1f  (fitness sums %.9g / %.9g)\n",
      side, side, sparse, dense, sparse / dense, sparse_sum, dense_sum);
}

// A compatibility signature (the trace pooled over windows of 4 cells, as the
// default compatibility_sigma) walks the same samples as the cost: one pass each.
void signature_against_cost(int32_t side, const std::vector<Network>& networks, const CostMap& map) {
  double cost_sum = 0.0, window_sum = 0.0;
  const double cost = pass_rate(
      networks, networks.size(), [&](size_t, const Network& n) { return trace_cost(n.nodes, n.edges, map); },
      cost_sum);
  const double signature = pass_rate(
      networks, networks.size(),
      [&](size_t, const Network& n) {
        return static_cast<double>(pooled_trace(map.rows, map.cols, 4, n.nodes, n.edges).cells.size());
      },
      window_sum);
  std::printf("%4d x %-4d  signature %7.1f us per genome  cost %7.1f us per genome  signature / cost %5.2f\n",
              side, side, 1e6 / signature, 1e6 / cost, cost / signature);
}

void run(int32_t side, evocore::Rng& rng) {
  std::vector<double> costs(static_cast<size_t>(side) * side);
  for (double& cost : costs) cost = 0.1 + rng.uniform01();
  const CostMap map{static_cast<uint64_t>(side), static_cast<uint64_t>(side), costs.data()};
  std::vector<Network> networks;
  for (int i = 0; i < kGenomes; ++i) networks.push_back(random_network(rng, side));
  kernel_against_gather(side, networks, map);
  sparse_against_dense(side, networks, map);
  signature_against_cost(side, networks, map);
}

}  // namespace

int main() {
  evocore::Rng rng(12345);
  std::printf("%d genomes of %d nodes and %d enabled edges\n", kGenomes, kNodes, kEdges);
  for (const int32_t side : {256, 1024}) run(side, rng);
  return 0;
}
