// FlushTest.cpp
//
// Flushing the calling thread's buffer through the table: the order of execution and its trace
// lines, reads that flush and one that does not, operations created while a flush runs, flushes
// requested from inside one, FlushOperation, and an exception thrown by an execute callback.

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "FlushHelpers.h"

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

TEST_F(Flush, ExecutesOldestFirstInImmediateModeInsideOneErrorContext) {
  const uint32_t contexts = StandIn_ErrorOpenContextCount();
  std::vector<std::string> order;
  Probe x, z;
  Hooks hx, hz;
  hx.execute = [&](uint64_t) {
    order.push_back("X");
    EXPECT_TRUE(Immediate());
    EXPECT_EQ(StandIn_ErrorOpenContextCount(), contexts + 1);
  };
  hz.execute = [&](uint64_t) { order.push_back("Z"); };
  Attach(x, hx);
  Attach(z, hz);
  const OperationDescriptor dx = ProbeDescriptor(x, "X");
  OperationDescriptor quiet{};  // no execute callback: completes without lines of its own
  quiet.name = "Quiet";
  const OperationDescriptor dz = ProbeDescriptor(z, "Z");
  const uint64_t tx = Create(&dx);
  const uint64_t ty = Create(&quiet);
  const uint64_t tz = Create(&dz);
  StandIn_LoggingClearRecorded();

  EXPECT_EQ(table_.Flush(), 0u);
  const std::vector<std::string> expected = {
      "2+ Begin Flushing 3 operations in buffer...",
      "1+ Begin operation 'X' (token = " + Hex(tx) + ")",
      "1- End operation 'X' (token = " + Hex(tx) + ")",
      "1+ Begin operation 'Z' (token = " + Hex(tz) + ")",
      "1- End operation 'Z' (token = " + Hex(tz) + ")",
      "0  Releasing operation 'X' (token = " + Hex(tx) + ", reference count = 1)",
      "0  Releasing operation 'Quiet' (token = " + Hex(ty) + ", reference count = 1)",
      "0  Releasing operation 'Z' (token = " + Hex(tz) + ", reference count = 1)",
      "0  Flush complete",
      "2- End Flushing operations.",
  };
  EXPECT_EQ(Traced(), expected);
  EXPECT_EQ(order, (std::vector<std::string>{"X", "Z"}));
  for (uint64_t token : {tx, ty, tz}) {
    EXPECT_EQ(State(token), kExecuted);
    EXPECT_EQ(Code(token), 0u);
  }
  EXPECT_EQ(StandIn_ErrorOpenContextCount(), contexts);
  EXPECT_FALSE(Immediate());
  for (uint64_t token : {tx, ty, tz}) ASSERT_EQ(table_.ReleaseOperation(token), 0u);
  EXPECT_EQ(x.destroyed + z.destroyed, 2);
}

TEST_F(Flush, StateReadsWithoutFlushingWhileCodeAndMessageFlushFirst) {
  Probe x, y;
  const OperationDescriptor dx = ProbeDescriptor(x, "X");
  const OperationDescriptor dy = ProbeDescriptor(y, "Y");
  const uint64_t tx = Create(&dx);
  StandIn_LoggingClearRecorded();
  EXPECT_EQ(State(tx), kPending);
  EXPECT_EQ(x.executed, 0);
  EXPECT_TRUE(RecordedLines().empty());

  EXPECT_EQ(Code(tx), 0u);
  EXPECT_EQ(x.executed, 1);
  EXPECT_EQ(CountLinesStartingWith("Begin Flushing 1 operations"), 1);

  const uint64_t ty = Create(&dy);
  EXPECT_EQ(Message(ty), "");
  EXPECT_EQ(y.executed, 1);
  EXPECT_EQ(State(ty), kExecuted);
  ASSERT_EQ(table_.ReleaseOperation(tx), 0u);
  ASSERT_EQ(table_.ReleaseOperation(ty), 0u);
}

TEST_F(Flush, ExecuteCallbackMayReleaseItsOwnOperation) {
  Probe x;
  Hooks hx;
  hx.execute = [&](uint64_t token) {
    EXPECT_EQ(Table().ReleaseOperation(token), 0u);
    EXPECT_EQ(x.destroyed, 0);  // the buffer's reference keeps it until the flush ends
  };
  Attach(x, hx);
  const OperationDescriptor dx = ProbeDescriptor(x, "X");
  const uint64_t tx = Create(&dx);
  StandIn_LoggingClearRecorded();
  EXPECT_EQ(table_.Flush(), 0u);
  const std::string t = Hex(tx);
  const std::vector<std::string> expected = {
      "2+ Begin Flushing 1 operations in buffer...",
      "1+ Begin operation 'X' (token = " + t + ")",
      "0  Releasing operation 'X' (token = " + t + ", reference count = 1)",
      "1- End operation 'X' (token = " + t + ")",
      "0  Releasing operation 'X' (token = " + t + ", reference count = 0)",
      "0  Destroying operation 'X' (token = " + t + ")",
      "0  Flush complete",
      "2- End Flushing operations.",
  };
  EXPECT_EQ(Traced(), expected);
  EXPECT_EQ(x.destroyed, 1);
  EXPECT_TRUE(Posts().empty());
}

