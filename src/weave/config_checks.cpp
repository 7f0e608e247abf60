#include <string>

#include "../evocore/error.hpp"
#include "types.hpp"

namespace weave {

namespace {

void check_lattice(const GraphInit& init, const GridShape& size) {
  if (init.kind != GraphInit::Kind::Grid) return;
  const uint64_t lattice = uint64_t{init.cells_x} * init.cells_y;
  const uint64_t cells = size.rows * size.columns;  // both sides are at most 2^24, as read
  if (lattice > cells || lattice > kMaxLatticeNodes)
    evocore::refuse("configuration key 'graph_init': a Grid lattice of " + std::to_string(init.cells_x) +
                    " x " + std::to_string(init.cells_y) + " nodes does not fit a grid of " +
                    std::to_string(size.rows) + " x " + std::to_string(size.columns) + " cells");
}

}  // namespace

void validate(const WeaveConfig& config) { check_lattice(config.graph_init, config.grid_size); }

}  // namespace weave
