#pragma once
#include <cstddef>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace evocore {

// A broken invariant detected by the engine. The Python layer turns it into
// the module's internal-failure exception (derived from BaseException).
struct InternalError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] inline void fail(const std::string& what) { throw InternalError(what); }

// Marks a failure raised before the operation changed anything: an object
// locked for writing stays usable.
struct Unchanged {};

// The caller's input is refused (a ValueError in Python).
struct InvalidInput : std::invalid_argument, Unchanged {
  using std::invalid_argument::invalid_argument;
};

[[noreturn]] inline void refuse(const std::string& what) { throw InvalidInput(what); }

// Memory for the result could not be reserved (a MemoryError in Python).
struct OutOfMemory : std::bad_alloc, Unchanged {
  const char* what() const noexcept override { return "out of memory"; }
};

// Reserves room for `count` items, before anything else is changed.
template <class T>
void reserve_or_refuse(std::vector<T>& items, size_t count) {
  try {
    items.reserve(count);
  } catch (const std::length_error&) {
    throw OutOfMemory();
  } catch (const std::bad_alloc&) {
    throw OutOfMemory();
  }
}

// Long work stopped at the caller's request (Ctrl-C).
struct Interrupted : std::exception {
  const char* what() const noexcept override { return "interrupted"; }
};

// Long work stopped because the caller's deadline passed. Callers with a
// result so far catch it; it never reaches Python.
struct DeadlinePassed : std::exception {
  const char* what() const noexcept override { return "deadline passed"; }
};

}  // namespace evocore
