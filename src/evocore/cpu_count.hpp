#pragma once
#include <sched.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>

namespace evocore {

namespace detail {
inline size_t affinity_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) != 0) return 1;
  const int count = CPU_COUNT(&set);
  return count > 0 ? static_cast<size_t>(count) : 1;
}

// CPU limit from the control group's quota, or 0 when there is none.
inline size_t cgroup_cpu_limit() {
  auto limit_from = [](double quota, double period) -> size_t {
    if (quota <= 0 || period <= 0) return 0;
    return static_cast<size_t>(std::ceil(quota / period));
  };
  std::ifstream v2("/sys/fs/cgroup/cpu.max");
  if (v2) {
    std::string quota;
    double period = 0;
    if (v2 >> quota >> period && quota != "max") return limit_from(std::atof(quota.c_str()), period);
    return 0;
  }
  std::ifstream quota_file("/sys/fs/cgroup/cpu/cpu.cfs_quota_us");
  std::ifstream period_file("/sys/fs/cgroup/cpu/cpu.cfs_period_us");
  double quota = 0, period = 0;
  if (quota_file >> quota && period_file >> period) return limit_from(quota, period);
  return 0;
}

// Requested worker count from GRIDWEAVE_NUM_THREADS, 0 when unset or not a
// positive integer.
inline size_t requested_threads() {
  const char* text = std::getenv("GRIDWEAVE_NUM_THREADS");
  if (!text || !*text) return 0;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*end != '\0' || value <= 0) return 0;
  return static_cast<size_t>(value);
}
}  // namespace detail

// The most workers a GRIDWEAVE_NUM_THREADS override may ask for.
inline size_t max_thread_override() { return std::max<size_t>(256, 4 * detail::affinity_cpus()); }

// True when GRIDWEAVE_NUM_THREADS asks for more than max_thread_override().
inline bool thread_override_capped() { return detail::requested_threads() > max_thread_override(); }

// Number of worker threads: GRIDWEAVE_NUM_THREADS when set to a positive
// integer (at most max_thread_override()), else the CPUs of the affinity
// mask, capped by the cgroup quota.
inline size_t available_cpus() {
  if (size_t forced = detail::requested_threads()) return std::min(forced, max_thread_override());
  size_t cpus = detail::affinity_cpus();
  if (size_t limit = detail::cgroup_cpu_limit(); limit > 0 && limit < cpus) cpus = limit;
  return cpus > 0 ? cpus : 1;
}

}  // namespace evocore