// Operations created by execute callbacks during a flush execute at once, carry set key -1,
// and are neither counted in the Begin line, nor marked after the failure, nor released.
TEST_F(FlushImmediate, OperationsCreatedDuringAFlushExecuteAtOnceAndStayTheCreators) {
  Probe a, x, w, y, inner1, inner2;
  inner1.executeResult = 5;
  x.executeResult = 7;
  uint64_t t1 = 0, t2 = 0;
  Hooks ha, hw;
  ha.execute = [&](uint64_t) {
    const OperationDescriptor d = ProbeDescriptor(inner1, "Inner1");
    EXPECT_EQ(Table().CreateOperation(&d, &t1), 5u);  // the execution's code
    EXPECT_EQ(inner1.executed, 1);
    EXPECT_EQ(Counted(kMainClient, /*pending=*/true), 3u);  // X, W and Y wait in the buffer
  };
  hw.execute = [&](uint64_t) {
    const OperationDescriptor d = ProbeDescriptor(inner2, "Inner2");
    EXPECT_EQ(Table().CreateOperation(&d, &t2), 0u);
    EXPECT_EQ(inner2.executed, 1);
  };
  Attach(a, ha);
  Attach(w, hw);
  const OperationDescriptor da = ProbeDescriptor(a, "A");
  const OperationDescriptor dx = ProbeDescriptor(x, "X");
  const OperationDescriptor dw = ProbeDescriptor(w, "W", false, /*alwaysExecute=*/true);
  const OperationDescriptor dy = ProbeDescriptor(y, "Y");
  const uint64_t ta = Create(&da);
  const uint64_t tx = Create(&dx);
  const uint64_t tw = Create(&dw);
  const uint64_t ty = Create(&dy);
  StandIn_LoggingClearRecorded();

  EXPECT_EQ(table_.Flush(), 7u);  // Inner1's failure is not the flush's
  EXPECT_EQ(CountLinesStartingWith("Begin Flushing 4 operations"), 1);
  EXPECT_EQ(CountLinesStartingWith("Releasing operation 'Inner"), 0);
  EXPECT_EQ(State(ta), kExecuted);
  EXPECT_EQ(State(t1), kFailed);
  EXPECT_EQ(Code(t1), 5u);
  EXPECT_EQ(State(t2), kExecuted);  // created after the failure, not marked
  EXPECT_EQ(Code(t2), 0u);
  EXPECT_EQ(State(ty), kFailed);
  EXPECT_EQ(Counted(-1, /*pending=*/false), 2u);
  EXPECT_EQ(Counted(-1, /*pending=*/true), 0u);
  EXPECT_EQ(Counted(kMainClient, /*pending=*/false), 4u);

  ASSERT_EQ(table_.ReleaseOperation(t1), 0u);  // the creator's reference is the only one
  ASSERT_EQ(table_.ReleaseOperation(t2), 0u);
  EXPECT_EQ(inner1.destroyed + inner2.destroyed, 2);
  for (uint64_t token : {ta, tx, tw, ty}) ASSERT_EQ(table_.ReleaseOperation(token), 0u);
}

TEST_F(FlushImmediate, FlushRequestedFromAnExecuteCallbackFlushesNothing) {
  Probe x, y;
  uint64_t ty = 0;
  Hooks hx;
  hx.execute = [&](uint64_t) {
    EXPECT_EQ(Table().Flush(), 0u);
    EXPECT_EQ(Table().FlushOperation(ty), 0u);
    uint32_t state = 99;
    EXPECT_EQ(Table().GetOperationState(ty, &state), 0u);
    EXPECT_EQ(state, kPending);
    EXPECT_EQ(y.executed, 0);
  };
  Attach(x, hx);
  const OperationDescriptor dx = ProbeDescriptor(x, "X");
  const OperationDescriptor dy = ProbeDescriptor(y, "Y");
  const uint64_t tx = Create(&dx);
  ty = Create(&dy);
  StandIn_LoggingClearRecorded();
  EXPECT_EQ(table_.Flush(), 0u);
  EXPECT_EQ(CountLinesStartingWith("Begin Flushing"), 1);
  EXPECT_EQ(CountLinesStartingWith("End Flushing"), 1);
  EXPECT_EQ(y.executed, 1);  // in its turn, after X
  EXPECT_EQ(State(ty), kExecuted);
  ASSERT_EQ(table_.ReleaseOperation(tx), 0u);
  ASSERT_EQ(table_.ReleaseOperation(ty), 0u);
}

