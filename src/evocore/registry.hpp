#pragma once
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "error.hpp"
#include "flat_table.hpp"

namespace evocore {

struct NodePairHash {
  size_t operator()(const std::pair<uint64_t, uint64_t>& key) const noexcept {
    return std::hash<uint64_t>{}(key.first * 0x9E3779B97F4A7C15ULL ^ key.second);
  }
};

// The finaliser of MurmurHash3: every bit of the result depends on every bit of `x`.
inline uint64_t mix_bits(uint64_t x) {
  x = (x ^ (x >> 33)) * 0xFF51AFD7ED558CCDULL;
  x = (x ^ (x >> 33)) * 0xC4CEB9FE1A85EC53ULL;
  return x ^ (x >> 33);
}

class PopulationState;

// The numbers one genome asks its registry for while many genomes change on
// the worker pool. They are provisional (from the upper half of the range,
// which registries do not reach) until assign() hands out real ones in the
// order they were asked for. Assigning genome by genome in list order makes
// the registry's contents independent of which thread asked first.
class NumberRequests {
 public:
  static constexpr uint64_t kFirstProvisional = uint64_t{1} << 63;
  static bool provisional(uint64_t id) { return id >= kFirstProvisional; }

  // Edge numbers up to `known` were issued before the parallel step began; a
  // pair numbered since (by an earlier genome's assignment, while this one
  // changes) counts as new, so that what a genome sees does not depend on timing.
  explicit NumberRequests(uint64_t known = std::numeric_limits<uint64_t>::max()) : known_(known) {}
  uint64_t known() const { return known_; }

  uint64_t node() { return record({0, 0}, false); }

  // A pair the registry lacked; asked for twice, it keeps its first number.
  uint64_t edge(const std::pair<uint64_t, uint64_t>& key) {
    if (requests_.size() > kScanned) {
      // Node requests can pass the limit too: the index then starts with every earlier pair.
      if (!indexed_) {
        for (size_t i = 0; i < requests_.size(); ++i)
          if (requests_[i].edge) index_.emplace(requests_[i].pair, kFirstProvisional + i);
        indexed_ = true;
      }
      auto [entry, added] = index_.try_emplace(key, 0);
      if (added) entry->second = record(key, true);
      return entry->second;
    }
    for (size_t i = 0; i < requests_.size(); ++i)
      if (requests_[i].edge && requests_[i].pair == key) return kFirstProvisional + i;
    return record(key, true);
  }

  bool empty() const { return requests_.empty(); }

  // Real numbers for all requests, drawn from `state` in the order of asking:
  // draw() takes the numbers (call it genome by genome in list order), adopt()
  // enters the new pairs into the registry (on any thread, any time after).
  inline void draw(PopulationState& state);
  inline void adopt(PopulationState& state);

  // The real number behind `id`: itself unless it is one of these provisional ones.
  uint64_t real(uint64_t id) const {
    if (!provisional(id)) return id;
    const uint64_t index = id - kFirstProvisional;
    if (index >= assigned_ || requests_[index].real == 0)
      fail("number " + std::to_string(id) + " was never handed out");
    return requests_[index].real;
  }

  // visit(provisional, real, is_edge) for every request, in the order of asking.
  template <class Visit>
  void for_each(Visit&& visit) const {
    for (size_t i = 0; i < assigned_; ++i) visit(kFirstProvisional + i, requests_[i].real, requests_[i].edge);
  }

 private:
  static constexpr size_t kScanned = 32;  // fewer requests are searched in turn, more are indexed

  struct Request {
    std::pair<uint64_t, uint64_t> pair;  // the ends of an edge, smaller first
    bool edge = false;
    bool unregistered = false;  // a new node's pair, numbered but not yet in the registry
    uint64_t real = 0;          // 0 until assigned
  };

  uint64_t record(const std::pair<uint64_t, uint64_t>& pair, bool edge) {
    if (requests_.empty()) requests_.reserve(4);  // most genomes ask for a few numbers
    requests_.push_back({pair, edge, false, 0});
    return kFirstProvisional + (requests_.size() - 1);
  }

  std::vector<Request> requests_;
  std::unordered_map<std::pair<uint64_t, uint64_t>, uint64_t, NodePairHash> index_;
  bool indexed_ = false;  // index_ holds every edge request
  size_t assigned_ = 0;   // requests with their real numbers
  uint64_t known_;
};

namespace registry_detail {
struct Deferral {
  const PopulationState* state = nullptr;
  NumberRequests* requests = nullptr;
};
inline thread_local Deferral deferral;
}  // namespace registry_detail

// While alive, the calling thread's requests for new numbers of `state` get
// provisional numbers from `requests`; numbers the registry already holds are
// looked up as usual.
class DeferredNumbers {
 public:
  DeferredNumbers(const PopulationState& state, NumberRequests& requests)
      : saved_(registry_detail::deferral) {
    registry_detail::deferral = {&state, &requests};
  }
  DeferredNumbers(const DeferredNumbers&) = delete;
  DeferredNumbers& operator=(const DeferredNumbers&) = delete;
  ~DeferredNumbers() { registry_detail::deferral = saved_; }

