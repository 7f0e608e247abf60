#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>

#include "evocore/flat_table.hpp"

namespace {

// A hash that sends every key of a residue class home to one slot, so that
// runs grow long and erasing has to move entries back across them.
struct Clumping {
  size_t operator()(uint64_t key) const { return static_cast<size_t>(key % 7); }
};

template <class Hash>
void agrees_with_a_map(uint64_t key_range, unsigned seed) {
  evocore::FlatTable<uint64_t, uint64_t, Hash> table;
  std::map<uint64_t, uint64_t> expected;
  std::mt19937_64 random(seed);
  for (int step = 0; step < 20000; ++step) {
    const uint64_t key = random() % key_range, value = random();
    switch (random() % 3) {
      case 0: {
        const auto [entry, added] = table.try_emplace(key, value);
        const auto [kept, inserted] = expected.try_emplace(key, value);
        ASSERT_EQ(added, inserted);
        ASSERT_EQ(*entry, kept->second);
        break;
      }
      case 1:
        ASSERT_EQ(table.erase(key), expected.erase(key) == 1);
        break;
      default:
        table.insert_or_assign(key, value);
        expected.insert_or_assign(key, value);
    }
    const uint64_t probe = random() % key_range;
    const uint64_t* found = table.find(probe);
    ASSERT_EQ(found != nullptr, expected.contains(probe));
    if (found) {
      ASSERT_EQ(*found, expected.at(probe));
    }
  }
  std::map<uint64_t, uint64_t> listed;
  table.for_each([&](uint64_t key, uint64_t value) { listed.emplace(key, value); });
  EXPECT_EQ(listed, expected);
  EXPECT_EQ(table.size(), expected.size());
  table.clear();
  EXPECT_EQ(table.size(), 0u);
  EXPECT_EQ(table.find(listed.empty() ? 0 : listed.begin()->first), nullptr);
}

}  // namespace

TEST(FlatTable, AgreesWithAnOrderedMapUnderInsertsErasesAndGrowth) {
  for (const uint64_t range : {50, 5000}) {
    agrees_with_a_map<std::hash<uint64_t>>(range, 1);
    agrees_with_a_map<Clumping>(range, 2);
  }
}
