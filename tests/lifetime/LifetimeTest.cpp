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
  const uint64_t token = Make(probe, "ReadRegister");
  ASSERT_EQ(table_.Flush(), 0u);
  Release({token});
  const std::string t = Hex(token);
  const std::vector<std::string> expected = {
      "Creating operation 'ReadRegister' (token = " + t + ")",
      "Acquiring operation 'ReadRegister' (token = " + t + ", reference count = 2)",
      "Begin Flushing 1 operations in buffer...",
      "Begin operation 'ReadRegister' (token = " + t + ")",
      "End operation 'ReadRegister' (token = " + t + ")",
      "Releasing operation 'ReadRegister' (token = " + t + ", reference count = 1)",
      "Flush complete",
      "End Flushing operations.",
      "Releasing operation 'ReadRegister' (token = " + t + ", reference count = 0)",
      "Destroying operation 'ReadRegister' (token = " + t + ")",
  };
  EXPECT_EQ(RecordedTexts(), expected);
  EXPECT_EQ(probe.executed, 1);
  EXPECT_EQ(probe.destroyed, 1);
}

// Inside an execute callback the thread is in immediate mode: an operation created there is
// executed before CreateOperation returns and holds only the client's reference; without a
// token pointer it is destroyed at once and CreateOperation returns the execution's code.
TEST_F(Lifetime, ImmediateOperationLinesHoldOnlyTheClientsReference) {
  Probe outer, inner, fleeting;
  fleeting.executeResult = 7;
  uint64_t ti = 0;
  outer.onExecute = [&](uint64_t) {
    ti = Make(inner, "Inner");
    EXPECT_EQ(inner.executed, 1);
    EXPECT_EQ(State(ti), kExecuted);
    Release({ti});
    const OperationDescriptor descriptor = ProbeDescriptor(fleeting, "Fleeting");
    EXPECT_EQ(Table().CreateOperation(&descriptor, nullptr), 7u);
    EXPECT_EQ(fleeting.destroyed, 1);
  };
  const uint64_t token = Make(outer, "Outer");
  StandIn_LoggingClearRecorded();
  ASSERT_EQ(table_.Flush(), 0u);  // the inner failure is not the flush's
  const std::string o = Hex(token);
  const std::string i = Hex(ti);
  const std::string f = Hex(fleeting.lastToken);
  const std::vector<std::string> expected = {
      "Begin Flushing 1 operations in buffer...",
      "Begin operation 'Outer' (token = " + o + ")",
      "Creating operation 'Inner' (token = " + i + ")",
      "Begin operation 'Inner' (token = " + i + ")",
      "End operation 'Inner' (token = " + i + ")",
      "Releasing operation 'Inner' (token = " + i + ", reference count = 0)",
      "Destroying operation 'Inner' (token = " + i + ")",
      "Creating operation 'Fleeting' (token = " + f + ")",
      "Begin operation 'Fleeting' (token = " + f + ")",
      "End operation 'Fleeting' (token = " + f + ")",
      "Releasing operation 'Fleeting' (token = " + f + ", reference count = 0)",
      "Destroying operation 'Fleeting' (token = " + f + ")",
      "End operation 'Outer' (token = " + o + ")",
      "Releasing operation 'Outer' (token = " + o + ", reference count = 1)",
      "Flush complete",
      "End Flushing operations.",
  };
  EXPECT_EQ(RecordedTexts(), expected);
  EXPECT_EQ(inner.destroyed, 1);
  Release({token});
}

TEST_F(Lifetime, NoTokenPointerBufferedLivesOnWithTheBuffersReference) {
  Probe probe;
  const OperationDescriptor descriptor = ProbeDescriptor(probe, "Orphan");
  EXPECT_EQ(table_.CreateOperation(&descriptor, nullptr), 0u);
  const std::vector<std::string> lines = RecordedTexts();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[1].find("reference count = 2"), std::string::npos);
  EXPECT_NE(lines[2].find("Releasing operation 'Orphan'"), std::string::npos);
  EXPECT_NE(lines[2].find("reference count = 1"), std::string::npos);
  EXPECT_EQ(probe.destroyed, 0);
  ASSERT_EQ(table_.Flush(), 0u);
  EXPECT_EQ(probe.executed, 1);
  EXPECT_EQ(probe.destroyed, 1);
}

// Every failing lookup posts (the same token twice posts twice); token 0 is accepted silently.
TEST_F(Lifetime, LastReleaseDestroysOnceAndTheTokenIsGoneForGood) {
  Probe probe;
  const uint64_t token = Make(probe, "Once", /*hasValue=*/true);
  ASSERT_EQ(table_.SetValue(token, MakeBits(8, 0x5A)), 0u);
  ASSERT_EQ(table_.Flush(), 0u);
  Release({token});
  EXPECT_EQ(probe.destroyed, 1);
  StandIn_ErrorClearPosts();
  StandIn_LoggingClearRecorded();
  EXPECT_EQ(table_.ReleaseOperation(token), OR_INVALID_OPERATION_TOKEN);
  EXPECT_EQ(table_.AcquireOperation(token), OR_INVALID_OPERATION_TOKEN);
  EXPECT_EQ(probe.destroyed, 1);
  const std::vector<Post> posts = Posts();
  ASSERT_EQ(posts.size(), 2u);
  for (const Post& post : posts) {
    EXPECT_EQ(post.code, OR_INVALID_OPERATION_TOKEN);
    EXPECT_EQ(post.message, "");
    EXPECT_EQ(post.file, "OperationPool.cpp");
  }
  EXPECT_EQ(table_.AcquireOperation(0), 0u);
  EXPECT_EQ(table_.ReleaseOperation(0), 0u);
  EXPECT_EQ(Posts().size(), 2u);
  EXPECT_TRUE(RecordedLines().empty());
}

TEST_F(Lifetime, DestroyCallbackSeesItsOwnTokenAsNotValid) {
  Probe probe;
  uint32_t lookup = 0;
  const uint64_t token = Make(probe, "SelfLookup");
  probe.onDestroy = [&] {
    uint32_t state = 0;
    lookup = Table().GetOperationState(token, &state);
  };
  ASSERT_EQ(table_.Flush(), 0u);
  StandIn_ErrorClearPosts();
  Release({token});
  EXPECT_EQ(probe.destroyed, 1);
  EXPECT_EQ(lookup, OR_INVALID_OPERATION_TOKEN);
  const std::vector<Post> posts = Posts();
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].message,
            "Operation token " + Hex(token) + " does not correspond to a valid operation");
  EXPECT_EQ(posts[0].file, "OperationPool.cpp");
}

// Many references: the count never wraps to make a live operation look destroyed.
TEST_F(Lifetime, MoreThan127ReferencesKeepTheOperationLive) {
  const uint64_t token = Create(nullptr);
  StandIn_LoggingSetEnabledLevels(0);
  for (int i = 0; i < 300; ++i) ASSERT_EQ(table_.AcquireOperation(token), 0u);
  EXPECT_EQ(State(token), kPending);
  for (int i = 0; i < 300; ++i) ASSERT_EQ(table_.ReleaseOperation(token), 0u);
  ASSERT_EQ(table_.Flush(), 0u);
  Release({token});
}

}  // namespace
}  // namespace operation_receipt_test
