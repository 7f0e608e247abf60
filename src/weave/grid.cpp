#include "grid.hpp"

namespace weave {

bool is_occupied(const WeaveNodeMap& nodes, Pos pos) {
  for (const auto& [id, node] : nodes)
    if (node.data.pos == pos) return true;
  return false;
}

std::optional<Pos> Grid::find_free_pos(int32_t x, int32_t y, const WeaveNodeMap& nodes,
                                       evocore::Rng& rng) const {
  return find_free_cell(x, y, [&](Pos pos) { return is_occupied(nodes, pos); }, rng);
}

}  // namespace weave
