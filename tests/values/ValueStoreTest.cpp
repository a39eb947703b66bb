// ValueStoreTest.cpp
//
// Installing values: SetValue and its ownership rules, the pending size of SetValueSize, the
// value callback and its result, and a value callback that reshapes the whole table.

#include <algorithm>
#include <vector>

#include "ComponentTest.h"

namespace operation_receipt_test {
namespace {

using ValueStore = ComponentTest;

// What an operation's value callback was told, and what it answers.
struct Seen {
  int calls = 0;
  uint64_t token = 0;
  uint64_t length = 0;
  uint64_t low = 0;
  uint32_t result = 0;
  void (*also)(Seen& seen) = nullptr;  // run inside the callback
};

uint32_t SeeValue(uint64_t token, void* context, BitData* value) {
  Seen& seen = *static_cast<Seen*>(context);
  ++seen.calls;
  seen.token = token;
  seen.length = BitData_GetLength(value);
  seen.low = BitData_GetUpToUInt64(value, 0, std::min<uint64_t>(seen.length, 64));
  if (seen.also != nullptr) seen.also(seen);
  return seen.result;
}

// An operation without execute callback whose value callback reports to `seen`. The
// descriptor does not announce a value.
OperationDescriptor Watched(Seen& seen) {
  OperationDescriptor descriptor{};
  descriptor.name = "Watched";
  descriptor.valueCallback = SeeValue;
  descriptor.context = &seen;
  return descriptor;
}

struct Read {
  uint32_t result;
  uint64_t length;
  uint64_t low;
};

Read ReadBack(uint64_t token) {
  BitData* value = nullptr;
  Read read{Table().GetValue(token, &value), 0, 0};
  if (value != nullptr) {
    read.length = BitData_GetLength(value);
    read.low = BitData_GetUpToUInt64(value, 0, std::min<uint64_t>(read.length, 64));
  }
  BitData_FreeManaged(value);
  return read;
}

TEST_F(ValueStore, PendingSizeIsAppliedBeforeTheValueCallback) {
  Seen seen;
  const OperationDescriptor descriptor = Watched(seen);
  const uint64_t token = Create(&descriptor);
  ASSERT_EQ(table_.SetValueSize(token, 8), 0u);
  EXPECT_EQ(seen.calls, 0);
  ASSERT_EQ(table_.SetValue(token, MakeBits(3, 0b101)), 0u);
  EXPECT_EQ(seen.calls, 1);
  EXPECT_EQ(seen.token, token);
  EXPECT_EQ(seen.length, 8u);
  EXPECT_EQ(seen.low, 0b101u);
  // The pending size was used up: the next value keeps its own length.
  ASSERT_EQ(table_.SetValue(token, MakeBits(3, 0b110)), 0u);
  EXPECT_EQ(seen.length, 3u);
  ASSERT_EQ(table_.Flush(), 0u);
  const Read read = ReadBack(token);
  EXPECT_EQ(read.result, 0u);
  EXPECT_EQ(read.length, 3u);
  EXPECT_EQ(read.low, 0b110u);
  EXPECT_EQ(table_.ReleaseOperation(token), 0u);
}

TEST_F(ValueStore, SetValueSizeResizesAPresentValueWithoutTheCallback) {
  Seen seen;
  const OperationDescriptor descriptor = Watched(seen);
  const uint64_t token = Create(&descriptor);
  ASSERT_EQ(table_.Flush(), 0u);
  ASSERT_EQ(table_.SetValue(token, MakeBits(16, 0xFFFF)), 0u);
  ASSERT_EQ(table_.SetValueSize(token, 4), 0u);
  Read read = ReadBack(token);
  EXPECT_EQ(read.length, 4u);
  EXPECT_EQ(read.low, 0xFu);
  ASSERT_EQ(table_.SetValueSize(token, 20), 0u);
  read = ReadBack(token);
  EXPECT_EQ(read.length, 20u);
  EXPECT_EQ(read.low, 0xFu);  // the cut bits do not come back
  EXPECT_EQ(seen.calls, 1);
  EXPECT_EQ(table_.ReleaseOperation(token), 0u);
}

// SetValueSize alone announces a value, built with that many zero bits once executed.
TEST_F(ValueStore, SetValueSizeAnnouncesAValue) {
  Seen seen;
  const OperationDescriptor descriptor = Watched(seen);
  const uint64_t token = Create(&descriptor);
  ASSERT_EQ(table_.SetValueSize(token, 5), 0u);
  const Read read = ReadBack(token);
  EXPECT_EQ(read.result, 0u);
  EXPECT_EQ(read.length, 5u);
  EXPECT_EQ(read.low, 0u);
  EXPECT_EQ(seen.calls, 1);
  EXPECT_EQ(seen.length, 5u);
  EXPECT_EQ(table_.ReleaseOperation(token), 0u);
}

// Ownership passes only when the token is found: the caller frees a refused buffer itself,
// and an installed value frees the one it replaces.
TEST_F(ValueStore, SetValueTakesOwnershipOnlyOfAFoundOperation) {
  const uint64_t before = StandIn_BitDataLiveCount();
  const uint64_t token = Create(nullptr);
  ASSERT_EQ(table_.Flush(), 0u);
  ASSERT_EQ(table_.SetValue(token, MakeBits(8, 1)), 0u);
  ASSERT_EQ(table_.SetValue(token, MakeBits(8, 2)), 0u);
  EXPECT_EQ(StandIn_BitDataLiveCount(), before + 1);  // the first value was freed
  ASSERT_EQ(table_.ReleaseOperation(token), 0u);
  EXPECT_EQ(StandIn_BitDataLiveCount(), before);

  StandIn_ErrorClearPosts();
  BitData* refused = MakeBits(8, 0x42);
  EXPECT_EQ(table_.SetValue(token, refused), OR_INVALID_OPERATION_TOKEN);
  EXPECT_EQ(BitData_GetLength(refused), 8u);
  EXPECT_EQ(BitData_GetUpToUInt64(refused, 0, 8), 0x42u);
  BitData_FreeManaged(refused);
  EXPECT_EQ(StandIn_BitDataLiveCount(), before);
  const std::vector<Post> posts = Posts();
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].code, OR_INVALID_OPERATION_TOKEN);
}

