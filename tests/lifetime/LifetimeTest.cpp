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
  const OperationDescriptor descriptor = ProbeDescriptor(probe, "ReadRegister");
  const uint64_t token = Create(&descriptor);
  ASSERT_EQ(table_.Flush(), 0u);
  ASSERT_EQ(table_.ReleaseOperation(token), 0u);
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

// Runs inside an execute callback during a flush: the thread is in immediate mode.
void CreateImmediate(Probe& outer, uint64_t /*token*/) {
  Probe& inner = *static_cast<Probe*>(outer.user);
  const OperationDescriptor descriptor = ProbeDescriptor(inner, "Inner");
  uint64_t token = 0;
  EXPECT_EQ(Table().CreateOperation(&descriptor, &token), 0u);
  EXPECT_EQ(inner.executed, 1);  // executed before CreateOperation returned
  uint32_t state = 0;
  EXPECT_EQ(Table().GetOperationState(token, &state), 0u);
  EXPECT_EQ(state, static_cast<uint32_t>(OperationState_Executed));
  EXPECT_EQ(Table().ReleaseOperation(token), 0u);
  inner.lastToken = token;
}

TEST_F(Lifetime, ImmediateOperationLinesHoldOnlyTheClientsReference) {
  Probe outer;
  Probe inner;
  outer.user = &inner;
  outer.onExecute = CreateImmediate;
  const OperationDescriptor descriptor = ProbeDescriptor(outer, "Outer");
  const uint64_t token = Create(&descriptor);
  StandIn_LoggingClearRecorded();
  ASSERT_EQ(table_.Flush(), 0u);
  const std::string o = Hex(token);
  const std::string i = Hex(inner.lastToken);
  const std::vector<std::string> expected = {
      "Begin Flushing 1 operations in buffer...",
      "Begin operation 'Outer' (token = " + o + ")",
      "Creating operation 'Inner' (token = " + i + ")",
      "Begin operation 'Inner' (token = " + i + ")",
      "End operation 'Inner' (token = " + i + ")",
      "Releasing operation 'Inner' (token = " + i + ", reference count = 0)",
      "Destroying operation 'Inner' (token = " + i + ")",
      "End operation 'Outer' (token = " + o + ")",
      "Releasing operation 'Outer' (token = " + o + ", reference count = 1)",
      "Flush complete",
      "End Flushing operations.",
  };
  EXPECT_EQ(RecordedTexts(), expected);
  EXPECT_EQ(inner.destroyed, 1);
  EXPECT_EQ(table_.ReleaseOperation(token), 0u);
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

void CreateImmediateWithoutToken(Probe& outer, uint64_t /*token*/) {
  Probe& inner = *static_cast<Probe*>(outer.user);
  const OperationDescriptor descriptor = ProbeDescriptor(inner, "Fleeting");
  EXPECT_EQ(Table().CreateOperation(&descriptor, nullptr), 7u);  // the execution's code
  EXPECT_EQ(inner.executed, 1);
  EXPECT_EQ(inner.destroyed, 1);  // destroyed before CreateOperation returned
}

TEST_F(Lifetime, NoTokenPointerImmediateIsExecutedAndDestroyed) {
  Probe outer;
  Probe inner;
  inner.executeResult = 7;
  outer.user = &inner;
  outer.onExecute = CreateImmediateWithoutToken;
  const OperationDescriptor descriptor = ProbeDescriptor(outer, "Outer");
  const uint64_t token = Create(&descriptor);
  EXPECT_EQ(table_.Flush(), 0u);  // the inner failure is not the flush's
  EXPECT_EQ(inner.destroyed, 1);
  EXPECT_EQ(table_.ReleaseOperation(token), 0u);
}

TEST_F(Lifetime, LastReleaseDestroysOnceAndTheTokenIsGoneForGood) {
  Probe probe;
  const OperationDescriptor descriptor = ProbeDescriptor(probe, "Once", /*hasValue=*/true);
  const uint64_t token = Create(&descriptor);
  ASSERT_EQ(table_.SetValue(token, MakeBits(8, 0x5A)), 0u);
  ASSERT_EQ(table_.Flush(), 0u);
  ASSERT_EQ(table_.ReleaseOperation(token), 0u);
  EXPECT_EQ(probe.destroyed, 1);
  StandIn_ErrorClearPosts();
  EXPECT_EQ(table_.ReleaseOperation(token), OR_INVALID_OPERATION_TOKEN);
  EXPECT_EQ(table_.AcquireOperation(token), OR_INVALID_OPERATION_TOKEN);
  EXPECT_EQ(probe.destroyed, 1);
  const std::vector<Post> posts = Posts();
  ASSERT_EQ(posts.size(), 2u);  // every failing lookup posts
  for (const Post& post : posts) {
    EXPECT_EQ(post.code, OR_INVALID_OPERATION_TOKEN);
    EXPECT_EQ(post.message, "");
    EXPECT_EQ(post.file, "OperationPool.cpp");
  }
}

TEST_F(Lifetime, TokenZeroIsAcceptedSilently) {
  EXPECT_EQ(table_.AcquireOperation(0), 0u);
  EXPECT_EQ(table_.ReleaseOperation(0), 0u);
  EXPECT_TRUE(Posts().empty());
  EXPECT_TRUE(RecordedLines().empty());
}

TEST_F(Lifetime, UnknownTokensPostEveryTime) {
  const uint64_t neverIssued = 0x7FFFFFFFFFFFull;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(table_.AcquireOperation(neverIssued), OR_INVALID_OPERATION_TOKEN);
  EXPECT_EQ(Posts().size(), 3u);
}

TEST_F(Lifetime, AcquireShowsTheCountAfterTheIncrease) {
  const uint64_t token = Create(nullptr);
  StandIn_LoggingClearRecorded();
  ASSERT_EQ(table_.AcquireOperation(token), 0u);
  ASSERT_EQ(table_.AcquireOperation(token), 0u);
  const std::vector<std::string> lines = RecordedTexts();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], "Acquiring operation '<unknown>' (token = " + Hex(token) +
                          ", reference count = 4)");
  for (int i = 0; i < 3; ++i) ASSERT_EQ(table_.ReleaseOperation(token), 0u);
  ASSERT_EQ(table_.Flush(), 0u);
}

// A destroy callback that looks its own operation up finds it being destroyed.
void LookUpOwnToken(Probe& probe) {
  uint32_t state = 0;
  probe.valueResult = Table().GetOperationState(probe.lastToken, &state);
}

TEST_F(Lifetime, DestroyCallbackSeesItsOwnTokenAsNotValid) {
  Probe probe;
  probe.onDestroy = LookUpOwnToken;
  const OperationDescriptor descriptor = ProbeDescriptor(probe, "SelfLookup");
  const uint64_t token = Create(&descriptor);
  probe.lastToken = token;
  ASSERT_EQ(table_.Flush(), 0u);
  StandIn_ErrorClearPosts();
  ASSERT_EQ(table_.ReleaseOperation(token), 0u);
  EXPECT_EQ(probe.destroyed, 1);
  EXPECT_EQ(probe.valueResult, OR_INVALID_OPERATION_TOKEN);
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
  EXPECT_EQ(State(token), static_cast<uint32_t>(OperationState_Pending));
  for (int i = 0; i < 300; ++i) ASSERT_EQ(table_.ReleaseOperation(token), 0u);
  ASSERT_EQ(table_.Flush(), 0u);
  ASSERT_EQ(table_.ReleaseOperation(token), 0u);
}

}  // namespace
}  // namespace operation_receipt_test
