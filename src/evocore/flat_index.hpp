#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace evocore {

// Dense numbers 0, 1, 2, ... for uint64 ids in the order they are first
// added, by open addressing in two flat arrays. Meant to live in a
// thread_local and be reset for each use: after warming up it never allocates,
// where a node-based hash map allocates per id.
class FlatIndex {
 public:
  static constexpr size_t kAbsent = static_cast<size_t>(-1);
  static constexpr size_t kKeptSlots = size_t{1} << 16;  // room kept between uses

  // Empties the index, with room for `expected` ids before it grows.
  void reset(size_t expected) {
    size_t slots = 16;
    while (slots < 2 * expected) slots *= 2;
    keys_.resize(slots);
    numbers_.assign(slots, kAbsent);
    if (numbers_.capacity() > 4 * slots && numbers_.capacity() > kKeptSlots) {  // one huge graph
      keys_.shrink_to_fit();
      numbers_.shrink_to_fit();
    }
    size_ = 0;
  }

  size_t size() const { return size_; }

  // The number of `id`, which is added if new.
  size_t add(uint64_t id) {
    if (2 * (size_ + 1) > numbers_.size()) grow();
    size_t slot = first_slot(id);
    for (; numbers_[slot] != kAbsent; slot = next(slot))
      if (keys_[slot] == id) return numbers_[slot];
    keys_[slot] = id;
    return numbers_[slot] = size_++;
  }

  // The number of `id`, or kAbsent.
  size_t find(uint64_t id) const {
    for (size_t slot = first_slot(id); numbers_[slot] != kAbsent; slot = next(slot))
      if (keys_[slot] == id) return numbers_[slot];
    return kAbsent;
  }

 private:
  size_t first_slot(uint64_t id) const {
    return static_cast<size_t>((id * 0x9E3779B97F4A7C15ULL) >> 20) & (numbers_.size() - 1);
  }
  size_t next(size_t slot) const { return (slot + 1) & (numbers_.size() - 1); }

  void grow() {
    std::vector<uint64_t> keys(std::move(keys_));
    std::vector<size_t> numbers(std::move(numbers_));
    keys_.assign(2 * keys.size(), 0);
    numbers_.assign(2 * numbers.size(), kAbsent);
    for (size_t slot = 0; slot < numbers.size(); ++slot) {
      if (numbers[slot] == kAbsent) continue;
      size_t target = first_slot(keys[slot]);
      while (numbers_[target] != kAbsent) target = next(target);
      keys_[target] = keys[slot];
      numbers_[target] = numbers[slot];
    }
  }

  std::vector<uint64_t> keys_ = std::vector<uint64_t>(16, 0);
  std::vector<size_t> numbers_ = std::vector<size_t>(16, kAbsent);
  size_t size_ = 0;
};

}  // namespace evocore
