#pragma once
#include <sched.h>

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

inline size_t env_thread_override() {
  const char* text = std::getenv("GRIDWEAVE_NUM_THREADS");
  if (!text || !*text) return 0;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*end != '\0' || value <= 0) return 0;
  return static_cast<size_t>(value);
}
}  // namespace detail

// Number of worker threads: GRIDWEAVE_NUM_THREADS when set to a positive
// integer, else the CPUs of the affinity mask, capped by the cgroup quota.
inline size_t available_cpus() {
  if (size_t forced = detail::env_thread_override()) return forced;
  size_t cpus = detail::affinity_cpus();
  if (size_t limit = detail::cgroup_cpu_limit(); limit > 0 && limit < cpus) cpus = limit;
  return cpus > 0 ? cpus : 1;
}

}  // namespace evocore
