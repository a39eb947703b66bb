// ValueTest.cpp
//
// An operation's results: its error code and message, and its value (installed, resized, read
// as a number). The counts per client are checked with cancel (flush/) and per thread (threads/).

#include <cstring>
#include <tuple>

#include "ComponentTest.h"

namespace operation_receipt_test {
namespace {

using Values = ComponentTest;

// The buffer takes what fits with a terminator (size 0: nothing); the full length is told.
TEST_F(Values, ErrorMessageCopiesWhatFitsAndReportsTheFullLength) {
  const uint64_t token = PlainOperation();
  ASSERT_EQ(table_.SetError(token, 0, "abc"), 0u);  // code 0: the flush keeps the text
  using Case = std::pair<uint32_t, const char*>;      // buffer size, what it holds (null: nothing)
  for (const auto& [bufferSize, written] :
       {Case{3, "ab"}, Case{4, "abc"}, Case{8, "abc"}, Case{1, ""}, Case{0, nullptr}}) {
    SCOPED_TRACE(bufferSize);
    char buffer[8];
    std::memset(buffer, 'x', sizeof buffer);
    uint32_t size = 99;
    EXPECT_EQ(table_.GetErrorMessage(token, buffer, bufferSize, &size), 0u);
    EXPECT_EQ(size, 3u);
    const std::string expected = written == nullptr ? "" : std::string(written) + '\0';
    EXPECT_EQ(std::string(buffer, sizeof buffer),
              expected + std::string(sizeof buffer - expected.size(), 'x'));
  }
  Release({token});
}

// State is read as it is; code and message execute the operation first. SetError neither
// flushes nor changes the state: a code set before execution fails the operation with it (and
// the code's message replaces the text); set afterwards, code and message are read back as set.
// A Failed operation's value read posts its message with code 0 first; code reads post nothing.
TEST_F(Values, ErrorCodeAndMessageBeforeAndAfterExecution) {
  Probe probe;
  probe.executeResult = 9;
  const uint64_t byCode = Make(probe, "Buffered");
  EXPECT_EQ(State(byCode), kPending);
  EXPECT_EQ(Code(byCode), 9u);
  EXPECT_EQ(probe.executed, 1);
  probe.executeResult = 0;
  const uint64_t byMessage = Make(probe, "Buffered");
  EXPECT_EQ(Message(byMessage), "");
  EXPECT_EQ(State(byMessage), kExecuted);

  const uint64_t preset = Make(probe, "Preset");
  ASSERT_EQ(table_.SetValue(preset, MakeBits(4, 0xA)), 0u);
  ASSERT_EQ(table_.SetError(preset, OR_OPERATION_ALREADY_EXECUTED, "set by hand"), 0u);
  EXPECT_EQ(State(preset), kPending);
  EXPECT_EQ(table_.Flush(), OR_OPERATION_ALREADY_EXECUTED);
  EXPECT_EQ(State(preset), kFailed);
  const std::string registered = Quorvel_ErrorGetDefaultMessage(OR_OPERATION_ALREADY_EXECUTED);
  EXPECT_EQ(Message(preset), registered);
  EXPECT_EQ(ValueOf(preset), 0xAu);
  EXPECT_TRUE(PostedOnce(0, registered));

  using Late = std::tuple<uint64_t, uint32_t, const char*, std::string>;  // null: message stays
  for (const auto& [token, code, message, read] :
       {Late{preset, 0, nullptr, registered}, Late{preset, 0xFFFFFFFFu, "", ""},
        Late{byMessage, 0x1234, nullptr, ""}, Late{byMessage, 0x4321, "late", "late"}}) {
    SCOPED_TRACE(code);
    ASSERT_EQ(table_.SetError(token, code, message), 0u);
    EXPECT_EQ(Code(token), code);
    EXPECT_EQ(Message(token), read);
  }
  EXPECT_EQ(State(preset), kFailed);
  EXPECT_EQ(State(byMessage), kExecuted);
  EXPECT_TRUE(Posts().empty());
  Release({byCode, byMessage, preset});
}

// A pending size is applied before the value callback and used up; on a present value
// SetValueSize cuts or extends it without the callback. The callback's non-zero result is
// SetValue's, not the code; the value stays, and the one it replaced is freed (the fixture
// counts live buffers). The callback may grow the table past the compaction threshold and
// flush: SetValue finishes on the record as it left it. A refused buffer stays the caller's.
// The fixed-width reads take the low bits, the top bit of each width included, and read a shorter
// value within its length, with zeros above.
TEST_F(Values, SetValueSetValueSizeAndTheTypedReads) {
  StandIn_LoggingSetEnabledLevels(0);
  Probe probe;
  probe.onValue = [] {
    std::vector<uint64_t> crowd(9000);
    for (uint64_t& token : crowd) token = PlainOperation();
    Release(crowd);
    EXPECT_EQ(Table().Flush(), 0u);
  };
  const uint64_t token = Make(probe, "Watched");
  ASSERT_EQ(table_.SetValueSize(token, 8), 0u);
  ASSERT_EQ(table_.SetValue(token, MakeBits(3, 0b101)), 0u);
  probe.onValue = nullptr;
  EXPECT_EQ(probe.valueLength, 8u);
  EXPECT_EQ(probe.valueLow, 0b101u);
  EXPECT_TRUE(Holds(token, 8, 0b101));
  probe.valueResult = 0x77;
  EXPECT_EQ(table_.SetValue(token, MakeBits(16, 0xFFFF)), 0x77u);
  EXPECT_EQ(probe.valueLength, 16u);
  ASSERT_EQ(table_.SetValueSize(token, 4), 0u);
  EXPECT_TRUE(Holds(token, 4, 0xF));
  ASSERT_EQ(table_.SetValueSize(token, 20), 0u);
  EXPECT_TRUE(Holds(token, 20, 0xF));  // the cut bits do not come back
  StandIn_BitDataResetMisuseCount();
  EXPECT_EQ(ValueOf(token), 0xFu);
  EXPECT_EQ(StandIn_BitDataMisuseCount(), 0u);
  BitData* wide = MakeBits(70, 0x8000000080008081ull);
  ASSERT_EQ(BitData_SetUpToUInt64(wide, 64, 6, 0x3F), 0u);
  probe.valueResult = 0;
  ASSERT_EQ(table_.SetValue(token, wide), 0u);
  EXPECT_EQ(Read<uint8_t>(table_.GetValueUInt8, token), 0x81u);
  EXPECT_EQ(Read<uint16_t>(table_.GetValueUInt16, token), 0x8081u);
  EXPECT_EQ(Read<uint32_t>(table_.GetValueUInt32, token), 0x80008081u);
  EXPECT_EQ(ValueOf(token), 0x8000000080008081ull);
  EXPECT_EQ(probe.valuesSeen, 3);
  EXPECT_EQ(Code(token), 0u);
  Release({token});
  BitData* refused = MakeBits(8, 0x42);
  EXPECT_EQ(table_.SetValue(token, refused), OR_INVALID_OPERATION_TOKEN);
  EXPECT_EQ(BitData_GetUpToUInt64(refused, 0, 8), 0x42u);
  BitData_FreeManaged(refused);
}

}  // namespace
}  // namespace operation_receipt_test
