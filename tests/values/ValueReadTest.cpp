// ValueReadTest.cpp
//
// Reading an operation's value: the copy GetValue hands out, the typed readers, the flush on
// demand, reads of Failed operations, operations without a value, and reads from a thread that
// does not own the operation.

#include <algorithm>
#include <thread>

#include "ComponentTest.h"

namespace operation_receipt_test {
namespace {

using ValueRead = ComponentTest;

constexpr int32_t kHelperClient = 102;

std::string NoValueMessage(uint64_t token) {
  return "Operation receipt with token " + Hex(token) + " does not have a value associated with it";
}

// An executed operation without callbacks that holds `value`.
uint64_t Holding(BitData* value) {
  uint64_t token = 0;
  EXPECT_EQ(Table().CreateOperation(nullptr, &token), 0u);
  EXPECT_EQ(Table().SetValue(token, value), 0u);
  EXPECT_EQ(Table().Flush(), 0u);
  return token;
}

TEST_F(ValueRead, TypedReadersTakeTheLowBitsWithZerosAbove) {
  const uint64_t twelve = Holding(MakeBits(12, 0xABC));
  BitData* wide = MakeBits(70, 0x8000000000000001ull);
  ASSERT_EQ(BitData_SetUpToUInt64(wide, 64, 6, 0x3F), 0u);
  const uint64_t seventy = Holding(wide);
  const uint64_t empty = Holding(MakeBits(0, 0));
  StandIn_BitDataResetMisuseCount();

  uint8_t u8 = 0;
  uint16_t u16 = 0;
  uint32_t u32 = 0;
  uint64_t u64 = 0;
  EXPECT_EQ(table_.GetValueUInt8(twelve, &u8), 0u);
  EXPECT_EQ(u8, 0xBCu);
  EXPECT_EQ(table_.GetValueUInt16(twelve, &u16), 0u);
  EXPECT_EQ(u16, 0xABCu);
  EXPECT_EQ(table_.GetValueUInt32(twelve, &u32), 0u);
  EXPECT_EQ(u32, 0xABCu);
  EXPECT_EQ(table_.GetValueUInt64(twelve, &u64), 0u);
  EXPECT_EQ(u64, 0xABCu);

  EXPECT_EQ(table_.GetValueUInt64(seventy, &u64), 0u);
  EXPECT_EQ(u64, 0x8000000000000001ull);
  EXPECT_EQ(table_.GetValueUInt16(seventy, &u16), 0u);
  EXPECT_EQ(u16, 0x0001u);

  u8 = 0xFF;
  u64 = 0xFF;
  EXPECT_EQ(table_.GetValueUInt8(empty, &u8), 0u);
  EXPECT_EQ(u8, 0u);
  EXPECT_EQ(table_.GetValueUInt64(empty, &u64), 0u);
  EXPECT_EQ(u64, 0u);
  EXPECT_EQ(StandIn_BitDataMisuseCount(), 0u);  // short values are read within their length
  EXPECT_TRUE(Posts().empty());
  for (const uint64_t token : {twelve, seventy, empty}) {
    EXPECT_EQ(table_.ReleaseOperation(token), 0u);
  }
}

TEST_F(ValueRead, GetValueHandsOutAnIndependentCopy) {
  const uint64_t token = Holding(MakeBits(16, 0x1234));
  BitData* first = nullptr;
  ASSERT_EQ(table_.GetValue(token, &first), 0u);
  ASSERT_NE(first, nullptr);
  ASSERT_EQ(BitData_SetUpToUInt64(first, 0, 16, 0xFFFF), 0u);
  ASSERT_EQ(BitData_Resize(first, 3), 0u);
  BitData* second = nullptr;
  ASSERT_EQ(table_.GetValue(token, &second), 0u);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, first);
  BitData_FreeManaged(first);
  EXPECT_EQ(BitData_GetLength(second), 16u);
  EXPECT_EQ(BitData_GetUpToUInt64(second, 0, 16), 0x1234u);
  BitData_FreeManaged(second);
  uint16_t value = 0;
  EXPECT_EQ(table_.GetValueUInt16(token, &value), 0u);
  EXPECT_EQ(value, 0x1234u);
  EXPECT_EQ(table_.ReleaseOperation(token), 0u);
}

// A failed read clears GetValue's out-pointer and leaves the typed readers' untouched.
TEST_F(ValueRead, FailedReadsLeaveNothingBehind) {
  const uint64_t without = Holding(MakeBits(1, 0));
  const uint64_t plain = [] {
    uint64_t token = 0;
    EXPECT_EQ(Table().CreateOperation(nullptr, &token), 0u);
    EXPECT_EQ(Table().Flush(), 0u);
    return token;
  }();
  EXPECT_EQ(table_.ReleaseOperation(without), 0u);  // now an unknown token
  StandIn_ErrorClearPosts();

  struct Case {
    uint64_t token;
    uint32_t result;
  };
  for (const Case c :
       {Case{without, OR_INVALID_OPERATION_TOKEN}, Case{plain, OR_OPERATION_HAS_NO_VALUE}}) {
    SCOPED_TRACE(c.result);
    BitData* stale = MakeBits(2, 3);
    BitData* value = stale;
    EXPECT_EQ(table_.GetValue(c.token, &value), c.result);
    EXPECT_EQ(value, nullptr);
    BitData_FreeManaged(stale);
    uint8_t u8 = 0xA5;
    uint16_t u16 = 0xA5A5;
    uint32_t u32 = 0xA5A5A5A5;
    uint64_t u64 = 0xA5A5A5A5A5A5A5A5ull;
    EXPECT_EQ(table_.GetValueUInt8(c.token, &u8), c.result);
    EXPECT_EQ(table_.GetValueUInt16(c.token, &u16), c.result);
    EXPECT_EQ(table_.GetValueUInt32(c.token, &u32), c.result);
    EXPECT_EQ(table_.GetValueUInt64(c.token, &u64), c.result);
    EXPECT_EQ(u8, 0xA5u);
    EXPECT_EQ(u16, 0xA5A5u);
    EXPECT_EQ(u32, 0xA5A5A5A5u);
    EXPECT_EQ(u64, 0xA5A5A5A5A5A5A5A5ull);
  }
  const std::vector<Post> posts = Posts();
  ASSERT_EQ(posts.size(), 10u);  // every failed read posts
  EXPECT_EQ(posts[5].code, OR_OPERATION_HAS_NO_VALUE);
  EXPECT_EQ(posts[5].message, NoValueMessage(plain));
  EXPECT_EQ(posts[5].file, "OperationPool.cpp");
  EXPECT_EQ(table_.ReleaseOperation(plain), 0u);
}

// A value announced only by the descriptor is built empty once the operation has executed.
TEST_F(ValueRead, AnnouncedValueReadsAsZeroBitsAfterExecution) {
  Probe probe;
  const OperationDescriptor descriptor = ProbeDescriptor(probe, "Announced", /*hasValue=*/true);
  const uint64_t token = Create(&descriptor);
  BitData* value = nullptr;
  EXPECT_EQ(table_.GetValue(token, &value), 0u);
  EXPECT_EQ(probe.executed, 1);  // flushed on demand
  EXPECT_EQ(BitData_GetLength(value), 0u);
  BitData_FreeManaged(value);
  EXPECT_TRUE(Posts().empty());
  EXPECT_EQ(table_.ReleaseOperation(token), 0u);
}

void InstallValue(Probe& probe, uint64_t token) {
  probe.executeResult = Table().SetValue(token, MakeBits(8, 0x77));
}

// A read of a buffered operation flushes the thread's whole buffer, older operations first.
TEST_F(ValueRead, ReadOfABufferedOperationFlushesTheBuffer) {
  Probe older;
  Probe reader;
  Probe younger;
  reader.onExecute = InstallValue;
  const OperationDescriptor olderDescriptor = ProbeDescriptor(older, "Older");
  const OperationDescriptor readerDescriptor = ProbeDescriptor(reader, "Read");
  const OperationDescriptor youngerDescriptor = ProbeDescriptor(younger, "Younger");
  const uint64_t first = Create(&olderDescriptor);
  const uint64_t token = Create(&readerDescriptor);
  const uint64_t last = Create(&youngerDescriptor);
  uint8_t value = 0;
  EXPECT_EQ(table_.GetValueUInt8(token, &value), 0u);
  EXPECT_EQ(value, 0x77u);
  EXPECT_EQ(older.executed, 1);
  EXPECT_EQ(reader.executed, 1);
  EXPECT_EQ(younger.executed, 1);
  for (const uint64_t t : {first, token, last}) EXPECT_EQ(table_.ReleaseOperation(t), 0u);
}

// Reading a Failed operation's value posts its message with code 0, then reads as usual.
TEST_F(ValueRead, FailedOperationPostsItsMessageBeforeTheRead) {
  Probe withValue;
  Probe without;
  withValue.executeResult = 7;
  const OperationDescriptor withDescriptor = ProbeDescriptor(withValue, "FailedWithValue");
  const OperationDescriptor withoutDescriptor = ProbeDescriptor(without, "FailedWithout");
  const uint64_t valued = Create(&withDescriptor);
  const uint64_t bare = Create(&withoutDescriptor);
  ASSERT_EQ(table_.SetValue(valued, MakeBits(4, 0xA)), 0u);
  EXPECT_EQ(table_.Flush(), 7u);
  ASSERT_EQ(table_.SetError(valued, 7, "register stuck"), 0u);
  ASSERT_EQ(table_.SetError(bare, 7, "skipped"), 0u);
  StandIn_ErrorClearPosts();

  uint8_t value = 0;
  EXPECT_EQ(table_.GetValueUInt8(valued, &value), 0u);
  EXPECT_EQ(value, 0xAu);
  std::vector<Post> posts = Posts();
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].code, 0u);
  EXPECT_EQ(posts[0].message, "register stuck");
  EXPECT_EQ(posts[0].file, "OperationPool.cpp");

  StandIn_ErrorClearPosts();
  EXPECT_EQ(table_.GetValueUInt8(bare, &value), OR_OPERATION_HAS_NO_VALUE);
  posts = Posts();
  ASSERT_EQ(posts.size(), 2u);
  EXPECT_EQ(posts[0].code, 0u);
  EXPECT_EQ(posts[0].message, "skipped");
  EXPECT_EQ(posts[1].code, OR_OPERATION_HAS_NO_VALUE);
  EXPECT_EQ(posts[1].message, NoValueMessage(bare));

  // Code and message reads report nothing.
  StandIn_ErrorClearPosts();
  EXPECT_EQ(Code(valued), 7u);
  EXPECT_TRUE(Posts().empty());
  EXPECT_EQ(table_.ReleaseOperation(valued), 0u);
  EXPECT_EQ(table_.ReleaseOperation(bare), 0u);
}

