#pragma once
#include <cstdint>
#include <vector>

#include "../types.hpp"

namespace weave {

// A trace grid stored sparsely: cells in ascending row-major index, each once.
struct SparseTrace {
  uint64_t rows = 0;
  uint64_t cols = 0;
  std::vector<uint64_t> cells;  // row-major index x * cols + y, ascending
  std::vector<double> values;   // same length as cells
};

// A max-pooled trace grid stored sparsely (cells with value 0 are left out).
struct PooledTrace {
  uint64_t rows = 0;  // shape of the trace grid it was pooled from
  uint64_t cols = 0;
  uint64_t window = 0;          // pooling window k
  std::vector<uint64_t> cells;  // row-major index in the pooled grid, ascending
  std::vector<double> values;
};

// The touched cells of compute_traces, with the same values up to the order of
// floating-point additions. Work is proportional to nodes plus edge samples.
SparseTrace compute_sparse_traces(uint64_t rows, uint64_t cols, const WeaveNodeMap& nodes,
                                  const EdgeMap& edges);

// max_pool of a sparse trace; the pooled grid has shape (rows / k, cols / k).
PooledTrace pool_sparse(const SparseTrace& trace, uint64_t k);

// pool_sparse(compute_sparse_traces(rows, cols, ...), k) in one pass: the
// contributions are listed in walk order, a bit per cell finds the cells that
// take more than one (summed apart), and a per-thread grid of window maxima
// with a bit per touched window gives the windows in order. Where that
// scratch would pass its memory budget the contributions are radix-sorted.
PooledTrace pooled_trace(uint64_t rows, uint64_t cols, uint64_t k, const WeaveNodeMap& nodes,
                         const EdgeMap& edges);

// Euclidean distance of two pooled grids of the same shape and window.
double pooled_distance(const PooledTrace& a, const PooledTrace& b);

}  // namespace weave
