// CancelTest.cpp
//
// CancelOperation through the table: the named operation and every one buffered before it are
// canceled and released, later ones stay for the next flush; operations that are no longer
// pending are refused or left alone; and a cancel from an execute callback takes its tokens out
// of the flush that is running.

#include "ComponentTest.h"

namespace operation_receipt_test {
namespace {

using Cancel = ComponentTest;

// P asks to be executed anyway; a cancel takes it all the same, in immediate mode.
TEST_F(Cancel, CancelsUpToTheNamedOperationAndLeavesTheLaterOnes) {
  Probe p, q, r;
  bool immediateWhileDestroyed = false;
  p.onDestroy = [&] { immediateWhileDestroyed = Immediate(); };
  const uint64_t tp = Make(p, "P", false, /*alwaysExecute=*/true);
  const uint64_t tq = Make(q, "Q");
  const uint64_t tr = Make(r, "R");
  Release({tp});  // the cancel's release destroys P
  StandIn_LoggingClearRecorded();

  EXPECT_EQ(table_.CancelOperation(tq), 0u);
  const std::vector<std::string> expected = {
      "0  " + OpLine("Canceled", "P", tp),
      "0  " + OpLine("Canceled", "Q", tq),
      "0  " + OpLine("Releasing", "P", tp, ", reference count = 0"),
      "0  " + OpLine("Destroying", "P", tp),
      "0  " + OpLine("Releasing", "Q", tq, ", reference count = 1"),
  };
  EXPECT_EQ(Traced(), expected);
  EXPECT_TRUE(immediateWhileDestroyed);
  EXPECT_FALSE(Immediate());
  EXPECT_EQ(State(tq), kCanceled);
  EXPECT_EQ(Code(tq), 0u);  // no flush for a canceled operation
  EXPECT_EQ(State(tr), kPending);
  EXPECT_TRUE(Posts().empty());

  StandIn_LoggingClearRecorded();
  EXPECT_EQ(table_.Flush(), 0u);
  EXPECT_EQ(CountLines("Begin Flushing 1 operations"), 1);
  EXPECT_EQ(p.executed + q.executed, 0);
  EXPECT_EQ(r.executed, 1);
  Release({tq, tr});
  EXPECT_EQ(q.destroyed + r.destroyed, 2);
}

// An Executed operation is refused with a post; Failed, Canceled and Executing ones answer 0.
// Neither changes anything: nothing is canceled, taken, written or (for 0) posted.
TEST_F(Cancel, OperationsNoLongerPendingAreRefusedOrLeftAlone) {
  Probe a, f, c, e, y, z;
  const uint64_t ta = Make(a, "A");
  ASSERT_EQ(table_.Flush(), 0u);
  f.executeResult = 7;
  const uint64_t tf = Make(f, "F");
  EXPECT_EQ(table_.Flush(), 7u);
  const uint64_t tc = Make(c, "C");
  ASSERT_EQ(table_.CancelOperation(tc), 0u);
  const uint64_t ty = Make(y, "Y");
  StandIn_LoggingClearRecorded();
  StandIn_ErrorClearPosts();

  EXPECT_EQ(table_.CancelOperation(ta), OR_OPERATION_ALREADY_EXECUTED);
  EXPECT_TRUE(PostedOnce(OR_OPERATION_ALREADY_EXECUTED, "", "OperationSet.cpp"));
  EXPECT_EQ(table_.CancelOperation(tf), 0u);
  EXPECT_EQ(table_.CancelOperation(tc), 0u);
  EXPECT_TRUE(RecordedLines().empty());
  EXPECT_TRUE(Posts().empty());
  EXPECT_EQ(State(ta), kExecuted);
  EXPECT_EQ(State(tf), kFailed);
  EXPECT_EQ(State(tc), kCanceled);
  EXPECT_EQ(State(ty), kPending);  // the buffer is untouched

  // An operation canceling itself from its execute callback is Executing: the operation
  // buffered after it is not taken and executes in its turn.
  e.onExecute = [&](uint64_t token) {
    EXPECT_EQ(Table().CancelOperation(token), 0u);
    EXPECT_EQ(State(token), kExecuting);
  };
  const uint64_t te = Make(e, "E");
  const uint64_t tz = Make(z, "Z");
  EXPECT_EQ(table_.Flush(), 0u);
  EXPECT_EQ(State(te), kExecuted);
  EXPECT_EQ(y.executed + z.executed, 2);
  Release({ta, tf, tc, ty, te, tz});
}

// A cancel from an execute callback takes the named token and those before it out of the buffer
// the running flush drains; the thread stays in immediate mode, so an operation created next
// still executes at once, and the flush goes on with the tokens left.
TEST_F(Cancel, FromAnExecuteCallbackTakesTokensOutOfTheRunningFlush) {
  Probe x, y, z, w, i;
  uint64_t tz = 0;
  uint64_t ti = 0;
  x.onExecute = [&](uint64_t) {
    EXPECT_EQ(Table().CancelOperation(tz), 0u);
    EXPECT_TRUE(Immediate());
    ti = Make(i, "I");
    EXPECT_EQ(i.executed, 1);
    Release({ti});
  };
  const uint64_t tx = Make(x, "X");
  const uint64_t ty = Make(y, "Y");
  tz = Make(z, "Z");
  const uint64_t tw = Make(w, "W");
  StandIn_LoggingClearRecorded();

  EXPECT_EQ(table_.Flush(), 0u);
  const std::vector<std::string> expected = {
      "2+ Begin Flushing 4 operations in buffer...",
      "1+ " + OpLine("Begin", "X", tx),
      "0  " + OpLine("Canceled", "Y", ty),
      "0  " + OpLine("Canceled", "Z", tz),
      "0  " + OpLine("Releasing", "Y", ty, ", reference count = 1"),
      "0  " + OpLine("Releasing", "Z", tz, ", reference count = 1"),
      "0  " + OpLine("Creating", "I", ti),
      "1+ " + OpLine("Begin", "I", ti),
      "1- " + OpLine("End", "I", ti),
      "0  " + OpLine("Releasing", "I", ti, ", reference count = 0"),
      "0  " + OpLine("Destroying", "I", ti),
      "1- " + OpLine("End", "X", tx),
      "1+ " + OpLine("Begin", "W", tw),
      "1- " + OpLine("End", "W", tw),
      "0  " + OpLine("Releasing", "X", tx, ", reference count = 1"),
      "0  " + OpLine("Releasing", "W", tw, ", reference count = 1"),
      "0  Flush complete",
      "2- End Flushing operations.",
  };
  EXPECT_EQ(Traced(), expected);
  EXPECT_FALSE(Immediate());
  EXPECT_EQ(y.executed + z.executed, 0);
  EXPECT_EQ(State(tz), kCanceled);
  Release({tx, ty, tz, tw});
}

}  // namespace
}  // namespace operation_receipt_test
