// FlushTest.cpp
//
// Flushing the calling thread's buffer through the table: the order of execution and its trace
// lines, operations created while a flush runs, FlushOperation, and an exception thrown by an
// execute callback.

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "ComponentTest.h"

namespace operation_receipt_test {
namespace {

using Flush = ComponentTest;
using FlushImmediate = ComponentTest;
using FlushOperation = ComponentTest;
using FlushException = ComponentTest;

TEST_F(Flush, EmptyBufferStillBracketsTheFlushAndReturnsZero) {
  const uint32_t contexts = StandIn_ErrorOpenContextCount();
  EXPECT_EQ(table_.Flush(), 0u);
  const std::vector<std::string> expected = {
      "2+ Begin Flushing 0 operations in buffer...",
      "0  Flush complete",
      "2- End Flushing operations.",
  };
  EXPECT_EQ(Traced(), expected);
  EXPECT_EQ(StandIn_ErrorOpenContextCount(), contexts);
  EXPECT_FALSE(Immediate());
  EXPECT_TRUE(Posts().empty());
}

// Z releases its own operation from its execute callback: the buffer's reference keeps it
// until the flush ends.
TEST_F(Flush, ExecutesOldestFirstInImmediateModeInsideOneErrorContext) {
  const uint32_t contexts = StandIn_ErrorOpenContextCount();
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
  const uint64_t ty = Create(&quiet);
  const uint64_t tz = Make(z, "Z");
  StandIn_LoggingClearRecorded();

  EXPECT_EQ(table_.Flush(), 0u);
  const std::vector<std::string> expected = {
      "2+ Begin Flushing 3 operations in buffer...",
      "1+ Begin operation 'X' (token = " + Hex(tx) + ")",
      "1- End operation 'X' (token = " + Hex(tx) + ")",
      "1+ Begin operation 'Z' (token = " + Hex(tz) + ")",
      "0  Releasing operation 'Z' (token = " + Hex(tz) + ", reference count = 1)",
      "1- End operation 'Z' (token = " + Hex(tz) + ")",
      "0  Releasing operation 'X' (token = " + Hex(tx) + ", reference count = 1)",
      "0  Releasing operation 'Quiet' (token = " + Hex(ty) + ", reference count = 1)",
      "0  Releasing operation 'Z' (token = " + Hex(tz) + ", reference count = 0)",
      "0  Destroying operation 'Z' (token = " + Hex(tz) + ")",
      "0  Flush complete",
      "2- End Flushing operations.",
  };
  EXPECT_EQ(Traced(), expected);
  EXPECT_EQ(order, (std::vector<std::string>{"X", "Z"}));
  EXPECT_EQ(z.destroyed, 1);
  for (uint64_t token : {tx, ty}) {
    EXPECT_EQ(State(token), kExecuted);
    EXPECT_EQ(Code(token), 0u);
  }
  EXPECT_EQ(StandIn_ErrorOpenContextCount(), contexts);
  EXPECT_FALSE(Immediate());
  EXPECT_TRUE(Posts().empty());
  Release({tx, ty});
  EXPECT_EQ(x.destroyed, 1);
}

// Operations created by execute callbacks during a flush execute at once, carry set key -1,
// and are neither counted in the Begin line, nor marked after the failure, nor released.
TEST_F(FlushImmediate, OperationsCreatedDuringAFlushExecuteAtOnceAndStayTheCreators) {
  Probe a, x, w, y, inner1, inner2;
  inner1.executeResult = 5;
  x.executeResult = 7;
  uint64_t t1 = 0, t2 = 0;
  a.onExecute = [&](uint64_t) {
    const OperationDescriptor d = ProbeDescriptor(inner1, "Inner1");
    EXPECT_EQ(Table().CreateOperation(&d, &t1), 5u);  // the execution's code
    EXPECT_EQ(inner1.executed, 1);
    EXPECT_EQ(Counted(kMainClient, /*pending=*/true), 3u);  // X, W and Y wait in the buffer
  };
  w.onExecute = [&](uint64_t) {
    t2 = Make(inner2, "Inner2");
    EXPECT_EQ(inner2.executed, 1);
  };
  const uint64_t ta = Make(a, "A");
  const uint64_t tx = Make(x, "X");
  const uint64_t tw = Make(w, "W", false, /*alwaysExecute=*/true);
  const uint64_t ty = Make(y, "Y");
  StandIn_LoggingClearRecorded();

  EXPECT_EQ(table_.Flush(), 7u);  // Inner1's failure is not the flush's
  EXPECT_EQ(CountLines("Begin Flushing 4 operations"), 1);
  EXPECT_EQ(CountLines("Releasing operation 'Inner"), 0);
  EXPECT_EQ(State(ta), kExecuted);
  EXPECT_EQ(State(t1), kFailed);
  EXPECT_EQ(Code(t1), 5u);
  EXPECT_EQ(State(t2), kExecuted);  // created after the failure, not marked
  EXPECT_EQ(Code(t2), 0u);
  EXPECT_EQ(State(ty), kFailed);
  EXPECT_EQ(Counted(-1, /*pending=*/false), 2u);
  EXPECT_EQ(Counted(-1, /*pending=*/true), 0u);
  EXPECT_EQ(Counted(kMainClient, /*pending=*/false), 4u);

  Release({t1, t2});  // the creator's reference is the only one
  EXPECT_EQ(inner1.destroyed + inner2.destroyed, 2);
  Release({ta, tx, tw, ty});
}

// A pending operation flushes the whole buffer and returns the flush's result; one no longer
// pending flushes nothing but builds its announced value and returns the value callback's.
TEST_F(FlushOperation, FlushesTheWholeBufferOrNothingWhenNotPending) {
  Probe a, b, c;
  a.executeResult = 7;
  const uint64_t ta = Make(a, "A");
  const uint64_t tb = Make(b, "B");
  const uint64_t tc = Make(c, "C");
  StandIn_LoggingClearRecorded();
  EXPECT_EQ(table_.FlushOperation(tb), 7u);
  EXPECT_EQ(CountLines("Begin Flushing 3 operations"), 1);
  for (uint64_t token : {ta, tb, tc}) EXPECT_EQ(State(token), kFailed);

  Probe v, d;
  v.valueResult = 0x33;
  const uint64_t tv = Make(v, "V", /*hasValue=*/true);
  ASSERT_EQ(table_.SetValueSize(tv, 12), 0u);
  ASSERT_EQ(table_.Flush(), 0u);
  EXPECT_EQ(v.valuesSeen, 0);
  const uint64_t td = Make(d, "D");
  StandIn_LoggingClearRecorded();
  EXPECT_EQ(table_.FlushOperation(tv), 0x33u);
  EXPECT_EQ(v.valuesSeen, 1);
  EXPECT_EQ(v.valueLength, 12u);
  EXPECT_EQ(CountLines("Begin Flushing"), 0);
  EXPECT_EQ(State(td), kPending);
  ASSERT_EQ(table_.Flush(), 0u);
  Release({ta, tb, tc, tv, td});
}

// An exception from an execute callback passes through Flush, which still closes what it
// opened and gives back the references it had taken; the rest stays buffered, and the next
// flush executes it as a flush of its own (the earlier failure is not carried over).
TEST_F(FlushException, LeavesTheThrowerExecutingAndTheRestBuffered) {
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
  auto has = [&](const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  };
  EXPECT_TRUE(has("1- End operation 'T' (token = " + Hex(tt) + ")"));
  EXPECT_TRUE(has("2- End Flushing operations."));
  EXPECT_TRUE(has("0  Releasing operation 'A' (token = " + Hex(ta) + ", reference count = 1)"));
  EXPECT_TRUE(has("0  Releasing operation 'T' (token = " + Hex(tt) + ", reference count = 1)"));
  EXPECT_FALSE(has("0  Flush complete"));
  for (const std::string& line : lines) EXPECT_EQ(line.find(Hex(tb)), std::string::npos) << line;
  EXPECT_EQ(StandIn_ErrorOpenContextCount(), contexts);
  EXPECT_FALSE(Immediate());
  EXPECT_EQ(State(ta), kFailed);
  EXPECT_EQ(State(tt), kExecuting);
  EXPECT_EQ(State(tb), kPending);

  StandIn_LoggingClearRecorded();
  EXPECT_EQ(table_.Flush(), 0u);
  EXPECT_EQ(CountLines("Begin Flushing 1 operations"), 1);
  EXPECT_EQ(a.executed + t.executed + b.executed, 3);
  EXPECT_EQ(State(tb), kExecuted);
  Release({ta, tt, tb});  // one release each destroys them: the flushes kept no reference
  EXPECT_EQ(a.destroyed + t.destroyed + b.destroyed, 3);
}

}  // namespace
}  // namespace operation_receipt_test
