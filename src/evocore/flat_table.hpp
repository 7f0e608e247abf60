#pragma once
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace evocore {

// A hash table in one flat array of slots, probed in turn (open addressing).
// A lookup or an insertion costs one cache miss where a node-based map costs
// several and an allocation per entry: the registry of a long run holds
// millions of pairs. The low bits of `Hash` pick the first slot, so they must
// be well spread (keys hashed alike to neighbouring values share cache lines).
template <class Key, class Value, class Hash>
class FlatTable {
 public:
  size_t size() const { return size_; }

  Value* find(const Key& key) {
    Slot& slot = slots_[slot_of(key)];
    return slot.used ? &slot.value : nullptr;
  }
  const Value* find(const Key& key) const {
    const Slot& slot = slots_[slot_of(key)];
    return slot.used ? &slot.value : nullptr;
  }

  // The entry of `key`, made with `value` if new (then true). The pointer
  // holds until the next insertion.
  std::pair<Value*, bool> try_emplace(const Key& key, const Value& value) {
    if (4 * (size_ + 1) > 3 * slots_.size()) grow();
    Slot& slot = slots_[slot_of(key)];
    if (slot.used) return {&slot.value, false};
    slot = {key, value, true};
    ++size_;
    return {&slot.value, true};
  }

  void insert_or_assign(const Key& key, const Value& value) {
    auto [entry, added] = try_emplace(key, value);
    if (!added) *entry = value;
  }

  // Removes `key`, moving later entries of its run back (no tombstones).
  bool erase(const Key& key) {
    size_t hole = slot_of(key);
    if (!slots_[hole].used) return false;
    for (size_t next = step(hole); slots_[next].used; next = step(next)) {
      const size_t home = home_of(slots_[next].key);
      if (((next - home) & mask()) >= ((next - hole) & mask())) {
        slots_[hole] = slots_[next];
        hole = next;
      }
    }
    slots_[hole].used = false;
    --size_;
    return true;
  }

  void clear() {
    slots_.assign(kFirstSlots, Slot{});
    size_ = 0;
  }

  // visit(key, value) for every entry, in slot order.
  template <class Visit>
  void for_each(Visit&& visit) const {
    for (const Slot& slot : slots_)
      if (slot.used) visit(slot.key, slot.value);
  }

 private:
  static constexpr size_t kFirstSlots = 16;

  struct Slot {
    Key key{};
    Value value{};
    bool used = false;
  };

  size_t mask() const { return slots_.size() - 1; }
  size_t step(size_t slot) const { return (slot + 1) & mask(); }

  size_t home_of(const Key& key) const { return static_cast<size_t>(Hash{}(key)) & mask(); }

  // The slot holding `key`, or the empty slot where it would go.
  size_t slot_of(const Key& key) const {
    size_t slot = home_of(key);
    while (slots_[slot].used && !(slots_[slot].key == key)) slot = step(slot);
    return slot;
  }

  void grow() {
    std::vector<Slot> old(2 * slots_.size());
    old.swap(slots_);
    for (const Slot& slot : old)
      if (slot.used) slots_[slot_of(slot.key)] = slot;
  }

  std::vector<Slot> slots_ = std::vector<Slot>(kFirstSlots);
  size_t size_ = 0;
};

}  // namespace evocore
