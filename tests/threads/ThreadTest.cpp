// ThreadTest.cpp
//
// Operation sets of several threads: a set takes its client key at the thread's first call, a
// thread flushes and cancels only its own operations, an ended thread's buffered operations stay
// pending with no owner, and a process may end while threads hold sets. Workers use client ids
// other than kMainClient; each test releases what they made.

#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <thread>

#include "ComponentTest.h"

namespace operation_receipt_test {
namespace {

using Threads = ComponentTest;

// Runs `body` on a new thread working for `clientId`, and waits for it to end.
template <class Body>
void OnNewThread(int32_t clientId, Body body) {
  std::thread worker([&] {
    StandIn_CommonSetClientId(clientId);
    body();
  });
  worker.join();
}

// FlushOperation and CancelOperation refuse a token of another set, with one post each.
void ExpectNotFlushableOrCancelable(uint64_t token) {
  const std::string message = "Operation token " + Hex(token) +
      " does not correspond to an operation in the operation set on the current thread";
  for (const auto entry : {Table().FlushOperation, Table().CancelOperation}) {
    StandIn_ErrorClearPosts();
    EXPECT_EQ(entry(token), OR_INVALID_OPERATION_TOKEN);
    EXPECT_TRUE(PostedOnce(OR_INVALID_OPERATION_TOKEN, message, "OperationSet.cpp"));
  }
}

// A second thread reads, flushes and cancels while the main thread's operation is buffered:
// the read does not flush it, the entries refuse it, and the flush runs the second thread's
// operation alone.
TEST_F(Threads, NeitherThreadFlushesOrCancelsTheOthersOperations) {
  Probe mine, theirs;
  const uint64_t tmine = Make(mine, "Mine");
  OnNewThread(211, [&] {
    const uint64_t ttheirs = Make(theirs, "Theirs");
    EXPECT_EQ(Code(tmine), 0u);
    ExpectNotFlushableOrCancelable(tmine);
    EXPECT_EQ(State(tmine), kPending);
    StandIn_LoggingClearRecorded();
    EXPECT_EQ(Table().Flush(), 0u);
    EXPECT_EQ(CountLines("Begin Flushing 1 operations"), 1);
    EXPECT_EQ(theirs.executed, 1);
    Release({ttheirs});
  });
  EXPECT_EQ(mine.executed, 0);
  EXPECT_EQ(theirs.destroyed, 1);
  EXPECT_EQ(table_.Flush(), 0u);
  EXPECT_EQ(mine.executed, 1);
  Release({tmine});
}

// A thread whose first call only asks for immediate mode builds its set then, with the client
// key of that moment; a later change of the thread's client id does not change the set's key.
// The set of an ended thread is gone: its buffered operations stay Pending and referenced, and
// no thread (neither this one nor a new one with the same client id) can flush or cancel them.
TEST_F(Threads, OperationsLeftByAnEndedThreadStayPendingWithoutOwner) {
  constexpr int32_t kEnded = 212;
  Probe x, y;
  uint64_t tx = 0, ty = 0;
  OnNewThread(kEnded, [&] {
    const uint64_t asked = StandIn_CommonGetClientIdCallCount();
    EXPECT_FALSE(Immediate());
    StandIn_CommonSetClientId(kEnded + 1);
    tx = Make(x, "X", /*hasValue=*/true);
    ty = Make(y, "Y");
    EXPECT_EQ(StandIn_CommonGetClientIdCallCount(), asked + 1);
  });
  EXPECT_EQ(Counted(kEnded, /*pending=*/true), 2u);
  // This thread, and new threads of the same client whose first call builds a set that may
  // well take the memory of the ended thread's set: the operations belong to none of them.
  const auto nobodyFlushesThem = [&] {
    for (const uint64_t token : {tx, ty}) ExpectNotFlushableOrCancelable(token);
    EXPECT_EQ(Table().Flush(), 0u);
  };
  nobodyFlushesThem();
  for (int attempt = 0; attempt < 3; ++attempt) OnNewThread(kEnded, nobodyFlushesThem);
  EXPECT_EQ(x.executed + y.executed, 0);
  Release({tx, ty, tx, ty});  // the client's references and the abandoned buffer's
  EXPECT_EQ(x.destroyed + y.destroyed, 2);
}

// A host whose main returns while threads still hold sets, buffered operations and flushes in
// progress ends normally. The host program is built next to this executable.
TEST_F(Threads, ProcessEndsCleanlyWhileThreadsHoldBufferedOperations) {
  FILE* host = popen(OR_EXIT_WITH_LIVE_THREADS " 2>&1", "r");
  ASSERT_NE(host, nullptr);
  std::string output(4096, '\0');
  output.resize(std::fread(&output[0], 1, output.size(), host));
  const int status = pclose(host);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
  EXPECT_NE(output.find("returning with 4 threads holding 164 pending operations"), output.npos)
      << output;
}

}  // namespace
}  // namespace operation_receipt_test
