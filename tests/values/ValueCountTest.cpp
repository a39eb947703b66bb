// ValueCountTest.cpp
//
// GetPendingOperationCount and GetExecutedOperationCount: live operations per client key,
// immediate operations under key -1, and slots of destroyed operations never counted.

#include <thread>
#include <utility>
#include <vector>

#include "ComponentTest.h"

namespace operation_receipt_test {
namespace {

using ValueCounts = ComponentTest;

constexpr int32_t kOtherClient = 103;

// (pending, executed) for `key`.
std::pair<uint32_t, uint32_t> CountsOf(int32_t key) {
  uint32_t pending = 99;
  uint32_t executed = 99;
  EXPECT_EQ(Table().GetPendingOperationCount(key, &pending), 0u);
  EXPECT_EQ(Table().GetExecutedOperationCount(key, &executed), 0u);
  return {pending, executed};
}

using Counts = std::pair<uint32_t, uint32_t>;

TEST_F(ValueCounts, CountsFollowTheStatesOfOneClientsOperations) {
  Probe failing;
  failing.executeResult = 4;
  const OperationDescriptor failingDescriptor = ProbeDescriptor(failing, "Failing");
  std::vector<uint64_t> tokens;
  tokens.push_back(Create(nullptr));
  tokens.push_back(Create(&failingDescriptor));
  tokens.push_back(Create(nullptr));
  tokens.push_back(Create(nullptr));
  EXPECT_EQ(CountsOf(kMainClient), Counts(4, 0));
  ASSERT_EQ(table_.CancelOperation(tokens[0]), 0u);
  EXPECT_EQ(CountsOf(kMainClient), Counts(3, 1));  // Canceled is no longer pending
  EXPECT_EQ(table_.Flush(), 4u);
  EXPECT_EQ(CountsOf(kMainClient), Counts(0, 4));  // Failed ones included
  for (size_t i = 0; i < tokens.size(); ++i) {
    EXPECT_EQ(table_.ReleaseOperation(tokens[i]), 0u);
    EXPECT_EQ(CountsOf(kMainClient), Counts(0, static_cast<uint32_t>(tokens.size() - i - 1)));
  }
  // The slots of destroyed operations count under no key, -1 included.
  EXPECT_EQ(CountsOf(-1), Counts(0, 0));
}

// Runs inside an execute callback: the thread is flushing, so the operation is immediate.
void KeepAnImmediateOperation(Probe& probe, uint64_t /*token*/) {
  uint64_t token = 0;
  EXPECT_EQ(Table().CreateOperation(nullptr, &token), 0u);
  probe.lastToken = token;
}

TEST_F(ValueCounts, ImmediateOperationsCountUnderMinusOne) {
  Probe probe;
  probe.onExecute = KeepAnImmediateOperation;
  const OperationDescriptor descriptor = ProbeDescriptor(probe, "Outer");
  const uint64_t outer = Create(&descriptor);
  ASSERT_EQ(table_.Flush(), 0u);
  const uint64_t immediate = probe.lastToken;
  EXPECT_EQ(CountsOf(-1), Counts(0, 1));
  EXPECT_EQ(CountsOf(kMainClient), Counts(0, 1));
  EXPECT_EQ(table_.ReleaseOperation(immediate), 0u);
  EXPECT_EQ(CountsOf(-1), Counts(0, 0));
  EXPECT_EQ(table_.ReleaseOperation(outer), 0u);
}

TEST_F(ValueCounts, EachClientKeyCountsItsOwn) {
  const uint64_t mine = Create(nullptr);
  std::thread other([] {
    StandIn_CommonSetClientId(kOtherClient);
    std::vector<uint64_t> theirs(2);
    for (uint64_t& token : theirs) EXPECT_EQ(Table().CreateOperation(nullptr, &token), 0u);
    EXPECT_EQ(CountsOf(kOtherClient), Counts(2, 0));
    EXPECT_EQ(CountsOf(kMainClient), Counts(1, 0));
    EXPECT_EQ(Table().Flush(), 0u);
    EXPECT_EQ(CountsOf(kOtherClient), Counts(0, 2));
    EXPECT_EQ(CountsOf(kMainClient), Counts(1, 0));  // not this thread's to flush
    for (const uint64_t token : theirs) EXPECT_EQ(Table().ReleaseOperation(token), 0u);
    EXPECT_EQ(CountsOf(kOtherClient), Counts(0, 0));
  });
  other.join();
  EXPECT_EQ(CountsOf(kOtherClient + 1), Counts(0, 0));
  ASSERT_EQ(table_.Flush(), 0u);
  EXPECT_EQ(CountsOf(kMainClient), Counts(0, 1));
  EXPECT_EQ(table_.ReleaseOperation(mine), 0u);
}

TEST_F(ValueCounts, NullCountIsRefusedWithoutAPost) {
  const uint64_t token = Create(nullptr);
  EXPECT_EQ(table_.GetPendingOperationCount(kMainClient, nullptr), OR_NULL_POINTER);
  EXPECT_EQ(table_.GetExecutedOperationCount(kMainClient, nullptr), OR_NULL_POINTER);
  EXPECT_TRUE(Posts().empty());
  ASSERT_EQ(table_.Flush(), 0u);
  EXPECT_EQ(table_.ReleaseOperation(token), 0u);
}

}  // namespace
}  // namespace operation_receipt_test
