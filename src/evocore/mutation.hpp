#pragma once
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "error.hpp"
#include "flat_index.hpp"
#include "genome.hpp"
#include "rng.hpp"
#include "specialization.hpp"

namespace evocore {

namespace mutation_detail {

constexpr int kAddEdgeTries = 20;

template <class S>
const Node<typename S::NodeData>& node_at(const Genome<S>& genome, uint64_t id) {
  const auto found = genome.nodes.find(id);
  if (found == genome.nodes.end())
    fail("an edge names node " + std::to_string(id) + ", which the genome lacks");
  return found->second;
}

template <class S>
void require_ends(const Genome<S>& genome, const Edge& edge) {
  node_at(genome, edge.node1);
  node_at(genome, edge.node2);
}

template <class T>
const T& pick(const std::vector<T>& candidates, Rng& rng) {
  return candidates[rng.index(candidates.size())];
}

// One node id whose enabled degree is `degree`, counting an enabled
// self-loop twice (it meets its node at both ends), picked uniformly in
// node-map order; none when no node has it. Nodes with an enabled self-loop
// are left out: they have no other end to bridge to or to hang from.
// Asked once per mutation step, so it counts and picks instead of listing,
// in scratch kept per thread: no allocation per node.
template <class S>
std::optional<uint64_t> pick_node_of_enabled_degree(const Genome<S>& genome, size_t degree, Rng& rng) {
  thread_local FlatIndex index;
  thread_local std::vector<size_t> degrees;
  thread_local std::vector<bool> looped;
  index.reset(genome.nodes.size());
  for (const auto& entry : genome.nodes) index.add(entry.first);
  degrees.assign(index.size(), 0);
  looped.assign(index.size(), false);
  for (const auto& [id, edge] : genome.edges) {
    if (!edge.enabled) continue;
    const size_t a = index.find(edge.node1), b = index.find(edge.node2);
    if (a != FlatIndex::kAbsent) ++degrees[a];
    if (b != FlatIndex::kAbsent) ++degrees[b];
    if (edge.node1 == edge.node2 && a != FlatIndex::kAbsent) looped[a] = true;
  }
  const auto qualifies = [&](size_t k) { return degrees[k] == degree && !looped[k]; };
  size_t candidates = 0;
  for (size_t k = 0; k < degrees.size(); ++k) candidates += qualifies(k);
  if (candidates == 0) return std::nullopt;
  size_t k = 0;  // the nodes were numbered in map order
  for (size_t r = rng.index(candidates); const auto& entry : genome.nodes) {
    if (qualifies(k++) && r-- == 0) return entry.first;
  }
  fail("the nodes changed while one was picked");
}

// The edges touching a node, in edge-map order, in scratch kept per thread
// (valid until the next call on this thread).
struct Incidence {
  std::vector<uint64_t> all;         // every edge touching the node
  std::vector<const Edge*> enabled;  // the enabled ones among them
};

template <class S>
const Incidence& incident_edges(const Genome<S>& genome, uint64_t node) {
  thread_local Incidence incidence;
  incidence.all.clear();
  incidence.enabled.clear();
  for (const auto& [id, edge] : genome.edges) {
    if (edge.node1 != node && edge.node2 != node) continue;
    incidence.all.push_back(id);
    if (edge.enabled) incidence.enabled.push_back(&edge);
  }
  return incidence;
}

template <class S>
void erase_node_with_edges(Genome<S>& genome, uint64_t node, const std::vector<uint64_t>& edge_ids) {
  for (uint64_t id : edge_ids) genome.edges.erase(id);
  genome.nodes.erase(node);
}

inline uint64_t other_end(const Edge& edge, uint64_t node) {
  return edge.node1 != node ? edge.node1 : edge.node2;
}

template <class S>
void add_node(Genome<S>& genome, Rng& rng) {
  if (!rng.bernoulli(genome.config->add_node_mutation_prob)) return;
  // The r-th enabled edge in map order, found by counting instead of listing.
  size_t enabled = 0;
  for (const auto& entry : genome.edges) enabled += entry.second.enabled;
  if (enabled == 0) return;
  auto chosen = genome.edges.begin();
  for (size_t r = rng.index(enabled);; ++chosen)
    if (chosen->second.enabled && r-- == 0) break;
  const uint64_t split_key = chosen->first;
  const Edge split = chosen->second;
  require_ends(genome, split);
  PopulationState& state = *genome.state;
  const uint64_t n = state.new_node_id();
  const uint64_t e1 = state.get_edge_id(split.node1, n);
  const uint64_t e2 = state.get_edge_id(n, split.node2);
  Node<typename S::NodeData> node{n, {}};
  const Edge first{e1, split.node1, n, true};
  const Edge second{e2, n, split.node2, true};
  if (!genome.specialization.add_node(node, split, first, second, genome.nodes, genome.edges, rng)) return;
  genome.nodes.insert_or_assign(n, std::move(node));
  genome.edges.insert_or_assign(e1, first);
  genome.edges.insert_or_assign(e2, second);
  genome.edges.at(split_key).enabled = false;
}

template <class S>
void add_edge(Genome<S>& genome, Rng& rng) {
  if (!rng.bernoulli(genome.config->add_edge_mutation_prob) || genome.nodes.size() < 2) return;
  thread_local std::vector<uint64_t> ids;  // scratch: no allocation per call
  ids.clear();
  for (const auto& entry : genome.nodes) ids.push_back(entry.first);
  for (int attempt = 0; attempt < kAddEdgeTries; ++attempt) {
    const uint64_t a = pick(ids, rng);
    const uint64_t b = pick(ids, rng);
    if (a == b) continue;
    const uint64_t id = genome.state->get_edge_id(a, b);  // registers the pair even if the try fails
    if (genome.edges.contains(id)) continue;
    genome.edges.emplace(id, Edge{id, a, b, true});
    return;
  }
}

template <class S>
void remove_edge(Genome<S>& genome, Rng& rng) {
  if (!rng.bernoulli(genome.config->remove_edge_mutation_prob) || genome.edges.empty()) return;
  Edge& edge =
      std::next(genome.edges.begin(), static_cast<std::ptrdiff_t>(rng.index(genome.edges.size())))->second;
  require_ends(genome, edge);
  if (genome.specialization.remove_edge(edge, genome.nodes, genome.edges, rng)) edge.enabled = false;
}

// Removes a node of enabled degree 2 and joins its two neighbours.
template <class S>
void remove_node_bridging(Genome<S>& genome, Rng& rng) {
  if (!rng.bernoulli(genome.config->remove_node_mutation_prob) || genome.nodes.empty()) return;
  const auto picked = pick_node_of_enabled_degree(genome, 2, rng);
  if (!picked) return;
  const uint64_t v = *picked;
  const Incidence& incidence = incident_edges(genome, v);
  if (incidence.enabled.size() != 2) fail("enabled degree of node " + std::to_string(v) + " changed");
  const Edge& f = *incidence.enabled[0];
  const Edge& g = *incidence.enabled[1];
  require_ends(genome, f);
  require_ends(genome, g);
  const uint64_t u = other_end(f, v);
  const uint64_t w = other_end(g, v);
  const Edge bridge{genome.state->get_edge_id(u, w), u, w, true};
  if (!genome.specialization.remove_node(genome.nodes.at(v), f, g, bridge, genome.nodes, genome.edges, rng))
    return;
  erase_node_with_edges(genome, v, incidence.all);
  genome.edges.insert_or_assign(bridge.id, bridge);
}

// Removes a node of enabled degree 1 together with every edge touching it.
template <class S>
void remove_node_single(Genome<S>& genome, Rng& rng) {
  if (!rng.bernoulli(genome.config->remove_node_single_mutation_prob) || genome.nodes.empty()) return;
  const auto picked = pick_node_of_enabled_degree(genome, 1, rng);
  if (!picked) return;
  const uint64_t v = *picked;
  const Incidence& incidence = incident_edges(genome, v);
  if (incidence.enabled.size() != 1) fail("enabled degree of node " + std::to_string(v) + " changed");
  const Edge& h = *incidence.enabled[0];
  require_ends(genome, h);
  if (!genome.specialization.remove_node_single(genome.nodes.at(v), h, genome.nodes, genome.edges)) return;
  erase_node_with_edges(genome, v, incidence.all);
}

}  // namespace mutation_detail

// Applies the structural operators in their fixed order; elites stay untouched.
// Each step reads its probability from the genome's own configuration.
template <Specialization S>
void mutate(Genome<S>& genome, Rng& rng) {
  if (genome.elite) return;
  mutation_detail::add_node(genome, rng);
  mutation_detail::add_edge(genome, rng);
  mutation_detail::remove_edge(genome, rng);
  mutation_detail::remove_node_bridging(genome, rng);
  mutation_detail::remove_node_single(genome, rng);
  genome.specialization.mutate_structure(genome.nodes, genome.edges, rng);
}

}  // namespace evocore