// A value callback's non-zero result is SetValue's; the value is installed all the same.
TEST_F(ValueStore, ValueCallbackResultIsReturnedAndTheValueStays) {
  Seen seen;
  seen.result = 0x77;
  const OperationDescriptor descriptor = Watched(seen);
  const uint64_t token = Create(&descriptor);
  EXPECT_EQ(table_.SetValue(token, MakeBits(8, 0xC4)), 0x77u);
  EXPECT_EQ(seen.calls, 1);
  uint8_t value = 0;
  EXPECT_EQ(table_.GetValueUInt8(token, &value), 0u);
  EXPECT_EQ(value, 0xC4u);
  EXPECT_EQ(seen.calls, 1);  // reading does not install again
  EXPECT_EQ(Code(token), 0u);
  EXPECT_EQ(table_.ReleaseOperation(token), 0u);
}

// Inside the value callback: enough operations to grow the table past the compaction
// threshold, all released and flushed, so the flush compacts the table.
void ReshapeTheTable(Seen& /*seen*/) {
  std::vector<uint64_t> crowd(9000);
  for (uint64_t& token : crowd) EXPECT_EQ(Table().CreateOperation(nullptr, &token), 0u);
  for (const uint64_t token : crowd) EXPECT_EQ(Table().ReleaseOperation(token), 0u);
  EXPECT_EQ(Table().Flush(), 0u);
}

// SetValue finishes on the record as the callback left it. The operation's value is announced
// only by SetValue itself, so a lost update shows as an operation without a value.
TEST_F(ValueStore, ValueCallbackMayReshapeTheTable) {
  StandIn_LoggingSetEnabledLevels(0);
  Seen seen;
  seen.also = ReshapeTheTable;
  const OperationDescriptor descriptor = Watched(seen);
  const uint64_t token = Create(&descriptor);
  ASSERT_EQ(table_.Flush(), 0u);
  ASSERT_EQ(table_.SetValue(token, MakeBits(4, 0x9)), 0u);
  EXPECT_EQ(seen.calls, 1);

  const Read read = ReadBack(token);
  EXPECT_EQ(read.result, 0u);
  EXPECT_EQ(read.length, 4u);
  EXPECT_EQ(read.low, 0x9u);
  uint32_t count = 1;
  ASSERT_EQ(table_.GetPendingOperationCount(kMainClient, &count), 0u);
  EXPECT_EQ(count, 0u);
  ASSERT_EQ(table_.GetExecutedOperationCount(kMainClient, &count), 0u);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(table_.ReleaseOperation(token), 0u);
}

}  // namespace
}  // namespace operation_receipt_test
