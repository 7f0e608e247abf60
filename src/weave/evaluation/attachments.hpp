#pragma once
#include <algorithm>
#include <cstdint>
#include <vector>

#include "../types.hpp"

namespace weave {

// What a network must join besides its terminals. The cells of a network that
// is already built count as one connected whole: every node on one of them is
// joined to every other (the new network may attach to it anywhere, and more
// than once), and a network with an existing part must reach it. A region is
// reached when some node stands on one of its cells. Cells are row-major
// indices of a map with `cols` columns, each list sorted and without repeats.
struct Attachments {
  uint64_t cols = 0;
  std::vector<uint64_t> existing;
  std::vector<std::vector<uint64_t>> regions;

  bool empty() const { return existing.empty() && regions.empty(); }
  uint64_t cell_of(Cell pos) const {
    return static_cast<uint64_t>(pos.row) * cols + static_cast<uint64_t>(pos.column);
  }
  bool on_existing(Cell pos) const { return holds(existing, pos); }
  bool in_region(size_t region, Cell pos) const { return holds(regions[region], pos); }
  // A node the network needs where it stands: on the existing network or in a region.
  bool anchors(Cell pos) const {
    if (on_existing(pos)) return true;
    for (size_t r = 0; r < regions.size(); ++r)
      if (in_region(r, pos)) return true;
    return false;
  }
  // True when a node at `a` and one at `b` join the same things.
  bool same_anchors(Cell a, Cell b) const {
    if (on_existing(a) != on_existing(b)) return false;
    for (size_t r = 0; r < regions.size(); ++r)
      if (in_region(r, a) != in_region(r, b)) return false;
    return true;
  }

 private:
  bool holds(const std::vector<uint64_t>& cells, Cell pos) const {
    if (pos.row < 0 || pos.column < 0 || static_cast<uint64_t>(pos.column) >= cols) return false;
    return std::binary_search(cells.begin(), cells.end(), cell_of(pos));
  }
};

}  // namespace weave
