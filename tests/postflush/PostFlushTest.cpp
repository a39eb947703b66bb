// PostFlushTest.cpp
//
// The process-wide post-flush callback, which can never be unregistered: a process of its own
// (component_tests flushes with none), where every test registers the same scripted trampoline.
// Exceptions through a flush are here too, from an execute callback as from this one.

#include <algorithm>
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

// An exception from an execute callback or from the post-flush callback passes through Flush,
// which still closes its brackets and its error context, leaves immediate mode and gives back the
// references it had taken. The thrower stays Executing and the callback does not run; what the
// flush had not taken stays buffered, and the next flush executes it as a flush of its own (the
// earlier failure is not carried over). The callback's zero result leaves the flush's own; it
// runs on an empty flush too, but not for FlushOperation of an operation no longer pending.
TEST_F(PostFlush, ExceptionsPassThroughFlushAndLeaveTheThreadUsable) {
  const uint32_t contexts = StandIn_ErrorOpenContextCount();
  const auto expectUsable = [contexts] {
    EXPECT_EQ(StandIn_ErrorOpenContextCount(), contexts);
    EXPECT_FALSE(Immediate());
  };
  Probe a, t, b, z;
  a.executeResult = 7;
  t.onExecute = [](uint64_t) { throw std::runtime_error("probe lost power"); };
  const uint64_t ta = Make(a, "A");
  const uint64_t tt = Make(t, "T", false, /*alwaysExecute=*/true);
  const uint64_t tb = Make(b, "B");
  StandIn_LoggingClearRecorded();

  EXPECT_THROW((void)table_.Flush(), std::runtime_error);
  const std::vector<std::string> lines = Traced();  // with their levels and bracket deltas
  for (const std::string& line :
       {"1- " + OpLine("End", "T", tt), std::string("2- End Flushing operations."),
        "0  " + OpLine("Releasing", "A", ta, ", reference count = 1"),
        "0  " + OpLine("Releasing", "T", tt, ", reference count = 1")}) {
    EXPECT_EQ(std::count(lines.begin(), lines.end(), line), 1) << line;
  }
  EXPECT_EQ(CountLines("Flush complete"), 0);
  EXPECT_EQ(script.calls, 0);
  expectUsable();
  EXPECT_EQ(State(ta), kFailed);
  EXPECT_EQ(State(tt), kExecuting);
  EXPECT_EQ(State(tb), kPending);

  script.action = [] { throw std::runtime_error("callback failed"); };
  EXPECT_THROW((void)table_.Flush(), std::runtime_error);
  expectUsable();
  EXPECT_EQ(State(tb), kExecuted);
  script.action = nullptr;
  z.executeResult = 7;
  const uint64_t tz = Make(z, "Z");
  EXPECT_EQ(table_.Flush(), 7u);
  EXPECT_EQ(table_.Flush(), 0u);
  EXPECT_EQ(table_.FlushOperation(tb), 0u);
  EXPECT_EQ(script.calls, 3);
  Release({ta, tt, tb, tz});  // the last references: the flushes kept none
}

}  // namespace
}  // namespace operation_receipt_test
