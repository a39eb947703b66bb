// FlushTest.cpp
//
// Flushing the calling thread's buffer through the table: the order of execution and its trace
// lines, operations created while a flush runs, FlushOperation, an exception from an execute
// callback, and what the operations after the first failure become.

#include <algorithm>
#include <stdexcept>

#include "ComponentTest.h"

namespace operation_receipt_test {
namespace {

using Flush = ComponentTest;
using FlushFailure = ComponentTest;

// Z releases its own operation from its execute callback: the buffer's reference keeps it
// until the flush ends. An empty flush is bracketed all the same.
TEST_F(Flush, ExecutesOldestFirstInImmediateModeInsideOneErrorContext) {
  const uint32_t contexts = StandIn_ErrorOpenContextCount();
  EXPECT_EQ(table_.Flush(), 0u);
  EXPECT_EQ(Traced(), (std::vector<std::string>{"2+ Begin Flushing 0 operations in buffer...",
                                                "0  Flush complete",
                                                "2- End Flushing operations."}));
  std::vector<std::string> order;
  Probe x, z;
  x.onExecute = [&](uint64_t) {
    order.push_back("X");
    EXPECT_TRUE(Immediate());
    EXPECT_EQ(StandIn_ErrorOpenContextCount(), contexts + 1);
  };
  z.onExecute = [&](uint64_t token) {
    order.push_back("Z");
    Release({token});
    EXPECT_EQ(z.destroyed, 0);
  };
  OperationDescriptor quiet{};  // no execute callback: completes without lines of its own
  quiet.name = "Quiet";
  const uint64_t tx = Make(x, "X");
  uint64_t ty = 0;
  ASSERT_EQ(table_.CreateOperation(&quiet, &ty), 0u);
  const uint64_t tz = Make(z, "Z");
  StandIn_LoggingClearRecorded();

  EXPECT_EQ(table_.Flush(), 0u);
  const std::vector<std::string> expected = {
      "2+ Begin Flushing 3 operations in buffer...",
      "1+ " + OpLine("Begin", "X", tx),
      "1- " + OpLine("End", "X", tx),
      "1+ " + OpLine("Begin", "Z", tz),
      "0  " + OpLine("Releasing", "Z", tz, ", reference count = 1"),
      "1- " + OpLine("End", "Z", tz),
      "0  " + OpLine("Releasing", "X", tx, ", reference count = 1"),
      "0  " + OpLine("Releasing", "Quiet", ty, ", reference count = 1"),
      "0  " + OpLine("Releasing", "Z", tz, ", reference count = 0"),
      "0  " + OpLine("Destroying", "Z", tz),
      "0  Flush complete",
      "2- End Flushing operations.",
  };
  EXPECT_EQ(Traced(), expected);
  EXPECT_EQ(order, (std::vector<std::string>{"X", "Z"}));
  EXPECT_EQ(State(tx), kExecuted);
  EXPECT_EQ(State(ty), kExecuted);
  EXPECT_EQ(StandIn_ErrorOpenContextCount(), contexts);
  EXPECT_FALSE(Immediate());
  EXPECT_TRUE(Posts().empty());
  Release({tx, ty});
}

// A pending operation flushes the whole buffer and returns the flush's result; one no longer
// pending flushes nothing but builds its announced value and returns the value callback's.
TEST_F(Flush, FlushOperationFlushesTheWholeBufferOrNothingWhenNotPending) {
  Probe a, b, c, v, d;
  a.executeResult = 7;
  const uint64_t ta = Make(a, "A");
  const uint64_t tb = Make(b, "B");
  const uint64_t tc = Make(c, "C");
  StandIn_LoggingClearRecorded();
  EXPECT_EQ(table_.FlushOperation(tb), 7u);
  EXPECT_EQ(CountLines("Begin Flushing 3 operations"), 1);
  for (uint64_t token : {ta, tb, tc}) EXPECT_EQ(State(token), kFailed);

  v.valueResult = 0x33;
  const uint64_t tv = Make(v, "V", /*hasValue=*/true);
  ASSERT_EQ(table_.SetValueSize(tv, 12), 0u);
  ASSERT_EQ(table_.Flush(), 0u);
  EXPECT_EQ(v.valuesSeen, 0);
  const uint64_t td = Make(d, "D");
  StandIn_LoggingClearRecorded();
  EXPECT_EQ(table_.FlushOperation(tv), 0x33u);
  EXPECT_EQ(v.valueLength, 12u);
  EXPECT_EQ(CountLines("Begin Flushing"), 0);
  EXPECT_EQ(State(td), kPending);
  ASSERT_EQ(table_.Flush(), 0u);
  Release({ta, tb, tc, tv, td});
}

// An exception from an execute callback passes through Flush, which still closes what it
// opened and gives back the references it had taken; the rest stays buffered, and the next
// flush executes it as a flush of its own (the earlier failure is not carried over).
TEST_F(Flush, ExceptionLeavesTheThrowerExecutingAndTheRestBuffered) {
  const uint32_t contexts = StandIn_ErrorOpenContextCount();
  Probe a, t, b;
  a.executeResult = 7;
  t.onExecute = [](uint64_t) { throw std::runtime_error("probe lost power"); };
  const uint64_t ta = Make(a, "A");
  const uint64_t tt = Make(t, "T", false, /*alwaysExecute=*/true);
  const uint64_t tb = Make(b, "B");
  StandIn_LoggingClearRecorded();

  EXPECT_THROW((void)table_.Flush(), std::runtime_error);
  const std::vector<std::string> lines = Traced();
  for (const std::string& line :
       {"1- " + OpLine("End", "T", tt), std::string("2- End Flushing operations."),
        "0  " + OpLine("Releasing", "A", ta, ", reference count = 1"),
        "0  " + OpLine("Releasing", "T", tt, ", reference count = 1")}) {
    EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
  }
  EXPECT_EQ(CountLines("Flush complete"), 0);
  for (const std::string& line : lines) EXPECT_EQ(line.find(Hex(tb)), std::string::npos) << line;
  EXPECT_EQ(StandIn_ErrorOpenContextCount(), contexts);
  EXPECT_FALSE(Immediate());
  EXPECT_EQ(State(ta), kFailed);
  EXPECT_EQ(State(tt), kExecuting);
  EXPECT_EQ(State(tb), kPending);

  EXPECT_EQ(table_.Flush(), 0u);
  EXPECT_EQ(State(tb), kExecuted);
  Release({ta, tt, tb});  // one release each destroys them: the flushes kept no reference
  EXPECT_EQ(a.destroyed + t.destroyed + b.destroyed, 3);
}

// After the first failure the rest take its code and share its message, the first error posted
// since the flush began (here by W, which succeeded), unless they ask to be executed anyway:
// those run and keep their own result, without a captured message. An operation created during
// the flush executes at once and is not marked either.
TEST_F(FlushFailure, LaterOperationsTakeTheFirstFailureUnlessAlwaysExecuted) {
  Probe w, x, y, z, v, u, inner;
  uint64_t ti = 0;
  v.onExecute = [&](uint64_t) { ti = Make(inner, "Inner"); };
  w.onExecute = [](uint64_t) { Quorvel_ErrorPostError(3, "warning from W", "Probe.cpp", 3); };
  x.executeResult = 7;
  z.executeResult = 9;
  z.onExecute = [](uint64_t) { Quorvel_ErrorPostError(9, "late", "Probe.cpp", 2); };
  const uint64_t tw = Make(w, "W");
  const uint64_t tx = Make(x, "X");
  const uint64_t ty = Make(y, "Y");
  const uint64_t tz = Make(z, "Z", false, /*alwaysExecute=*/true);
  const uint64_t tv = Make(v, "V", false, /*alwaysExecute=*/true);
  const uint64_t tu = Make(u, "U");

  EXPECT_EQ(table_.Flush(), 7u);  // Z's failure changes nothing of the flush's result
  EXPECT_EQ(y.executed + u.executed, 0);
  EXPECT_EQ(z.executed + v.executed, 2);
  EXPECT_EQ(State(tw), kExecuted);
  EXPECT_EQ(Message(tw), "");
  for (uint64_t token : {tx, ty, tu}) {
    EXPECT_EQ(State(token), kFailed);
    EXPECT_EQ(Code(token), 7u);
    EXPECT_EQ(Message(token), "warning from W");
  }
  EXPECT_EQ(State(tz), kFailed);
  EXPECT_EQ(Code(tz), 9u);
  EXPECT_EQ(Message(tz), "");
  EXPECT_EQ(State(tv), kExecuted);
  EXPECT_EQ(Code(tv), 0u);
  EXPECT_EQ(State(ti), kExecuted);
  EXPECT_EQ(Code(ti), 0u);
  Release({tw, tx, ty, tz, tv, tu, ti});
}

// Without a post during the flush the failed operation gets its code's default message: a post
// made before the flush began is not the flush's, and an unregistered code has an empty one.
// A code the operation sets during its callback wins over the callback's result; a code of 0
// set before the flush leaves the callback's result in charge.
TEST_F(FlushFailure, MessageIsTheCodesDefaultWhenNothingWasPosted) {
  Quorvel_ErrorPostError(OR_OPERATION_HAS_NO_VALUE, "posted before the flush", "Test.cpp", 1);
  Probe x, y, u, b, c;
  x.executeResult = OR_OPERATION_HAS_NO_VALUE;
  u.executeResult = 7;
  b.executeResult = 5;
  b.onExecute = [](uint64_t token) {
    EXPECT_EQ(Table().SetError(token, OR_OPERATION_ALREADY_EXECUTED, nullptr), 0u);
  };
  c.executeResult = 6;
  const uint64_t tx = Make(x, "X");
  const uint64_t ty = Make(y, "Y");
  EXPECT_EQ(table_.Flush(), OR_OPERATION_HAS_NO_VALUE);
  const std::string registered = Quorvel_ErrorGetDefaultMessage(OR_OPERATION_HAS_NO_VALUE);
  EXPECT_EQ(Message(tx), registered);
  EXPECT_EQ(Message(ty), registered);
  EXPECT_EQ(Code(ty), OR_OPERATION_HAS_NO_VALUE);

  const uint64_t tu = Make(u, "U");
  EXPECT_EQ(table_.Flush(), 7u);
  EXPECT_EQ(Message(tu), "");

  const uint64_t tb = Make(b, "B");
  EXPECT_EQ(table_.Flush(), OR_OPERATION_ALREADY_EXECUTED);
  EXPECT_EQ(Code(tb), OR_OPERATION_ALREADY_EXECUTED);
  EXPECT_EQ(Message(tb), Quorvel_ErrorGetDefaultMessage(OR_OPERATION_ALREADY_EXECUTED));
  const uint64_t tc = Make(c, "C");
  ASSERT_EQ(table_.SetError(tc, 0, nullptr), 0u);
  EXPECT_EQ(table_.Flush(), 6u);
  EXPECT_EQ(Code(tc), 6u);
  Release({tx, ty, tu, tb, tc});
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
