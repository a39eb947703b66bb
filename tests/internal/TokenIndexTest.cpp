// TokenIndexTest.cpp
//
// The token map against a reference map, through random insertions and removals that wrap
// around the table and force long probe runs.

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <unordered_map>

#include "TokenIndex.h"

namespace operation_receipt {
namespace {

TEST(TokenIndexTest, AgreesWithAReferenceMapThroughChurn) {
  const char* seedText = std::getenv("OR_TEST_SEED");
  const uint32_t seed = seedText != nullptr ? static_cast<uint32_t>(std::atoi(seedText)) : 12345u;
  SCOPED_TRACE(::testing::Message() << "OR_TEST_SEED=" << seed);
  std::mt19937_64 random(seed);
  std::vector<OperationRecord> records(1);  // slot 0 is never used
  std::vector<uint32_t> freeSlots;
  std::unordered_map<uint64_t, uint32_t> reference;
  TokenIndex index(records);
  index.Reset(0);
  uint64_t nextToken = 1;
  for (int step = 0; step < 200000; ++step) {
    if (reference.size() < 64 || (random() % 100) < 48) {
      if (freeSlots.empty()) {
        freeSlots.push_back(static_cast<uint32_t>(records.size()));
        records.emplace_back();
      }
      const uint32_t slot = freeSlots.back();
      freeSlots.pop_back();
      // Tokens jump now and then, so that homes collide and runs wrap around the table.
      nextToken += (random() % 16 == 0) ? 1 + random() % 1000 : 1;
      records[slot].token = nextToken;
      index.Insert(nextToken, slot);
      reference[nextToken] = slot;
    } else {
      auto victim = reference.begin();
      std::advance(victim, static_cast<long>(random() % std::min<size_t>(reference.size(), 8)));
      index.Erase(victim->first, victim->second);
      records[victim->second].token = kFreeToken;
      freeSlots.push_back(victim->second);
      reference.erase(victim);
    }
    if (step % 997 == 0) {
      ASSERT_EQ(index.size(), reference.size());
      for (const auto& [token, slot] : reference) ASSERT_EQ(index.Find(token), slot);
      ASSERT_EQ(index.Find(nextToken + 1), 0u);
    }
  }
}

}  // namespace
}  // namespace operation_receipt
