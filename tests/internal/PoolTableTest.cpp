// PoolTableTest.cpp
//
// The pool's table, through its internals on a pool of the test's own: token issue, slot reuse,
// both lookup failures, execution of one operation, and the compaction trigger.

#include <gtest/gtest.h>

#include <string>

#include "BitData.h"
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

  State StateOf(uint64_t token) {
    PoolGuard guard(pool_.lock());
    OperationRecord* record = nullptr;
    EXPECT_EQ(pool_.FindOperation(token, &record), kNoError);
    return record != nullptr ? record->state : State::kCanceled;
  }

  OperationPool pool_;
  OperationSet set_;
};

// A compaction with nothing live leaves only the sentinel slot 0, and the next token goes on.
TEST_F(PoolTable, TokensStartAtOneAndAreNeverReused) {
  EXPECT_EQ(pool_.AllocateOperation(set_, nullptr), 1u);
  EXPECT_EQ(pool_.AllocateOperation(set_, nullptr), 2u);
  ASSERT_EQ(pool_.Release(2), kNoError);
  EXPECT_EQ(pool_.AllocateOperation(set_, nullptr), 3u);
  pool_.Compact();
  EXPECT_EQ(pool_.AllocateOperation(set_, nullptr), 4u);

  std::vector<uint64_t> tokens = {1, 3, 4};
  for (int i = 0; i < 9000; ++i) tokens.push_back(pool_.AllocateOperation(set_, nullptr));
  for (const uint64_t token : tokens) ASSERT_EQ(pool_.Release(token), kNoError);
  pool_.Compact();
  EXPECT_EQ(pool_.RecordCount(), 1u);
  EXPECT_EQ(pool_.FreeSlotCount(), 0u);
  EXPECT_EQ(pool_.LiveTokenCount(), 0u);
  EXPECT_EQ(pool_.AllocateOperation(set_, nullptr), 9005u);
  EXPECT_EQ(pool_.RecordCount(), 2u);  // appended at slot 1
}

TEST_F(PoolTable, FreeSlotsAreReusedOldestFirst) {
  for (int i = 0; i < 4; ++i) pool_.AllocateOperation(set_, nullptr);  // slots 1 to 4
  ASSERT_EQ(pool_.RecordCount(), 5u);
  ASSERT_EQ(pool_.Release(3), kNoError);  // frees slot 3 first
  ASSERT_EQ(pool_.Release(1), kNoError);  // then slot 1
  EXPECT_EQ(pool_.FreeSlotCount(), 2u);
  const uint64_t fifth = pool_.AllocateOperation(set_, nullptr);
  const uint64_t sixth = pool_.AllocateOperation(set_, nullptr);
  const uint64_t seventh = pool_.AllocateOperation(set_, nullptr);
  EXPECT_EQ(pool_.RecordCount(), 6u);  // only the third allocation appended
  // The slot a token landed in shows through the order in which a walk of the table meets it.
  PoolGuard guard(pool_.lock());
  OperationRecord* record;
  ASSERT_EQ(pool_.FindOperation(fifth, &record), kNoError);
  OperationRecord* slotTwo;
  ASSERT_EQ(pool_.FindOperation(2, &slotTwo), kNoError);
  EXPECT_EQ(record, slotTwo + 1);  // slot 3, right after token 2's slot 2
  ASSERT_EQ(pool_.FindOperation(sixth, &record), kNoError);
  EXPECT_EQ(record, slotTwo - 1);  // slot 1
  ASSERT_EQ(pool_.FindOperation(seventh, &record), kNoError);
  EXPECT_EQ(record, slotTwo + 3);  // slot 5, appended
}

TEST_F(PoolTable, LookupFailuresPostBothForms) {
  PoolGuard guard(pool_.lock());
  EXPECT_EQ(pool_.FindOperation(0, nullptr), kInvalidOperationToken);
  EXPECT_EQ(pool_.FindOperation(77, nullptr), kInvalidOperationToken);
  ASSERT_EQ(StandIn_ErrorPostCount(), 2u);
  for (uint32_t i = 0; i < 2; ++i) {
    EXPECT_EQ(StandIn_ErrorPostCode(i), kInvalidOperationToken);
    EXPECT_STREQ(StandIn_ErrorPostMessage(i), "");
    EXPECT_STREQ(StandIn_ErrorPostFile(i), "OperationPool.cpp");
  }
  // A record whose count is 0 but whose token is still mapped is being destroyed.
  const uint64_t token = pool_.AllocateOperation(set_, nullptr);
  OperationRecord* record;
  ASSERT_EQ(pool_.FindOperation(token, &record), kNoError);
  record->referenceCount = 0;
  EXPECT_EQ(pool_.FindOperation(token, nullptr), kInvalidOperationToken);
  EXPECT_STREQ(StandIn_ErrorPostMessage(2),
               "Operation token 0x0000000000000001 does not correspond to a valid operation");
  record->referenceCount = 1;
}

