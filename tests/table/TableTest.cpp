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
  const char* call;
  std::function<uint32_t(const OperationReceiptComponent& t, uint64_t k)> run;
};
// A case calling one entry of table `t`, with token `k` where it takes one.
#define ENTRY(call) \
  EntryCase { #call, [&](const auto& t, [[maybe_unused]] uint64_t k) { return t.call; } }

// The export hands out one table, whose entries 1 and 21 are the same function, and posts a
// null table pointer; the default messages of the component's codes were registered at load.
TEST_F(TableEntry, OneTableAtOneAddressAndDefaultMessagesRegisteredAtLoad) {
  const OperationReceiptComponent* again = nullptr;  // the fixture fetched it first
  EXPECT_EQ(Quorvel_GetOperationReceipt(&again), 0u);
  EXPECT_EQ(again, &table_);
  EXPECT_EQ(table_.ReleaseOperation, table_.ReleaseOperation2);
  EXPECT_EQ(Quorvel_GetOperationReceipt(nullptr), OR_NULL_POINTER);
  EXPECT_TRUE(PostedOnce(OR_NULL_POINTER,
                         "Quorvel_GetOperationReceipt() argument error (component) : Null pointer",
                         "OperationReceiptImpl.cpp"));
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
    EXPECT_TRUE(StandIn_ErrorGetCategory(code, &category) && category == 0) << category;
  }
}

// A posted null check posts NullPointer with an empty message from the entry's file and does
// nothing else: no line is written and the (unknown) token is never looked up. The counters and
// the post-flush registration refuse silently. A null size pointer for a message is no fault.
TEST_F(TableEntry, NullPointersAreRefusedPostedOrSilently) {
  const std::vector<EntryCase> posted = {
      ENTRY(GetErrorMessage(k, nullptr, 9, nullptr)), ENTRY(GetErrorCode(k, nullptr)),
      ENTRY(GetOperationState(k, nullptr)), ENTRY(GetValue(k, nullptr)),
      ENTRY(GetValueUInt8(k, nullptr)), ENTRY(GetValueUInt16(k, nullptr)),
      ENTRY(GetValueUInt32(k, nullptr)), ENTRY(GetValueUInt64(k, nullptr)),
      ENTRY(SetValue(k, nullptr)), ENTRY(IsImmediateMode(nullptr)),
  };
  const std::vector<EntryCase> silent = {
      ENTRY(SetPostFlushCallback(nullptr)), ENTRY(GetPendingOperationCount(kMainClient, nullptr)),
      ENTRY(GetExecutedOperationCount(kMainClient, nullptr)),
  };
  for (const auto* cases : {&posted, &silent}) {
    for (const EntryCase& c : *cases) {
      SCOPED_TRACE(c.call);
      EXPECT_EQ(c.run(table_, 0xDEAD), OR_NULL_POINTER);
      EXPECT_TRUE(cases == &posted ? PostedOnce(OR_NULL_POINTER, "", "OperationReceiptImpl.cpp")
                                   : Posted({}, "OperationReceiptImpl.cpp"));
    }
  }
  EXPECT_TRUE(RecordedLines().empty());
  // The size pointer of GetErrorMessage may be null: the text alone is written.
  const uint64_t token = PlainOperation();
  ASSERT_EQ(table_.SetError(token, 0, "abc"), 0u);  // code 0: the flush keeps the text
  char buffer[8] = "zzzzzzz";
  EXPECT_EQ(table_.GetErrorMessage(token, buffer, sizeof buffer, nullptr), 0u);
  EXPECT_STREQ(buffer, "abc");
  Release({token});
}

// Every entry that takes a token refuses one whose operation is gone, posts that once, writes
// nothing to its out-parameter, and writes no line; LinkValue refuses either end.
TEST_F(TableEntry, GoneTokensAreRefusedByEveryEntry) {
  uint32_t out32 = 77;
  const uint64_t live = PlainOperation();
  const std::vector<EntryCase> cases = {
      ENTRY(ReleaseOperation(k)), ENTRY(ReleaseOperation2(k)),
      ENTRY(AcquireOperation(k)), ENTRY(FlushOperation(k)),
      ENTRY(CancelOperation(k)), ENTRY(GetErrorMessage(k, nullptr, 0, &out32)),
      ENTRY(GetErrorCode(k, &out32)), ENTRY(SetError(k, 1, "late")),
      ENTRY(GetOperationState(k, &out32)), ENTRY(GetValueUInt32(k, &out32)),
      ENTRY(SetValueSize(k, 8)), ENTRY(LinkValue(k, live, nullptr, nullptr)),
      ENTRY(LinkValue(live, k, nullptr, nullptr)),
  };
  const uint64_t gone = PlainOperation();
  ASSERT_EQ(table_.Flush(), 0u);
  Release({gone});
  StandIn_ErrorClearPosts();
  StandIn_LoggingClearRecorded();
  for (const EntryCase& c : cases) {
    SCOPED_TRACE(c.call);
    EXPECT_EQ(c.run(table_, gone), OR_INVALID_OPERATION_TOKEN);
    EXPECT_TRUE(PostedOnce(OR_INVALID_OPERATION_TOKEN, ""));
  }
  EXPECT_EQ(out32, 77u);
  EXPECT_TRUE(RecordedLines().empty());
  Release({live});
}

}  // namespace
}  // namespace operation_receipt_test
