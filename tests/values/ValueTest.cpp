// ValueTest.cpp
//
// An operation's results: its error code and message, its value (installed, resized, read as a
// copy or as a number, built on demand), the counts per client, and reads from a thread that
// does not own the operation.

#include <cstring>
#include <thread>

#include "ComponentTest.h"

namespace operation_receipt_test {
namespace {

using Values = ComponentTest;
using Counts = std::pair<uint32_t, uint32_t>;

constexpr int32_t kOtherClient = 103;

Counts CountsOf(int32_t key) { return {Counted(key, true), Counted(key, false)}; }

// An executed operation without callbacks that holds `value`.
uint64_t Holding(BitData* value) {
  const uint64_t token = PlainOperation();
  EXPECT_EQ(Table().SetValue(token, value), 0u);
  EXPECT_EQ(Table().Flush(), 0u);
  return token;
}

// Canceled and Failed operations are no longer pending; immediate ones count under key -1; the
// slots of destroyed operations count under no key. (Each client key counts its own: threads/.)
TEST_F(Values, CountsFollowTheStatesOfTheClientsOperations) {
  Probe failing;
  failing.executeResult = 4;
  uint64_t immediate = 0;
  failing.onExecute = [&](uint64_t) { immediate = PlainOperation(); };
  const uint64_t canceled = PlainOperation();
  const uint64_t failed = Make(failing, "Failing");
  ASSERT_EQ(table_.CancelOperation(canceled), 0u);
  EXPECT_EQ(CountsOf(kMainClient), Counts(1, 1));
  EXPECT_EQ(table_.Flush(), 4u);
  EXPECT_EQ(CountsOf(kMainClient), Counts(0, 2));
  EXPECT_EQ(CountsOf(-1), Counts(0, 1));
  Release({immediate, canceled});
  EXPECT_EQ(CountsOf(kMainClient), Counts(0, 1));
  EXPECT_EQ(CountsOf(-1), Counts(0, 0));
  Release({failed});
}

TEST_F(Values, ErrorMessageCopiesWhatFitsAndReportsTheFullLength) {
  const uint64_t token = Holding(MakeBits(1, 0));
  ASSERT_EQ(table_.SetError(token, 5, "abc"), 0u);
  struct Case {
    uint32_t bufferSize;
    const char* written;  // null: the buffer is left alone
  };
  for (const Case c :
       {Case{3, "ab"}, Case{4, "abc"}, Case{8, "abc"}, Case{1, ""}, Case{0, nullptr}}) {
    SCOPED_TRACE(c.bufferSize);
    char buffer[8];
    std::memset(buffer, 'x', sizeof buffer);
    uint32_t size = 99;
    EXPECT_EQ(table_.GetErrorMessage(token, buffer, c.bufferSize, &size), 0u);
    EXPECT_EQ(size, 3u);
    const std::string written = c.written == nullptr ? "" : std::string(c.written) + '\0';
    EXPECT_EQ(std::string(buffer, sizeof buffer),
              written + std::string(sizeof buffer - written.size(), 'x'));
  }
  uint32_t size = 0;
  EXPECT_EQ(table_.GetErrorMessage(token, nullptr, 16, &size), 0u);
  EXPECT_EQ(size, 3u);
  EXPECT_TRUE(Posts().empty());
  Release({token});
}

// The state is read as it is, without a line; the code and the message make the operation
// execute first. SetError neither flushes nor changes the state: a code set before execution
// fails the operation with it (the flush captures that code's message in place of the text);
// set afterwards, any code and any message is what the client reads back.
TEST_F(Values, ErrorCodeAndMessageBeforeAndAfterExecution) {
  Probe probe;
  probe.executeResult = 9;
  const uint64_t byCode = Make(probe, "Buffered");
  StandIn_LoggingClearRecorded();
  EXPECT_EQ(State(byCode), kPending);
  EXPECT_TRUE(RecordedLines().empty());
  EXPECT_EQ(Code(byCode), 9u);
  EXPECT_EQ(probe.executed, 1);
  probe.executeResult = 0;
  const uint64_t byMessage = Make(probe, "Buffered");
  EXPECT_EQ(Message(byMessage), "");
  EXPECT_EQ(State(byMessage), kExecuted);

  const uint64_t preset = Make(probe, "Preset");
  ASSERT_EQ(table_.SetError(preset, OR_OPERATION_ALREADY_EXECUTED, "set by hand"), 0u);
  EXPECT_EQ(State(preset), kPending);
  EXPECT_EQ(table_.Flush(), OR_OPERATION_ALREADY_EXECUTED);
  EXPECT_EQ(State(preset), kFailed);
  const std::string registered = Quorvel_ErrorGetDefaultMessage(OR_OPERATION_ALREADY_EXECUTED);
  EXPECT_EQ(Message(preset), registered);

  struct Late {
    uint64_t token;
    uint32_t code;
    const char* message;  // null: the message stays
    std::string read;
  };
  for (const Late& c :
       {Late{preset, 0, nullptr, registered}, Late{preset, 0xFFFFFFFFu, "", ""},
        Late{byMessage, 0x1234, nullptr, ""}, Late{byMessage, 0x4321, "late", "late"}}) {
    SCOPED_TRACE(c.code);
    ASSERT_EQ(table_.SetError(c.token, c.code, c.message), 0u);
    EXPECT_EQ(Code(c.token), c.code);
    EXPECT_EQ(Message(c.token), c.read);
  }
  EXPECT_EQ(State(preset), kFailed);
  EXPECT_EQ(State(byMessage), kExecuted);
  Release({byCode, byMessage, preset});
}

TEST_F(Values, TypedReadersTakeTheLowBitsWithZerosAbove) {
  const uint64_t twelve = Holding(MakeBits(12, 0xABC));
  BitData* wide = MakeBits(70, 0x8000000080000001ull);
  ASSERT_EQ(BitData_SetUpToUInt64(wide, 64, 6, 0x3F), 0u);
  const uint64_t seventy = Holding(wide);
  const uint64_t empty = Holding(MakeBits(0, 0));
  StandIn_BitDataResetMisuseCount();
  uint8_t u8 = 0xFF;
  uint16_t u16 = 0;
  uint32_t u32 = 0;
  EXPECT_EQ(table_.GetValueUInt8(twelve, &u8), 0u);
  EXPECT_EQ(u8, 0xBCu);
  EXPECT_EQ(table_.GetValueUInt32(twelve, &u32), 0u);
  EXPECT_EQ(u32, 0xABCu);
  EXPECT_EQ(ValueOf(seventy), 0x8000000080000001ull);
  EXPECT_EQ(table_.GetValueUInt32(seventy, &u32), 0u);
  EXPECT_EQ(u32, 0x80000001u);
  EXPECT_EQ(table_.GetValueUInt16(seventy, &u16), 0u);
  EXPECT_EQ(u16, 0x0001u);
  EXPECT_EQ(table_.GetValueUInt8(empty, &u8), 0u);
  EXPECT_EQ(u8, 0u);
  EXPECT_EQ(StandIn_BitDataMisuseCount(), 0u);  // short values are read within their length
  EXPECT_TRUE(Posts().empty());

  BitData* copy = nullptr;  // an independent copy
  ASSERT_EQ(table_.GetValue(twelve, &copy), 0u);
  ASSERT_EQ(BitData_Resize(copy, 3), 0u);
  BitData_FreeManaged(copy);
  EXPECT_TRUE(Holds(twelve, 12, 0xABC));
  Release({twelve, seventy, empty});
}

// A failed read clears GetValue's out-pointer, leaves the typed readers' untouched, and posts.
TEST_F(Values, FailedReadsLeaveNothingBehind) {
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
    EXPECT_EQ(Posts().size(), 5u);  // every failed read posts
    EXPECT_EQ(Posts().back().message, token == plain ? NoValueMessage(plain) : "");
    StandIn_ErrorClearPosts();
  }
  Release({plain});
}

// Reading a Failed operation's value posts its message with code 0, then reads as usual (or
// fails for want of a value); code reads report nothing. An announced value is built empty once
// the operation has executed, and the read flushes the thread's whole buffer.
TEST_F(Values, FailedOperationPostsItsMessageBeforeTheRead) {
  Probe withValue, without, older, announced;
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
  EXPECT_TRUE(PostedOnce(0, "register stuck"));
  EXPECT_EQ(table_.GetValueUInt8(bare, &value), OR_OPERATION_HAS_NO_VALUE);
  EXPECT_TRUE(Posted({{0, "skipped"}, {OR_OPERATION_HAS_NO_VALUE, NoValueMessage(bare)}}));
  EXPECT_EQ(Code(valued), 7u);
  EXPECT_TRUE(Posts().empty());

  const uint64_t first = Make(older, "Older");
  const uint64_t token = Make(announced, "Announced", /*hasValue=*/true);
  EXPECT_TRUE(Holds(token, 0, 0));
  EXPECT_EQ(older.executed + announced.executed, 2);
  EXPECT_TRUE(Posts().empty());
  Release({valued, bare, first, token});
}

// Another thread never flushes the operation: while it is buffered, that thread finds no value
// and no code. (After its owner's flush: LinkLifetime.FailingLinkLeavesTheDestination...)
TEST_F(Values, AnotherThreadNeverFlushes) {
  Probe probe;
  const uint64_t token = Make(probe, "Owned", /*hasValue=*/true);
  std::thread([token] {
    StandIn_CommonSetClientId(kOtherClient);
    StandIn_ErrorClearPosts();
    EXPECT_FALSE(ReadValueOf(token).handedOut);
    EXPECT_TRUE(PostedOnce(OR_OPERATION_HAS_NO_VALUE, NoValueMessage(token)));
    EXPECT_EQ(Code(token), 0u);
  }).join();
  EXPECT_EQ(probe.executed, 0);
  EXPECT_TRUE(Holds(token, 0, 0));
  Release({token});
}

// A pending size is applied before the value callback and used up; SetValueSize alone
// announces a value of that many zero bits, and on a present value cuts or extends it without
// calling the value callback. The callback's non-zero result is SetValue's; the value stays.
TEST_F(Values, SetValueAndSetValueSize) {
  Probe probe;
  const uint64_t token = Make(probe, "Watched");
  ASSERT_EQ(table_.SetValueSize(token, 8), 0u);
  EXPECT_EQ(probe.valuesSeen, 0);
  ASSERT_EQ(table_.SetValue(token, MakeBits(3, 0b101)), 0u);
  EXPECT_EQ(probe.lastToken, token);
  EXPECT_EQ(probe.valueLength, 8u);
  EXPECT_EQ(probe.valueLow, 0b101u);
  probe.valueResult = 0x77;
  EXPECT_EQ(table_.SetValue(token, MakeBits(16, 0xFFFF)), 0x77u);
  EXPECT_EQ(probe.valueLength, 16u);
  ASSERT_EQ(table_.SetValueSize(token, 4), 0u);
  EXPECT_TRUE(Holds(token, 4, 0xF));
  ASSERT_EQ(table_.SetValueSize(token, 20), 0u);
  EXPECT_TRUE(Holds(token, 20, 0xF));  // the cut bits do not come back
  EXPECT_EQ(probe.valuesSeen, 2);
  EXPECT_EQ(Code(token), 0u);

  probe.valueResult = 0;
  const uint64_t sized = Make(probe, "Sized");
  ASSERT_EQ(table_.SetValueSize(sized, 5), 0u);
  EXPECT_TRUE(Holds(sized, 5, 0));
  EXPECT_EQ(probe.valuesSeen, 3);
  EXPECT_EQ(probe.valueLength, 5u);
  Release({token, sized});
}

// Ownership passes only when the token is found: an installed value frees the one it replaces
// (the fixture counts live buffers), and the caller frees a refused buffer itself.
TEST_F(Values, SetValueTakesOwnershipOnlyOfAFoundOperation) {
  const uint64_t token = ValueSource(8, 1);
  ASSERT_EQ(table_.SetValue(token, MakeBits(8, 2)), 0u);
  ASSERT_EQ(table_.Flush(), 0u);
  Release({token});
  BitData* refused = MakeBits(8, 0x42);
  EXPECT_EQ(table_.SetValue(token, refused), OR_INVALID_OPERATION_TOKEN);
  EXPECT_EQ(BitData_GetUpToUInt64(refused, 0, 8), 0x42u);
  BitData_FreeManaged(refused);
}

// Inside the value callback: enough operations to grow the table past the compaction threshold,
// all released and flushed, so the flush compacts the table. SetValue finishes on the record as
// the callback left it; a lost update shows as an operation without a value.
TEST_F(Values, ValueCallbackMayReshapeTheTable) {
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
  EXPECT_TRUE(Holds(token, 4, 0x9));
  EXPECT_EQ(probe.valuesSeen, 1);
  Release({token});
}

}  // namespace
}  // namespace operation_receipt_test
