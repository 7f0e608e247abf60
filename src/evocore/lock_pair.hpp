#pragma once
#include <functional>

#include "shared_handle.hpp"

namespace evocore {

// Read-locks two handles in one global order (by identity), so two threads that
// lock the same pair in opposite roles never wait on each other through a
// queued writer. When both are the same object it is locked once (a second
// shared lock by one thread is not allowed).
template <class T>
class ReadPair {
 public:
  ReadPair(const Shared<T>& a, const Shared<T>& b)
      : a_first_(!std::less<const void*>{}(b.identity(), a.identity())), lower_((a_first_ ? a : b).read()) {
    if (!a.same_as(b)) upper_ = (a_first_ ? b : a).read();
  }
  const T& first() const { return a_first_ || !distinct() ? lower_.get() : upper_.get(); }
  const T& second() const { return !a_first_ || !distinct() ? lower_.get() : upper_.get(); }

 private:
  bool distinct() const { return upper_.holds(); }

  bool a_first_;  // a has the lower identity (or is b)
  typename Shared<T>::ReadGuard lower_;
  typename Shared<T>::ReadGuard upper_;  // empty when a and b are one object
};

}  // namespace evocore