 private:
  registry_detail::Deferral saved_;
};

// Innovation registry of one population. The table from node pair to edge
// number is split into shards with a lock each, so that threads mutating
// different genomes seldom wait for one another; the counters are atomic. An
// edge number is drawn while its pair's shard is locked, so every pair gets
// exactly one number, and on one thread numbers follow the order of the calls.
// Under a DeferredNumbers scope a thread asks for new numbers without taking
// them: see NumberRequests.
// Lock order: a pair shard, then a number shard (the table read backwards).
class PopulationState {
 public:
  uint64_t new_node_id() {
    if (NumberRequests* requests = deferred()) return requests->node();
    return next_number(node_counter_, "node");
  }

  uint64_t get_edge_id(uint64_t a, uint64_t b) {
    const NodePair key = std::minmax(a, b);
    if (NumberRequests* requests = deferred()) {
      if (NumberRequests::provisional(key.second)) return requests->edge(key);  // a new node's pair is new
      if (const auto known = find(key); known && *known <= requests->known()) return *known;
      return requests->edge(key);
    }
    PairShard& shard = pair_shard(key);
    std::lock_guard lock(shard.mutex);
    const auto [entry, added] = shard.numbers.try_emplace(key, 0);  // one probe for a new pair too
    if (!added) return *entry;
    try {
      *entry = next_number(edge_counter_, "edge");
    } catch (...) {
      shard.numbers.erase(key);
      throw;
    }
    remember_pair(*entry, key);
    return *entry;
  }

  // The next edge number, for a pair known to be new (one end a new node);
  // adopt_edge_id() enters the pair later.
  uint64_t new_edge_number() { return next_number(edge_counter_, "edge"); }

  // Gives the unordered pair number `id` unless it has one already; returns
  // the pair's number.
  uint64_t adopt_edge_id(uint64_t a, uint64_t b, uint64_t id) {
    const NodePair key = std::minmax(a, b);
    PairShard& shard = pair_shard(key);
    std::lock_guard lock(shard.mutex);
    const auto [entry, added] = shard.numbers.try_emplace(key, id);
    if (added) remember_pair(id, key);
    return *entry;
  }

  // Registers `id` for the unordered pair, replacing any earlier number.
  void set_edge_id(uint64_t a, uint64_t b, uint64_t id) {
    const NodePair key = std::minmax(a, b);
    PairShard& shard = pair_shard(key);
    std::lock_guard lock(shard.mutex);
    auto [entry, added] = shard.numbers.try_emplace(key, id);
    if (!added) {
      forget_pair(*entry, key);
      *entry = id;
    }
    remember_pair(id, key);
  }

  // The unordered pair (smaller id first) that edge number `id` stands for, if any.
  std::optional<std::pair<uint64_t, uint64_t>> pair_of(uint64_t id) const {
    const NumberShard& shard = number_shard(id);
    std::lock_guard lock(shard.mutex);
    if (const NodePair* found = shard.pairs.find(id)) return *found;
    return std::nullopt;
  }

  void raise_node_counter(uint64_t at_least) { raise(node_counter_, at_least); }
  void raise_edge_counter(uint64_t at_least) { raise(edge_counter_, at_least); }
  uint64_t node_counter() const { return node_counter_.load(); }
  uint64_t edge_counter() const { return edge_counter_.load(); }

  // Everything the registry holds, for saving it; restore() takes it back.
  struct Contents {
    uint64_t node_counter = 0;
    uint64_t edge_counter = 0;
    std::vector<std::pair<std::pair<uint64_t, uint64_t>, uint64_t>> table;  // pair -> number
    std::vector<std::pair<uint64_t, std::pair<uint64_t, uint64_t>>> pairs;  // number -> pair
  };

  // Sorted, so that a registry saves the same way whatever its shards hold.
  Contents contents() const {
    Contents contents;
    for (const PairShard& shard : pair_shards_) {
      std::lock_guard lock(shard.mutex);
      shard.numbers.for_each([&](const NodePair& key, uint64_t id) { contents.table.push_back({key, id}); });
    }
    for (const NumberShard& shard : number_shards_) {
      std::lock_guard lock(shard.mutex);
      shard.pairs.for_each([&](uint64_t id, const NodePair& key) { contents.pairs.push_back({id, key}); });
    }
    // Keys are unique, so ordering by key alone is the full order.
    const auto by_key = [](const auto& a, const auto& b) { return a.first < b.first; };
    std::sort(contents.table.begin(), contents.table.end(), by_key);
    std::sort(contents.pairs.begin(), contents.pairs.end(), by_key);
    contents.edge_counter = edge_counter();
    contents.node_counter = node_counter();
    return contents;
  }

