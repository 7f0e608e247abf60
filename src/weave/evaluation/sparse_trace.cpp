#include "sparse_trace.hpp"

#include <algorithm>
#include <bit>
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

// Buffers of the sorting form, kept per thread so that their capacity (hundreds
// of KiB on large grids) is allocated once rather than grown for every genome.
struct SortScratch {
  std::vector<CellValue> keyed, buffer;
  std::vector<size_t> starts;
};

SortScratch& local_sort_scratch() {
  thread_local SortScratch scratch;
  return scratch;
}

// Stable LSD radix sort by key, 12 bits a pass, as many passes as the largest key needs.
void radix_sort_by_cell(std::vector<CellValue>& entries, uint64_t max_key, SortScratch& scratch) {
  constexpr unsigned kBits = 12;
  constexpr size_t kBuckets = size_t{1} << kBits;
  scratch.buffer.resize(entries.size());
  auto& starts = scratch.starts;
  starts.resize(kBuckets + 1);
  for (unsigned shift = 0; shift < 64 && (max_key >> shift) != 0; shift += kBits) {
    std::fill(starts.begin(), starts.end(), 0);
    for (const CellValue& entry : entries) ++starts[((entry.cell >> shift) & (kBuckets - 1)) + 1];
    for (size_t bucket = 1; bucket <= kBuckets; ++bucket) starts[bucket] += starts[bucket - 1];
    for (const CellValue& entry : entries)
      scratch.buffer[starts[(entry.cell >> shift) & (kBuckets - 1)]++] = entry;
    entries.swap(scratch.buffer);
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

// pooled_trace where the dense scratch would pass its budget: contributions keyed by
// window first and cell within the window second, so that one radix sort lines
// up both the cells to sum and the windows to take the maximum of.
PooledTrace pooled_trace_by_sorting(uint64_t rows, uint64_t cols, uint64_t k, const WeaveNodeMap& nodes,
                                    const EdgeMap& edges) {
  const uint64_t out_rows = rows / k, out_cols = cols / k, area = k * k;
  const Divider by_cols(cols), by_k(k);
  SortScratch& scratch = local_sort_scratch();
  std::vector<CellValue>& keyed = scratch.keyed;
  keyed.clear();
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
  radix_sort_by_cell(keyed, out_rows * out_cols * area, scratch);
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

// The dense form keeps per thread two bits per cell and a maximum per window:
// the grid's cells / 4 plus its windows x 8 bytes. Above this budget sorting
// the contributions costs less than the memory.
constexpr uint64_t kDenseScratchBytes = uint64_t{32} << 20;

// Per-thread scratch of the dense form. Between calls every bit and every
// window maximum is 0 and the lists are empty (a failed call clears what it set).
struct DenseScratch {
  std::vector<uint64_t> visited, repeated;  // a bit per cell
  std::vector<uint64_t> touched;            // a bit per window
  std::vector<double> maxima;               // per window
  struct Sample {
    uint64_t cell, window;
    double value;
  };
  std::vector<Sample> samples;     // in the order of the trace walk
  std::vector<CellValue> repeats;  // cells with more than one contribution: cell, summed value
  std::vector<uint64_t> repeat_windows;
  // A cell's window is row_windows[x] + col_windows[y], or outside the pooled
  // grid (the remainder rows and columns) when either is kOutside.
  std::vector<uint64_t> row_windows, col_windows;
};

constexpr uint64_t kOutside = ~uint64_t{0};

void fill_window_tables(DenseScratch& scratch, uint64_t rows, uint64_t cols, uint64_t k) {
  const uint64_t out_rows = rows / k, out_cols = cols / k;
  scratch.row_windows.resize(rows);
  scratch.col_windows.resize(cols);
  for (uint64_t x = 0; x < rows; ++x) scratch.row_windows[x] = x / k < out_rows ? x / k * out_cols : kOutside;
  for (uint64_t y = 0; y < cols; ++y) scratch.col_windows[y] = y / k < out_cols ? y / k : kOutside;
}

bool test_and_set(std::vector<uint64_t>& bits, uint64_t i) {
  const uint64_t mask = uint64_t{1} << (i & 63);
  const bool was_set = (bits[i >> 6] & mask) != 0;
  bits[i >> 6] |= mask;
  return was_set;
}

bool is_set(const std::vector<uint64_t>& bits, uint64_t i) { return (bits[i >> 6] >> (i & 63)) & 1; }

class DenseLease {
 public:
  DenseLease(uint64_t cells, uint64_t windows) : scratch_(local()) {
    const auto words = [](uint64_t bits) { return (bits + 63) / 64; };
    if (scratch_.visited.size() < words(cells)) {
      scratch_.visited.resize(words(cells), 0);
      scratch_.repeated.resize(words(cells), 0);
    }
    if (scratch_.maxima.size() < windows) {
      scratch_.maxima.resize(windows, 0.0);
      scratch_.touched.resize(words(windows), 0);
    }
  }
  DenseLease(const DenseLease&) = delete;
  DenseLease& operator=(const DenseLease&) = delete;
  // A successful call has cleared every bit and window maximum itself.
  void cleared() { cleared_ = true; }
  ~DenseLease() {  // whole words: every bit set in them belongs to this call
    if (!cleared_) {
      for (const auto& sample : scratch_.samples) {
        scratch_.visited[sample.cell >> 6] = scratch_.repeated[sample.cell >> 6] = 0;
        scratch_.maxima[sample.window] = 0.0;
        scratch_.touched[sample.window >> 6] = 0;
      }
    }
    scratch_.samples.clear();
    scratch_.repeats.clear();
    scratch_.repeat_windows.clear();
  }
  DenseScratch& operator*() const { return scratch_; }

 private:
  static DenseScratch& local() {
    thread_local DenseScratch scratch;
    return scratch;
  }
  DenseScratch& scratch_;
  bool cleared_ = false;
};

// The cells that took more than one contribution, found by cell through a
// small open-addressing table, for summing their contributions apart.
class RepeatSums {
 public:
  explicit RepeatSums(std::vector<CellValue>& repeats)
      : repeats_(repeats),
        bits_(std::max(1u, static_cast<unsigned>(std::bit_width(2 * repeats.size())))),
        table_(size_t{1} << bits_, kEmpty) {
    for (size_t i = 0; i < repeats_.size(); ++i) {
      uint64_t slot = slot_of(repeats_[i].cell);
      while (table_[slot] != kEmpty) slot = next(slot);
      table_[slot] = static_cast<uint32_t>(i);
    }
  }

  // Adds to a cell in the table (only those are asked for).
  void add(uint64_t cell, double value) {
    uint64_t slot = slot_of(cell);
    while (repeats_[table_[slot]].cell != cell) slot = next(slot);
    repeats_[table_[slot]].value += value;
  }

 private:
  static constexpr uint32_t kEmpty = ~uint32_t{0};
  uint64_t slot_of(uint64_t cell) const { return (cell * 0x9E3779B97F4A7C15ull) >> (64 - bits_); }
  uint64_t next(uint64_t slot) const { return (slot + 1) & (table_.size() - 1); }

  std::vector<CellValue>& repeats_;
  unsigned bits_;
  std::vector<uint32_t> table_;
};

// Takes a cell's (scaled) sum into its window's maximum.
void raise_maximum(DenseScratch& scratch, uint64_t window, double value) {
  if (!(value > 0.0)) return;  // the pool of a window is at least 0
  scratch.touched[window >> 6] |= uint64_t{1} << (window & 63);
  scratch.maxima[window] = std::max(scratch.maxima[window], value);
}

PooledTrace pooled_trace_dense(uint64_t rows, uint64_t cols, uint64_t k, const WeaveNodeMap& nodes,
                               const EdgeMap& edges) {
  const uint64_t out_rows = rows / k, out_cols = cols / k;
  DenseLease lease(rows * cols, out_rows * out_cols);
  DenseScratch& scratch = *lease;
  const Divider by_cols(cols);
  fill_window_tables(scratch, rows, cols, k);
  const auto add = [&](uint64_t cell, double value) __attribute__((always_inline)) {
    const uint64_t x = by_cols.quotient(cell);
    const uint64_t row_part = scratch.row_windows[x], col_part = scratch.col_windows[cell - x * cols];
    if (row_part == kOutside || col_part == kOutside) return;
    const uint64_t window = row_part + col_part;
    scratch.samples.push_back({cell, window, value});
    if (test_and_set(scratch.visited, cell) && !test_and_set(scratch.repeated, cell)) {
      scratch.repeats.push_back({cell, 0.0});
      scratch.repeat_windows.push_back(window);
    }
  };
  detail::for_each_trace_contribution(
      rows, cols, nodes, edges, [&](uint64_t cell) { add(cell, 1.0); },
      [&](uint64_t cell, double weight, bool) { add(cell, weight); });
  // A repeated cell's contributions are summed in walk order, as a dense grid
  // of sums would add them, and enter the maximum as one.
  RepeatSums sums(scratch.repeats);
  const double scale = detail::trace_scale(rows, cols);
  for (const auto& sample : scratch.samples) {
    scratch.visited[sample.cell >> 6] = 0;  // no longer read
    if (is_set(scratch.repeated, sample.cell))
      sums.add(sample.cell, sample.value);
    else
      raise_maximum(scratch, sample.window, sample.value * scale);
  }
  for (size_t i = 0; i < scratch.repeats.size(); ++i) {
    scratch.repeated[scratch.repeats[i].cell >> 6] = 0;
    raise_maximum(scratch, scratch.repeat_windows[i], scratch.repeats[i].value * scale);
  }
  PooledTrace pooled{rows, cols, k, {}, {}};
  const uint64_t words = (out_rows * out_cols + 63) / 64;  // the scratch may be larger, from a larger grid
  size_t count = 0;
  for (uint64_t word = 0; word < words; ++word)
    count += static_cast<size_t>(std::popcount(scratch.touched[word]));
  pooled.cells.reserve(count);
  pooled.values.reserve(count);
  for (uint64_t word = 0; word < words; ++word) {
    for (uint64_t bits = scratch.touched[word]; bits != 0; bits &= bits - 1) {
      const uint64_t window = word * 64 + static_cast<uint64_t>(std::countr_zero(bits));
      pooled.cells.push_back(window);
      pooled.values.push_back(scratch.maxima[window]);
    }
  }
  for (const uint64_t window : pooled.cells) scratch.maxima[window] = 0.0;
  std::fill_n(scratch.touched.begin(), words, 0);
  lease.cleared();
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
  const uint64_t windows = (rows / k) * (cols / k);
  if (rows * cols / 4 + windows * sizeof(double) > kDenseScratchBytes)
    return pooled_trace_by_sorting(rows, cols, k, nodes, edges);
  return pooled_trace_dense(rows, cols, k, nodes, edges);
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
