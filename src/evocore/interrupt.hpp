#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>

#include "error.hpp"

namespace evocore {

// A thread's interrupt request: a flag that someone else (a signal handler)
// may set while long work runs. Threads without one are never interrupted.
// The worker pool lends each job's request to the workers that run it.
inline thread_local const std::atomic<bool>* interrupt_request = nullptr;

inline bool interrupt_requested() {
  return interrupt_request && interrupt_request->load(std::memory_order_relaxed);
}

// Called from long loops: ends the work with Interrupted when asked to.
inline void check_interrupt() {
  if (interrupt_requested()) throw Interrupted();
}

// Installs `request` for the calling thread for the scope's lifetime.
class InterruptRequestScope {
 public:
  explicit InterruptRequestScope(const std::atomic<bool>* request) : saved_(interrupt_request) {
    interrupt_request = request;
  }
  ~InterruptRequestScope() { interrupt_request = saved_; }
  InterruptRequestScope(const InterruptRequestScope&) = delete;
  InterruptRequestScope& operator=(const InterruptRequestScope&) = delete;

 private:
  const std::atomic<bool>* saved_;
};

// A thread's deadline for long work: loops that can stop with a usable result
// (an anytime search, a local search between moves) ask deadline_passed() and
// stop early; the worker pool lends each job's deadline like its interrupt request.
using Clock = std::chrono::steady_clock;
inline constexpr Clock::time_point kNoDeadline = Clock::time_point::max();
inline thread_local Clock::time_point deadline = kNoDeadline;

inline bool deadline_passed() { return deadline != kNoDeadline && Clock::now() >= deadline; }

// Installs `until` as the calling thread's deadline for the scope's lifetime.
class DeadlineScope {
 public:
  explicit DeadlineScope(Clock::time_point until) : saved_(deadline) { deadline = until; }
  ~DeadlineScope() { deadline = saved_; }
  DeadlineScope(const DeadlineScope&) = delete;
  DeadlineScope& operator=(const DeadlineScope&) = delete;

 private:
  Clock::time_point saved_;
};

// Counts the steps of a long loop and looks at the clock and the interrupt
// request only every `period` steps: check_interrupt() throws Interrupted,
// and the deadline throws DeadlinePassed.
class StopPoll {
 public:
  explicit StopPoll(uint32_t period = 4096) : period_(period) {}
  void operator()() {
    if (++count_ < period_) return;
    count_ = 0;
    check_interrupt();
    if (deadline_passed()) throw DeadlinePassed();
  }

 private:
  uint32_t period_;
  uint32_t count_ = 0;
};

}  // namespace evocore