  // Replaces everything by `contents` (for a registry nobody else uses yet).
  void restore(const Contents& contents) {
    for (PairShard& shard : pair_shards_) {
      std::lock_guard lock(shard.mutex);
      shard.numbers.clear();
    }
    for (NumberShard& shard : number_shards_) {
      std::lock_guard lock(shard.mutex);
      shard.pairs.clear();
    }
    for (const auto& [key, id] : contents.table) {
      PairShard& shard = pair_shard(key);
      std::lock_guard lock(shard.mutex);
      shard.numbers.insert_or_assign(key, id);
    }
    for (const auto& [id, key] : contents.pairs) remember_pair(id, key);
    edge_counter_.store(contents.edge_counter);
    node_counter_.store(contents.node_counter);
  }

 private:
  using NodePair = std::pair<uint64_t, uint64_t>;
  static constexpr unsigned kShardBits = 6;
  static constexpr size_t kShards = size_t{1} << kShardBits;  // well above the worker count

  struct PairSlot {
    size_t operator()(const NodePair& key) const noexcept { return mix_bits(NodePairHash{}(key)); }
  };
  // A shard holds the numbers s, s + kShards, s + 2 kShards, ...: numbers
  // drawn one after another go to neighbouring slots, a few to a cache line.
  // Blocks of them are scattered, so that no choice of numbers piles up.
  struct NumberSlot {
    size_t operator()(uint64_t id) const noexcept {
      return static_cast<size_t>((id >> kShardBits) ^ mix_bits(id >> (kShardBits + 16)));
    }
  };

  // Own cache lines, so that threads working on different shards do not share one.
  struct alignas(64) PairShard {
    mutable std::mutex mutex;
    FlatTable<NodePair, uint64_t, PairSlot> numbers;
  };
  struct alignas(64) NumberShard {
    mutable std::mutex mutex;
    FlatTable<uint64_t, NodePair, NumberSlot> pairs;
  };

  NumberRequests* deferred() const {
    const auto& deferral = registry_detail::deferral;
    return deferral.state == this ? deferral.requests : nullptr;
  }

  std::optional<uint64_t> find(const NodePair& key) {
    PairShard& shard = pair_shard(key);
    std::lock_guard lock(shard.mutex);
    if (const uint64_t* found = shard.numbers.find(key)) return *found;
    return std::nullopt;
  }

  PairShard& pair_shard(const NodePair& key) {
    // The table's hash keeps low bits of the ids; the shard takes well-mixed high bits.
    const uint64_t mixed = static_cast<uint64_t>(NodePairHash{}(key)) * 0x9E3779B97F4A7C15ULL;
    return pair_shards_[mixed >> (64 - kShardBits)];
  }
  NumberShard& number_shard(uint64_t id) { return number_shards_[id % kShards]; }
  const NumberShard& number_shard(uint64_t id) const { return number_shards_[id % kShards]; }

  void remember_pair(uint64_t id, const NodePair& key) {
    NumberShard& shard = number_shard(id);
    std::lock_guard lock(shard.mutex);
    shard.pairs.insert_or_assign(id, key);
  }

  // Drops number `id` from the backward table if it still stands for `key`.
  void forget_pair(uint64_t id, const NodePair& key) {
    NumberShard& shard = number_shard(id);
    std::lock_guard lock(shard.mutex);
    if (const NodePair* old = shard.pairs.find(id); old && *old == key) shard.pairs.erase(id);
  }

  // A counter at the top of the range would wrap to numbers already in use.
  static uint64_t next_number(std::atomic<uint64_t>& counter, const char* kind) {
    uint64_t current = counter.load();
    do {
      if (current == std::numeric_limits<uint64_t>::max()) fail(std::string(kind) + " numbers are exhausted");
    } while (!counter.compare_exchange_weak(current, current + 1));
    return current + 1;
  }

  static void raise(std::atomic<uint64_t>& counter, uint64_t at_least) {
    uint64_t current = counter.load();
    while (current < at_least && !counter.compare_exchange_weak(current, at_least)) {
    }
  }

  std::array<PairShard, kShards> pair_shards_;
  std::array<NumberShard, kShards> number_shards_;
  std::atomic<uint64_t> edge_counter_{0};
  std::atomic<uint64_t> node_counter_{0};
};

inline void NumberRequests::draw(PopulationState& state) {
  for (; assigned_ < requests_.size(); ++assigned_) {
    Request& request = requests_[assigned_];
    request.unregistered = request.edge && provisional(request.pair.second);
    if (!request.edge)
      request.real = state.new_node_id();
    else if (request.unregistered)
      request.real = state.new_edge_number();
    else
      request.real = state.get_edge_id(request.pair.first, request.pair.second);
  }
}

inline void NumberRequests::adopt(PopulationState& state) {
  for (Request& request : requests_) {
    if (!request.unregistered) continue;
    request.real = state.adopt_edge_id(real(request.pair.first), real(request.pair.second), request.real);
    request.unregistered = false;
  }
}

using StateHandle = std::shared_ptr<PopulationState>;

}  // namespace evocore
