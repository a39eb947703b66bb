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
// executed before CreateOperation returns and holds only the client's reference; without a
// token pointer it is destroyed at once and CreateOperation returns the execution's code.
TEST_F(Lifetime, ImmediateOperationLinesHoldOnlyTheClientsReference) {
  Probe outer, inner, fleeting;
  fleeting.executeResult = 7;
  uint64_t i = 0;
  outer.onExecute = [&](uint64_t) {
    i = Make(inner, "Inner");
    EXPECT_EQ(inner.executed, 1);
    EXPECT_EQ(State(i), kExecuted);
    Release({i});
    const OperationDescriptor descriptor = ProbeDescriptor(fleeting, "Fleeting");
    EXPECT_EQ(Table().CreateOperation(&descriptor, nullptr), 7u);
    EXPECT_EQ(fleeting.destroyed, 1);
  };
  const uint64_t o = Make(outer, "Outer");
  StandIn_LoggingClearRecorded();
  ASSERT_EQ(table_.Flush(), 0u);  // the inner failure is not the flush's
  const uint64_t f = fleeting.lastToken;
  const std::vector<std::string> expected = {
      "Begin Flushing 1 operations in buffer...",
      OpLine("Begin", "Outer", o),
      OpLine("Creating", "Inner", i),
      OpLine("Begin", "Inner", i),
      OpLine("End", "Inner", i),
      OpLine("Releasing", "Inner", i, ", reference count = 0"),
      OpLine("Destroying", "Inner", i),
      OpLine("Creating", "Fleeting", f),
      OpLine("Begin", "Fleeting", f),
      OpLine("End", "Fleeting", f),
      OpLine("Releasing", "Fleeting", f, ", reference count = 0"),
      OpLine("Destroying", "Fleeting", f),
      OpLine("End", "Outer", o),
      OpLine("Releasing", "Outer", o, ", reference count = 1"),
      "Flush complete",
      "End Flushing operations.",
  };
  EXPECT_EQ(RecordedTexts(), expected);
  EXPECT_EQ(inner.destroyed, 1);
  Release({o});
}

TEST_F(Lifetime, NoTokenPointerBufferedLivesOnWithTheBuffersReference) {
  Probe probe;
  const OperationDescriptor descriptor = ProbeDescriptor(probe, "Orphan");
  EXPECT_EQ(table_.CreateOperation(&descriptor, nullptr), 0u);
  const std::vector<std::string> lines = RecordedTexts();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[1].find("reference count = 2"), std::string::npos);
  EXPECT_EQ(lines[2].rfind("Releasing operation 'Orphan'", 0), 0u);
  EXPECT_NE(lines[2].find("reference count = 1"), std::string::npos);
  EXPECT_EQ(probe.destroyed, 0);
  ASSERT_EQ(table_.Flush(), 0u);
  EXPECT_EQ(probe.executed, 1);
  EXPECT_EQ(probe.destroyed, 1);
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
