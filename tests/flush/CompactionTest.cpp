// CompactionTest.cpp
//
// Flushes that grow the record table past its compaction threshold: live operations keep their
// state, code, message, value, links and references through the compaction at the end of the
// flush, and destroy callbacks that create thousands of operations or flush while their own
// record is being destroyed leave nothing corrupted (these tests are meant for the sanitizer
// build as much as for their assertions).

#include <string>
#include <vector>

#include "FlushHelpers.h"

namespace operation_receipt_test {
namespace {

// More records than the table holds before it compacts.
constexpr int kMany = 9000;
constexpr uint32_t kFlushLevelOnly = 1u << 2;

using FlushCompaction = ComponentTest;
using FlushDestroy = ComponentTest;

uint64_t ValueOf(uint64_t token) {
  uint64_t value = 0;
  EXPECT_EQ(Table().GetValueUInt64(token, &value), 0u);
  return value;
}

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

  // Canceled before the big flush.
  Probe c1, c2;
  const OperationDescriptor dc1 = ProbeDescriptor(c1, "C1");
  const OperationDescriptor dc2 = ProbeDescriptor(c2, "C2");
  const uint64_t tc1 = Create(&dc1);
  const uint64_t tc2 = Create(&dc2);
  ASSERT_EQ(table_.CancelOperation(tc2), 0u);

  // The flush's first failure, and a link whose source only the link keeps alive.
  Probe first, source, destination;
  first.executeResult = OR_OPERATION_HAS_NO_VALUE;
  const OperationDescriptor dfirst = ProbeDescriptor(first, "First");
  const OperationDescriptor dsource = ProbeDescriptor(source, "Source", true, true);
  const OperationDescriptor ddestination = ProbeDescriptor(destination, "Destination", true, true);
  const uint64_t tfirst = Create(&dfirst);
  const uint64_t tsource = Create(&dsource);
  const uint64_t tdestination = Create(&ddestination);
  ASSERT_EQ(table_.SetValue(tsource, MakeBits(16, 0xBEEF)), 0u);
  ASSERT_EQ(table_.LinkValue(tdestination, tsource, nullptr, nullptr), 0u);
  ASSERT_EQ(table_.ReleaseOperation(tsource), 0u);

  // Every operation after the failure asks to be executed anyway, so each keeps its own result.
  for (int i = 0; i < kMany; ++i) {
    Probe& probe = probes[i];
    const OperationDescriptor descriptor = ProbeDescriptor(probe, "Bulk", false, true);
    const uint64_t token = Create(&descriptor);
    if (i % 97 != 0) {
      ASSERT_EQ(table_.ReleaseOperation(token), 0u);
      continue;
    }
    const Kind kind = static_cast<Kind>((i / 97) % 3);
    Kept entry{i, kind, token, 0};
    if (kind == Kind::kValue) {
      ASSERT_EQ(table_.SetValue(token, MakeBits(32, 0xA0000000u + i)), 0u);
    } else if (kind == Kind::kOwnFailure) {
      probe.executeResult = 0x7000u + i;
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
    if (i % 97 != 0) {
      ASSERT_EQ(probes[i].destroyed, 1) << i;
    }
  }
  EXPECT_EQ(State(tc1), kCanceled);
  EXPECT_EQ(State(tc2), kCanceled);
  EXPECT_EQ(c1.executed + c2.executed, 0);
  EXPECT_EQ(State(tfirst), kFailed);
  EXPECT_EQ(Message(tfirst), DefaultMessage(OR_OPERATION_HAS_NO_VALUE));
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
    for (int r = 0; r < entry.extraReferences; ++r) {
      ASSERT_EQ(table_.ReleaseOperation(entry.token), 0u);
    }
    EXPECT_EQ(probes[entry.index].destroyed, 0);
    ASSERT_EQ(table_.ReleaseOperation(entry.token), 0u);
    EXPECT_EQ(probes[entry.index].destroyed, 1);
  }
  for (uint64_t token : {tc1, tc2, tfirst, tdestination}) {
    ASSERT_EQ(table_.ReleaseOperation(token), 0u);
  }
  EXPECT_EQ(c1.destroyed + c2.destroyed + first.destroyed + destination.destroyed, 4);

  // The compacted table goes on issuing and finding operations.
  Probe after;
  const OperationDescriptor dafter = ProbeDescriptor(after, "After");
  const uint64_t tafter = Create(&dafter);
  EXPECT_EQ(table_.Flush(), 0u);
  EXPECT_EQ(after.executed, 1);
  ASSERT_EQ(table_.ReleaseOperation(tafter), 0u);
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
  Hooks hooks;
  hooks.destroy = [&] {
    immediateInCallback = Immediate();
    const OperationDescriptor descriptor = ProbeDescriptor(spawned, "Spawned");
    for (int i = 0; i < kMany; ++i) {
      uint64_t token = 0;
      ASSERT_EQ(Table().CreateOperation(&descriptor, &token), 0u);
      spawnedTokens.push_back(token);
    }
    nestedFlush = Table().Flush();
  };
  Attach(dying, hooks);
  const OperationDescriptor dkept = ProbeDescriptor(kept, "Kept", true);
  const uint64_t tkept = Create(&dkept);
  ASSERT_EQ(table_.SetValue(tkept, MakeBits(24, 0x5EED5)), 0u);
  const OperationDescriptor ddying = ProbeDescriptor(dying, "Dying", true);
  uint64_t tdying = 0;
  ASSERT_EQ(table_.CreateOperation(&ddying, &tdying), 0u);
  ASSERT_EQ(table_.SetValue(tdying, MakeBits(8, 0xD1)), 0u);
  ASSERT_EQ(table_.ReleaseOperation(tdying), 0u);  // the buffer's reference is the last

