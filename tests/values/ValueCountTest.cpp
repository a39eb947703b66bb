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
using Counts = std::pair<uint32_t, uint32_t>;

constexpr int32_t kOtherClient = 103;

Counts CountsOf(int32_t key) { return {Counted(key, true), Counted(key, false)}; }

TEST_F(ValueCounts, CountsFollowTheStatesOfOneClientsOperations) {
  Probe failing;
  failing.executeResult = 4;
  uint64_t immediate = 0;
  failing.onExecute = [&](uint64_t) { immediate = PlainOperation(); };
  std::vector<uint64_t> tokens = {Create(nullptr), Make(failing, "Failing"), Create(nullptr)};
  EXPECT_EQ(CountsOf(kMainClient), Counts(3, 0));
  ASSERT_EQ(table_.CancelOperation(tokens[0]), 0u);
  EXPECT_EQ(CountsOf(kMainClient), Counts(2, 1));  // Canceled is no longer pending
  EXPECT_EQ(table_.Flush(), 4u);
  EXPECT_EQ(CountsOf(kMainClient), Counts(0, 3));  // Failed ones included
  EXPECT_EQ(CountsOf(-1), Counts(0, 1));           // created while the thread flushed
  Release({immediate});
  for (size_t i = 0; i < tokens.size(); ++i) {
    Release({tokens[i]});
    EXPECT_EQ(CountsOf(kMainClient), Counts(0, static_cast<uint32_t>(tokens.size() - i - 1)));
  }
  // The slots of destroyed operations count under no key, -1 included.
  EXPECT_EQ(CountsOf(-1), Counts(0, 0));
}

TEST_F(ValueCounts, EachClientKeyCountsItsOwn) {
  const uint64_t mine = Create(nullptr);
  std::thread other([] {
    StandIn_CommonSetClientId(kOtherClient);
    const std::vector<uint64_t> theirs = {PlainOperation(), PlainOperation()};
    EXPECT_EQ(CountsOf(kOtherClient), Counts(2, 0));
    EXPECT_EQ(CountsOf(kMainClient), Counts(1, 0));
    EXPECT_EQ(Table().Flush(), 0u);
    EXPECT_EQ(CountsOf(kOtherClient), Counts(0, 2));
    EXPECT_EQ(CountsOf(kMainClient), Counts(1, 0));  // not this thread's to flush
    Release(theirs);
    EXPECT_EQ(CountsOf(kOtherClient), Counts(0, 0));
  });
  other.join();
  EXPECT_EQ(CountsOf(kOtherClient + 1), Counts(0, 0));
  ASSERT_EQ(table_.Flush(), 0u);
  EXPECT_EQ(CountsOf(kMainClient), Counts(0, 1));
  Release({mine});
}

}  // namespace
}  // namespace operation_receipt_test
