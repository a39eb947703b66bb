// PostFlushTest.cpp
//
// The process-wide post-flush callback. It can never be unregistered, so these tests run in a
// process of their own: the first test checks a flush with none registered; every later one
// registers the same trampoline, whose result and actions the test sets through `script`.

#include <functional>
#include <stdexcept>

#include "ComponentTest.h"

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
// or first. A null registration is refused without a post.
using PostFlushUnregistered = ComponentTest;

TEST_F(PostFlushUnregistered, FlushWritesNoCallbackLinesAndNullIsRefusedWithoutPost) {
  Probe x;
  const uint64_t tx = Make(x, "X");
  EXPECT_EQ(table_.SetPostFlushCallback(nullptr), OR_NULL_POINTER);
  EXPECT_TRUE(Posts().empty());
  EXPECT_EQ(table_.Flush(), 0u);
  EXPECT_EQ(x.executed, 1);
  EXPECT_EQ(CountLines("Flush complete"), 1);
  EXPECT_EQ(CountLines("Invoking post-flush"), 0);
  EXPECT_EQ(CountLines("Post-flush callback"), 0);
  Release({tx});
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

// The callback runs in immediate mode after execution, also for an empty flush, and gets the
// logger anew each time. A null registration keeps the callback in place. Its non-zero result
// is the flush's, over a failure (the operations keep the failure's code) and without one;
// FlushOperation of an operation no longer pending invokes nothing.
TEST_F(PostFlush, RunsAfterExecutionOnEveryFlushAndItsResultWins) {
  EXPECT_EQ(table_.SetPostFlushCallback(nullptr), OR_NULL_POINTER);
  Probe x, y;
  x.executeResult = 7;
  const uint64_t tx = Make(x, "X");
  const uint64_t ty = Make(y, "Y");
  bool immediate = false;
  uint32_t stateSeen = 99;
  script.action = [&] {
    immediate = Immediate();
    stateSeen = State(tx);
  };
  script.result = 5;
  StandIn_LoggingResetCounters();
  EXPECT_EQ(table_.FlushOperation(ty), 5u);
  EXPECT_TRUE(immediate);
  EXPECT_EQ(stateSeen, kFailed);
  EXPECT_EQ(Code(ty), 7u);
  EXPECT_EQ(StandIn_LoggingCallCount(StandInLogging_GetLogger), 1u);
  EXPECT_EQ(table_.Flush(), 5u);
  EXPECT_EQ(script.calls, 2);
  EXPECT_EQ(StandIn_LoggingCallCount(StandInLogging_GetLogger), 2u);
  StandIn_LoggingClearRecorded();
  EXPECT_EQ(table_.FlushOperation(tx), 0u);
  EXPECT_EQ(script.calls, 2);
  EXPECT_TRUE(RecordedLines().empty());

  script.result = 0;
  Probe z;
  z.executeResult = 7;
  const uint64_t tz = Make(z, "Z");
  EXPECT_EQ(table_.Flush(), 7u);
  Release({tx, ty, tz});
}

// From inside the callback, Flush and FlushOperation run only the callback again (nested), and
// an operation created there executes at once and stays the creator's.
TEST_F(PostFlush, FlushInsideTheCallbackNestsOnlyTheCallback) {
  Probe x, inner;
  const uint64_t tx = Make(x, "X");
  uint32_t nestedFlush = 99;
  uint32_t nestedFlushOperation = 99;
  uint64_t ti = 0;
  script.result = 5;
  script.action = [&] {
    nestedFlush = Table().Flush();
    nestedFlushOperation = Table().FlushOperation(tx);
    ti = Make(inner, "Inner");
  };
  StandIn_LoggingClearRecorded();

  EXPECT_EQ(table_.Flush(), 5u);
  const std::vector<std::string> expected = {
      "2+ Begin Flushing 1 operations in buffer...",
      "1+ " + OpLine("Begin", "X", tx),
      "1- " + OpLine("End", "X", tx),
      kInvoking,
      kInvoking,
      kComplete,
      kInvoking,
      kComplete,
      "0  " + OpLine("Creating", "Inner", ti),
      "1+ " + OpLine("Begin", "Inner", ti),
      "1- " + OpLine("End", "Inner", ti),
      kComplete,
      "0  " + OpLine("Releasing", "X", tx, ", reference count = 1"),
      "0  Flush complete",
      "2- End Flushing operations.",
  };
  EXPECT_EQ(Traced(), expected);
  EXPECT_EQ(nestedFlush, 5u);
  EXPECT_EQ(nestedFlushOperation, 5u);  // the callback's non-zero code
  EXPECT_EQ(script.calls, 3);
  EXPECT_EQ(Counted(-1, /*pending=*/false), 1u);  // Inner is not released by the flush
  Release({ti, tx});
}

// Flush and FlushOperation from an execute callback are in immediate mode as well: they run
// only the callback and return its non-zero code, and the named operation waits for its turn.
TEST_F(PostFlush, FlushFromAnExecuteCallbackRunsOnlyTheCallback) {
  Probe x, y;
  uint64_t ty = 0;
  x.onExecute = [&](uint64_t) {
    EXPECT_EQ(Table().Flush(), 0x2Au);
    EXPECT_EQ(Table().FlushOperation(ty), 0x2Au);
    EXPECT_EQ(State(ty), kPending);
  };
  const uint64_t tx = Make(x, "X");
  ty = Make(y, "Y");
  script.result = 0x2A;
  StandIn_LoggingClearRecorded();
  EXPECT_EQ(table_.Flush(), 0x2Au);
  EXPECT_EQ(script.calls, 3);
  EXPECT_EQ(CountLines("Begin Flushing"), 1);
  EXPECT_EQ(CountLines("End Flushing"), 1);
  EXPECT_EQ(State(ty), kExecuted);
  Release({tx, ty});
}

// An exception from the callback passes through Flush, which still leaves immediate mode, exits
// its error context and gives back the buffer's references.
TEST_F(PostFlush, ExceptionFromTheCallbackLeavesTheThreadUsable) {
  const uint32_t contexts = StandIn_ErrorOpenContextCount();
  Probe x;
  const uint64_t tx = Make(x, "X");
  script.action = [] { throw std::runtime_error("callback failed"); };
  EXPECT_THROW((void)table_.Flush(), std::runtime_error);
  EXPECT_FALSE(Immediate());
  EXPECT_EQ(StandIn_ErrorOpenContextCount(), contexts);
  EXPECT_EQ(State(tx), kExecuted);
  script.action = nullptr;
  EXPECT_EQ(table_.Flush(), 0u);
  Release({tx});  // the only reference left
  EXPECT_EQ(x.destroyed, 1);
}

}  // namespace
}  // namespace operation_receipt_test
