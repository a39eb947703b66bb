// CancelTest.cpp
//
// CancelOperation through the table: the named operation and every one buffered before it are
// canceled and released, later ones stay for the next flush; operations that are no longer
// pending are refused or left alone; and a cancel from an execute callback takes its tokens out
// of the flush that is running.

#include <string>
#include <vector>

#include "FlushHelpers.h"

namespace operation_receipt_test {
namespace {

using Cancel = ComponentTest;

TEST_F(Cancel, CancelsUpToTheNamedOperationAndLeavesTheLaterOnes) {
  Probe p, q, r;
  bool immediateWhileDestroyed = false;
  Hooks hp;
  hp.destroy = [&] { immediateWhileDestroyed = Immediate(); };
  Attach(p, hp);
  const OperationDescriptor dp = ProbeDescriptor(p, "P");
  const OperationDescriptor dq = ProbeDescriptor(q, "Q");
  const OperationDescriptor dr = ProbeDescriptor(r, "R");
  const uint64_t tp = Create(&dp);
  const uint64_t tq = Create(&dq);
  const uint64_t tr = Create(&dr);
  ASSERT_EQ(table_.ReleaseOperation(tp), 0u);  // the cancel's release destroys P
  StandIn_LoggingClearRecorded();

  EXPECT_EQ(table_.CancelOperation(tq), 0u);
  const std::vector<std::string> expected = {
      "0  Canceled operation 'P' (token = " + Hex(tp) + ")",
      "0  Canceled operation 'Q' (token = " + Hex(tq) + ")",
      "0  Releasing operation 'P' (token = " + Hex(tp) + ", reference count = 0)",
      "0  Destroying operation 'P' (token = " + Hex(tp) + ")",
      "0  Releasing operation 'Q' (token = " + Hex(tq) + ", reference count = 1)",
  };
  EXPECT_EQ(Traced(), expected);
  EXPECT_EQ(p.destroyed, 1);
  EXPECT_TRUE(immediateWhileDestroyed);
  EXPECT_FALSE(Immediate());
  EXPECT_EQ(State(tq), kCanceled);
  EXPECT_EQ(Code(tq), 0u);  // no flush for a canceled operation
  EXPECT_EQ(State(tr), kPending);
  EXPECT_EQ(r.executed, 0);
  EXPECT_TRUE(Posts().empty());

  StandIn_LoggingClearRecorded();
  EXPECT_EQ(table_.Flush(), 0u);
  EXPECT_EQ(CountLinesStartingWith("Begin Flushing 1 operations"), 1);
  EXPECT_EQ(p.executed + q.executed, 0);
  EXPECT_EQ(r.executed, 1);
  ASSERT_EQ(table_.ReleaseOperation(tq), 0u);
  ASSERT_EQ(table_.ReleaseOperation(tr), 0u);
  EXPECT_EQ(q.destroyed + r.destroyed, 2);
}

TEST_F(Cancel, ExecutedOrUnknownOperationIsRefusedAndPosted) {
  Probe a, b;
  const OperationDescriptor da = ProbeDescriptor(a, "A");
  const OperationDescriptor db = ProbeDescriptor(b, "B");
  const uint64_t ta = Create(&da);
  ASSERT_EQ(table_.Flush(), 0u);
  const uint64_t tb = Create(&db);
  StandIn_LoggingClearRecorded();
  StandIn_ErrorClearPosts();

  EXPECT_EQ(table_.CancelOperation(ta), OR_OPERATION_ALREADY_EXECUTED);
  std::vector<Post> posts = Posts();
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].code, OR_OPERATION_ALREADY_EXECUTED);
  EXPECT_EQ(posts[0].message, "");
  EXPECT_EQ(posts[0].file, "OperationSet.cpp");
  EXPECT_TRUE(RecordedLines().empty());
  EXPECT_EQ(State(ta), kExecuted);
  EXPECT_EQ(State(tb), kPending);  // the buffer is untouched

  StandIn_ErrorClearPosts();
  EXPECT_EQ(table_.CancelOperation(0x7FFFFFFFFFFFull), OR_INVALID_OPERATION_TOKEN);
  posts = Posts();
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].code, OR_INVALID_OPERATION_TOKEN);
  EXPECT_EQ(State(tb), kPending);

  ASSERT_EQ(table_.Flush(), 0u);
  EXPECT_EQ(b.executed, 1);
  ASSERT_EQ(table_.ReleaseOperation(ta), 0u);
  ASSERT_EQ(table_.ReleaseOperation(tb), 0u);
}

