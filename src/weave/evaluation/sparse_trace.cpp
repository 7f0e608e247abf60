#include "sparse_trace.hpp"

#include <algorithm>
#include <cmath>

#include "samples.hpp"

namespace weave {

namespace {

struct CellValue {
  uint64_t cell;
  double value;
};

void sort_by_cell(std::vector<CellValue>& entries) {
  std::sort(entries.begin(), entries.end(),
            [](const CellValue& a, const CellValue& b) { return a.cell < b.cell; });
}

// Consecutive samples on one cell are summed in place: an edge clipped along a
// grid border can put billions of samples on a handful of cells.
void add_contribution(std::vector<CellValue>& contributions, uint64_t cell, double value) {
  if (!contributions.empty() && contributions.back().cell == cell)
    contributions.back().value += value;
  else
    contributions.push_back({cell, value});
}

std::vector<CellValue> trace_contributions(uint64_t rows, uint64_t cols, const WeaveNodeMap& nodes,
                                           const EdgeMap& edges) {
  std::vector<CellValue> contributions;
  contributions.reserve(nodes.size() + 4 * edges.size());
  detail::for_each_trace_contribution(
      rows, cols, nodes, edges, [&](uint64_t cell) { add_contribution(contributions, cell, 1.0); },
      [&](uint64_t cell, double weight, bool) { add_contribution(contributions, cell, weight); });
  return contributions;
}

void check_same_shape(const PooledTrace& a, const PooledTrace& b) {
  if (a.rows != b.rows || a.cols != b.cols || a.window != b.window)
    evocore::fail("pooled traces of different shapes cannot be compared");
}

}  // namespace

SparseTrace compute_sparse_traces(uint64_t rows, uint64_t cols, const WeaveNodeMap& nodes,
                                  const EdgeMap& edges) {
  auto contributions = trace_contributions(rows, cols, nodes, edges);
  sort_by_cell(contributions);
  SparseTrace trace{rows, cols, {}, {}};
  const double scale = detail::trace_scale(rows, cols);
  for (size_t begin = 0; begin < contributions.size();) {
    const uint64_t cell = contributions[begin].cell;
    double sum = 0.0;
    size_t end = begin;
    for (; end < contributions.size() && contributions[end].cell == cell; ++end)
      sum += contributions[end].value;
    trace.cells.push_back(cell);
    trace.values.push_back(sum * scale);
    begin = end;
  }
  return trace;
}

PooledTrace pool_sparse(const SparseTrace& trace, uint64_t k) {
  if (k == 0) evocore::fail("pooling window must be at least 1");
  PooledTrace pooled{trace.rows, trace.cols, k, {}, {}};
  const uint64_t out_rows = trace.rows / k, out_cols = trace.cols / k;
  std::vector<CellValue> windows;
  windows.reserve(trace.cells.size());
  for (size_t i = 0; i < trace.cells.size(); ++i) {
    const uint64_t x = trace.cells[i] / trace.cols, y = trace.cells[i] % trace.cols;
    if (x / k < out_rows && y / k < out_cols)
      windows.push_back({(x / k) * out_cols + y / k, trace.values[i]});
  }
  sort_by_cell(windows);
  for (size_t begin = 0; begin < windows.size();) {
    double best = 0.0;  // the pool of a window is at least 0; NaN never wins
    size_t end = begin;
    for (; end < windows.size() && windows[end].cell == windows[begin].cell; ++end)
      if (windows[end].value > best) best = windows[end].value;
    if (best > 0.0) {
      pooled.cells.push_back(windows[begin].cell);
      pooled.values.push_back(best);
    }
    begin = end;
  }
  return pooled;
}

double pooled_distance(const PooledTrace& a, const PooledTrace& b) {
  check_same_shape(a, b);
  double sum = 0.0;
  size_t i = 0, j = 0;
  while (i < a.cells.size() || j < b.cells.size()) {
    double difference;
    if (j == b.cells.size() || (i < a.cells.size() && a.cells[i] < b.cells[j])) {
      difference = a.values[i++];
    } else if (i == a.cells.size() || b.cells[j] < a.cells[i]) {
      difference = -b.values[j++];
    } else {
      difference = a.values[i++] - b.values[j++];
    }
    sum += difference * difference;
  }
  return std::sqrt(sum);
}

}  // namespace weave
