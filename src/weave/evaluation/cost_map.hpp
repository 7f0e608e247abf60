#pragma once
#include <cstdint>

namespace weave {

class ImpassableBlocks;
struct Attachments;

// A caller's cost map, row-major, indexed like a trace grid. Not owned. The
// cells are float64 (`data`) or, read in place without a copy, float32
// (`data32`, when set); a float32 cell widens to double exactly. `blocks`,
// when set, are the map's impassable blocks (owned by whoever made the view).
struct CostMap {
  uint64_t rows = 0;
  uint64_t cols = 0;
  const double* data = nullptr;
  const float* data32 = nullptr;
  const ImpassableBlocks* blocks = nullptr;
  const Attachments* attachments = nullptr;  // what the network must join besides its terminals
  double at(uint64_t cell) const { return data32 ? static_cast<double>(data32[cell]) : data[cell]; }
};

}  // namespace weave