TEST_F(FlushOperation, PendingOperationFlushesTheWholeBufferAndReturnsItsResult) {
  Probe a, b, c;
  a.executeResult = 7;
  const OperationDescriptor da = ProbeDescriptor(a, "A");
  const OperationDescriptor db = ProbeDescriptor(b, "B");
  const OperationDescriptor dc = ProbeDescriptor(c, "C");
  const uint64_t ta = Create(&da);
  const uint64_t tb = Create(&db);
  const uint64_t tc = Create(&dc);
  StandIn_LoggingClearRecorded();
  EXPECT_EQ(table_.FlushOperation(tb), 7u);
  EXPECT_EQ(CountLinesStartingWith("Begin Flushing 3 operations"), 1);
  for (uint64_t token : {ta, tb, tc}) EXPECT_EQ(State(token), kFailed);

  Probe d, e, f;
  const OperationDescriptor dd = ProbeDescriptor(d, "D");
  const OperationDescriptor de = ProbeDescriptor(e, "E");
  const OperationDescriptor df = ProbeDescriptor(f, "F");
  const uint64_t td = Create(&dd);
  const uint64_t te = Create(&de);
  const uint64_t tf = Create(&df);
  EXPECT_EQ(table_.FlushOperation(te), 0u);
  EXPECT_EQ(d.executed + e.executed + f.executed, 3);
  for (uint64_t token : {ta, tb, tc, td, te, tf}) ASSERT_EQ(table_.ReleaseOperation(token), 0u);
}

TEST_F(FlushOperation, OperationNoLongerPendingFlushesNothingButBuildsItsValue) {
  Probe v, b;
  v.valueResult = 0x33;
  const OperationDescriptor dv = ProbeDescriptor(v, "V", /*hasValue=*/true);
  const OperationDescriptor db = ProbeDescriptor(b, "B");
  const uint64_t tv = Create(&dv);
  ASSERT_EQ(table_.SetValueSize(tv, 12), 0u);
  ASSERT_EQ(table_.Flush(), 0u);
  EXPECT_EQ(v.valuesSeen, 0);
  const uint64_t tb = Create(&db);
  StandIn_LoggingClearRecorded();

  EXPECT_EQ(table_.FlushOperation(tv), 0x33u);  // the value callback's result
  EXPECT_EQ(v.valuesSeen, 1);
  EXPECT_EQ(CountLinesStartingWith("Begin Flushing"), 0);
  EXPECT_EQ(State(tb), kPending);
  EXPECT_EQ(b.executed, 0);
  BitData* value = nullptr;
  ASSERT_EQ(table_.GetValue(tv, &value), 0u);
  EXPECT_EQ(BitData_GetLength(value), 12u);
  BitData_FreeManaged(value);

  ASSERT_EQ(table_.Flush(), 0u);
  ASSERT_EQ(table_.ReleaseOperation(tv), 0u);
  ASSERT_EQ(table_.ReleaseOperation(tb), 0u);
}

// An exception from an execute callback passes through Flush, which still closes what it
// opened and gives back the references it had taken; the rest stays buffered, and the next
// flush executes it as a flush of its own (the earlier failure is not carried over).
TEST_F(FlushException, LeavesTheThrowerExecutingAndTheRestBuffered) {
  const uint32_t contexts = StandIn_ErrorOpenContextCount();
  Probe a, t, b;
  a.executeResult = 7;
  Hooks ht;
  ht.execute = [](uint64_t) { throw std::runtime_error("probe lost power"); };
  Attach(t, ht);
  const OperationDescriptor da = ProbeDescriptor(a, "A");
  const OperationDescriptor dt = ProbeDescriptor(t, "T", false, /*alwaysExecute=*/true);
  const OperationDescriptor db = ProbeDescriptor(b, "B");
  const uint64_t ta = Create(&da);
  const uint64_t tt = Create(&dt);
  const uint64_t tb = Create(&db);
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
  EXPECT_EQ(CountLinesStartingWith("Begin Flushing 1 operations"), 1);
  EXPECT_EQ(a.executed, 1);
  EXPECT_EQ(t.executed, 1);
  EXPECT_EQ(b.executed, 1);
  EXPECT_EQ(State(tb), kExecuted);
  // One release each destroys them: the flushes kept no reference.
  for (uint64_t token : {ta, tt, tb}) ASSERT_EQ(table_.ReleaseOperation(token), 0u);
  EXPECT_EQ(a.destroyed + t.destroyed + b.destroyed, 3);
}

}  // namespace
}  // namespace operation_receipt_test
