// FlushFailureTest.cpp
//
// A flush after its first failure: the operations buffered after the failed one take its code
// and share its message unless they ask to be executed anyway, and the failed operation's
// message is the first error posted on the thread since the flush began, else its code's
// default message.

#include <string>

#include "ComponentTest.h"

namespace operation_receipt_test {
namespace {

using FlushFailure = ComponentTest;

// The captured message is the first error posted since the flush began, even when an operation
// that succeeded posted it before the failing one ran.
TEST_F(FlushFailure, LaterOperationsTakeTheFirstFailuresCodeAndShareItsMessage) {
  Probe w, x, y, z;
  w.onExecute = [](uint64_t) { Quorvel_ErrorPostError(3, "warning from W", "Probe.cpp", 3); };
  x.executeResult = 7;
  const uint64_t tw = Make(w, "W");
  const uint64_t tx = Make(x, "X");
  const uint64_t ty = Make(y, "Y");
  const uint64_t tz = Make(z, "Z");
  StandIn_LoggingClearRecorded();

  EXPECT_EQ(table_.Flush(), 7u);
  EXPECT_EQ(CountLines("Begin operation"), 2);
  EXPECT_EQ(y.executed + z.executed, 0);
  EXPECT_EQ(State(tw), kExecuted);
  EXPECT_EQ(Message(tw), "");
  for (uint64_t token : {tx, ty, tz}) {
    EXPECT_EQ(State(token), kFailed);
    EXPECT_EQ(Code(token), 7u);
    EXPECT_EQ(Message(token), "warning from W");
  }
  Release({tw, tx, ty, tz});
}

TEST_F(FlushFailure, AlwaysExecuteRunsAfterAFailureAndKeepsItsOwnResult) {
  Probe x, y, z, w, v;
  x.executeResult = 7;
  z.executeResult = 9;
  x.onExecute = [](uint64_t) { Quorvel_ErrorPostError(7, "first", "Probe.cpp", 1); };
  z.onExecute = [](uint64_t) { Quorvel_ErrorPostError(9, "late", "Probe.cpp", 2); };
  const uint64_t tx = Make(x, "X");
  const uint64_t ty = Make(y, "Y");
  const uint64_t tz = Make(z, "Z", false, /*alwaysExecute=*/true);
  const uint64_t tw = Make(w, "W", false, /*alwaysExecute=*/true);
  const uint64_t tv = Make(v, "V");

  EXPECT_EQ(table_.Flush(), 7u);  // Z's failure changes nothing of the flush's result
  EXPECT_EQ(z.executed + w.executed, 2);
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
  Release({tx, ty, tz, tw, tv});
}

// Without a post during the flush the failed operation gets its code's default message: a post
// made before the flush began is not the flush's, and an unregistered code has an empty one.
TEST_F(FlushFailure, DefaultMessageOfTheCodeWhenNothingWasPostedDuringTheFlush) {
  Quorvel_ErrorPostError(OR_OPERATION_HAS_NO_VALUE, "posted before the flush", "Test.cpp", 1);
  Probe x, y, u;
  x.executeResult = OR_OPERATION_HAS_NO_VALUE;
  u.executeResult = 7;
  const uint64_t tx = Make(x, "X");
  const uint64_t ty = Make(y, "Y");
  EXPECT_EQ(table_.Flush(), OR_OPERATION_HAS_NO_VALUE);
  const std::string registered = Quorvel_ErrorGetDefaultMessage(OR_OPERATION_HAS_NO_VALUE);
  EXPECT_NE(registered, "");
  EXPECT_EQ(Message(tx), registered);
  EXPECT_EQ(Message(ty), registered);
  EXPECT_EQ(Code(ty), OR_OPERATION_HAS_NO_VALUE);

  const uint64_t tu = Make(u, "U");
  EXPECT_EQ(table_.Flush(), 7u);
  EXPECT_EQ(State(tu), kFailed);
  EXPECT_EQ(Message(tu), "");
  Release({tx, ty, tu});
}

// A code set by the operation during its callback wins over the callback's result; a code of 0
// set before the flush leaves the callback's result in charge. (A code set before the flush is
// in ValueErrorResults.)
TEST_F(FlushFailure, OwnErrorCodeWinsOverTheCallbacksResult) {
  Probe b, c;
  b.executeResult = 5;
  b.onExecute = [](uint64_t token) {
    EXPECT_EQ(Table().SetError(token, OR_OPERATION_HAS_NO_VALUE, nullptr), 0u);
  };
  const uint64_t tb = Make(b, "B");
  EXPECT_EQ(table_.Flush(), OR_OPERATION_HAS_NO_VALUE);
  EXPECT_EQ(Code(tb), OR_OPERATION_HAS_NO_VALUE);
  EXPECT_EQ(Message(tb), Quorvel_ErrorGetDefaultMessage(OR_OPERATION_HAS_NO_VALUE));

  c.executeResult = 6;
  const uint64_t tc = Make(c, "C");
  ASSERT_EQ(table_.SetError(tc, 0, nullptr), 0u);
  EXPECT_EQ(table_.Flush(), 6u);
  EXPECT_EQ(Code(tc), 6u);
  Release({tb, tc});
}

// The failed operation is destroyed before the ones after it are marked (an alwaysExecute
// operation between them drops both its references): they still fail, with the flush's first
// failure code and the captured message.
TEST_F(FlushFailure, LaterOperationsFailEvenWhenTheFailedOneIsGone) {
  Probe x, w, y;
  x.executeResult = 7;
  uint64_t tx = 0;
  x.onExecute = [](uint64_t) { Quorvel_ErrorPostError(7, "X lost its device", "Probe.cpp", 1); };
  w.onExecute = [&](uint64_t) {
    Release({tx, tx});  // the client's reference and the buffer's
    EXPECT_EQ(x.destroyed, 1);
  };
  tx = Make(x, "X");
  const uint64_t tw = Make(w, "W", false, /*alwaysExecute=*/true);
  const uint64_t ty = Make(y, "Y");
  EXPECT_EQ(table_.Flush(), 7u);
  EXPECT_EQ(y.executed, 0);
  EXPECT_EQ(State(ty), kFailed);
  EXPECT_EQ(Code(ty), 7u);
  EXPECT_EQ(Message(ty), "X lost its device");
  Release({tw, ty});
}

}  // namespace
}  // namespace operation_receipt_test
