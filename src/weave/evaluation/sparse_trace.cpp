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

// Above this many cells the dense scratch would cost more memory per thread
// than sorting the contributions costs time.
constexpr uint64_t kDenseScratchCells = uint64_t{1} << 22;

// Dense per-thread grids of cell sums and window maxima; every entry is 0
// between calls (a failed call clears what it touched, too).
struct PoolScratch {
  std::vector<double> cells, windows;
  std::vector<uint64_t> touched_cells, touched_windows;
};

class ScratchLease {
 public:
  ScratchLease(uint64_t cells, uint64_t windows) : scratch_(local()) {
    if (scratch_.cells.size() < cells) scratch_.cells.resize(cells, 0.0);
    if (scratch_.windows.size() < windows) scratch_.windows.resize(windows, 0.0);
  }
  ScratchLease(const ScratchLease&) = delete;
  ScratchLease& operator=(const ScratchLease&) = delete;
  ~ScratchLease() {
    for (uint64_t cell : scratch_.touched_cells) scratch_.cells[cell] = 0.0;
    for (uint64_t window : scratch_.touched_windows) scratch_.windows[window] = 0.0;
    scratch_.touched_cells.clear();
    scratch_.touched_windows.clear();
  }
  PoolScratch& operator*() const { return scratch_; }

 private:
  static PoolScratch& local() {
    thread_local PoolScratch scratch;
    return scratch;
  }
  PoolScratch& scratch_;
};

// Contributions are positive, so a cell is new exactly while its sum is 0.
void add_to_cell(PoolScratch& scratch, uint64_t cell, double value) {
  if (scratch.cells[cell] == 0.0) scratch.touched_cells.push_back(cell);
  scratch.cells[cell] += value;
}

// Stable LSD radix sort by key, 12 bits a pass, as many passes as the largest key needs.
void radix_sort_by_cell(std::vector<CellValue>& entries, uint64_t max_key) {
  constexpr unsigned kBits = 12;
  constexpr size_t kBuckets = size_t{1} << kBits;
  std::vector<CellValue> buffer(entries.size());
  std::vector<size_t> starts(kBuckets + 1);
  for (unsigned shift = 0; shift < 64 && (max_key >> shift) != 0; shift += kBits) {
    std::fill(starts.begin(), starts.end(), 0);
    for (const CellValue& entry : entries) ++starts[((entry.cell >> shift) & (kBuckets - 1)) + 1];
    for (size_t bucket = 1; bucket <= kBuckets; ++bucket) starts[bucket] += starts[bucket - 1];
    for (const CellValue& entry : entries) buffer[starts[(entry.cell >> shift) & (kBuckets - 1)]++] = entry;
    entries.swap(buffer);
  }
}

// Quotient and remainder by a divisor fixed for many divisions: a multiply by
// the reciprocal, then one correction step, instead of a hardware division.
// Larger dividends than 2^52 take the division.
class Divider {
 public:
  explicit Divider(uint64_t divisor) : divisor_(divisor), inverse_(1.0 / static_cast<double>(divisor)) {}
  uint64_t quotient(uint64_t n) const {
    if (n >= kExactBelow) return n / divisor_;
    auto q = static_cast<uint64_t>(static_cast<double>(n) * inverse_);  // off by at most one
    if (q * divisor_ > n)
      --q;
    else if (n - q * divisor_ >= divisor_)
      ++q;
    return q;
  }

 private:
  static constexpr uint64_t kExactBelow = uint64_t{1} << 52;
  uint64_t divisor_;
  double inverse_;
};

// pooled_trace for grids too large for a dense scratch: contributions keyed by
// window first and cell within the window second, so that one radix sort lines
// up both the cells to sum and the windows to take the maximum of.
PooledTrace pooled_trace_by_sorting(uint64_t rows, uint64_t cols, uint64_t k, const WeaveNodeMap& nodes,
                                    const EdgeMap& edges) {
  const uint64_t out_rows = rows / k, out_cols = cols / k, area = k * k;
  const Divider by_cols(cols), by_k(k);
  std::vector<CellValue> keyed;
  keyed.reserve(nodes.size() + 4 * edges.size());
  const auto add = [&](uint64_t cell, double value) {
    const uint64_t x = by_cols.quotient(cell), y = cell - x * cols;
    const uint64_t wx = by_k.quotient(x), wy = by_k.quotient(y);
    if (wx >= out_rows || wy >= out_cols) return;
    const uint64_t key = (wx * out_cols + wy) * area + (x - wx * k) * k + (y - wy * k);
    if (!keyed.empty() && keyed.back().cell == key)
      keyed.back().value += value;  // repeated samples on one cell, as along a clipped border
    else
      keyed.push_back({key, value});
  };
  detail::for_each_trace_contribution(
      rows, cols, nodes, edges, [&](uint64_t cell) { add(cell, 1.0); },
      [&](uint64_t cell, double weight, bool) { add(cell, weight); });
  radix_sort_by_cell(keyed, out_rows * out_cols * area);
  PooledTrace pooled{rows, cols, k, {}, {}};
  const double scale = detail::trace_scale(rows, cols);
  for (size_t begin = 0; begin < keyed.size();) {
    const uint64_t window = keyed[begin].cell / area;
    const uint64_t window_end = (window + 1) * area;
    double best = 0.0;  // the pool of a window is at least 0; NaN never wins
    while (begin < keyed.size() && keyed[begin].cell < window_end) {
      const uint64_t key = keyed[begin].cell;
      double sum = 0.0;
      for (; begin < keyed.size() && keyed[begin].cell == key; ++begin) sum += keyed[begin].value;
      if (sum * scale > best) best = sum * scale;
    }
    if (best > 0.0) {
      pooled.cells.push_back(window);
      pooled.values.push_back(best);
    }
  }
  return pooled;
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

PooledTrace pooled_trace(uint64_t rows, uint64_t cols, uint64_t k, const WeaveNodeMap& nodes,
                         const EdgeMap& edges) {
  if (k == 0) evocore::fail("pooling window must be at least 1");
  detail::check_grid_shape(rows, cols);
  if (rows * cols > kDenseScratchCells) return pooled_trace_by_sorting(rows, cols, k, nodes, edges);
  const uint64_t out_rows = rows / k, out_cols = cols / k;
  const ScratchLease lease(rows * cols, out_rows * out_cols);
  PoolScratch& scratch = *lease;
  detail::for_each_trace_contribution(
      rows, cols, nodes, edges, [&](uint64_t cell) { add_to_cell(scratch, cell, 1.0); },
      [&](uint64_t cell, double weight, bool) { add_to_cell(scratch, cell, weight); });
  const double scale = detail::trace_scale(rows, cols);
  for (uint64_t cell : scratch.touched_cells) {
    const uint64_t x = cell / cols / k, y = cell % cols / k;
    if (x >= out_rows || y >= out_cols) continue;
    const uint64_t window = x * out_cols + y;
    const double value = scratch.cells[cell] * scale;
    if (!(value > 0.0)) continue;  // the pool of a window is at least 0
    if (scratch.windows[window] == 0.0) scratch.touched_windows.push_back(window);
    scratch.windows[window] = std::max(scratch.windows[window], value);
  }
  std::sort(scratch.touched_windows.begin(), scratch.touched_windows.end());
  PooledTrace pooled{rows, cols, k, scratch.touched_windows, {}};
  pooled.values.reserve(pooled.cells.size());
  for (uint64_t window : pooled.cells) pooled.values.push_back(scratch.windows[window]);
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
