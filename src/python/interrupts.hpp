#pragma once
#include <atomic>
#include <csignal>

#include "../evocore/interrupt.hpp"

namespace gwpy {

// While alive on the main thread, Ctrl-C (SIGINT) also asks the engine work of
// this call to stop (evocore::Interrupted): a handler is put in front of the
// interpreter's own, which still runs, so the interpreter raises
// KeyboardInterrupt as usual. Elsewhere the scope does nothing. Construct it
// with the interpreter lock held.
class InterruptScope {
 public:
  InterruptScope();
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

 private:
  bool installed_ = false;
  struct sigaction previous_{};
  evocore::InterruptRequestScope request_;
};

// Records the main thread; called once at import.
void remember_main_thread();

}  // namespace gwpy
