// PostFlushTest.cpp
//
// The process-wide post-flush callback, which can never be unregistered: a process of its own
// (component_tests flushes with none), where every test registers the same scripted trampoline.

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

// An action that throws leaves `depth` raised for the rest of its test.
uint32_t Trampoline() {
  ++script.calls;
  if (script.depth++ == 0 && script.action) script.action();
  --script.depth;
  return script.result;
}

class PostFlush : public ComponentTest {
 protected:
  void SetUp() override {
    ComponentTest::SetUp();
    script = CallbackScript();
    ASSERT_EQ(table_.SetPostFlushCallback(Trampoline), 0u);
    ASSERT_EQ(table_.SetPostFlushCallback(nullptr), OR_NULL_POINTER);  // keeps Trampoline
  }
};

// The callback runs after execution (Y has failed by then) and gets the logger anew each time.
// Flush and FlushOperation from an execute callback or from inside the callback are in immediate
// mode: they run only the callback (nested in the second case) and return its non-zero code, and
// the named operation waits for its turn; an operation created inside the callback executes at
// once and stays the creator's. The flush releases its own only after the callback, whose
// non-zero result is the flush's over Y's failure (Y keeps its code).
TEST_F(PostFlush, RunsAfterExecutionAndFlushesFromInsideRunOnlyIt) {
  const std::string kInvoking = "0  Invoking post-flush callback...";
  const std::string kComplete = "0  Post-flush callback complete";
  Probe x, y, inner;
  y.executeResult = 7;
  uint64_t ty = 0;
  uint64_t ti = 0;
  x.onExecute = [&](uint64_t) {
    EXPECT_EQ(Table().Flush(), 5u);
    EXPECT_EQ(Table().FlushOperation(ty), 5u);
    EXPECT_EQ(State(ty), kPending);
    script.action = [&] {
      EXPECT_EQ(State(ty), kFailed);
      EXPECT_EQ(Table().Flush(), 5u);
      EXPECT_EQ(Table().FlushOperation(ty), 5u);
      ti = Make(inner, "Inner");
    };
  };
  const uint64_t tx = Make(x, "X");
  ty = Make(y, "Y");
  script.result = 5;
  StandIn_LoggingClearRecorded();
  StandIn_LoggingResetCounters();

  EXPECT_EQ(table_.Flush(), 5u);
  const std::vector<std::string> expected = {
      "2+ Begin Flushing 2 operations in buffer...",
      "1+ " + OpLine("Begin", "X", tx),
      kInvoking,
      kComplete,
      kInvoking,
      kComplete,
      "1- " + OpLine("End", "X", tx),
      "1+ " + OpLine("Begin", "Y", ty),
      "1- " + OpLine("End", "Y", ty),
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
      "0  " + OpLine("Releasing", "Y", ty, ", reference count = 1"),
      "0  Flush complete",
      "2- End Flushing operations.",
  };
  EXPECT_EQ(Traced(), expected);
  EXPECT_EQ(script.calls, 5);
  EXPECT_EQ(StandIn_LoggingCallCount(StandInLogging_GetLogger), 5u);
  EXPECT_EQ(Code(ty), 7u);
  EXPECT_EQ(Counted(-1, /*pending=*/false), 1u);  // Inner is not released by the flush
  Release({ti, tx, ty});
}

// An exception from the callback passes through Flush, which still leaves immediate mode, exits
// its error context and gives back the buffer's references (the fixture finds none left). The
// callback's zero result leaves the flush's own; it runs on an empty flush too, but not for
// FlushOperation of an operation no longer pending.
TEST_F(PostFlush, ExceptionFromTheCallbackLeavesTheThreadUsable) {
  const uint32_t contexts = StandIn_ErrorOpenContextCount();
  Probe x, z;
  z.executeResult = 7;
  const uint64_t tx = Make(x, "X");
  script.action = [] { throw std::runtime_error("callback failed"); };
  EXPECT_THROW((void)table_.Flush(), std::runtime_error);
  EXPECT_FALSE(Immediate());
  EXPECT_EQ(StandIn_ErrorOpenContextCount(), contexts);
  EXPECT_EQ(State(tx), kExecuted);
  script.action = nullptr;
  const uint64_t tz = Make(z, "Z");
  EXPECT_EQ(table_.Flush(), 7u);
  EXPECT_EQ(table_.Flush(), 0u);
  EXPECT_EQ(table_.FlushOperation(tx), 0u);
  EXPECT_EQ(script.calls, 3);
  Release({tx, tz});
}

}  // namespace
}  // namespace operation_receipt_test
