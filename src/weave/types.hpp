#pragma once
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "../evocore/config.hpp"
#include "../evocore/genome.hpp"

namespace weave {

enum class NodeType { Fixed, Flexible };
enum class EvaluationStrategy { SingleObjective, MultiObjectiveBridge };

// A grid cell: its row and column (the row indexes the rows of a trace grid).
struct Cell {
  int32_t row = 0;
  int32_t column = 0;
  friend bool operator==(const Cell&, const Cell&) = default;
};

// Squared Euclidean distance of two cells, exact for any positions.
inline unsigned __int128 squared_distance(Cell a, Cell b) {
  const auto square = [](int64_t d) {
    const auto magnitude = static_cast<uint64_t>(d < 0 ? -d : d);
    return static_cast<unsigned __int128>(magnitude) * magnitude;
  };
  return square(int64_t{a.row} - b.row) + square(int64_t{a.column} - b.column);
}

// Euclidean distance of two cells, computed in floating point (no overflow).
inline double distance(Cell a, Cell b) {
  const double dx = static_cast<double>(int64_t{a.row} - b.row),
               dy = static_cast<double>(int64_t{a.column} - b.column);
  return std::sqrt(dx * dx + dy * dy);
}

struct WeaveNodeData {
  Cell pos{};
  NodeType type = NodeType::Flexible;
  friend bool operator==(const WeaveNodeData&, const WeaveNodeData&) = default;
};

struct GraphInit {
  enum class Kind { FCN, Grid };
  Kind kind = Kind::FCN;
  uint32_t cells_x = 0;  // payload of Grid
  uint32_t cells_y = 0;
};

struct GridShape {
  uint64_t rows = 0;
  uint64_t columns = 0;
};

// Field order is the order of the dictionary key table.
struct WeaveConfig {
  GridShape grid_size{};
  std::vector<Cell> fixed_nodes;
  double move_node_mutation_prob = 0.0;
  double move_node_mutation_sigma = 0.0;
  EvaluationStrategy evaluation_strategy = EvaluationStrategy::SingleObjective;
  GraphInit graph_init{};
  uint64_t compatibility_sigma = 0;
  double c3 = 0.0;
  uint64_t min_separation = 0;  // cells; 0 counts every edge that is no bridge as protected
};

using WeaveNode = evocore::Node<WeaveNodeData>;
using WeaveNodeMap = evocore::NodeMap<WeaveNodeData>;
using evocore::Edge;
using evocore::EdgeMap;
using WeaveNEATConfig = evocore::NEATConfig<WeaveConfig>;

// The widest grid side, and the most lattice nodes a Grid graph_init may ask for.
inline constexpr uint64_t kMaxGridExtent = uint64_t{1} << 24;
inline constexpr uint64_t kMaxLatticeNodes = uint64_t{1} << 20;

// Refuses the rule that joins two grid settings (evocore::InvalidInput naming
// the key): a lattice with more cells than the grid, or than kMaxLatticeNodes.
// The range of each key is checked where it is read; both grid sides must be
// at most kMaxGridExtent here.
void validate(const WeaveConfig& config);

}  // namespace weave
