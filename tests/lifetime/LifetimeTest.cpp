// LifetimeTest.cpp
//
// Creating, acquiring and releasing operations through the table, and the trace lines that
// follow an operation through its life.

#include "ComponentTest.h"

namespace operation_receipt_test {
namespace {

using Lifetime = ComponentTest;

TEST_F(Lifetime, BufferedOperationLinesFromCreateToDestroy) {
  Probe probe;
  const uint64_t t = Make(probe, "ReadRegister");
  ASSERT_EQ(table_.Flush(), 0u);
  Release({t});
  const char* name = "ReadRegister";
  const std::vector<std::string> expected = {
      "0  " + OpLine("Creating", name, t),
      "0  " + OpLine("Acquiring", name, t, ", reference count = 2"),
      "2+ Begin Flushing 1 operations in buffer...",
      "1+ " + OpLine("Begin", name, t),
      "1- " + OpLine("End", name, t),
      "0  " + OpLine("Releasing", name, t, ", reference count = 1"),
      "0  Flush complete",
      "2- End Flushing operations.",
      "0  " + OpLine("Releasing", name, t, ", reference count = 0"),
      "0  " + OpLine("Destroying", name, t),
  };
  EXPECT_EQ(Traced(), expected);
  EXPECT_EQ(probe.executed, 1);
  EXPECT_EQ(probe.destroyed, 1);
}

// Inside an execute callback the thread is in immediate mode: an operation created there is
// executed before CreateOperation returns and holds only the client's reference (its lines are
// in Cancel.FromAnExecuteCallbackTakesTokensOutOfTheRunningFlush); without a token pointer it is
// destroyed at once and CreateOperation returns the execution's code. Buffered without a token
// pointer, an operation lives on with the buffer's reference.
TEST_F(Lifetime, WithoutATokenPointerOnlyTheBufferHoldsTheOperation) {
  Probe outer, inner, fleeting, orphan;
  fleeting.executeResult = 7;
  outer.onExecute = [&](uint64_t) {
    const uint64_t i = Make(inner, "Inner");
    EXPECT_EQ(State(i), kExecuted);
    Release({i});
    EXPECT_EQ(inner.destroyed, 1);
    const OperationDescriptor descriptor = ProbeDescriptor(fleeting, "Fleeting");
    EXPECT_EQ(Table().CreateOperation(&descriptor, nullptr), 7u);
    EXPECT_EQ(fleeting.destroyed, 1);
  };
  const OperationDescriptor descriptor = ProbeDescriptor(orphan, "Orphan");
  EXPECT_EQ(table_.CreateOperation(&descriptor, nullptr), 0u);
  const uint64_t o = Make(outer, "Outer");
  const std::string released = RecordedTexts().at(2);  // after Creating and Acquiring
  EXPECT_EQ(released.rfind("Releasing operation 'Orphan'", 0), 0u);
  EXPECT_NE(released.find("reference count = 1"), std::string::npos);
  ASSERT_EQ(table_.Flush(), 0u);  // the inner failure is not the flush's
  EXPECT_EQ(orphan.executed + orphan.destroyed, 2);
  Release({o});
}

// The last release destroys once (its value freed: the fixture counts buffers); the token is
// refused afterwards, every time; token 0 is accepted silently. A destroy callback already
// finds its own token invalid.
TEST_F(Lifetime, LastReleaseDestroysOnceAndTheTokenIsGoneForGood) {
  Probe probe;
  const uint64_t token = Make(probe, "Once", /*hasValue=*/true);
  uint32_t lookup = 0;
  probe.onDestroy = [&] {
    uint32_t state = 0;
    lookup = Table().GetOperationState(token, &state);
  };
  ASSERT_EQ(table_.SetValue(token, MakeBits(8, 0x5A)), 0u);
  ASSERT_EQ(table_.Flush(), 0u);
  StandIn_ErrorClearPosts();
  Release({token});
  EXPECT_EQ(probe.destroyed, 1);
  EXPECT_EQ(lookup, OR_INVALID_OPERATION_TOKEN);
  const std::string invalid = " does not correspond to a valid operation";
  EXPECT_TRUE(PostedOnce(OR_INVALID_OPERATION_TOKEN, "Operation token " + Hex(token) + invalid));
  StandIn_LoggingClearRecorded();
  EXPECT_EQ(table_.ReleaseOperation(token), OR_INVALID_OPERATION_TOKEN);
  EXPECT_EQ(table_.ReleaseOperation(token), OR_INVALID_OPERATION_TOKEN);
  EXPECT_EQ(Posts().size(), 2u);
  EXPECT_EQ(probe.destroyed, 1);
  StandIn_ErrorClearPosts();
  EXPECT_EQ(table_.AcquireOperation(0), 0u);
  EXPECT_EQ(table_.ReleaseOperation(0), 0u);
  EXPECT_TRUE(Posts().empty());
  EXPECT_TRUE(RecordedLines().empty());
}

// Many references: the count never wraps to make a live operation look destroyed.
TEST_F(Lifetime, MoreThan127ReferencesKeepTheOperationLive) {
  const uint64_t token = PlainOperation();
  StandIn_LoggingSetEnabledLevels(0);
  for (int i = 0; i < 300; ++i) ASSERT_EQ(table_.AcquireOperation(token), 0u);
  EXPECT_EQ(State(token), kPending);
  for (int i = 0; i < 300; ++i) ASSERT_EQ(table_.ReleaseOperation(token), 0u);
  ASSERT_EQ(table_.Flush(), 0u);
  Release({token});
}

}  // namespace
}  // namespace operation_receipt_test
