// ValueErrorResultTest.cpp
//
// An operation's error code and message: GetErrorMessage's buffer rules, SetError before and
// after execution, and which reads flush the buffer.

#include <cstring>

#include "ComponentTest.h"

namespace operation_receipt_test {
namespace {

using ValueErrorResults = ComponentTest;

TEST_F(ValueErrorResults, ErrorMessageCopiesWhatFitsAndReportsTheFullLength) {
  const uint64_t token = PlainOperation();
  ASSERT_EQ(table_.Flush(), 0u);
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
    const size_t length = written.size();
    EXPECT_EQ(std::string(buffer, length), written);
    EXPECT_EQ(std::string(buffer + length, sizeof buffer - length),
              std::string(sizeof buffer - length, 'x'));
  }
  uint32_t size = 0;
  EXPECT_EQ(table_.GetErrorMessage(token, nullptr, 16, &size), 0u);
  EXPECT_EQ(size, 3u);
  EXPECT_TRUE(Posts().empty());

  EXPECT_EQ(table_.GetErrorMessage(token, nullptr, 16, nullptr), OR_NULL_POINTER);
  ASSERT_EQ(Posts().size(), 1u);
  EXPECT_EQ(Posts()[0].code, OR_NULL_POINTER);
  Release({token});
}

// The state is read as it is, without a line; the code and the message make the operation
// execute first.
TEST_F(ValueErrorResults, OnlyCodeAndMessageReadsFlush) {
  Probe probe;
  probe.executeResult = 9;
  const uint64_t byCode = Make(probe, "Buffered");
  StandIn_LoggingClearRecorded();
  EXPECT_EQ(State(byCode), kPending);
  EXPECT_EQ(probe.executed, 0);
  EXPECT_TRUE(RecordedLines().empty());
  EXPECT_EQ(Code(byCode), 9u);
  EXPECT_EQ(probe.executed, 1);
  EXPECT_EQ(State(byCode), kFailed);

  probe.executeResult = 0;
  const uint64_t byMessage = Make(probe, "Buffered");
  uint32_t size = 99;
  EXPECT_EQ(table_.GetErrorMessage(byMessage, nullptr, 0, &size), 0u);
  EXPECT_EQ(probe.executed, 2);
  EXPECT_EQ(State(byMessage), kExecuted);
  Release({byCode, byMessage});
}

// SetError neither flushes nor changes the state. A code set before execution fails the
// operation with it, and the flush captures a message for that code in place of the text.
TEST_F(ValueErrorResults, CodeSetBeforeExecutionFailsTheOperation) {
  Probe probe;
  const uint64_t token = Make(probe, "Preset");
  ASSERT_EQ(table_.SetError(token, OR_OPERATION_ALREADY_EXECUTED, "set by hand"), 0u);
  EXPECT_EQ(State(token), kPending);
  EXPECT_EQ(probe.executed, 0);
  EXPECT_EQ(table_.Flush(), OR_OPERATION_ALREADY_EXECUTED);
  EXPECT_EQ(State(token), kFailed);
  EXPECT_EQ(Code(token), OR_OPERATION_ALREADY_EXECUTED);
  const std::string registered = Quorvel_ErrorGetDefaultMessage(OR_OPERATION_ALREADY_EXECUTED);
  EXPECT_EQ(Message(token), registered);

  // Afterwards: any code, 0 included, and the message only when one is given.
  ASSERT_EQ(table_.SetError(token, 0, nullptr), 0u);
  EXPECT_EQ(Code(token), 0u);
  EXPECT_EQ(State(token), kFailed);
  EXPECT_EQ(Message(token), registered);
  ASSERT_EQ(table_.SetError(token, 0xFFFFFFFFu, ""), 0u);
  EXPECT_EQ(Code(token), 0xFFFFFFFFu);
  EXPECT_EQ(Message(token), "");
  Release({token});
}

TEST_F(ValueErrorResults, UnknownTokensAreRefused) {
  const uint64_t token = Create(nullptr);
  ASSERT_EQ(table_.Flush(), 0u);
  Release({token});
  StandIn_ErrorClearPosts();
  uint32_t out = 77;
  EXPECT_EQ(table_.SetError(token, 1, "late"), OR_INVALID_OPERATION_TOKEN);
  EXPECT_EQ(table_.GetErrorCode(token, &out), OR_INVALID_OPERATION_TOKEN);
  EXPECT_EQ(table_.GetOperationState(token, &out), OR_INVALID_OPERATION_TOKEN);
  EXPECT_EQ(table_.GetErrorMessage(token, nullptr, 0, &out), OR_INVALID_OPERATION_TOKEN);
  EXPECT_EQ(table_.SetValueSize(token, 8), OR_INVALID_OPERATION_TOKEN);
  EXPECT_EQ(out, 77u);
  EXPECT_EQ(Posts().size(), 5u);
}

}  // namespace
}  // namespace operation_receipt_test
