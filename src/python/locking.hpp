#pragma once
#include <nanobind/nanobind.h>

#include <utility>

#include "../evocore/shared_handle.hpp"

// Engine locks taken by a thread that holds the interpreter lock. A busy
// engine lock is waited for with the interpreter lock released, and no Python
// object is made or dropped while an engine lock is held: the work under the
// lock copies engine values out, and the caller converts them afterwards.

namespace gwpy {
namespace nb = nanobind;

// Runs `work` with the interpreter lock released; `work` must not touch Python.
template <class F>
auto without_gil(F&& work) {
  nb::gil_scoped_release unlocked;
  return work();
}

// copy_out(const T&) under the read lock; it takes no other engine lock.
template <class T, class F>
auto read_locked(const evocore::Shared<T>& handle, F&& copy_out) {
  if (auto guard = handle.try_read(); guard.holds()) return copy_out(*guard);
  return without_gil([&] { return copy_out(*handle.read()); });
}

// change(T&) under the write lock; it takes no other engine lock.
template <class T, class F>
auto write_locked(const evocore::Shared<T>& handle, F&& change) {
  if (auto guard = handle.try_write(); guard.holds()) return guard.apply(change);
  return without_gil([&] { return handle.update(change); });
}

}  // namespace gwpy
