#pragma once
#include <concepts>
#include <span>
#include <utility>
#include <vector>

#include "genome.hpp"
#include "rng.hpp"

namespace evocore {

// The interface between the engine and a problem domain: two associated
// types and seven operations. Every operation is called on a genome's own
// specialization copy, except initialize_genome (the population's copy).
template <class S>
concept Specialization =
    std::copyable<S> && std::default_initializable<typename S::NodeData> &&
    std::copyable<typename S::NodeData> && std::copyable<typename S::Config> &&
    requires(const S& s, PopulationState& state, Node<typename S::NodeData>& new_node,
             const Node<typename S::NodeData>& node, const Edge& edge,
             const NodeMap<typename S::NodeData>& nodes, const EdgeMap& edges,
             NodeMap<typename S::NodeData>& mutable_nodes, EdgeMap& mutable_edges, Rng& rng,
             const Genome<S>& genome, std::span<const uint64_t> matching) {
      {
        s.initialize_genome(state)
      } -> std::same_as<std::pair<std::vector<Node<typename S::NodeData>>, std::vector<Edge>>>;
      { s.add_node(new_node, edge, edge, edge, nodes, edges, rng) } -> std::same_as<bool>;
      { s.remove_edge(edge, nodes, edges, rng) } -> std::same_as<bool>;
      { s.remove_node(node, edge, edge, edge, nodes, edges, rng) } -> std::same_as<bool>;
      { s.remove_node_single(node, edge, nodes, edges) } -> std::same_as<bool>;
      { s.mutate_structure(mutable_nodes, mutable_edges, rng) } -> std::same_as<void>;
      { s.compatibility(genome, genome, matching) } -> std::same_as<double>;
    };

// Optional extension: a per-genome summary computed once, from which the
// specialization's compatibility term of a pair is derived cheaply. The
// summary is computed with the settings of the specialization it is called on;
// `accepts` tells whether a summary made elsewhere matches this one's settings.
template <class S>
concept HasCompatibilitySignature =
    Specialization<S> && requires(const S& s, const Genome<S>& genome, const typename S::Signature& sig) {
      { s.signature(genome) } -> std::same_as<typename S::Signature>;
      { s.accepts(sig) } -> std::same_as<bool>;
      { s.compatibility(sig, sig) } -> std::same_as<double>;
    };

}  // namespace evocore
