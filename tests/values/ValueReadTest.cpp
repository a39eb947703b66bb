// ValueReadTest.cpp
//
// Reading an operation's value: the copy GetValue hands out, the typed readers, the flush on
// demand, reads of Failed operations, operations without a value, and reads from a thread that
// does not own the operation.

#include <thread>

#include "ComponentTest.h"

namespace operation_receipt_test {
namespace {

using ValueRead = ComponentTest;

constexpr int32_t kHelperClient = 102;

// An executed operation without callbacks that holds `value`.
uint64_t Holding(BitData* value) {
  const uint64_t token = PlainOperation();
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
  uint8_t u8 = 0xFF;
  uint16_t u16 = 0;
  EXPECT_EQ(table_.GetValueUInt8(twelve, &u8), 0u);
  EXPECT_EQ(u8, 0xBCu);
  EXPECT_EQ(ValueOf(twelve), 0xABCu);
  EXPECT_EQ(ValueOf(seventy), 0x8000000000000001ull);
  EXPECT_EQ(table_.GetValueUInt16(seventy, &u16), 0u);
  EXPECT_EQ(u16, 0x0001u);
  EXPECT_EQ(table_.GetValueUInt8(empty, &u8), 0u);
  EXPECT_EQ(u8, 0u);
  EXPECT_EQ(StandIn_BitDataMisuseCount(), 0u);  // short values are read within their length
  EXPECT_TRUE(Posts().empty());
  Release({twelve, seventy, empty});
}

TEST_F(ValueRead, GetValueHandsOutAnIndependentCopy) {
  const uint64_t token = Holding(MakeBits(16, 0x1234));
  BitData* first = nullptr;
  ASSERT_EQ(table_.GetValue(token, &first), 0u);
  ASSERT_NE(first, nullptr);
  ASSERT_EQ(BitData_SetUpToUInt64(first, 0, 16, 0xFFFF), 0u);
  ASSERT_EQ(BitData_Resize(first, 3), 0u);
  const ReadBits second = ReadValueOf(token);
  BitData_FreeManaged(first);
  EXPECT_EQ(second.length, 16u);
  EXPECT_EQ(second.low, 0x1234u);
  EXPECT_EQ(ValueOf(token), 0x1234u);
  Release({token});
}

// A failed read clears GetValue's out-pointer and leaves the typed readers' untouched.
TEST_F(ValueRead, FailedReadsLeaveNothingBehind) {
  const uint64_t gone = Holding(MakeBits(1, 0));
  const uint64_t plain = PlainOperation();
  ASSERT_EQ(table_.Flush(), 0u);
  Release({gone});
  StandIn_ErrorClearPosts();

  for (const auto& [token, result] :
       {std::pair{gone, OR_INVALID_OPERATION_TOKEN}, std::pair{plain, OR_OPERATION_HAS_NO_VALUE}}) {
    SCOPED_TRACE(result);
    BitData* stale = MakeBits(2, 3);
    BitData* value = stale;
    EXPECT_EQ(table_.GetValue(token, &value), result);
    EXPECT_EQ(value, nullptr);
    BitData_FreeManaged(stale);
    uint8_t u8 = 0xA5;
    uint16_t u16 = 0xA5A5;
    uint32_t u32 = 0xA5A5A5A5;
    uint64_t u64 = 0xA5A5A5A5A5A5A5A5ull;
    EXPECT_EQ(table_.GetValueUInt8(token, &u8) | table_.GetValueUInt16(token, &u16) |
                  table_.GetValueUInt32(token, &u32) | table_.GetValueUInt64(token, &u64),
              result);
    EXPECT_EQ(u8 + u16 + u32 + u64, 0xA5u + 0xA5A5u + 0xA5A5A5A5u + 0xA5A5A5A5A5A5A5A5ull);
  }
  const std::vector<Post> posts = Posts();
  ASSERT_EQ(posts.size(), 10u);  // every failed read posts
  EXPECT_EQ(posts[5].code, OR_OPERATION_HAS_NO_VALUE);
  EXPECT_EQ(posts[5].message, NoValueMessage(plain));
  EXPECT_EQ(posts[5].file, "OperationPool.cpp");
  Release({plain});
}

// A value announced only by the descriptor is built empty once the operation has executed; the
// read flushes the thread's whole buffer, older operations first.
TEST_F(ValueRead, AnnouncedValueReadsAsZeroBitsAfterExecution) {
  Probe older, probe;
  const uint64_t first = Make(older, "Older");
  const uint64_t token = Make(probe, "Announced", /*hasValue=*/true);
  const ReadBits read = ReadValueOf(token);
  EXPECT_EQ(read.result, 0u);
  EXPECT_EQ(read.length, 0u);
  EXPECT_EQ(older.executed + probe.executed, 2);
  EXPECT_TRUE(Posts().empty());
  Release({first, token});
}

// Reading a Failed operation's value posts its message with code 0, then reads as usual; code
// reads report nothing.
TEST_F(ValueRead, FailedOperationPostsItsMessageBeforeTheRead) {
  Probe withValue, without;
  withValue.executeResult = 7;
  const uint64_t valued = Make(withValue, "FailedWithValue");
  const uint64_t bare = Make(without, "FailedWithout");
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

  StandIn_ErrorClearPosts();
  EXPECT_EQ(Code(valued), 7u);
  EXPECT_TRUE(Posts().empty());
  Release({valued, bare});
}

// Another thread never flushes the operation: while it is buffered, and after its owner's
// flush left its announced value unbuilt, that thread finds no value. The owner then reads it.
TEST_F(ValueRead, AnotherThreadNeverFlushes) {
  Probe probe;
  const uint64_t token = Make(probe, "Owned", /*hasValue=*/true);
  auto readElsewhere = [token](uint32_t expectedState) {
    std::thread([token, expectedState] {
      StandIn_CommonSetClientId(kHelperClient);
      StandIn_ErrorClearPosts();
      const ReadBits read = ReadValueOf(token);
      EXPECT_EQ(read.result, OR_OPERATION_HAS_NO_VALUE);
      EXPECT_FALSE(read.handedOut);
      EXPECT_EQ(Code(token), 0u);
      EXPECT_EQ(State(token), expectedState);
      const std::vector<Post> posts = Posts();
      ASSERT_EQ(posts.size(), 1u);
      EXPECT_EQ(posts[0].code, OR_OPERATION_HAS_NO_VALUE);
      EXPECT_EQ(posts[0].message, NoValueMessage(token));
      EXPECT_EQ(posts[0].file, "OperationPool.cpp");
    }).join();
  };
  readElsewhere(kPending);
  EXPECT_EQ(probe.executed, 0);
  ASSERT_EQ(table_.Flush(), 0u);
  readElsewhere(kExecuted);
  EXPECT_EQ(probe.valuesSeen, 0);

  const ReadBits read = ReadValueOf(token);
  EXPECT_EQ(read.result, 0u);
  EXPECT_EQ(read.length, 0u);
  EXPECT_EQ(probe.executed, 1);
  Release({token});
}

}  // namespace
}  // namespace operation_receipt_test
