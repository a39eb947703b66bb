// ValueStoreTest.cpp
//
// Installing values: SetValue and its ownership rules, the pending size of SetValueSize, the
// value callback and its result, and a value callback that reshapes the whole table.

#include <vector>

#include "ComponentTest.h"

namespace operation_receipt_test {
namespace {

using ValueStore = ComponentTest;

TEST_F(ValueStore, PendingSizeIsAppliedBeforeTheValueCallback) {
  Probe probe;
  const uint64_t token = Make(probe, "Watched");
  ASSERT_EQ(table_.SetValueSize(token, 8), 0u);
  EXPECT_EQ(probe.valuesSeen, 0);
  ASSERT_EQ(table_.SetValue(token, MakeBits(3, 0b101)), 0u);
  EXPECT_EQ(probe.valuesSeen, 1);
  EXPECT_EQ(probe.lastToken, token);
  EXPECT_EQ(probe.valueLength, 8u);
  EXPECT_EQ(probe.valueLow, 0b101u);
  // The pending size was used up: the next value keeps its own length.
  ASSERT_EQ(table_.SetValue(token, MakeBits(3, 0b110)), 0u);
  EXPECT_EQ(probe.valueLength, 3u);
  const ReadBits read = ReadValueOf(token);
  EXPECT_EQ(read.result, 0u);
  EXPECT_EQ(read.length, 3u);
  EXPECT_EQ(read.low, 0b110u);
  Release({token});
}

// SetValueSize alone announces a value, built with that many zero bits once executed; on a
// present value it cuts or extends it without calling the value callback.
TEST_F(ValueStore, SetValueSizeAnnouncesOrResizesAValue) {
  Probe probe;
  const uint64_t token = Make(probe, "Watched");
  ASSERT_EQ(table_.SetValueSize(token, 5), 0u);
  ReadBits read = ReadValueOf(token);
  EXPECT_EQ(read.result, 0u);
  EXPECT_EQ(read.length, 5u);
  EXPECT_EQ(read.low, 0u);
  EXPECT_EQ(probe.valuesSeen, 1);
  EXPECT_EQ(probe.valueLength, 5u);

  ASSERT_EQ(table_.SetValue(token, MakeBits(16, 0xFFFF)), 0u);
  ASSERT_EQ(table_.SetValueSize(token, 4), 0u);
  read = ReadValueOf(token);
  EXPECT_EQ(read.length, 4u);
  EXPECT_EQ(read.low, 0xFu);
  ASSERT_EQ(table_.SetValueSize(token, 20), 0u);
  read = ReadValueOf(token);
  EXPECT_EQ(read.length, 20u);
  EXPECT_EQ(read.low, 0xFu);  // the cut bits do not come back
  EXPECT_EQ(probe.valuesSeen, 2);
  Release({token});
}

// Ownership passes only when the token is found: the caller frees a refused buffer itself,
// and an installed value frees the one it replaces.
TEST_F(ValueStore, SetValueTakesOwnershipOnlyOfAFoundOperation) {
  const uint64_t before = StandIn_BitDataLiveCount();
  const uint64_t token = ValueSource(8, 1);
  ASSERT_EQ(table_.SetValue(token, MakeBits(8, 2)), 0u);
  EXPECT_EQ(StandIn_BitDataLiveCount(), before + 1);  // the first value was freed
  ASSERT_EQ(table_.Flush(), 0u);
  Release({token});
  EXPECT_EQ(StandIn_BitDataLiveCount(), before);

  StandIn_ErrorClearPosts();
  BitData* refused = MakeBits(8, 0x42);
  EXPECT_EQ(table_.SetValue(token, refused), OR_INVALID_OPERATION_TOKEN);
  EXPECT_EQ(BitData_GetLength(refused), 8u);
  EXPECT_EQ(BitData_GetUpToUInt64(refused, 0, 8), 0x42u);
  BitData_FreeManaged(refused);
  ASSERT_EQ(Posts().size(), 1u);
  EXPECT_EQ(Posts()[0].code, OR_INVALID_OPERATION_TOKEN);
}

// A value callback's non-zero result is SetValue's; the value is installed all the same.
TEST_F(ValueStore, ValueCallbackResultIsReturnedAndTheValueStays) {
  Probe probe;
  probe.valueResult = 0x77;
  const uint64_t token = Make(probe, "Watched");
  EXPECT_EQ(table_.SetValue(token, MakeBits(8, 0xC4)), 0x77u);
  EXPECT_EQ(probe.valuesSeen, 1);
  EXPECT_EQ(ValueOf(token), 0xC4u);
  EXPECT_EQ(probe.valuesSeen, 1);  // reading does not install again
  EXPECT_EQ(Code(token), 0u);
  Release({token});
}

// Inside the value callback: enough operations to grow the table past the compaction threshold,
// all released and flushed, so the flush compacts the table. SetValue finishes on the record as
// the callback left it; the value is announced only by SetValue itself, so a lost update shows
// as an operation without a value.
TEST_F(ValueStore, ValueCallbackMayReshapeTheTable) {
  StandIn_LoggingSetEnabledLevels(0);
  Probe probe;
  probe.onValue = [] {
    std::vector<uint64_t> crowd(9000);
    for (uint64_t& token : crowd) token = PlainOperation();
    Release(crowd);
    EXPECT_EQ(Table().Flush(), 0u);
  };
  const uint64_t token = Make(probe, "Watched");
  ASSERT_EQ(table_.Flush(), 0u);
  ASSERT_EQ(table_.SetValue(token, MakeBits(4, 0x9)), 0u);
  EXPECT_EQ(probe.valuesSeen, 1);

  const ReadBits read = ReadValueOf(token);
  EXPECT_EQ(read.result, 0u);
  EXPECT_EQ(read.length, 4u);
  EXPECT_EQ(read.low, 0x9u);
  EXPECT_EQ(Counted(kMainClient, true), 0u);
  EXPECT_EQ(Counted(kMainClient, false), 1u);
  Release({token});
}

}  // namespace
}  // namespace operation_receipt_test
