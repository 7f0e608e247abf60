#include <algorithm>
#include <optional>
#include <unordered_set>

#include "../evocore/interrupt.hpp"
#include "grid.hpp"
#include "rounding.hpp"
#include "specialization.hpp"

namespace weave {

namespace {

using Structure = std::pair<std::vector<WeaveNode>, std::vector<Edge>>;

Edge make_edge(evocore::PopulationState& state, uint64_t a, uint64_t b) {
  const uint64_t low = std::min(a, b), high = std::max(a, b);
  return Edge{state.get_edge_id(low, high), low, high, true};
}

uint64_t pack(Cell pos) {
  return (uint64_t{static_cast<uint32_t>(pos.row)} << 32) | static_cast<uint32_t>(pos.column);
}

void connect_fully(evocore::PopulationState& state, Structure& structure) {
  const auto& nodes = structure.first;
  for (size_t i = 0; i < nodes.size(); ++i)
    for (size_t j = i + 1; j < nodes.size(); ++j)
      structure.second.push_back(make_edge(state, nodes[i].id, nodes[j].id));
}

// Node ids of the lattice cells (row i, column j at i * cells_y + j), empty where no cell was found.
using LatticeCells = std::vector<std::optional<uint64_t>>;

LatticeCells place_lattice(const Grid& grid, const GraphInit& init, evocore::PopulationState& state,
                           Structure& structure) {
  const double spacing_x = static_cast<double>(grid.rows) / init.cells_x;
  const double spacing_y = static_cast<double>(grid.columns) / init.cells_y;
  LatticeCells cells(size_t{init.cells_x} * init.cells_y);
  std::unordered_set<uint64_t> occupied;  // lattice nodes only; fixed nodes may share a cell
  auto& rng = evocore::thread_rng();
  for (uint32_t i = 0; i < init.cells_x; ++i) {
    evocore::check_interrupt();
    for (uint32_t j = 0; j < init.cells_y; ++j) {
      const int32_t x = round_to_i32((i + 0.5) * spacing_x), y = round_to_i32((j + 0.5) * spacing_y);
      const auto cell =
          grid.find_free_cell(x, y, [&](Cell pos) { return occupied.contains(pack(pos)); }, rng);
      if (!cell) continue;
      occupied.insert(pack(*cell));
      const WeaveNode node{state.new_node_id(), {*cell, NodeType::Flexible}};
      cells[size_t{i} * init.cells_y + j] = node.id;
      structure.first.push_back(node);
    }
  }
  return cells;
}

void link_lattice(const GraphInit& init, const LatticeCells& cells, evocore::PopulationState& state,
                  std::vector<Edge>& edges) {
  const auto at = [&](uint32_t i, uint32_t j) { return cells[size_t{i} * init.cells_y + j]; };
  for (uint32_t i = 0; i < init.cells_x; ++i) {
    for (uint32_t j = 0; j < init.cells_y; ++j) {
      const auto a = at(i, j);
      if (!a) continue;
      if (j + 1 < init.cells_y && at(i, j + 1)) edges.push_back(make_edge(state, *a, *at(i, j + 1)));
      if (i + 1 < init.cells_x && at(i + 1, j)) edges.push_back(make_edge(state, *a, *at(i + 1, j)));
    }
  }
}

// Joins every fixed node to its nearest lattice node; the first placed wins ties.
void anchor_fixed_nodes(size_t fixed_count, evocore::PopulationState& state, Structure& structure) {
  auto& [nodes, edges] = structure;
  if (nodes.size() == fixed_count) return;
  for (size_t f = 0; f < fixed_count; ++f) {
    size_t nearest = fixed_count;
    for (size_t l = fixed_count + 1; l < nodes.size(); ++l)
      if (squared_distance(nodes[f].data.pos, nodes[l].data.pos) <
          squared_distance(nodes[f].data.pos, nodes[nearest].data.pos))
        nearest = l;
    edges.push_back(make_edge(state, nodes[f].id, nodes[nearest].id));
  }
}

void build_lattice(const WeaveConfig& config, evocore::PopulationState& state, Structure& structure) {
  const GraphInit& init = config.graph_init;
  if (init.cells_x == 0 || init.cells_y == 0) return;
  const size_t fixed_count = structure.first.size();
  const auto cells = place_lattice(Grid::of(config.grid_size), init, state, structure);
  link_lattice(init, cells, state, structure.second);
  anchor_fixed_nodes(fixed_count, state, structure);
}

}  // namespace

Structure WeaveSpecialization::initialize_genome(evocore::PopulationState& state) const {
  Structure structure;
  for (const Cell& pos : config->fixed_nodes)
    structure.first.push_back({state.new_node_id(), {pos, NodeType::Fixed}});
  if (config->graph_init.kind == GraphInit::Kind::FCN)
    connect_fully(state, structure);
  else
    build_lattice(*config, state, structure);
  return structure;
}

}  // namespace weave
