// ValueErrorResultTest.cpp
//
// An operation's error code and message: GetErrorMessage's buffer rules, SetError before and
// after execution, and which reads flush the buffer.

#include <cstring>

#include "ComponentTest.h"

namespace operation_receipt_test {
namespace {

using ValueErrorResults = ComponentTest;

// An executed operation whose message is "abc".
uint64_t WithMessageAbc() {
  uint64_t token = 0;
  EXPECT_EQ(Table().CreateOperation(nullptr, &token), 0u);
  EXPECT_EQ(Table().Flush(), 0u);
  EXPECT_EQ(Table().SetError(token, 5, "abc"), 0u);
  return token;
}

std::string MessageOf(uint64_t token) {
  char buffer[128];
  uint32_t size = 0;
  EXPECT_EQ(Table().GetErrorMessage(token, buffer, sizeof buffer, &size), 0u);
  EXPECT_EQ(std::strlen(buffer), size);
  return buffer;
}

TEST_F(ValueErrorResults, ErrorMessageCopiesWhatFitsAndReportsTheFullLength) {
  const uint64_t token = WithMessageAbc();
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
    if (c.written == nullptr) {
      EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(8, 'x'));
    } else {
      const size_t length = std::strlen(c.written);
      EXPECT_EQ(std::string(buffer, length + 1), std::string(c.written, length + 1));
      EXPECT_EQ(std::string(buffer + length + 1, sizeof buffer - length - 1),
                std::string(sizeof buffer - length - 1, 'x'));
    }
  }

  uint32_t size = 0;
  EXPECT_EQ(table_.GetErrorMessage(token, nullptr, 16, &size), 0u);
  EXPECT_EQ(size, 3u);
  char buffer[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(table_.GetErrorMessage(token, buffer, sizeof buffer, nullptr), 0u);
  EXPECT_STREQ(buffer, "abc");
  EXPECT_TRUE(Posts().empty());

  EXPECT_EQ(table_.GetErrorMessage(token, nullptr, 16, nullptr), OR_NULL_POINTER);
  const std::vector<Post> posts = Posts();
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].code, OR_NULL_POINTER);
  EXPECT_EQ(table_.ReleaseOperation(token), 0u);
}

TEST_F(ValueErrorResults, OperationWithoutMessageReadsEmpty) {
  const uint64_t token = Create(nullptr);
  ASSERT_EQ(table_.Flush(), 0u);
  char buffer[4] = {'x', 'x', 'x', 'x'};
  uint32_t size = 99;
  EXPECT_EQ(table_.GetErrorMessage(token, buffer, sizeof buffer, &size), 0u);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(buffer[1], 'x');
  EXPECT_EQ(table_.ReleaseOperation(token), 0u);
}

// The state is read as it is; the code and the message make the operation execute first.
TEST_F(ValueErrorResults, OnlyCodeAndMessageReadsFlush) {
  Probe probe;
  probe.executeResult = 9;
  const OperationDescriptor descriptor = ProbeDescriptor(probe, "Buffered");
  const uint64_t byCode = Create(&descriptor);
  EXPECT_EQ(State(byCode), static_cast<uint32_t>(OperationState_Pending));
  EXPECT_EQ(probe.executed, 0);
  uint32_t pending = 0;
  ASSERT_EQ(table_.GetPendingOperationCount(kMainClient, &pending), 0u);
  EXPECT_EQ(pending, 1u);
  uint32_t code = 0;
  EXPECT_EQ(table_.GetErrorCode(byCode, &code), 0u);
  EXPECT_EQ(code, 9u);
  EXPECT_EQ(probe.executed, 1);
  EXPECT_EQ(State(byCode), static_cast<uint32_t>(OperationState_Failed));

  probe.executeResult = 0;
  const uint64_t byMessage = Create(&descriptor);
  uint32_t size = 99;
  EXPECT_EQ(table_.GetErrorMessage(byMessage, nullptr, 0, &size), 0u);
  EXPECT_EQ(probe.executed, 2);
  EXPECT_EQ(State(byMessage), static_cast<uint32_t>(OperationState_Executed));
  EXPECT_EQ(table_.ReleaseOperation(byCode), 0u);
  EXPECT_EQ(table_.ReleaseOperation(byMessage), 0u);
}

// SetError neither flushes nor changes the state. A code set before execution fails the
// operation with it, and the flush captures a message for that code in place of the text.
TEST_F(ValueErrorResults, CodeSetBeforeExecutionFailsTheOperation) {
  Probe probe;
  const OperationDescriptor descriptor = ProbeDescriptor(probe, "Preset");
  const uint64_t token = Create(&descriptor);
  ASSERT_EQ(table_.SetError(token, OR_OPERATION_ALREADY_EXECUTED, "set by hand"), 0u);
  EXPECT_EQ(State(token), static_cast<uint32_t>(OperationState_Pending));
  EXPECT_EQ(probe.executed, 0);
  EXPECT_EQ(table_.Flush(), OR_OPERATION_ALREADY_EXECUTED);
  EXPECT_EQ(State(token), static_cast<uint32_t>(OperationState_Failed));
  EXPECT_EQ(Code(token), OR_OPERATION_ALREADY_EXECUTED);
  EXPECT_EQ(MessageOf(token),
            "The associated operation has already been executed and cannot be canceled");

  // Afterwards: any code, 0 included, and the message only when one is given.
  ASSERT_EQ(table_.SetError(token, 0, nullptr), 0u);
  EXPECT_EQ(Code(token), 0u);
  EXPECT_EQ(State(token), static_cast<uint32_t>(OperationState_Failed));
  EXPECT_EQ(MessageOf(token),
            "The associated operation has already been executed and cannot be canceled");
  ASSERT_EQ(table_.SetError(token, 0xFFFFFFFFu, ""), 0u);
  EXPECT_EQ(Code(token), 0xFFFFFFFFu);
  EXPECT_EQ(MessageOf(token), "");
  EXPECT_EQ(table_.ReleaseOperation(token), 0u);
}

// Code 0 before execution leaves the operation to succeed, with the message it was given.
TEST_F(ValueErrorResults, MessageWithCodeZeroSurvivesASuccessfulExecution) {
  Probe probe;
  const OperationDescriptor descriptor = ProbeDescriptor(probe, "Noted");
  const uint64_t token = Create(&descriptor);
  ASSERT_EQ(table_.SetError(token, 0, "just a note"), 0u);
  EXPECT_EQ(table_.Flush(), 0u);
  EXPECT_EQ(probe.executed, 1);
  EXPECT_EQ(State(token), static_cast<uint32_t>(OperationState_Executed));
  EXPECT_EQ(Code(token), 0u);
  EXPECT_EQ(MessageOf(token), "just a note");
  EXPECT_EQ(table_.ReleaseOperation(token), 0u);
}

TEST_F(ValueErrorResults, UnknownTokensAreRefused) {
  const uint64_t token = Create(nullptr);
  ASSERT_EQ(table_.Flush(), 0u);
  ASSERT_EQ(table_.ReleaseOperation(token), 0u);
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
