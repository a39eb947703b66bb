// PostFlushTest.cpp
//
// The process-wide post-flush callback. It can never be unregistered, so these tests run in a
// process of their own: the first test checks a flush with none registered; every later one
// registers the same trampoline, whose result and actions the test sets through `script`.

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "../flush/FlushHelpers.h"

namespace operation_receipt_test {
namespace {

// What the registered callback does; reset before each test.
struct CallbackScript {
  uint32_t result = 0;
  int calls = 0;
  int depth = 0;                 // invocations running now
  std::function<void()> action;  // run by an outermost invocation only
};
CallbackScript script;

uint32_t Trampoline() {
  ++script.calls;
  ++script.depth;
  struct Leave {
    ~Leave() { --script.depth; }
  } leave;
  if (script.depth == 1 && script.action) script.action();
  return script.result;
}

const std::string kInvoking = "0  Invoking post-flush callback...";
const std::string kComplete = "0  Post-flush callback complete";

// Must stay the first test of this executable: nothing is registered yet when it runs alone
// or first.
using PostFlushUnregistered = ComponentTest;

TEST_F(PostFlushUnregistered, FlushWritesNoCallbackLinesAndNullIsRefusedWithoutPost) {
  Probe x;
  const OperationDescriptor dx = ProbeDescriptor(x, "X");
  const uint64_t tx = Create(&dx);
  StandIn_LoggingClearRecorded();
  EXPECT_EQ(table_.Flush(), 0u);
  const std::vector<std::string> expected = {
      "2+ Begin Flushing 1 operations in buffer...",
      "1+ Begin operation 'X' (token = " + Hex(tx) + ")",
      "1- End operation 'X' (token = " + Hex(tx) + ")",
      "0  Releasing operation 'X' (token = " + Hex(tx) + ", reference count = 1)",
      "0  Flush complete",
      "2- End Flushing operations.",
  };
  EXPECT_EQ(Traced(), expected);

  EXPECT_EQ(table_.SetPostFlushCallback(nullptr), OR_NULL_POINTER);
  EXPECT_TRUE(Posts().empty());
  StandIn_LoggingClearRecorded();
  EXPECT_EQ(table_.Flush(), 0u);
  EXPECT_EQ(CountLinesStartingWith("Invoking post-flush"), 0);
  ASSERT_EQ(table_.ReleaseOperation(tx), 0u);
}

class PostFlush : public ComponentTest {
 protected:
  void SetUp() override {
    ComponentTest::SetUp();
    script = CallbackScript();
    ASSERT_EQ(table_.SetPostFlushCallback(Trampoline), 0u);
  }
  void TearDown() override {
    script.action = nullptr;
    ComponentTest::TearDown();
  }
};

TEST_F(PostFlush, RunsAfterExecutionAndBeforeTheReleasesBetweenItsLines) {
  Probe x;
  const OperationDescriptor dx = ProbeDescriptor(x, "X");
  const uint64_t tx = Create(&dx);
  bool immediate = false;
  uint32_t stateSeen = 99;
  script.action = [&] {
    immediate = Immediate();
    stateSeen = State(tx);
  };
  StandIn_LoggingClearRecorded();
  StandIn_LoggingResetCounters();

  EXPECT_EQ(table_.Flush(), 0u);
  const std::vector<std::string> expected = {
      "2+ Begin Flushing 1 operations in buffer...",
      "1+ Begin operation 'X' (token = " + Hex(tx) + ")",
      "1- End operation 'X' (token = " + Hex(tx) + ")",
      kInvoking,
      kComplete,
      "0  Releasing operation 'X' (token = " + Hex(tx) + ", reference count = 1)",
      "0  Flush complete",
      "2- End Flushing operations.",
  };
  EXPECT_EQ(Traced(), expected);
  EXPECT_TRUE(immediate);
  EXPECT_EQ(stateSeen, kExecuted);
  EXPECT_EQ(script.calls, 1);
  // Each invocation gets the logger anew; an empty flush invokes the callback too.
  EXPECT_EQ(StandIn_LoggingCallCount(StandInLogging_GetLogger), 1u);
  EXPECT_EQ(table_.Flush(), 0u);
  EXPECT_EQ(script.calls, 2);
  EXPECT_EQ(StandIn_LoggingCallCount(StandInLogging_GetLogger), 2u);
  ASSERT_EQ(table_.ReleaseOperation(tx), 0u);
}

TEST_F(PostFlush, NonZeroResultWinsOverTheFirstFailure) {
  Probe x, y;
  x.executeResult = 7;
  const OperationDescriptor dx = ProbeDescriptor(x, "X");
  const OperationDescriptor dy = ProbeDescriptor(y, "Y");
  const uint64_t tx = Create(&dx);
  const uint64_t ty = Create(&dy);
  script.result = 5;
  EXPECT_EQ(table_.Flush(), 5u);
  EXPECT_EQ(Code(tx), 7u);  // the operations keep the failure's code
  EXPECT_EQ(Code(ty), 7u);
  EXPECT_EQ(State(ty), kFailed);

  EXPECT_EQ(table_.Flush(), 5u);  // also without any failure

  script.result = 0;
  Probe z;
  z.executeResult = 7;
  const OperationDescriptor dz = ProbeDescriptor(z, "Z");
  const uint64_t tz = Create(&dz);
  EXPECT_EQ(table_.Flush(), 7u);
  for (uint64_t token : {tx, ty, tz}) ASSERT_EQ(table_.ReleaseOperation(token), 0u);
}

// From inside the callback, Flush and FlushOperation run only the callback again (nested), and
// an operation created there executes at once and stays the creator's.
TEST_F(PostFlush, FlushInsideTheCallbackNestsOnlyTheCallback) {
  Probe x, inner;
  const OperationDescriptor dx = ProbeDescriptor(x, "X");
  const uint64_t tx = Create(&dx);
  uint32_t nestedFlush = 99;
  uint32_t nestedFlushOperation = 99;
  uint64_t ti = 0;
  script.result = 5;
  script.action = [&] {
    nestedFlush = Table().Flush();
    nestedFlushOperation = Table().FlushOperation(tx);
    const OperationDescriptor di = ProbeDescriptor(inner, "Inner");
    EXPECT_EQ(Table().CreateOperation(&di, &ti), 0u);
    EXPECT_EQ(inner.executed, 1);
  };
  StandIn_LoggingClearRecorded();

  EXPECT_EQ(table_.Flush(), 5u);
  const std::vector<std::string> expected = {
      "2+ Begin Flushing 1 operations in buffer...",
      "1+ Begin operation 'X' (token = " + Hex(tx) + ")",
      "1- End operation 'X' (token = " + Hex(tx) + ")",
      kInvoking,
      kInvoking,
      kComplete,
      kInvoking,
      kComplete,
      "0  Creating operation 'Inner' (token = " + Hex(ti) + ")",
      "1+ Begin operation 'Inner' (token = " + Hex(ti) + ")",
      "1- End operation 'Inner' (token = " + Hex(ti) + ")",
      kComplete,
      "0  Releasing operation 'X' (token = " + Hex(tx) + ", reference count = 1)",
      "0  Flush complete",
      "2- End Flushing operations.",
  };
  EXPECT_EQ(Traced(), expected);
  EXPECT_EQ(nestedFlush, 5u);
  EXPECT_EQ(nestedFlushOperation, 5u);  // the callback's non-zero code
  EXPECT_EQ(script.calls, 3);
  EXPECT_EQ(x.executed, 1);
  EXPECT_EQ(State(ti), kExecuted);
  uint32_t immediateAlive = 0;
  ASSERT_EQ(table_.GetExecutedOperationCount(-1, &immediateAlive), 0u);
  EXPECT_EQ(immediateAlive, 1u);  // not released by the flush
  ASSERT_EQ(table_.ReleaseOperation(ti), 0u);
  EXPECT_EQ(inner.destroyed, 1);
  ASSERT_EQ(table_.ReleaseOperation(tx), 0u);
}

// FlushOperation from an execute callback is in immediate mode as well: it runs the callback
// and returns its non-zero code, and the named operation still waits for its turn.
TEST_F(PostFlush, FlushOperationFromAnExecuteCallbackReturnsTheCallbacksCode) {
  Probe x, y;
  uint64_t ty = 0;
  uint32_t nested = 99;
  Hooks hx;
  hx.execute = [&](uint64_t) {
    nested = Table().FlushOperation(ty);
    EXPECT_EQ(State(ty), kPending);
  };
  Attach(x, hx);
  const OperationDescriptor dx = ProbeDescriptor(x, "X");
  const OperationDescriptor dy = ProbeDescriptor(y, "Y");
  const uint64_t tx = Create(&dx);
  ty = Create(&dy);
  script.result = 0x2A;
  StandIn_LoggingClearRecorded();
  EXPECT_EQ(table_.Flush(), 0x2Au);
  EXPECT_EQ(nested, 0x2Au);
  EXPECT_EQ(script.calls, 2);
  EXPECT_EQ(CountLinesStartingWith("Begin Flushing"), 1);
  EXPECT_EQ(y.executed, 1);
  EXPECT_EQ(State(ty), kExecuted);
  ASSERT_EQ(table_.ReleaseOperation(tx), 0u);
  ASSERT_EQ(table_.ReleaseOperation(ty), 0u);
}

TEST_F(PostFlush, FlushOperationOfAnOperationNoLongerPendingInvokesNothing) {
  Probe x;
  const OperationDescriptor dx = ProbeDescriptor(x, "X");
  const uint64_t tx = Create(&dx);
  script.result = 5;
  EXPECT_EQ(table_.FlushOperation(tx), 5u);
  EXPECT_EQ(script.calls, 1);
  StandIn_LoggingClearRecorded();
  EXPECT_EQ(table_.FlushOperation(tx), 0u);
  EXPECT_EQ(script.calls, 1);
  EXPECT_TRUE(RecordedLines().empty());
  ASSERT_EQ(table_.ReleaseOperation(tx), 0u);
}

TEST_F(PostFlush, NullLeavesTheRegisteredCallbackInPlace) {
  EXPECT_EQ(table_.SetPostFlushCallback(nullptr), OR_NULL_POINTER);
  EXPECT_TRUE(Posts().empty());
  script.result = 3;
  StandIn_LoggingClearRecorded();
  EXPECT_EQ(table_.Flush(), 3u);
  EXPECT_EQ(script.calls, 1);
  EXPECT_EQ(CountLinesStartingWith("Invoking post-flush callback"), 1);
}

// An exception from the callback passes through Flush, which still leaves immediate mode, exits
// its error context and gives back the buffer's references.
TEST_F(PostFlush, ExceptionFromTheCallbackLeavesTheThreadUsable) {
  const uint32_t contexts = StandIn_ErrorOpenContextCount();
  Probe x;
  const OperationDescriptor dx = ProbeDescriptor(x, "X");
  const uint64_t tx = Create(&dx);
  script.action = [] { throw std::runtime_error("callback failed"); };
  EXPECT_THROW((void)table_.Flush(), std::runtime_error);
  EXPECT_FALSE(Immediate());
  EXPECT_EQ(StandIn_ErrorOpenContextCount(), contexts);
  EXPECT_EQ(State(tx), kExecuted);
  script.action = nullptr;
  EXPECT_EQ(table_.Flush(), 0u);
  ASSERT_EQ(table_.ReleaseOperation(tx), 0u);  // the only reference left
  EXPECT_EQ(x.destroyed, 1);
}

}  // namespace
}  // namespace operation_receipt_test
