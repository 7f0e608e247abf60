#pragma once
#include <atomic>

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

}  // namespace evocore
