// CompactionTest.cpp
//
// Flushes that grow the record table past its compaction threshold: live operations keep their
// state, code, message, value, links and references through the compaction at the end of the
// flush, and destroy callbacks that create thousands of operations or flush while their own
// record is being destroyed leave nothing corrupted (these tests are meant for the sanitizer
// build as much as for their assertions).

#include <string>
#include <vector>

#include "ComponentTest.h"

namespace operation_receipt_test {
namespace {

// More records than the table holds before it compacts.
constexpr int kMany = 9000;
constexpr uint32_t kFlushLevelOnly = 1u << 2;

using FlushCompaction = ComponentTest;
using FlushDestroy = ComponentTest;

// What a kept operation is made to hold before the flush that compacts the table.
enum class Kind { kValue, kOwnFailure, kExtraReferences };

struct Kept {
  int index;
  Kind kind;
  uint64_t token;
  int extraReferences;
};

TEST_F(FlushCompaction, LiveOperationsKeepEverythingTheyHold) {
  StandIn_LoggingSetEnabledLevels(0);
  std::vector<Probe> probes(kMany);
  std::vector<Kept> kept;

  // Canceled before the big flush; the flush's first failure; a link whose source only the
  // link keeps alive.
  Probe c1, c2, first, source, destination;
  const uint64_t tc1 = Make(c1, "C1");
  const uint64_t tc2 = Make(c2, "C2");
  ASSERT_EQ(table_.CancelOperation(tc2), 0u);
  first.executeResult = OR_OPERATION_HAS_NO_VALUE;
  const uint64_t tfirst = Make(first, "First");
  const uint64_t tsource = Make(source, "Source", true, true);
  const uint64_t tdestination = Make(destination, "Destination", true, true);
  ASSERT_EQ(table_.SetValue(tsource, MakeBits(16, 0xBEEF)), 0u);
  ASSERT_EQ(table_.LinkValue(tdestination, tsource, nullptr, nullptr), 0u);
  Release({tsource});

  // Every operation after the failure asks to be executed anyway, so each keeps its own result.
  for (int i = 0; i < kMany; ++i) {
    const uint64_t token = Make(probes[i], "Bulk", false, true);
    if (i % 97 != 0) {
      ASSERT_EQ(table_.ReleaseOperation(token), 0u);
      continue;
    }
    const Kind kind = static_cast<Kind>((i / 97) % 3);
    Kept entry{i, kind, token, 0};
    if (kind == Kind::kValue) {
      ASSERT_EQ(table_.SetValue(token, MakeBits(32, 0xA0000000u + i)), 0u);
    } else if (kind == Kind::kOwnFailure) {
      probes[i].executeResult = 0x7000u + i;
      ASSERT_EQ(table_.SetError(token, 0, ("message " + std::to_string(i)).c_str()), 0u);
    } else {
      entry.extraReferences = 1 + i % 4;
      for (int r = 0; r < entry.extraReferences; ++r) ASSERT_EQ(table_.AcquireOperation(token), 0u);
    }
    kept.push_back(entry);
  }

  EXPECT_EQ(table_.Flush(), OR_OPERATION_HAS_NO_VALUE);

  for (int i = 0; i < kMany; ++i) {
    ASSERT_EQ(probes[i].executed, 1) << i;
    ASSERT_EQ(probes[i].destroyed, i % 97 != 0 ? 1 : 0) << i;
  }
  EXPECT_EQ(State(tc1), kCanceled);
  EXPECT_EQ(State(tc2), kCanceled);
  EXPECT_EQ(c1.executed + c2.executed, 0);
  EXPECT_EQ(State(tfirst), kFailed);
  EXPECT_EQ(Message(tfirst), Quorvel_ErrorGetDefaultMessage(OR_OPERATION_HAS_NO_VALUE));
  EXPECT_EQ(source.destroyed, 0);  // the link still holds it
  EXPECT_EQ(ValueOf(tdestination) & 0xFFFF, 0xBEEFu);
  EXPECT_EQ(source.destroyed, 1);  // building the value gave the link's reference back

  for (const Kept& entry : kept) {
    SCOPED_TRACE(entry.index);
    switch (entry.kind) {
      case Kind::kValue:
        EXPECT_EQ(State(entry.token), kExecuted);
        EXPECT_EQ(ValueOf(entry.token), 0xA0000000u + entry.index);
        break;
      case Kind::kOwnFailure:
        EXPECT_EQ(State(entry.token), kFailed);
        EXPECT_EQ(Code(entry.token), 0x7000u + entry.index);
        EXPECT_EQ(Message(entry.token), "message " + std::to_string(entry.index));
        break;
      case Kind::kExtraReferences:
        EXPECT_EQ(State(entry.token), kExecuted);
        EXPECT_EQ(Code(entry.token), 0u);
        break;
    }
    for (int r = 0; r < entry.extraReferences; ++r) Release({entry.token});
    EXPECT_EQ(probes[entry.index].destroyed, 0);
    Release({entry.token});
    EXPECT_EQ(probes[entry.index].destroyed, 1);
  }
  Release({tc1, tc2, tfirst, tdestination});
  EXPECT_EQ(c1.destroyed + c2.destroyed + first.destroyed + destination.destroyed, 4);
}

// The flush's release runs the destroy callback in immediate mode; the callback creates
// thousands of operations (each executes at once, the table grows and moves under the record
// being destroyed) and asks for a flush, which runs nothing.
TEST_F(FlushDestroy, CallbackRunByTheFlushsReleaseCreatesThousands) {
  StandIn_LoggingSetEnabledLevels(kFlushLevelOnly);
  Probe dying, spawned, kept;
  std::vector<uint64_t> spawnedTokens;
  bool immediateInCallback = false;
  uint32_t nestedFlush = 99;
  dying.onDestroy = [&] {
    immediateInCallback = Immediate();
    for (int i = 0; i < kMany; ++i) spawnedTokens.push_back(Make(spawned, "Spawned"));
    nestedFlush = Table().Flush();
  };
  const uint64_t tkept = Make(kept, "Kept", true);
  ASSERT_EQ(table_.SetValue(tkept, MakeBits(24, 0x5EED5)), 0u);
  const uint64_t tdying = Make(dying, "Dying", true);
  ASSERT_EQ(table_.SetValue(tdying, MakeBits(8, 0xD1)), 0u);
  Release({tdying});  // the buffer's reference is the last

  EXPECT_EQ(table_.Flush(), 0u);
  EXPECT_EQ(dying.destroyed, 1);
  EXPECT_TRUE(immediateInCallback);
  EXPECT_EQ(nestedFlush, 0u);
  EXPECT_EQ(CountLines("Begin Flushing"), 1);
  EXPECT_EQ(spawned.executed, kMany);
  EXPECT_EQ(Counted(-1, /*pending=*/false), static_cast<uint32_t>(kMany));
  EXPECT_EQ(Counted(-1, /*pending=*/true), 0u);
  EXPECT_EQ(ValueOf(tkept), 0x5EED5u);
  Release(spawnedTokens);
  EXPECT_EQ(spawned.destroyed, kMany);
  Release({tkept});
}

// A client's release runs a destroy callback that flushes thousands of buffered operations: the
// flush releases them and compacts the table while the record is still being destroyed, so the
// destruction has to find the record again in its new slot.
TEST_F(FlushDestroy, CallbackThatFlushesCompactsTheTableUnderTheRecord) {
  StandIn_LoggingSetEnabledLevels(kFlushLevelOnly);
  Probe dying, filler, bulk, kept, after;
  uint32_t nestedFlush = 99;
  dying.onDestroy = [&] { nestedFlush = Table().Flush(); };
  // Fillers on both sides put Dying's record far into the table, away from the slot the
  // compaction gives it.
  std::vector<uint64_t> fillers;
  for (int i = 0; i < kMany / 2; ++i) fillers.push_back(Make(filler, "Filler"));
  const uint64_t tdying = Make(dying, "Dying", true);
  ASSERT_EQ(table_.SetValue(tdying, MakeBits(16, 0xD00D)), 0u);
  for (int i = 0; i < kMany / 2; ++i) fillers.push_back(Make(filler, "Filler"));
  const uint64_t tkept = Make(kept, "Kept", true);
  ASSERT_EQ(table_.SetValue(tkept, MakeBits(16, 0xBEEF)), 0u);
  ASSERT_EQ(table_.Flush(), 0u);
  Release(fillers);

  const OperationDescriptor dbulk = ProbeDescriptor(bulk, "Bulk");
  for (int i = 0; i < kMany; ++i) ASSERT_EQ(table_.CreateOperation(&dbulk, nullptr), 0u);
  StandIn_LoggingClearRecorded();

  Release({tdying});
  EXPECT_EQ(dying.destroyed, 1);
  EXPECT_EQ(nestedFlush, 0u);
  EXPECT_EQ(CountLines("Begin Flushing " + std::to_string(kMany)), 1);
  EXPECT_EQ(bulk.executed, kMany);
  EXPECT_EQ(bulk.destroyed, kMany);
  EXPECT_EQ(Counted(kMainClient, /*pending=*/true), 0u);
  EXPECT_EQ(Counted(kMainClient, /*pending=*/false), 1u);  // only Kept is left
  EXPECT_EQ(ValueOf(tkept), 0xBEEFu);
  EXPECT_EQ(table_.AcquireOperation(tdying), OR_INVALID_OPERATION_TOKEN);

  // The table goes on issuing and finding operations.
  const uint64_t tafter = Make(after, "After");
  EXPECT_EQ(State(tafter), kPending);
  EXPECT_EQ(table_.Flush(), 0u);
  EXPECT_EQ(after.executed, 1);
  Release({tkept, tafter});
  EXPECT_EQ(kept.destroyed + after.destroyed, 2);
}

}  // namespace
}  // namespace operation_receipt_test
