// TableTest.cpp
//
// The export and the function table: one table at one address, entries 1 and 21 the same
// function, every posted and every silent null check, and the default messages registered when
// the library was loaded.

#include "ComponentTest.h"

namespace operation_receipt_test {
namespace {

using TableEntry = ComponentTest;

TEST_F(TableEntry, SameTableEveryCallAndNullTablePointerIsPosted) {
  const OperationReceiptComponent* first = nullptr;
  const OperationReceiptComponent* second = nullptr;
  EXPECT_EQ(Quorvel_GetOperationReceipt(&first), 0u);
  EXPECT_EQ(Quorvel_GetOperationReceipt(&second), 0u);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(first, second);
  EXPECT_TRUE(Posts().empty());

  EXPECT_EQ(Quorvel_GetOperationReceipt(nullptr), OR_NULL_POINTER);
  const std::vector<Post> posts = Posts();
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].code, OR_NULL_POINTER);
  EXPECT_EQ(posts[0].message,
            "Quorvel_GetOperationReceipt() argument error (component) : Null pointer");
  EXPECT_EQ(posts[0].file, "OperationReceiptImpl.cpp");
}

TEST_F(TableEntry, ReleaseStandsAtPositionsOneAndTwentyOne) {
  EXPECT_EQ(table_.ReleaseOperation, table_.ReleaseOperation2);
  Probe probe;
  const uint64_t token = Make(probe, "Twice");
  ASSERT_EQ(table_.AcquireOperation(token), 0u);
  ASSERT_EQ(table_.Flush(), 0u);  // the buffer's reference goes
  EXPECT_EQ(table_.ReleaseOperation2(token), 0u);
  EXPECT_EQ(probe.destroyed, 0);
  EXPECT_EQ(table_.ReleaseOperation(token), 0u);
  EXPECT_EQ(probe.destroyed, 1);
}

// Each posted null check posts NullPointer with an empty message from the entry's file, and
// does nothing else: no line is written and no operation is looked up. Three checks are silent.
TEST_F(TableEntry, NullChecksArePostedOrSilentAndDoNothingElse) {
  const uint64_t unknown = 0xDEAD;
  EXPECT_EQ(table_.GetErrorMessage(unknown, nullptr, 10, nullptr), OR_NULL_POINTER);
  EXPECT_EQ(table_.GetErrorCode(unknown, nullptr), OR_NULL_POINTER);
  EXPECT_EQ(table_.GetOperationState(unknown, nullptr), OR_NULL_POINTER);
  EXPECT_EQ(table_.GetValue(unknown, nullptr), OR_NULL_POINTER);
  EXPECT_EQ(table_.GetValueUInt8(unknown, nullptr), OR_NULL_POINTER);
  EXPECT_EQ(table_.GetValueUInt16(unknown, nullptr), OR_NULL_POINTER);
  EXPECT_EQ(table_.GetValueUInt32(unknown, nullptr), OR_NULL_POINTER);
  EXPECT_EQ(table_.GetValueUInt64(unknown, nullptr), OR_NULL_POINTER);
  EXPECT_EQ(table_.SetValue(unknown, nullptr), OR_NULL_POINTER);
  EXPECT_EQ(table_.IsImmediateMode(nullptr), OR_NULL_POINTER);
  const std::vector<Post> posts = Posts();
  ASSERT_EQ(posts.size(), 10u);
  for (const Post& post : posts) {
    EXPECT_EQ(post.code, OR_NULL_POINTER);
    EXPECT_EQ(post.message, "");
    EXPECT_EQ(post.file, "OperationReceiptImpl.cpp");
  }
  EXPECT_TRUE(RecordedLines().empty());

  StandIn_ErrorClearPosts();
  EXPECT_EQ(table_.SetPostFlushCallback(nullptr), OR_NULL_POINTER);
  EXPECT_EQ(table_.GetPendingOperationCount(kMainClient, nullptr), OR_NULL_POINTER);
  EXPECT_EQ(table_.GetExecutedOperationCount(kMainClient, nullptr), OR_NULL_POINTER);
  EXPECT_TRUE(Posts().empty());
}

// The error message entry accepts either out-pointer alone; it refuses only both null.
TEST_F(TableEntry, ErrorMessageNeedsOnlyOneOutPointer) {
  const uint64_t token = Create(nullptr);
  ASSERT_EQ(table_.SetError(token, 0, "abc"), 0u);  // code 0: the flush keeps the text
  uint32_t size = 0;
  EXPECT_EQ(table_.GetErrorMessage(token, nullptr, 0, &size), 0u);
  EXPECT_EQ(size, 3u);
  char buffer[8] = "zzzzzzz";
  EXPECT_EQ(table_.GetErrorMessage(token, buffer, sizeof buffer, nullptr), 0u);
  EXPECT_STREQ(buffer, "abc");
  Release({token});
}

TEST_F(TableEntry, CreateWithBothPointersNullMakesAnOperation) {
  EXPECT_EQ(table_.CreateOperation(nullptr, nullptr), 0u);
  EXPECT_EQ(Counted(kMainClient, true), 1u);  // alive with the buffer's reference alone
  EXPECT_EQ(table_.Flush(), 0u);
  ASSERT_FALSE(RecordedTexts().empty());
  EXPECT_EQ(RecordedTexts().front().rfind("Creating operation '<unknown>' (token = 0x", 0), 0u);
}

TEST_F(TableEntry, DefaultMessagesAreRegisteredAtLoad) {
  EXPECT_STREQ(Quorvel_ErrorGetDefaultMessage(OR_INVALID_OPERATION_TOKEN),
               "The specified operation receipt token is invalid");
  EXPECT_STREQ(Quorvel_ErrorGetDefaultMessage(OR_OPERATION_HAS_NO_VALUE),
               "The specified operation receipt does not have a value associated with it");
  EXPECT_STREQ(Quorvel_ErrorGetDefaultMessage(OR_OPERATION_ALREADY_EXECUTED),
               "The associated operation has already been executed and cannot be canceled");
  EXPECT_STREQ(Quorvel_ErrorGetDefaultMessage(OR_SCOPE_NOT_OPENED),
               "Attempt to close a scope which was not opened");
  for (uint32_t code = OR_INVALID_OPERATION_TOKEN; code <= OR_SCOPE_NOT_OPENED; ++code) {
    uint32_t category = 99;
    EXPECT_TRUE(StandIn_ErrorGetCategory(code, &category));
    EXPECT_EQ(category, 0u);
  }
  EXPECT_FALSE(StandIn_ErrorGetCategory(OR_NULL_POINTER, nullptr));
}

}  // namespace
}  // namespace operation_receipt_test
