#pragma once
#include <atomic>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>

#include "error.hpp"

namespace evocore {

namespace detail {
inline uint64_t splitmix64(uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}
}  // namespace detail

// xoshiro256** (Blackman and Vigna): 32 bytes of state, so that a generator of
// its own for every genome of a parallel step is cheap to seed. The state is
// filled from splitmix64, as its authors advise.
class Xoshiro256 {
 public:
  using result_type = uint64_t;
  explicit Xoshiro256(uint64_t seed) {
    for (uint64_t& word : state_) {
      word = detail::splitmix64(seed);
      seed += 0x9E3779B97F4A7C15ULL;
    }
  }
  static constexpr result_type min() { return 0; }
  static constexpr result_type max() { return ~result_type{0}; }
  result_type operator()() {
    const uint64_t result = rotl(state_[1] * 5, 7) * 9;
    const uint64_t t = state_[1] << 17;
    state_[2] ^= state_[0];
    state_[3] ^= state_[1];
    state_[1] ^= state_[2];
    state_[0] ^= state_[3];
    state_[2] ^= t;
    state_[3] = rotl(state_[3], 45);
    return result;
  }

 private:
  static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  uint64_t state_[4];
};

// A random generator with the draws the operators need. Each thread has one
// (thread_rng); a parallel step gives every item one of its own (item_seed).
class Rng {
 public:
  using Engine = Xoshiro256;

  explicit Rng(uint64_t seed) : engine_(seed) {}

  Engine& engine() { return engine_; }
  uint64_t next_u64() { return engine_(); }

  // Uniform double in [0, 1).
  double uniform01() { return static_cast<double>(engine_() >> 11) * 0x1.0p-53; }

  // Uniform index in [0, n). Fails on an empty range.
  size_t index(size_t n) {
    if (n == 0) fail("cannot choose from an empty list");
    return std::uniform_int_distribution<size_t>(0, n - 1)(engine_);
  }

  // Uniform integer in [lo, hi].
  int64_t uniform_int(int64_t lo, int64_t hi) {
    return std::uniform_int_distribution<int64_t>(lo, hi)(engine_);
  }

  double normal() { return std::normal_distribution<double>(0.0, 1.0)(engine_); }

  // One Bernoulli trial. p == 1 fires without drawing; any other p in [0, 1]
  // draws exactly once; p outside [0, 1] or NaN fails.
  bool bernoulli(double p) {
    if (!(p >= 0.0 && p <= 1.0)) fail("probability " + std::to_string(p) + " is outside [0, 1]");
    if (p == 1.0) return true;
    return uniform01() < p;
  }

 private:
  Engine engine_;
};

namespace detail {
struct SeedState {
  std::atomic<uint64_t> epoch{0};  // 0 = entropy seeding
  std::atomic<uint64_t> seed{0};
  std::atomic<uint64_t> forks{0};  // forks into a child process so far
};
inline SeedState& seed_state() {
  static SeedState state;
  return state;
}
inline thread_local uint64_t thread_ordinal = 0;  // 0 for threads outside the pool

inline uint64_t entropy_seed() {
  std::random_device device;
  return (static_cast<uint64_t>(device()) << 32) ^ device();
}
}  // namespace detail

// The seed of the generator of item `index` of a parallel step whose caller
// drew `base`: items draw the same numbers whichever thread runs them.
inline uint64_t item_seed(uint64_t base, uint64_t index) {
  return detail::splitmix64(base ^ detail::splitmix64(index + 1));
}

// Makes every thread reseed from `seed` (mixed with its ordinal) before its next draw.
inline void seed_all_threads(uint64_t seed) {
  auto& state = detail::seed_state();
  state.seed.store(seed);
  state.epoch.fetch_add(1);
}

inline void set_thread_ordinal(uint64_t ordinal) { detail::thread_ordinal = ordinal; }

// Called in a forked child: under entropy seeding the forking thread draws a
// fresh seed, so that parent and child do not repeat each other's numbers.
inline void note_fork() { detail::seed_state().forks.fetch_add(1); }

// The calling thread's generator. Seeded from the OS entropy source on first
// use, unless a process-wide seed was set with seed_all_threads(); then every
// thread reseeds itself deterministically from that seed and its thread ordinal.
inline Rng& thread_rng() {
  struct Local {
    Rng rng{detail::entropy_seed()};
    uint64_t epoch = 0;
    uint64_t forks = detail::seed_state().forks.load();
  };
  thread_local Local local;
  auto& state = detail::seed_state();
  const uint64_t epoch = state.epoch.load();
  if (const uint64_t forks = state.forks.load(); forks != local.forks) {
    local.forks = forks;
    if (epoch == 0) local.rng = Rng(detail::entropy_seed());
  }
  if (epoch != local.epoch) {
    local.epoch = epoch;
    local.rng = Rng(detail::splitmix64(state.seed.load() ^ detail::splitmix64(detail::thread_ordinal)));
  }
  return local.rng;
}

}  // namespace evocore
