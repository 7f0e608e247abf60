#include "interrupts.hpp"

#include <Python.h>
#include <nanobind/nanobind.h>

namespace gwpy {
namespace nb = nanobind;

namespace {

std::atomic<bool> sigint_seen{false};
struct sigaction interpreter_action{};
unsigned long main_thread = 0;

bool on_main_thread() { return main_thread != 0 && PyThread_get_thread_ident() == main_thread; }

void on_sigint(int signal, siginfo_t* info, void* context);

// A handler of the interpreter's (not the default, ignoring, or ours).
bool is_interpreter_handler(const struct sigaction& action) {
  if (action.sa_flags & SA_SIGINFO) return action.sa_sigaction != nullptr && action.sa_sigaction != on_sigint;
  return action.sa_handler != SIG_DFL && action.sa_handler != SIG_IGN;
}

void on_sigint(int signal, siginfo_t* info, void* context) {
  sigint_seen.store(true, std::memory_order_relaxed);
  if (interpreter_action.sa_flags & SA_SIGINFO)
    interpreter_action.sa_sigaction(signal, info, context);
  else
    interpreter_action.sa_handler(signal);
}

const std::atomic<bool>* request_for_this_thread() { return on_main_thread() ? &sigint_seen : nullptr; }

}  // namespace

InterruptScope::InterruptScope() : request_(request_for_this_thread()) {
  if (!on_main_thread() || sigaction(SIGINT, nullptr, &previous_) != 0 || !is_interpreter_handler(previous_))
    return;
  interpreter_action = previous_;
  sigint_seen.store(false);
  struct sigaction action{};
  action.sa_sigaction = on_sigint;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  installed_ = sigaction(SIGINT, &action, nullptr) == 0;
}

InterruptScope::~InterruptScope() {
  if (installed_) sigaction(SIGINT, &previous_, nullptr);
}

void remember_main_thread() {
  nb::object thread = nb::module_::import_("threading").attr("main_thread")();
  main_thread = nb::cast<unsigned long>(thread.attr("ident"));
}

}  // namespace gwpy