// Another thread never flushes the operation: while it is buffered, and after its owner's
// flush left its announced value unbuilt, that thread finds no value. The owner then reads it.
TEST_F(ValueRead, AnotherThreadNeverFlushes) {
  Probe probe;
  const OperationDescriptor descriptor = ProbeDescriptor(probe, "Owned", /*hasValue=*/true);
  const uint64_t token = Create(&descriptor);
  auto readElsewhere = [token](uint32_t expectedState) {
    std::thread helper([token, expectedState] {
      StandIn_CommonSetClientId(kHelperClient);
      StandIn_ErrorClearPosts();
      BitData* value = nullptr;
      EXPECT_EQ(Table().GetValue(token, &value), OR_OPERATION_HAS_NO_VALUE);
      EXPECT_EQ(value, nullptr);
      uint32_t code = 99;
      EXPECT_EQ(Table().GetErrorCode(token, &code), 0u);
      EXPECT_EQ(code, 0u);
      uint32_t state = 99;
      EXPECT_EQ(Table().GetOperationState(token, &state), 0u);
      EXPECT_EQ(state, expectedState);
      const std::vector<Post> posts = Posts();
      ASSERT_EQ(posts.size(), 1u);
      EXPECT_EQ(posts[0].code, OR_OPERATION_HAS_NO_VALUE);
      EXPECT_EQ(posts[0].message, NoValueMessage(token));
      EXPECT_EQ(posts[0].file, "OperationPool.cpp");
    });
    helper.join();
  };
  readElsewhere(OperationState_Pending);
  EXPECT_EQ(probe.executed, 0);
  ASSERT_EQ(table_.Flush(), 0u);
  readElsewhere(OperationState_Executed);
  EXPECT_EQ(probe.valuesSeen, 0);

  BitData* value = nullptr;
  EXPECT_EQ(table_.GetValue(token, &value), 0u);
  EXPECT_EQ(BitData_GetLength(value), 0u);
  BitData_FreeManaged(value);
  EXPECT_EQ(probe.executed, 1);
  EXPECT_EQ(table_.ReleaseOperation(token), 0u);
}

}  // namespace
}  // namespace operation_receipt_test
