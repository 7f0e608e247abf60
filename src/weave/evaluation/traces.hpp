#pragma once
#include <cstdint>
#include <vector>

#include "../types.hpp"

namespace weave {

// Dense trace grid of shape (rows, cols), row-major: every in-shape node marks
// its cell with 1, every enabled edge leaves samples of one step's length along
// its line; the whole grid is scaled by 1 / (rows + cols).
std::vector<double> compute_traces(uint64_t rows, uint64_t cols, const WeaveNodeMap& nodes,
                                   const EdgeMap& edges);

// Max pooling with a k x k window and stride k; shape (rows / k, cols / k).
// Each output cell is the maximum of 0 and its window, NaN cells ignored.
std::vector<double> max_pool(const std::vector<double>& grid, uint64_t rows, uint64_t cols, uint64_t k);

// |max_pool(first) - max_pool(second)| cell by cell; both grids have shape (rows, cols).
std::vector<double> trace_difference(const std::vector<double>& first, const std::vector<double>& second,
                                     uint64_t rows, uint64_t cols, uint64_t k);

}  // namespace weave
