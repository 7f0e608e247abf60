#pragma once
#include <optional>

#include "shared_handle.hpp"

namespace evocore {

// Read-locks two handles, first `a` then `b`; when both are the same object
// it is locked once (a second shared lock by one thread is not allowed).
template <class T>
class ReadPair {
 public:
  ReadPair(const Shared<T>& a, const Shared<T>& b) : first_(a.read()) {
    if (!a.same_as(b)) second_.emplace(b.read());
  }
  const T& first() const { return first_.get(); }
  const T& second() const { return second_ ? second_->get() : first_.get(); }

 private:
  typename Shared<T>::ReadGuard first_;
  std::optional<typename Shared<T>::ReadGuard> second_;
};

}  // namespace evocore
