// FlushFailureTest.cpp
//
// A flush after its first failure: the operations buffered after the failed one take its code
// and share its message unless they ask to be executed anyway, and the failed operation's
// message is the error posted on the thread since the flush began, else its code's default
// message.

#include <string>

#include "FlushHelpers.h"

namespace operation_receipt_test {
namespace {

using FlushFailure = ComponentTest;

TEST_F(FlushFailure, LaterOperationsTakeTheFirstFailuresCodeAndShareItsMessage) {
  Probe x, y, z;
  x.executeResult = 7;
  Hooks hx;
  hx.execute = [](uint64_t) { Quorvel_ErrorPostError(7, "sensor did not answer", "Probe.cpp", 1); };
  Attach(x, hx);
  const OperationDescriptor dx = ProbeDescriptor(x, "X");
  const OperationDescriptor dy = ProbeDescriptor(y, "Y");
  const OperationDescriptor dz = ProbeDescriptor(z, "Z");
  const uint64_t tx = Create(&dx);
  const uint64_t ty = Create(&dy);
  const uint64_t tz = Create(&dz);
  StandIn_LoggingClearRecorded();

  EXPECT_EQ(table_.Flush(), 7u);
  EXPECT_EQ(CountLinesStartingWith("Begin operation"), 1);
  EXPECT_EQ(y.executed + z.executed, 0);
  for (uint64_t token : {tx, ty, tz}) {
    EXPECT_EQ(State(token), kFailed);
    EXPECT_EQ(Code(token), 7u);
    EXPECT_EQ(Message(token), "sensor did not answer");
  }
  for (uint64_t token : {tx, ty, tz}) ASSERT_EQ(table_.ReleaseOperation(token), 0u);
}

TEST_F(FlushFailure, AlwaysExecuteRunsAfterAFailureAndKeepsItsOwnResult) {
  Probe x, y, z, w, v;
  x.executeResult = 7;
  z.executeResult = 9;
  Hooks hx, hz;
  hx.execute = [](uint64_t) { Quorvel_ErrorPostError(7, "first", "Probe.cpp", 1); };
  hz.execute = [](uint64_t) { Quorvel_ErrorPostError(9, "late", "Probe.cpp", 2); };
  Attach(x, hx);
  Attach(z, hz);
  const OperationDescriptor dx = ProbeDescriptor(x, "X");
  const OperationDescriptor dy = ProbeDescriptor(y, "Y");
  const OperationDescriptor dz = ProbeDescriptor(z, "Z", false, /*alwaysExecute=*/true);
  const OperationDescriptor dw = ProbeDescriptor(w, "W", false, /*alwaysExecute=*/true);
  const OperationDescriptor dv = ProbeDescriptor(v, "V");
  const uint64_t tx = Create(&dx);
  const uint64_t ty = Create(&dy);
  const uint64_t tz = Create(&dz);
  const uint64_t tw = Create(&dw);
  const uint64_t tv = Create(&dv);

  EXPECT_EQ(table_.Flush(), 7u);  // Z's failure changes nothing of the flush's result
  EXPECT_EQ(z.executed, 1);
  EXPECT_EQ(w.executed, 1);
  EXPECT_EQ(y.executed + v.executed, 0);
  EXPECT_EQ(State(tz), kFailed);
  EXPECT_EQ(Code(tz), 9u);
  EXPECT_EQ(Message(tz), "");  // no message is captured for it
  EXPECT_EQ(State(tw), kExecuted);
  EXPECT_EQ(Code(tw), 0u);
  for (uint64_t token : {tx, ty, tv}) {
    EXPECT_EQ(State(token), kFailed);
    EXPECT_EQ(Code(token), 7u);
    EXPECT_EQ(Message(token), "first");
  }
  for (uint64_t token : {tx, ty, tz, tw, tv}) ASSERT_EQ(table_.ReleaseOperation(token), 0u);
}

// Without a post during the flush the failed operation gets its code's default message: a post
// made before the flush began is not the flush's, and an unregistered code has an empty one.
TEST_F(FlushFailure, DefaultMessageOfTheCodeWhenNothingWasPostedDuringTheFlush) {
  Quorvel_ErrorPostError(OR_OPERATION_HAS_NO_VALUE, "posted before the flush", "Test.cpp", 1);
  Probe x, y, u;
  x.executeResult = OR_OPERATION_HAS_NO_VALUE;
  u.executeResult = 7;
  const OperationDescriptor dx = ProbeDescriptor(x, "X");
  const OperationDescriptor dy = ProbeDescriptor(y, "Y");
  const OperationDescriptor du = ProbeDescriptor(u, "U");
  const uint64_t tx = Create(&dx);
  const uint64_t ty = Create(&dy);
  EXPECT_EQ(table_.Flush(), OR_OPERATION_HAS_NO_VALUE);
  EXPECT_NE(DefaultMessage(OR_OPERATION_HAS_NO_VALUE), "");  // registered by the component
  EXPECT_EQ(Message(tx), DefaultMessage(OR_OPERATION_HAS_NO_VALUE));
  EXPECT_EQ(Message(ty), DefaultMessage(OR_OPERATION_HAS_NO_VALUE));
  EXPECT_EQ(Code(ty), OR_OPERATION_HAS_NO_VALUE);

  const uint64_t tu = Create(&du);
  EXPECT_EQ(table_.Flush(), 7u);
  EXPECT_EQ(State(tu), kFailed);
  EXPECT_EQ(Message(tu), "");
  for (uint64_t token : {tx, ty, tu}) ASSERT_EQ(table_.ReleaseOperation(token), 0u);
}

// The error posted on the thread since the flush began is captured, even when an operation that
// succeeded posted it before the failing one ran.
TEST_F(FlushFailure, ErrorPostedEarlierInTheSameFlushIsTheCapturedMessage) {
  Probe w, x, y;
  x.executeResult = OR_OPERATION_HAS_NO_VALUE;
  Hooks hw;
  hw.execute = [](uint64_t) { Quorvel_ErrorPostError(3, "warning from W", "Probe.cpp", 3); };
  Attach(w, hw);
  const OperationDescriptor dw = ProbeDescriptor(w, "W");
  const OperationDescriptor dx = ProbeDescriptor(x, "X");
  const OperationDescriptor dy = ProbeDescriptor(y, "Y");
  const uint64_t tw = Create(&dw);
  const uint64_t tx = Create(&dx);
  const uint64_t ty = Create(&dy);
  EXPECT_EQ(table_.Flush(), OR_OPERATION_HAS_NO_VALUE);
  EXPECT_EQ(State(tw), kExecuted);
  EXPECT_EQ(Message(tw), "");
  EXPECT_EQ(Message(tx), "warning from W");
  EXPECT_EQ(Message(ty), "warning from W");
  for (uint64_t token : {tw, tx, ty}) ASSERT_EQ(table_.ReleaseOperation(token), 0u);
}

// The operation's own code (SetError before or during its callback) wins over the callback's
// result, and the failed operation's message is the captured one, not the one SetError gave.
TEST_F(FlushFailure, OwnErrorCodeWinsOverTheCallbacksResult) {
  Probe a, b, c;
  b.executeResult = 5;
  Hooks hb;
  hb.execute = [](uint64_t token) {
    EXPECT_EQ(Table().SetError(token, OR_OPERATION_HAS_NO_VALUE, nullptr), 0u);
  };
  Attach(b, hb);
  const OperationDescriptor da = ProbeDescriptor(a, "A");
  const OperationDescriptor db = ProbeDescriptor(b, "B");
  const uint64_t ta = Create(&da);
  ASSERT_EQ(table_.SetError(ta, OR_OPERATION_ALREADY_EXECUTED, "set before the flush"), 0u);
  EXPECT_EQ(table_.Flush(), OR_OPERATION_ALREADY_EXECUTED);
  EXPECT_EQ(State(ta), kFailed);
  EXPECT_EQ(Code(ta), OR_OPERATION_ALREADY_EXECUTED);
  EXPECT_EQ(Message(ta), DefaultMessage(OR_OPERATION_ALREADY_EXECUTED));

  const uint64_t tb = Create(&db);
  EXPECT_EQ(table_.Flush(), OR_OPERATION_HAS_NO_VALUE);
  EXPECT_EQ(Code(tb), OR_OPERATION_HAS_NO_VALUE);
  EXPECT_EQ(Message(tb), DefaultMessage(OR_OPERATION_HAS_NO_VALUE));

  // A code of 0 set before the flush leaves the callback's result in charge.
  c.executeResult = 6;
  const OperationDescriptor dc = ProbeDescriptor(c, "C");
  const uint64_t tc = Create(&dc);
  ASSERT_EQ(table_.SetError(tc, 0, nullptr), 0u);
  EXPECT_EQ(table_.Flush(), 6u);
  EXPECT_EQ(Code(tc), 6u);
  for (uint64_t token : {ta, tb, tc}) ASSERT_EQ(table_.ReleaseOperation(token), 0u);
}

// The failed operation is destroyed before the ones after it are marked (an alwaysExecute
// operation between them drops both its references): they still fail, with the flush's first
// failure code and the captured message.
TEST_F(FlushFailure, LaterOperationsFailEvenWhenTheFailedOneIsGone) {
  Probe x, w, y;
  x.executeResult = 7;
  Hooks hx, hw;
  uint64_t tx = 0;
  hx.execute = [](uint64_t) { Quorvel_ErrorPostError(7, "X lost its device", "Probe.cpp", 1); };
  hw.execute = [&](uint64_t) {
    EXPECT_EQ(Table().ReleaseOperation(tx), 0u);  // the client's reference
    EXPECT_EQ(Table().ReleaseOperation(tx), 0u);  // and the buffer's
    EXPECT_EQ(x.destroyed, 1);
  };
  Attach(x, hx);
  Attach(w, hw);
  const OperationDescriptor dx = ProbeDescriptor(x, "X");
  const OperationDescriptor dw = ProbeDescriptor(w, "W", false, /*alwaysExecute=*/true);
  const OperationDescriptor dy = ProbeDescriptor(y, "Y");
  tx = Create(&dx);
  const uint64_t tw = Create(&dw);
  const uint64_t ty = Create(&dy);
  EXPECT_EQ(table_.Flush(), 7u);
  EXPECT_EQ(y.executed, 0);
  EXPECT_EQ(State(ty), kFailed);
  EXPECT_EQ(Code(ty), 7u);
  EXPECT_EQ(Message(ty), "X lost its device");
  ASSERT_EQ(table_.ReleaseOperation(tw), 0u);
  ASSERT_EQ(table_.ReleaseOperation(ty), 0u);
}

}  // namespace
}  // namespace operation_receipt_test
