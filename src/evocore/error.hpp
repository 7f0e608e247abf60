#pragma once
#include <stdexcept>
#include <string>

namespace evocore {

// A broken invariant detected by the engine. The Python layer turns it into
// the module's internal-failure exception (derived from BaseException).
struct InternalError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] inline void fail(const std::string& what) { throw InternalError(what); }

}  // namespace evocore
