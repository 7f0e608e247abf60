#pragma once
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace routing {

// A min-queue of (distance, cell) pairs for the least-cost search, ordered by
// distance and then by the smaller cell, for non-negative distances.
//
// A pair is packed into one 128-bit key, the distance's bits above the cell:
// the bits of a non-negative double order like its value. The queue is a radix
// heap over these keys. It remembers the last key taken from its buckets, and
// bucket b holds the keys whose highest bit differing from that key is bit
// b - 1 (bucket 0 the keys equal to it). When bucket 0 runs empty, the lowest
// non-empty bucket is spread over the buckets below it around its smallest
// key, which becomes the new last key. A key moves down a bucket or more each
// time it is spread: it is moved a few times, and never sifted through a heap.
//
// The search's keys rarely fall below the last key taken (a free step to a
// smaller cell index, a step shorter than the gap to the key the search looked
// up next, a source added to an unfinished search): those wait in a small
// binary heap that comes first, as every key it holds is below every key in
// the buckets. The order in which keys leave is therefore
// exactly their order.
class CellQueue {
 public:
  using Key = unsigned __int128;

  static Key key(double distance, uint32_t cell) {
    return (static_cast<Key>(std::bit_cast<uint64_t>(distance)) << 32) | cell;
  }
  static double distance_of(Key key) { return std::bit_cast<double>(static_cast<uint64_t>(key >> 32)); }
  static uint32_t cell_of(Key key) { return static_cast<uint32_t>(key); }

  bool empty() const { return size_ == 0; }
  size_t size() const { return size_; }

  void clear() {
    for (auto& bucket : buckets_) bucket.clear();
    early_.clear();
    occupied_[0] = occupied_[1] = 0;
    last_ = 0;
    size_ = 0;
  }

  void push(Key key) {
    ++size_;
    if (key < last_) {
      early_.push_back(key);
      std::push_heap(early_.begin(), early_.end(), std::greater<>{});
      return;
    }
    const unsigned b = bucket_of(key);
    buckets_[b].push_back(key);
    occupied_[b / 64] |= uint64_t{1} << (b % 64);
  }

  // The smallest key; the queue must not be empty.
  Key top() {
    if (!early_.empty()) return early_.front();
    if (buckets_[0].empty()) spread();
    return buckets_[0].back();
  }

  // Removes the smallest key; call after top(). An emptied queue starts over
  // from key 0, so that sources added to a finished search (at distance 0)
  // go to the buckets again.
  void pop() {
    --size_;
    if (!early_.empty()) {
      std::pop_heap(early_.begin(), early_.end(), std::greater<>{});
      early_.pop_back();
      if (size_ == 0) last_ = 0;
      return;
    }
    buckets_[0].pop_back();
    if (buckets_[0].empty()) {
      occupied_[0] &= ~uint64_t{1};
      if (size_ == 0) last_ = 0;
    }
  }

 private:
  // Keys have 96 bits: bucket b <= 96 for a highest differing bit b - 1.
  static constexpr unsigned kBuckets = 97;

  unsigned bucket_of(Key key) const {
    const Key differing = key ^ last_;
    const auto high = static_cast<uint64_t>(differing >> 64), low = static_cast<uint64_t>(differing);
    if (high) return 128 - static_cast<unsigned>(std::countl_zero(high));
    return 64 - static_cast<unsigned>(std::countl_zero(low));
  }

  // Moves the lowest non-empty bucket's keys to the buckets below, around its
  // smallest key; bucket 0 is empty and the buckets are not.
  void spread() {
    const unsigned b = occupied_[0] ? static_cast<unsigned>(std::countr_zero(occupied_[0]))
                                    : 64 + static_cast<unsigned>(std::countr_zero(occupied_[1]));
    std::vector<Key>& from = buckets_[b];
    last_ = *std::min_element(from.begin(), from.end());
    for (const Key key : from) {
      const unsigned to = bucket_of(key);
      buckets_[to].push_back(key);
      occupied_[to / 64] |= uint64_t{1} << (to % 64);
    }
    from.clear();
    occupied_[b / 64] &= ~(uint64_t{1} << (b % 64));
  }

  std::vector<Key> buckets_[kBuckets];
  std::vector<Key> early_;  // keys below last_, as a binary min-heap
  uint64_t occupied_[2]{};  // bit b % 64 of word b / 64: bucket b is not empty
  Key last_ = 0;
  size_t size_ = 0;
};

}  // namespace routing
