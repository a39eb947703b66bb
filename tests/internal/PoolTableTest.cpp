// PoolTableTest.cpp
//
// The pool's table, through its internals on a pool of the test's own: token issue, slot reuse,
// the reference limit and the compaction trigger, which the table's clients cannot see. Lookup
// failures and execution are shown through the table (table/, flush/, values/).

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "ErrorReporting.h"
#include "OperationPool.h"
#include "OperationSet.h"
#include "StandInServices.h"

namespace operation_receipt {
namespace {

class PoolTable : public ::testing::Test {
 protected:
  void SetUp() override {
    StandIn_LoggingSetEnabledLevels(0);
    StandIn_ErrorClearPosts();
  }

  // What `visit` returns of the live record of `token`, found and visited under the pool lock
  // (a blank record, and a failure, when there is none): no record address leaves the lock.
  template <class Visit>
  auto WithRecord(uint64_t token, Visit visit) {
    PoolGuard guard(pool_.lock());
    OperationRecord* record = nullptr;
    EXPECT_EQ(pool_.FindOperation(token, &record), kNoError) << token;
    OperationRecord blank;
    return visit(record != nullptr ? *record : blank);
  }
  // How many slots after the record of `base` the record of `token` lies, under one lock.
  ptrdiff_t SlotsAfter(uint64_t base, uint64_t token) {
    PoolGuard guard(pool_.lock());
    OperationRecord *first = nullptr, *second = nullptr;
    if (pool_.FindOperation(base, &first) != kNoError) return 0;  // 0: not found
    return pool_.FindOperation(token, &second) == kNoError ? second - first : 0;
  }
  std::vector<uint64_t> Allocate(int count, std::vector<uint64_t> tokens = {}) {
    for (int i = 0; i < count; ++i) tokens.push_back(pool_.AllocateOperation(set_, nullptr));
    return tokens;
  }
  // {records, free slots, live tokens}
  std::vector<size_t> Sizes() {
    return {pool_.RecordCount(), pool_.FreeSlotCount(), pool_.LiveTokenCount()};
  }
  void ReleaseEach(const std::vector<uint64_t>& tokens, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) ASSERT_EQ(pool_.Release(tokens[i]), kNoError);
  }

  OperationPool pool_;
  OperationSet set_;
};

// Freed slots are reused oldest first; tokens start at 1 and are never reused, not even once a
// compaction has emptied the table down to the sentinel slot 0.
TEST_F(PoolTable, TokensStartAtOneAndSlotsAreReusedOldestFirst) {
  EXPECT_EQ(Allocate(4), (std::vector<uint64_t>{1, 2, 3, 4}));  // slots 1 to 4
  ASSERT_EQ(pool_.Release(3), kNoError);                        // frees slot 3 first
  ASSERT_EQ(pool_.Release(1), kNoError);                        // then slot 1
  EXPECT_EQ(pool_.FreeSlotCount(), 2u);
  EXPECT_EQ(Allocate(3), (std::vector<uint64_t>{5, 6, 7}));
  EXPECT_EQ(pool_.RecordCount(), 6u);  // only the third allocation appended
  // The slot a token landed in shows through its record's place next to token 2's, in slot 2.
  EXPECT_EQ(SlotsAfter(2, 5), 1);   // slot 3
  EXPECT_EQ(SlotsAfter(2, 6), -1);  // slot 1
  EXPECT_EQ(SlotsAfter(2, 7), 3);   // slot 5, appended

  const std::vector<uint64_t> tokens = Allocate(9000, {2, 4, 5, 6, 7});
  ReleaseEach(tokens, 0, tokens.size());
  pool_.Compact();
  EXPECT_EQ(Sizes(), (std::vector<size_t>{1, 0, 0}));
  EXPECT_EQ(pool_.AllocateOperation(set_, nullptr), 9008u);
  EXPECT_EQ(pool_.RecordCount(), 2u);  // appended at slot 1
}

// A reference past the widest count is refused, and the count stays where it was.
TEST_F(PoolTable, AcquirePastTheMostReferencesIsRefused) {
  const uint64_t token = pool_.AllocateOperation(set_, nullptr);
  WithRecord(token, [](OperationRecord& r) { return r.referenceCount = kMaxReferences; });
  EXPECT_EQ(pool_.Acquire(token), kInvalidOperationToken);
  ASSERT_EQ(StandIn_ErrorPostCount(), 1u);
  EXPECT_STREQ(StandIn_ErrorPostMessage(0),
               "Operation token 0x0000000000000001 already holds the most references it can");
  const auto restore = [](OperationRecord& r) { return std::exchange(r.referenceCount, 1); };
  EXPECT_EQ(WithRecord(token, restore), kMaxReferences);
}

// Nothing happens while the array's capacity is 8192, and past it only once at least half of
// the slots are free, so that a table that is mostly live is not rebuilt at every flush.
TEST_F(PoolTable, CompactsOnlyPastTheThresholdWhenMostlyFree) {
  std::vector<uint64_t> tokens = Allocate(8191);
  ASSERT_EQ(pool_.RecordCapacity(), 8192u);
  ReleaseEach(tokens, 0, 6000);
  pool_.Compact();
  EXPECT_EQ(Sizes(), (std::vector<size_t>{8192, 6000, 2191}));  // at the threshold: nothing

  tokens = Allocate(6001, tokens);
  ASSERT_GT(pool_.RecordCapacity(), 8192u);  // grew by one record
  pool_.Compact();
  EXPECT_EQ(pool_.RecordCount(), 8193u);  // past it, but every slot is live
  ReleaseEach(tokens, 6000, 10000);
  pool_.Compact();
  EXPECT_EQ(pool_.RecordCount(), 8193u);  // 4000 of 8192 free: less than half
  ReleaseEach(tokens, 10000, 12200);
  pool_.Compact();
  EXPECT_EQ(Sizes(), (std::vector<size_t>{1993, 0, 1992}));  // 6200 free: compacted
  EXPECT_EQ(pool_.RecordCapacity(), 8192u);
  for (size_t i = 12200; i < tokens.size(); ++i)
    EXPECT_EQ(WithRecord(tokens[i], [](OperationRecord& r) { return r.state; }), State::kPending);
  ReleaseEach(tokens, 12200, tokens.size());
}

// Past 2^32 tokens the record keeps the whole token, so the callbacks, the Canceled line and
// the links see the token the client holds.
TEST_F(PoolTable, TokensPastThirtyTwoBitsStayWhole) {
  pool_.SetNextTokenForTesting(0xFFFFFFFFull);
  for (const uint64_t expected : {0xFFFFFFFFull, 0x100000000ull}) {
    const uint64_t token = pool_.AllocateOperation(set_, nullptr);
    EXPECT_EQ(token, expected);
    EXPECT_EQ(WithRecord(token, [](OperationRecord& r) { return r.token; }), expected);
  }
}

}  // namespace
}  // namespace operation_receipt
