#pragma once
#include <cstdint>
#include <optional>
#include <vector>

#include "../weave/types.hpp"

namespace gwpy {

// Records of the genome structure dictionary. An absent id means "generate one"
// when read, and is left out when written.
struct NodeDTO {
  std::optional<uint64_t> id;
  weave::WeaveNodeData data;
};

struct EdgeDTO {
  std::optional<uint64_t> id;
  uint64_t node1 = 0;
  uint64_t node2 = 0;
  bool enabled = false;
};

struct GenomeDTO {
  std::vector<NodeDTO> nodes;
  std::vector<EdgeDTO> edges;
};

}  // namespace gwpy