  EXPECT_EQ(table_.Flush(), 0u);
  EXPECT_EQ(dying.destroyed, 1);
  EXPECT_TRUE(immediateInCallback);
  EXPECT_EQ(nestedFlush, 0u);
  EXPECT_EQ(CountLinesStartingWith("Begin Flushing"), 1);
  EXPECT_EQ(spawned.executed, kMany);
  EXPECT_EQ(Counted(-1, /*pending=*/false), static_cast<uint32_t>(kMany));
  EXPECT_EQ(Counted(-1, /*pending=*/true), 0u);
  EXPECT_EQ(ValueOf(tkept), 0x5EED5u);
  for (uint64_t token : spawnedTokens) ASSERT_EQ(table_.ReleaseOperation(token), 0u);
  EXPECT_EQ(spawned.destroyed, kMany);
  ASSERT_EQ(table_.ReleaseOperation(tkept), 0u);
}

// A client's release runs a destroy callback that flushes thousands of buffered operations: the
// flush releases them and compacts the table while the record is still being destroyed, so the
// destruction has to find the record again in its new slot.
TEST_F(FlushDestroy, CallbackThatFlushesCompactsTheTableUnderTheRecord) {
  StandIn_LoggingSetEnabledLevels(kFlushLevelOnly);
  Probe dying, filler, bulk, kept;
  uint32_t nestedFlush = 99;
  Hooks hooks;
  hooks.destroy = [&] { nestedFlush = Table().Flush(); };
  Attach(dying, hooks);
  // Fillers on both sides put Dying's record far into the table, away from the slot the
  // compaction gives it.
  const OperationDescriptor dfiller = ProbeDescriptor(filler, "Filler");
  std::vector<uint64_t> fillers;
  for (int i = 0; i < kMany / 2; ++i) fillers.push_back(Create(&dfiller));
  const OperationDescriptor ddying = ProbeDescriptor(dying, "Dying", true);
  const uint64_t tdying = Create(&ddying);
  ASSERT_EQ(table_.SetValue(tdying, MakeBits(16, 0xD00D)), 0u);
  for (int i = 0; i < kMany / 2; ++i) fillers.push_back(Create(&dfiller));
  const OperationDescriptor dkept = ProbeDescriptor(kept, "Kept", true);
  const uint64_t tkept = Create(&dkept);
  ASSERT_EQ(table_.SetValue(tkept, MakeBits(16, 0xBEEF)), 0u);
  ASSERT_EQ(table_.Flush(), 0u);
  for (uint64_t token : fillers) ASSERT_EQ(table_.ReleaseOperation(token), 0u);

  const OperationDescriptor dbulk = ProbeDescriptor(bulk, "Bulk");
  for (int i = 0; i < kMany; ++i) ASSERT_EQ(table_.CreateOperation(&dbulk, nullptr), 0u);
  EXPECT_EQ(Counted(kMainClient, /*pending=*/true), static_cast<uint32_t>(kMany));
  StandIn_LoggingClearRecorded();

  ASSERT_EQ(table_.ReleaseOperation(tdying), 0u);
  EXPECT_EQ(dying.destroyed, 1);
  EXPECT_EQ(nestedFlush, 0u);
  EXPECT_EQ(CountLinesStartingWith("Begin Flushing " + std::to_string(kMany)), 1);
  EXPECT_EQ(bulk.executed, kMany);
  EXPECT_EQ(bulk.destroyed, kMany);
  EXPECT_EQ(Counted(kMainClient, /*pending=*/true), 0u);
  EXPECT_EQ(Counted(kMainClient, /*pending=*/false), 1u);  // only Kept is left
  EXPECT_EQ(ValueOf(tkept), 0xBEEFu);
  EXPECT_EQ(table_.AcquireOperation(tdying), OR_INVALID_OPERATION_TOKEN);

  // The table goes on issuing and finding operations.
  Probe after;
  const OperationDescriptor dafter = ProbeDescriptor(after, "After");
  const uint64_t tafter = Create(&dafter);
  EXPECT_EQ(State(tafter), kPending);
  EXPECT_EQ(table_.Flush(), 0u);
  EXPECT_EQ(after.executed, 1);
  for (uint64_t token : {tkept, tafter}) ASSERT_EQ(table_.ReleaseOperation(token), 0u);
  EXPECT_EQ(kept.destroyed + after.destroyed, 2);
}

}  // namespace
}  // namespace operation_receipt_test
