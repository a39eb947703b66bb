// TableTest.cpp
//
// The export and the function table: one table at one address, entries 1 and 21 the same
// function, every entry's answer to a null pointer and to a token that names no operation, and
// the default messages registered when the library was loaded.

#include <functional>

#include "ComponentTest.h"

namespace operation_receipt_test {
namespace {

using TableEntry = ComponentTest;

struct EntryCase {
  const char* entry;
  std::function<uint32_t(const OperationReceiptComponent& t, uint64_t k)> call;
};
// A case calling one entry of table `t` with token `k`.
#define ENTRY(name, call) \
  EntryCase { name, [&](const auto& t, [[maybe_unused]] uint64_t k) { return call; } }

TEST_F(TableEntry, OneTableAtOneAddressAndNullTablePointerIsPosted) {
  const OperationReceiptComponent* first = nullptr;
  const OperationReceiptComponent* second = nullptr;
  EXPECT_EQ(Quorvel_GetOperationReceipt(&first), 0u);
  EXPECT_EQ(Quorvel_GetOperationReceipt(&second), 0u);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first, second);
  EXPECT_EQ(first->ReleaseOperation, first->ReleaseOperation2);
  EXPECT_EQ(Quorvel_GetOperationReceipt(nullptr), OR_NULL_POINTER);
  EXPECT_TRUE(PostedOnce(OR_NULL_POINTER,
                         "Quorvel_GetOperationReceipt() argument error (component) : Null pointer",
                         "OperationReceiptImpl.cpp"));
}

// A posted null check posts NullPointer with an empty message from the entry's file and does
// nothing else: no line is written and the (unknown) token is never looked up. The counters and
// the post-flush registration refuse silently.
TEST_F(TableEntry, NullPointersAreRefusedPostedOrSilently) {
  const std::vector<std::pair<EntryCase, bool>> cases = {
      {ENTRY("GetErrorMessage", t.GetErrorMessage(k, nullptr, 9, nullptr)), true},
      {ENTRY("GetErrorCode", t.GetErrorCode(k, nullptr)), true},
      {ENTRY("GetOperationState", t.GetOperationState(k, nullptr)), true},
      {ENTRY("GetValue", t.GetValue(k, nullptr)), true},
      {ENTRY("GetValueUInt8", t.GetValueUInt8(k, nullptr)), true},
      {ENTRY("GetValueUInt16", t.GetValueUInt16(k, nullptr)), true},
      {ENTRY("GetValueUInt32", t.GetValueUInt32(k, nullptr)), true},
      {ENTRY("GetValueUInt64", t.GetValueUInt64(k, nullptr)), true},
      {ENTRY("SetValue", t.SetValue(k, nullptr)), true},
      {ENTRY("IsImmediateMode", t.IsImmediateMode(nullptr)), true},
      {ENTRY("SetPostFlushCallback", t.SetPostFlushCallback(nullptr)), false},
      {ENTRY("GetPendingOperationCount", t.GetPendingOperationCount(kMainClient, nullptr)), false},
      {ENTRY("GetExecutedOperationCount", t.GetExecutedOperationCount(kMainClient, nullptr)),
       false},
  };
  for (const auto& [c, posted] : cases) {
    SCOPED_TRACE(c.entry);
    EXPECT_EQ(c.call(table_, 0xDEAD), OR_NULL_POINTER);
    if (posted) {
      EXPECT_TRUE(PostedOnce(OR_NULL_POINTER, "", "OperationReceiptImpl.cpp"));
    } else {
      EXPECT_TRUE(Posts().empty());
    }
  }
  EXPECT_TRUE(RecordedLines().empty());
}

// Every entry that takes a token refuses one whose operation is gone, posts that once, writes
// nothing to its out-parameter, and writes no line; LinkValue refuses either end.
TEST_F(TableEntry, GoneTokensAreRefusedByEveryEntry) {
  uint32_t out32 = 77;
  const uint64_t live = PlainOperation();
  const std::vector<EntryCase> cases = {
      ENTRY("ReleaseOperation", t.ReleaseOperation(k)),
      ENTRY("ReleaseOperation2", t.ReleaseOperation2(k)),
      ENTRY("AcquireOperation", t.AcquireOperation(k)),
      ENTRY("FlushOperation", t.FlushOperation(k)),
      ENTRY("CancelOperation", t.CancelOperation(k)),
      ENTRY("GetErrorMessage", t.GetErrorMessage(k, nullptr, 0, &out32)),
      ENTRY("GetErrorCode", t.GetErrorCode(k, &out32)),
      ENTRY("SetError", t.SetError(k, 1, "late")),
      ENTRY("GetOperationState", t.GetOperationState(k, &out32)),
      ENTRY("GetValueUInt32", t.GetValueUInt32(k, &out32)),
      ENTRY("SetValueSize", t.SetValueSize(k, 8)),
      ENTRY("LinkValue to it", t.LinkValue(k, live, nullptr, nullptr)),
      ENTRY("LinkValue from it", t.LinkValue(live, k, nullptr, nullptr)),
  };
  const uint64_t gone = PlainOperation();
  ASSERT_EQ(table_.Flush(), 0u);
  Release({gone});
  StandIn_ErrorClearPosts();
  StandIn_LoggingClearRecorded();
  for (const EntryCase& c : cases) {
    SCOPED_TRACE(c.entry);
    EXPECT_EQ(c.call(table_, gone), OR_INVALID_OPERATION_TOKEN);
    EXPECT_TRUE(PostedOnce(OR_INVALID_OPERATION_TOKEN, ""));
  }
  EXPECT_EQ(out32, 77u);
  EXPECT_TRUE(RecordedLines().empty());
  Release({live});
}

// The error message entry writes the text without a size pointer (the size alone is what the
// C++ wrapper's Message asks first).
TEST_F(TableEntry, ErrorMessageNeedsNoSizePointer) {
  const uint64_t token = PlainOperation();
  ASSERT_EQ(table_.SetError(token, 0, "abc"), 0u);  // code 0: the flush keeps the text
  char buffer[8] = "zzzzzzz";
  EXPECT_EQ(table_.GetErrorMessage(token, buffer, sizeof buffer, nullptr), 0u);
  EXPECT_STREQ(buffer, "abc");
  Release({token});
}

TEST_F(TableEntry, DefaultMessagesAreRegisteredAtLoad) {
  const std::pair<uint32_t, const char*> defaults[] = {
      {OR_INVALID_OPERATION_TOKEN, "The specified operation receipt token is invalid"},
      {OR_OPERATION_HAS_NO_VALUE,
       "The specified operation receipt does not have a value associated with it"},
      {OR_OPERATION_ALREADY_EXECUTED,
       "The associated operation has already been executed and cannot be canceled"},
      {OR_SCOPE_NOT_OPENED, "Attempt to close a scope which was not opened"}};
  for (const auto& [code, text] : defaults) {
    uint32_t category = 99;
    EXPECT_STREQ(Quorvel_ErrorGetDefaultMessage(code), text);
    EXPECT_TRUE(StandIn_ErrorGetCategory(code, &category));
    EXPECT_EQ(category, 0u);
  }
}

}  // namespace
}  // namespace operation_receipt_test
