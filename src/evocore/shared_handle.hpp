#pragma once
#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <utility>

#include "error.hpp"

namespace evocore {

// A reference-counted value behind a reader-writer lock. When an exception
// escapes while the value is write-locked, the value is marked broken and
// every later lock attempt fails with InternalError.
template <class T>
class Shared {
  struct Box {
    template <class... A>
    explicit Box(A&&... args) : value(std::forward<A>(args)...) {}
    std::shared_mutex mutex;
    std::atomic<bool> broken{false};
    T value;
  };

 public:
  class ReadGuard {
   public:
    ReadGuard() = default;  // holds nothing; for guards that are locked conditionally
    explicit ReadGuard(Box& box) : box_(&box), lock_(box.mutex) { check_not_broken(*box_); }
    // Holds nothing when the lock is busy.
    ReadGuard(Box& box, std::try_to_lock_t) : lock_(box.mutex, std::try_to_lock) {
      if (!lock_.owns_lock()) return;
      box_ = &box;
      check_not_broken(*box_);
    }
    const T& operator*() const { return box_->value; }
    const T* operator->() const { return &box_->value; }
    const T& get() const { return box_->value; }
    bool holds() const { return box_ != nullptr; }

   private:
    Box* box_ = nullptr;
    std::shared_lock<std::shared_mutex> lock_;
  };

  class WriteGuard {
   public:
    explicit WriteGuard(Box& box)
        : box_(&box), lock_(box.mutex), exceptions_on_entry_(std::uncaught_exceptions()) {
      check_not_broken(*box_);
    }
    // Holds nothing when the lock is busy.
    WriteGuard(Box& box, std::try_to_lock_t)
        : lock_(box.mutex, std::try_to_lock), exceptions_on_entry_(std::uncaught_exceptions()) {
      if (!lock_.owns_lock()) return;
      box_ = &box;
      check_not_broken(*box_);
    }
    WriteGuard(const WriteGuard&) = delete;
    WriteGuard& operator=(const WriteGuard&) = delete;
    ~WriteGuard() {
      // Unwinding past a write lock leaves the value in an unknown state,
      // unless the failure is one raised before anything was changed.
      if (box_ && !spared_ && std::uncaught_exceptions() > exceptions_on_entry_) box_->broken.store(true);
    }
    T& operator*() const { return box_->value; }
    T* operator->() const { return &box_->value; }
    T& get() const { return box_->value; }
    bool holds() const { return box_ != nullptr; }

    // Runs change(value); a failure marked Unchanged leaves the value usable.
    template <class F>
    decltype(auto) apply(F&& change) {
      try {
        return change(box_->value);
      } catch (const Unchanged&) {
        spared_ = true;
        throw;
      }
    }

   private:
    Box* box_ = nullptr;
    bool spared_ = false;
    std::unique_lock<std::shared_mutex> lock_;
    int exceptions_on_entry_;
  };

  Shared() = default;

  template <class... A>
  static Shared make(A&&... args) {
    Shared handle;
    handle.box_ = std::make_shared<Box>(std::forward<A>(args)...);
    return handle;
  }

  ReadGuard read() const { return ReadGuard(box()); }
  WriteGuard write() const { return WriteGuard(box()); }
  ReadGuard try_read() const { return ReadGuard(box(), std::try_to_lock); }
  WriteGuard try_write() const { return WriteGuard(box(), std::try_to_lock); }

  // Runs change(value) under the write lock; see WriteGuard::apply.
  template <class F>
  decltype(auto) update(F&& change) const {
    WriteGuard guard(box());
    return guard.apply(std::forward<F>(change));
  }

  bool is_broken() const { return box_ && box_->broken.load(); }
  bool same_as(const Shared& other) const { return box_ == other.box_; }
  const void* identity() const { return box_.get(); }
  explicit operator bool() const { return static_cast<bool>(box_); }
  long use_count() const { return box_.use_count(); }

 private:
  Box& box() const {
    if (!box_) fail("use of an empty handle");
    return *box_;
  }
  static void check_not_broken(const Box& box) {
    if (box.broken.load()) fail("object is broken by an earlier internal failure");
  }

  std::shared_ptr<Box> box_;
};

}  // namespace evocore