// A reference past the widest count is refused, and the count stays where it was.
TEST_F(PoolTable, AcquirePastTheMostReferencesIsRefused) {
  const uint64_t token = pool_.AllocateOperation(set_, nullptr);
  {
    PoolGuard guard(pool_.lock());
    OperationRecord* record;
    ASSERT_EQ(pool_.FindOperation(token, &record), kNoError);
    record->referenceCount = kMaxReferences;
  }
  EXPECT_EQ(pool_.Acquire(token), kInvalidOperationToken);
  ASSERT_EQ(StandIn_ErrorPostCount(), 1u);
  EXPECT_STREQ(StandIn_ErrorPostMessage(0),
               "Operation token 0x0000000000000001 already holds the most references it can");
  PoolGuard guard(pool_.lock());
  OperationRecord* record;
  ASSERT_EQ(pool_.FindOperation(token, &record), kNoError);
  EXPECT_EQ(record->referenceCount, kMaxReferences);
  record->referenceCount = 1;
}

uint32_t ReturnContextCode(uint64_t /*token*/, void* context) {
  return *static_cast<uint32_t*>(context);
}

TEST_F(PoolTable, ExecutionStatesAndCodePrecedence) {
  uint32_t result = 0;
  OperationDescriptor descriptor{};
  descriptor.executeCallback = ReturnContextCode;
  descriptor.context = &result;
  const uint64_t ok = pool_.AllocateOperation(set_, &descriptor);
  EXPECT_EQ(pool_.ExecuteOperation(ok), kNoError);
  EXPECT_EQ(StateOf(ok), State::kExecuted);
  EXPECT_EQ(pool_.ExecuteOperation(ok), kNoError);  // never twice

  result = 9;
  const uint64_t failing = pool_.AllocateOperation(set_, &descriptor);
  EXPECT_EQ(pool_.ExecuteOperation(failing), 9u);
  EXPECT_EQ(StateOf(failing), State::kFailed);

  const uint64_t preset = pool_.AllocateOperation(set_, &descriptor);
  ASSERT_EQ(pool_.SetError(preset, 4, nullptr), kNoError);  // wins over the callback's 9
  EXPECT_EQ(pool_.ExecuteOperation(preset), 4u);

  const uint64_t bare = pool_.AllocateOperation(set_, nullptr);  // no callback
  EXPECT_EQ(pool_.ExecuteOperation(bare), kNoError);
  EXPECT_EQ(StateOf(bare), State::kExecuted);

  EXPECT_EQ(pool_.ExecuteOperation(12345), kInvalidOperationToken);
}

// The trigger, seen through the internals (through the table a compaction is invisible):
// nothing happens while the array's capacity is 8192, and past it only once at least half of
// the slots are free, so that a table that is mostly live is not rebuilt at every flush.
TEST_F(PoolTable, CompactsOnlyPastTheThresholdWhenMostlyFree) {
  std::vector<uint64_t> tokens;
  for (int i = 0; i < 8191; ++i) tokens.push_back(pool_.AllocateOperation(set_, nullptr));
  ASSERT_EQ(pool_.RecordCapacity(), 8192u);
  for (size_t i = 0; i < 6000; ++i) ASSERT_EQ(pool_.Release(tokens[i]), kNoError);
  pool_.Compact();
  EXPECT_EQ(pool_.RecordCount(), 8192u);  // at the threshold: the free slots stay queued
  EXPECT_EQ(pool_.FreeSlotCount(), 6000u);

  for (int i = 0; i < 6001; ++i) tokens.push_back(pool_.AllocateOperation(set_, nullptr));
  ASSERT_GT(pool_.RecordCapacity(), 8192u);  // grew by one record
  pool_.Compact();
  EXPECT_EQ(pool_.RecordCount(), 8193u);  // past it, but every slot is live
  for (size_t i = 6000; i < 10000; ++i) ASSERT_EQ(pool_.Release(tokens[i]), kNoError);
  pool_.Compact();
  EXPECT_EQ(pool_.RecordCount(), 8193u);  // 4000 of 8192 free: less than half
  for (size_t i = 10000; i < 12200; ++i) ASSERT_EQ(pool_.Release(tokens[i]), kNoError);
  const size_t live = pool_.LiveTokenCount();
  pool_.Compact();
  EXPECT_EQ(pool_.FreeSlotCount(), 0u);
  EXPECT_EQ(pool_.RecordCount(), live + 1);
  EXPECT_EQ(pool_.RecordCapacity(), 8192u);
  for (size_t i = 12200; i < tokens.size(); ++i) {
    EXPECT_EQ(StateOf(tokens[i]), State::kPending);
    ASSERT_EQ(pool_.Release(tokens[i]), kNoError);
  }
}

// Past 2^32 tokens the record keeps the whole token, so the callbacks, the Canceled line and
// the links see the token the client holds.
TEST_F(PoolTable, TokensPastThirtyTwoBitsStayWhole) {
  pool_.SetNextTokenForTesting(0xFFFFFFFFull);
  const uint64_t low = pool_.AllocateOperation(set_, nullptr);
  const uint64_t high = pool_.AllocateOperation(set_, nullptr);
  EXPECT_EQ(low, 0xFFFFFFFFull);
  EXPECT_EQ(high, 0x100000000ull);
  PoolGuard guard(pool_.lock());
  OperationRecord* record;
  ASSERT_EQ(pool_.FindOperation(high, &record), kNoError);
  EXPECT_EQ(record->token, high);
  ASSERT_EQ(pool_.FindOperation(low, &record), kNoError);
  EXPECT_EQ(record->token, low);
}

}  // namespace
}  // namespace operation_receipt