// Failed, Canceled and Executing operations answer 0; nothing is canceled, taken or posted.
TEST_F(Cancel, OperationsNoLongerPendingAnswerZeroAndChangeNothing) {
  Probe f, c, e, y;
  f.executeResult = 7;
  const OperationDescriptor df = ProbeDescriptor(f, "F");
  const OperationDescriptor dc = ProbeDescriptor(c, "C");
  const uint64_t tf = Create(&df);
  EXPECT_EQ(table_.Flush(), 7u);
  const uint64_t tc = Create(&dc);
  ASSERT_EQ(table_.CancelOperation(tc), 0u);
  const OperationDescriptor dy = ProbeDescriptor(y, "Y");
  const uint64_t ty = Create(&dy);
  StandIn_LoggingClearRecorded();
  StandIn_ErrorClearPosts();

  EXPECT_EQ(table_.CancelOperation(tf), 0u);
  EXPECT_EQ(table_.CancelOperation(tc), 0u);
  EXPECT_TRUE(RecordedLines().empty());
  EXPECT_TRUE(Posts().empty());
  EXPECT_EQ(State(tf), kFailed);
  EXPECT_EQ(Code(tf), 7u);
  EXPECT_EQ(State(tc), kCanceled);
  EXPECT_EQ(State(ty), kPending);

  // An operation canceling itself from its execute callback is Executing: the operation
  // buffered after it is not taken and executes in its turn.
  Hooks he;
  he.execute = [&](uint64_t token) {
    EXPECT_EQ(Table().CancelOperation(token), 0u);
    EXPECT_EQ(State(token), kExecuting);
  };
  Attach(e, he);
  const OperationDescriptor de = ProbeDescriptor(e, "E");
  const uint64_t te = Create(&de);
  Probe z;
  const OperationDescriptor dz = ProbeDescriptor(z, "Z");
  const uint64_t tz = Create(&dz);
  EXPECT_EQ(table_.Flush(), 0u);
  EXPECT_EQ(State(te), kExecuted);
  EXPECT_EQ(y.executed + z.executed, 2);
  EXPECT_EQ(State(tz), kExecuted);
  for (uint64_t token : {tf, tc, ty, te, tz}) ASSERT_EQ(table_.ReleaseOperation(token), 0u);
}

TEST_F(Cancel, AlwaysExecuteOperationIsCanceledLikeAnyOther) {
  Probe a, b;
  const OperationDescriptor da = ProbeDescriptor(a, "A", false, /*alwaysExecute=*/true);
  const OperationDescriptor db = ProbeDescriptor(b, "B");
  const uint64_t ta = Create(&da);
  const uint64_t tb = Create(&db);
  EXPECT_EQ(table_.CancelOperation(tb), 0u);
  EXPECT_EQ(State(ta), kCanceled);
  StandIn_LoggingClearRecorded();
  EXPECT_EQ(table_.Flush(), 0u);
  EXPECT_EQ(CountLinesStartingWith("Begin Flushing 0 operations"), 1);
  EXPECT_EQ(a.executed + b.executed, 0);
  ASSERT_EQ(table_.ReleaseOperation(ta), 0u);
  ASSERT_EQ(table_.ReleaseOperation(tb), 0u);
}

// A cancel from an execute callback takes the named token and those before it out of the buffer
// the running flush drains; the thread stays in immediate mode, so an operation created next
// still executes at once, and the flush goes on with the tokens left.
TEST_F(Cancel, FromAnExecuteCallbackTakesTokensOutOfTheRunningFlush) {
  Probe x, y, z, w, i;
  uint64_t tz = 0;
  uint64_t ti = 0;
  Hooks hx;
  hx.execute = [&](uint64_t) {
    EXPECT_EQ(Table().CancelOperation(tz), 0u);
    EXPECT_TRUE(Immediate());
    const OperationDescriptor di = ProbeDescriptor(i, "I");
    EXPECT_EQ(Table().CreateOperation(&di, &ti), 0u);
    EXPECT_EQ(i.executed, 1);
    EXPECT_EQ(Table().ReleaseOperation(ti), 0u);
  };
  Attach(x, hx);
  const OperationDescriptor dx = ProbeDescriptor(x, "X");
  const OperationDescriptor dy = ProbeDescriptor(y, "Y");
  const OperationDescriptor dz = ProbeDescriptor(z, "Z");
  const OperationDescriptor dw = ProbeDescriptor(w, "W");
  const uint64_t tx = Create(&dx);
  const uint64_t ty = Create(&dy);
  tz = Create(&dz);
  const uint64_t tw = Create(&dw);
  StandIn_LoggingClearRecorded();

  EXPECT_EQ(table_.Flush(), 0u);
  const std::vector<std::string> expected = {
      "2+ Begin Flushing 4 operations in buffer...",
      "1+ Begin operation 'X' (token = " + Hex(tx) + ")",
      "0  Canceled operation 'Y' (token = " + Hex(ty) + ")",
      "0  Canceled operation 'Z' (token = " + Hex(tz) + ")",
      "0  Releasing operation 'Y' (token = " + Hex(ty) + ", reference count = 1)",
      "0  Releasing operation 'Z' (token = " + Hex(tz) + ", reference count = 1)",
      "0  Creating operation 'I' (token = " + Hex(ti) + ")",
      "1+ Begin operation 'I' (token = " + Hex(ti) + ")",
      "1- End operation 'I' (token = " + Hex(ti) + ")",
      "0  Releasing operation 'I' (token = " + Hex(ti) + ", reference count = 0)",
      "0  Destroying operation 'I' (token = " + Hex(ti) + ")",
      "1- End operation 'X' (token = " + Hex(tx) + ")",
      "1+ Begin operation 'W' (token = " + Hex(tw) + ")",
      "1- End operation 'W' (token = " + Hex(tw) + ")",
      "0  Releasing operation 'X' (token = " + Hex(tx) + ", reference count = 1)",
      "0  Releasing operation 'W' (token = " + Hex(tw) + ", reference count = 1)",
      "0  Flush complete",
      "2- End Flushing operations.",
  };
  EXPECT_EQ(Traced(), expected);
  EXPECT_TRUE(Posts().empty());
  EXPECT_FALSE(Immediate());
  EXPECT_EQ(y.executed + z.executed, 0);
  EXPECT_EQ(w.executed, 1);
  EXPECT_EQ(State(ty), kCanceled);
  EXPECT_EQ(State(tz), kCanceled);
  for (uint64_t token : {tx, ty, tz, tw}) ASSERT_EQ(table_.ReleaseOperation(token), 0u);
  EXPECT_EQ(x.destroyed + y.destroyed + z.destroyed + w.destroyed, 4);
}

}  // namespace
}  // namespace operation_receipt_test
