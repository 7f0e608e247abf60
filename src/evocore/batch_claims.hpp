#pragma once
#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "flat_table.hpp"
#include "interrupt.hpp"

namespace evocore {

// The genomes that batches of changes are working on. Between its change and
// the end of its batch a genome may hold provisional numbers, so a second
// batch (another Python thread's) must not change it meanwhile: it waits,
// holding no lock, until the first batch is done with every genome it lists.
// Batches over different genomes run side by side.
class BatchClaims {
 public:
  static BatchClaims& instance() {
    // Leaked, like the worker pool: workers may outlive static destruction.
    static BatchClaims* const claims = [] {
      pthread_atfork([] { instance().mutex_.lock(); }, [] { instance().mutex_.unlock(); },
                     [] {
                       instance().held_.clear();  // the batches that held them did not cross the fork
                       instance().mutex_.unlock();
                     });
      return new BatchClaims;
    }();
    return *claims;
  }

  // Holds every genome of `identities` once no other batch holds any of them;
  // a pending interrupt ends the wait.
  void claim(const std::vector<const void*>& identities) {
    std::unique_lock lock(mutex_);
    while (held_by_another(identities)) {
      freed_.wait_for(lock, std::chrono::milliseconds(50));
      if (interrupt_requested()) {
        lock.unlock();
        check_interrupt();
      }
    }
    for (const void* identity : identities) held_.try_emplace(key(identity), 1);
  }

  void release(const std::vector<const void*>& identities) {
    {
      std::lock_guard lock(mutex_);
      for (const void* identity : identities) held_.erase(key(identity));
    }
    freed_.notify_all();
  }

 private:
  struct Slot {
    size_t operator()(uint64_t address) const noexcept {
      return static_cast<size_t>((address * 0x9E3779B97F4A7C15ULL) >> 20);
    }
  };

  static uint64_t key(const void* identity) { return reinterpret_cast<uintptr_t>(identity); }

  bool held_by_another(const std::vector<const void*>& identities) const {
    if (held_.size() == 0) return false;
    for (const void* identity : identities)
      if (held_.find(key(identity))) return true;
    return false;
  }

  std::mutex mutex_;
  std::condition_variable freed_;
  FlatTable<uint64_t, char, Slot> held_;
};

// Holds a batch's genomes for the scope's lifetime.
class BatchClaim {
 public:
  explicit BatchClaim(std::vector<const void*> identities) : identities_(std::move(identities)) {
    BatchClaims::instance().claim(identities_);
  }
  BatchClaim(const BatchClaim&) = delete;
  BatchClaim& operator=(const BatchClaim&) = delete;
  ~BatchClaim() { BatchClaims::instance().release(identities_); }

 private:
  std::vector<const void*> identities_;
};

}  // namespace evocore
