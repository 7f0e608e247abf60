#pragma once
#include <cstdint>
#include <vector>

namespace weave {

// A trace grid stored sparsely: cells in ascending row-major index, each once.
struct SparseTrace {
  uint64_t rows = 0;
  uint64_t cols = 0;
  std::vector<uint64_t> cells;   // row-major index x * cols + y, ascending
  std::vector<double> values;    // same length as cells
};

// A max-pooled trace grid stored sparsely (cells with value 0 are left out).
struct PooledTrace {
  uint64_t rows = 0;    // shape of the trace grid it was pooled from
  uint64_t cols = 0;
  uint64_t window = 0;  // pooling window k
  std::vector<uint64_t> cells;   // row-major index in the pooled grid, ascending
  std::vector<double> values;
};

}  // namespace weave
