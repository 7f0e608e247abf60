#include "traces.hpp"

#include <cmath>
#include <string>

#include "samples.hpp"

namespace weave {

namespace {

void check_grid_size(const std::vector<double>& grid, uint64_t rows, uint64_t cols) {
  detail::check_grid_shape(rows, cols);
  if (grid.size() != rows * cols)
    evocore::fail("grid holds " + std::to_string(grid.size()) + " cells, not " + std::to_string(rows) +
                  " x " + std::to_string(cols));
}

double window_max(const std::vector<double>& grid, uint64_t cols, uint64_t row0, uint64_t col0, uint64_t k) {
  double best = 0.0;
  for (uint64_t r = 0; r < k; ++r) {
    const double* row = grid.data() + (row0 + r) * cols + col0;
    for (uint64_t c = 0; c < k; ++c)
      if (row[c] > best) best = row[c];  // NaN never compares greater
  }
  return best;
}

}  // namespace

std::vector<double> compute_traces(uint64_t rows, uint64_t cols, const WeaveNodeMap& nodes,
                                   const EdgeMap& edges) {
  detail::check_grid_shape(rows, cols);
  std::vector<double> traces(rows * cols, 0.0);
  std::vector<double> endpoints(rows * cols, 0.0);
  detail::for_each_trace_contribution(
      rows, cols, nodes, edges, [&](uint64_t cell) { traces[cell] += 1.0; },
      [&](uint64_t cell, double weight, bool is_endpoint) {
        (is_endpoint ? endpoints : traces)[cell] += weight;
      });
  for (size_t cell = 0; cell < traces.size(); ++cell)
    if (endpoints[cell] > 0.0) traces[cell] += endpoints[cell];
  const double scale = detail::trace_scale(rows, cols);
  for (double& value : traces) value *= scale;
  return traces;
}

std::vector<double> max_pool(const std::vector<double>& grid, uint64_t rows, uint64_t cols, uint64_t k) {
  if (k == 0) evocore::fail("pooling window must be at least 1");
  check_grid_size(grid, rows, cols);
  const uint64_t out_rows = rows / k, out_cols = cols / k;
  std::vector<double> pooled(out_rows * out_cols);
  for (uint64_t i = 0; i < out_rows; ++i)
    for (uint64_t j = 0; j < out_cols; ++j)
      pooled[i * out_cols + j] = window_max(grid, cols, i * k, j * k, k);
  return pooled;
}

std::vector<double> trace_difference(const std::vector<double>& first, const std::vector<double>& second,
                                     uint64_t rows, uint64_t cols, uint64_t k) {
  const auto pooled_first = max_pool(first, rows, cols, k);
  const auto pooled_second = max_pool(second, rows, cols, k);
  std::vector<double> difference(pooled_first.size(), 0.0);
  for (size_t cell = 0; cell < difference.size(); ++cell)
    difference[cell] = std::abs(pooled_first[cell] - pooled_second[cell]);
  return difference;
}

}  // namespace weave
