// FlushTest.cpp
//
// Operations' lives through the table, flushing and canceling the calling thread's buffer: the
// trace lines, what callbacks may do while a flush runs (create, release, cancel, flush), what
// the operations after the first failure become, and the compaction of the record table under a
// record being destroyed (meant for the sanitizer build as much as for its assertions). An
// exception through a flush is in postflush/, whose process has a post-flush callback.

#include "ComponentTest.h"

namespace operation_receipt_test {
namespace {

using Flush = ComponentTest;
using FlushFailure = ComponentTest;
using Cancel = ComponentTest;
using Compaction = ComponentTest;
using Lifetime = ComponentTest;

constexpr int kMany = 9000;  // more records than the table holds before it compacts

void ExpectOutcome(uint64_t token, uint32_t state, uint32_t code, const std::string& message) {
  EXPECT_EQ(State(token), state) << Hex(token);
  EXPECT_EQ(Code(token), code) << Hex(token);
  EXPECT_EQ(Message(token), message) << Hex(token);
}

// Buffered creations take the buffer's reference (W's is the only one); the flush executes oldest
// first, in immediate mode and inside one error context, and then gives its references back. X's
// callback cancels Z, which takes Y and Z out of the running flush; creates I without a token
// pointer, which executes at once, is destroyed at once and fails apart from the flush; and
// releases X, whose buffer reference keeps it until the flush ends. The flush's release runs X's
// destroy callback in immediate mode, and it finds X's token already invalid. An empty flush is
// bracketed all the same; token 0 is acquired and released silently.
TEST_F(Flush, ExecutesInImmediateModeWhereACallbackCancelsCreatesAndReleases) {
  const uint32_t contexts = StandIn_ErrorOpenContextCount();
  EXPECT_EQ(table_.Flush(), 0u);
  EXPECT_EQ(Traced(), (std::vector<std::string>{"2+ Begin Flushing 0 operations in buffer...",
                                                "0  Flush complete",
                                                "2- End Flushing operations."}));
  Probe x, y, z, w, i;
  uint64_t tz = 0;
  i.executeResult = 7;
  x.onExecute = [&](uint64_t token) {
    EXPECT_TRUE(Immediate());
    EXPECT_EQ(StandIn_ErrorOpenContextCount(), contexts + 1);
    EXPECT_EQ(Table().CancelOperation(tz), 0u);
    const OperationDescriptor descriptor = ProbeDescriptor(i, "I");
    EXPECT_EQ(Table().CreateOperation(&descriptor, nullptr), 7u);
    Release({token});
  };
  const uint64_t tx = Make(x, "X");
  x.onDestroy = [&] {
    EXPECT_TRUE(Immediate());
    EXPECT_EQ(Table().AcquireOperation(tx), OR_INVALID_OPERATION_TOKEN);
  };
  const uint64_t ty = Make(y, "Y");
  tz = Make(z, "Z");
  StandIn_LoggingClearRecorded();
  const OperationDescriptor orphan = ProbeDescriptor(w, "W");
  ASSERT_EQ(table_.CreateOperation(&orphan, nullptr), 0u);

  EXPECT_EQ(table_.Flush(), 0u);
  const uint64_t tw = w.lastToken;
  const uint64_t ti = i.lastToken;
  const std::vector<std::string> expected = {
      "0  " + OpLine("Creating", "W", tw),
      "0  " + OpLine("Acquiring", "W", tw, ", reference count = 2"),
      "0  " + OpLine("Releasing", "W", tw, ", reference count = 1"),
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
      "0  " + OpLine("Releasing", "X", tx, ", reference count = 1"),
      "1- " + OpLine("End", "X", tx),
      "1+ " + OpLine("Begin", "W", tw),
      "1- " + OpLine("End", "W", tw),
      "0  " + OpLine("Releasing", "X", tx, ", reference count = 0"),
      "0  " + OpLine("Destroying", "X", tx),
      "0  " + OpLine("Releasing", "W", tw, ", reference count = 0"),
      "0  " + OpLine("Destroying", "W", tw),
      "0  Flush complete",
      "2- End Flushing operations.",
  };
  EXPECT_EQ(Traced(), expected);
  EXPECT_EQ(StandIn_ErrorOpenContextCount(), contexts);
  EXPECT_FALSE(Immediate());
  const std::string invalid = " does not correspond to a valid operation";
  EXPECT_TRUE(PostedOnce(OR_INVALID_OPERATION_TOKEN, "Operation token " + Hex(tx) + invalid));
  StandIn_LoggingClearRecorded();
  EXPECT_EQ(table_.AcquireOperation(0) + table_.ReleaseOperation(0), 0u);
  EXPECT_TRUE(Posts().empty());
  EXPECT_TRUE(RecordedLines().empty());
  Release({ty, tz});
}

// FlushOperation of a pending operation flushes the whole buffer and returns the flush's result.
// After the first failure (X's) the rest take its code and share its message, the first error
// posted since the flush began (here by W, which succeeded; a post before the flush is not the
// flush's), also once X is gone: V drops both of X's references before U is marked. Those
// asking to be executed anyway run and keep their own result, without a captured message; one
// created during the flush executes at once, unmarked.
TEST_F(FlushFailure, LaterOperationsTakeTheFirstFailureUnlessAlwaysExecuted) {
  Probe w, x, y, z, v, u, inner;
  uint64_t tx = 0;
  uint64_t ti = 0;
  w.onExecute = [](uint64_t) { Quorvel_ErrorPostError(3, "warning from W", "Probe.cpp", 3); };
  x.executeResult = 7;
  z.executeResult = 9;
  z.onExecute = [](uint64_t) { Quorvel_ErrorPostError(9, "late", "Probe.cpp", 2); };
  v.onExecute = [&](uint64_t) {
    ti = Make(inner, "Inner");
    Release({tx, tx});  // the client's reference and the buffer's
    EXPECT_EQ(x.destroyed, 1);
  };
  const uint64_t tw = Make(w, "W");
  tx = Make(x, "X");
  const uint64_t ty = Make(y, "Y");
  const uint64_t tz = Make(z, "Z", false, /*alwaysExecute=*/true);
  const uint64_t tv = Make(v, "V", false, /*alwaysExecute=*/true);
  const uint64_t tu = Make(u, "U");
  Quorvel_ErrorPostError(OR_OPERATION_HAS_NO_VALUE, "posted before the flush", "Test.cpp", 1);

  EXPECT_EQ(table_.FlushOperation(ty), 7u);  // Z's failure changes nothing of the result
  EXPECT_EQ(y.executed + u.executed, 0);
  EXPECT_EQ(z.executed + v.executed + inner.executed, 3);
  for (uint64_t token : {ty, tu}) ExpectOutcome(token, kFailed, 7, "warning from W");
  ExpectOutcome(tz, kFailed, 9, "");
  for (uint64_t token : {tw, tv, ti}) ExpectOutcome(token, kExecuted, 0, "");
  Release({tw, ty, tz, tv, tu, ti});
}

// A cancel takes the named operation and those buffered before it (P too, which asks to be
// executed anyway) and releases them in immediate mode; later ones stay for the next flush, and a
// canceled operation counts as no longer pending. An Executed operation is refused with a post;
// Failed, Canceled and Executing ones (E canceling itself from its execute callback) answer 0,
// and nothing is canceled, taken, written or posted. FlushOperation of an operation no longer
// pending flushes nothing either: it builds the announced value (the flush did not) and returns
// the value callback's result.
TEST_F(Cancel, TakesThePendingOperationsUpToTheNamedOneAndNoOthers) {
  Probe a, f, p, q, e, z;
  a.valueResult = 0x33;
  p.onDestroy = [] { EXPECT_TRUE(Immediate()); };
  f.executeResult = 7;
  e.onExecute = [&](uint64_t token) {
    EXPECT_EQ(Table().CancelOperation(token), 0u);
    EXPECT_EQ(State(token), kExecuting);
  };
  const uint64_t ta = Make(a, "A", /*hasValue=*/true);
  ASSERT_EQ(table_.SetValueSize(ta, 12), 0u);
  ASSERT_EQ(table_.Flush(), 0u);
  EXPECT_EQ(a.valuesSeen, 0);
  const uint64_t tf = Make(f, "F");
  ASSERT_EQ(table_.Flush(), 7u);
  const uint64_t tp = Make(p, "P", false, /*alwaysExecute=*/true);
  const uint64_t tq = Make(q, "Q");
  const uint64_t te = Make(e, "E");
  const uint64_t tz = Make(z, "Z");
  Release({tp});  // the cancel's release destroys P
  StandIn_LoggingClearRecorded();
  StandIn_ErrorClearPosts();

  EXPECT_EQ(table_.CancelOperation(tq), 0u);
  EXPECT_EQ(CountLines("Canceled operation"), 2);
  EXPECT_EQ(p.destroyed, 1);
  EXPECT_FALSE(Immediate());
  EXPECT_TRUE(Posts().empty());
  EXPECT_EQ(State(tq), kCanceled);
  EXPECT_EQ(Code(tq), 0u);  // no flush for a canceled operation
  EXPECT_EQ(Counted(kMainClient, /*pending=*/true), 2u);
  EXPECT_EQ(Counted(kMainClient, /*pending=*/false), 3u);
  StandIn_LoggingClearRecorded();

  EXPECT_EQ(table_.CancelOperation(ta), OR_OPERATION_ALREADY_EXECUTED);
  EXPECT_TRUE(PostedOnce(OR_OPERATION_ALREADY_EXECUTED, "", "OperationSet.cpp"));
  EXPECT_EQ(table_.CancelOperation(tf) + table_.CancelOperation(tq), 0u);
  EXPECT_EQ(table_.FlushOperation(ta), 0x33u);
  EXPECT_EQ(a.valueLength, 12u);
  EXPECT_TRUE(RecordedLines().empty());
  EXPECT_TRUE(Posts().empty());
  EXPECT_EQ(State(ta), kExecuted);
  EXPECT_EQ(State(tf), kFailed);

  EXPECT_EQ(table_.Flush(), 0u);
  EXPECT_EQ(CountLines("Begin Flushing 2 operations"), 1);
  EXPECT_EQ(p.executed + q.executed, 0);
  EXPECT_EQ(State(te), kExecuted);
  EXPECT_EQ(z.executed, 1);
  Release({ta, tf, tq, te, tz});
}

// A client's release runs a destroy callback that flushes thousands of buffered operations and
// then creates thousands more: the flush releases the first thousands and compacts the table
// (freed fillers before the record move it), the creations grow the table again, and the
// destruction finds the record in its new slot. The live operations keep their state, code,
// message, value and references: every 97th bulk operation is kept with a value (executed
// anyway, after the flush's first failure). Links across a compaction: links/.
TEST_F(Compaction, DestroyCallbackFlushesAndCreatesUnderItsRecordAndTheLiveKeepAll) {
  StandIn_LoggingSetEnabledLevels(1u << 2);  // the flush's lines only
  Probe dying, filler, first, bulk, spawned;
  std::vector<uint64_t> spawnedTokens, fillers, kept;
  dying.onDestroy = [&] {
    EXPECT_EQ(Table().Flush(), OR_OPERATION_HAS_NO_VALUE);
    for (int i = 0; i < kMany; ++i) spawnedTokens.push_back(Make(spawned, "Spawned"));
  };
  for (int i = 0; i < kMany / 2; ++i) fillers.push_back(Make(filler, "Filler"));
  const uint64_t tdying = Make(dying, "Dying", true);
  ASSERT_EQ(table_.SetValue(tdying, MakeBits(16, 0xD00D)), 0u);
  ASSERT_EQ(table_.Flush(), 0u);
  Release(fillers);

  first.executeResult = OR_OPERATION_HAS_NO_VALUE;
  const uint64_t tfirst = Make(first, "First");
  for (int i = 0; i < kMany; ++i) {
    const uint64_t token = Make(bulk, "Bulk", false, /*alwaysExecute=*/true);
    if (i % 97 != 0) {
      Release({token});
      continue;
    }
    kept.push_back(token);
    ASSERT_EQ(table_.SetValue(token, MakeBits(32, 0xA0000000u + i)), 0u);
  }
  StandIn_LoggingClearRecorded();

  Release({tdying});
  EXPECT_EQ(dying.destroyed, 1);
  EXPECT_EQ(CountLines("Begin Flushing " + std::to_string(kMany + 1)), 1);
  EXPECT_EQ(Code(tfirst), OR_OPERATION_HAS_NO_VALUE);
  EXPECT_EQ(Message(tfirst), Quorvel_ErrorGetDefaultMessage(OR_OPERATION_HAS_NO_VALUE));
  EXPECT_EQ(bulk.destroyed, kMany - static_cast<int>(kept.size()));
  for (size_t k = 0; k < kept.size(); ++k) {
    EXPECT_EQ(State(kept[k]), kExecuted) << k;
    EXPECT_EQ(ValueOf(kept[k]), 0xA0000000u + 97 * k) << k;
  }
  Release(kept);
  EXPECT_EQ(bulk.destroyed, kMany);
  EXPECT_EQ(table_.Flush(), 0u);
  EXPECT_EQ(spawned.executed, kMany);
  Release(spawnedTokens);
  Release({tfirst});
}

// Counts are 32 bits wide: past 127 and past 65535 references the count neither wraps nor makes
// the live operation look destroyed.
TEST_F(Lifetime, MoreThan127ReferencesKeepTheOperationLive) {
  const uint64_t token = PlainOperation();
  StandIn_LoggingSetEnabledLevels(0);
  for (int i = 0; i < 70000; ++i) ASSERT_EQ(table_.AcquireOperation(token), 0u);
  EXPECT_EQ(State(token), kPending);
  for (int i = 0; i < 70000; ++i) ASSERT_EQ(table_.ReleaseOperation(token), 0u);
  ASSERT_EQ(table_.Flush(), 0u);
  Release({token});
}

}  // namespace
}  // namespace operation_receipt_test
