// Settled cells per second (of thread time) of a single-source least-cost
// search on one thread: the search against the plain one it replaced (binary heap, a
// division per neighbour step), kept here for the comparison. The maps come
// as raw float64 files (written by bench_routing.py); the two searches'
// distances and paths are checked to agree bit for bit.
//
// Usage: bench_routing ROWS COLS FILE [ROUNDS [float32]]  old against new
//        bench_routing ROWS COLS FILE --memory             new only, peak memory
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "routing/least_cost.hpp"

namespace {

using routing::CostMap;

// The plain search: a binary heap with lazy deletion, neighbours by division.
class PlainSearch {
 public:
  explicit PlainSearch(const CostMap& map)
      : map_(map), distance_(map.rows * map.cols, routing::kUnreached), parent_(map.rows * map.cols, 255) {}

  void add_source(uint64_t cell) {
    distance_[cell] = 0.0;
    heap_.push_back({0.0, cell});
    std::push_heap(heap_.begin(), heap_.end(), std::greater<>{});
  }
  uint64_t propagate() {
    uint64_t settled = 0;
    while (!heap_.empty()) {
      std::pop_heap(heap_.begin(), heap_.end(), std::greater<>{});
      const Queued top = heap_.back();
      heap_.pop_back();
      if (top.distance > distance_[top.cell]) continue;
      ++settled;
      routing::for_each_neighbour(map_, top.cell, [&](uint64_t next, uint8_t direction) {
        const double candidate = top.distance + step_cost(top.cell, next);
        if (!(candidate < distance_[next])) return;
        distance_[next] = candidate;
        parent_[next] = direction;
        heap_.push_back({candidate, next});
        std::push_heap(heap_.begin(), heap_.end(), std::greater<>{});
      });
    }
    return settled;
  }
  double distance(uint64_t cell) const { return distance_[cell]; }
  uint8_t parent(uint64_t cell) const { return parent_[cell]; }

 private:
  struct Queued {
    double distance;
    uint64_t cell;
    bool operator>(const Queued& other) const {
      return distance > other.distance || (distance == other.distance && cell > other.cell);
    }
  };
  double step_cost(uint64_t from, uint64_t to) const {
    const bool diagonal = (from / map_.cols != to / map_.cols) && (from % map_.cols != to % map_.cols);
    return (diagonal ? 1.4142135623730951 : 1.0) * 0.5 * (map_.at(from) + map_.at(to));
  }

  CostMap map_;
  std::vector<double> distance_;
  std::vector<uint8_t> parent_;
  std::vector<Queued> heap_;
};

// Time this thread spent on the processor: other work on the machine delays
// the wall clock but not this.
double thread_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) + 1e-9 * double(now.tv_nsec);
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The parent's direction of `cell` in a finished search, from its path.
uint8_t parent_direction(const routing::LeastCostSearch& search, uint64_t cell) {
  const auto path = search.path_from(cell);
  if (path.size() < 2) return 255;
  const uint64_t cols = search.map().cols;
  const int64_t dx = int64_t(path[0] / cols) - int64_t(path[1] / cols),
                dy = int64_t(path[0] % cols) - int64_t(path[1] % cols);
  for (uint8_t d = 0; d < 8; ++d)
    if (routing::kNeighbours[d].dx == dx && routing::kNeighbours[d].dy == dy) return d;
  return 254;
}

// A size in KiB from /proc/self/status: VmRSS (resident now) or VmHWM (peak).
double status_kib(const char* field) {
  std::FILE* status = std::fopen("/proc/self/status", "r");
  char line[256];
  double kib = 0.0;
  while (status && std::fgets(line, sizeof line, status))
    if (std::strncmp(line, field, std::strlen(field)) == 0) kib = std::atof(line + std::strlen(field));
  if (status) std::fclose(status);
  return kib;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: bench_routing ROWS COLS FILE [ROUNDS [float32] | --memory]\n");
    return 2;
  }
  const uint64_t rows = std::strtoull(argv[1], nullptr, 10), cols = std::strtoull(argv[2], nullptr, 10);
  std::vector<double> cells(rows * cols);
  std::FILE* file = std::fopen(argv[3], "rb");
  if (!file || std::fread(cells.data(), sizeof(double), cells.size(), file) != cells.size()) {
    std::fprintf(stderr, "cannot read %s\n", argv[3]);
    return 2;
  }
  std::fclose(file);
  // With "float32" after the rounds both searches read the costs as float32.
  const bool float32 = argc > 5 && std::strcmp(argv[5], "float32") == 0;
  const std::vector<float> cells32 =
      float32 ? std::vector<float>(cells.begin(), cells.end()) : std::vector<float>();
  const CostMap map =
      float32 ? CostMap{rows, cols, nullptr, cells32.data()} : CostMap{rows, cols, cells.data()};
  const uint64_t source = rows / 3 * cols + cols / 2;

  if (argc > 4 && std::strcmp(argv[4], "--memory") == 0) {
    const double before = status_kib("VmRSS:");
    routing::LeastCostSearch search(map);
    search.add_source(source);
    search.propagate();
    // The map itself was resident before the search.
    std::printf("peak %.2f bytes/cell beyond the map\n",
                (status_kib("VmHWM:") - before) * 1024.0 / double(rows * cols));
    return 0;
  }

  const int rounds = argc > 4 ? std::atoi(argv[4]) : 5;
  std::vector<double> plain_rates, new_rates, ratios;
  for (int round = 0; round < rounds; ++round) {
    // Alternated, so that load from elsewhere on the machine slows both alike.
    PlainSearch plain(map);
    double start = thread_seconds();
    plain.add_source(source);
    const uint64_t plain_settled = plain.propagate();
    const double plain_time = thread_seconds() - start;

    routing::LeastCostSearch search(map);
    start = thread_seconds();
    search.add_source(source);
    search.propagate();
    const double new_time = thread_seconds() - start;

    if (round == 0) {
      if (plain_settled != search.settled_count()) {
        std::fprintf(stderr, "settled %llu against %llu cells\n", (unsigned long long)plain_settled,
                     (unsigned long long)search.settled_count());
        return 1;
      }
      for (uint64_t cell = 0; cell < rows * cols; ++cell) {
        const double a = plain.distance(cell), b = search.distance(cell);
        if (std::memcmp(&a, &b, sizeof a) != 0) {
          std::fprintf(stderr, "distances differ at cell %llu: %.17g %.17g\n", (unsigned long long)cell, a,
                       b);
          return 1;
        }
      }
      for (uint64_t cell = 0; cell < rows * cols; cell += 997)
        if (plain.parent(cell) != parent_direction(search, cell)) {
          std::fprintf(stderr, "paths differ at cell %llu\n", (unsigned long long)cell);
          return 1;
        }
    }
    plain_rates.push_back(double(plain_settled) / plain_time);
    new_rates.push_back(double(search.settled_count()) / new_time);
    ratios.push_back(plain_time / new_time);
  }
  std::printf(
      "%5llu x %-5llu plain %6.2f M cells/s   new %6.2f M cells/s   new / plain %5.2f   (median of %d)\n",
      (unsigned long long)rows, (unsigned long long)cols, median(plain_rates) / 1e6, median(new_rates) / 1e6,
      median(ratios), rounds);
  return 0;
}
