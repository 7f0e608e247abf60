#include "grid.hpp"

namespace weave {

bool is_occupied(const WeaveNodeMap& nodes, Cell pos) {
  for (const auto& [id, node] : nodes)
    if (node.data.pos == pos) return true;
  return false;
}

std::optional<Cell> Grid::find_free_pos(int32_t x, int32_t y, const WeaveNodeMap& nodes,
                                        evocore::Rng& rng) const {
  return find_free_cell(x, y, [&](Cell pos) { return is_occupied(nodes, pos); }, rng);
}

}  // namespace weave
