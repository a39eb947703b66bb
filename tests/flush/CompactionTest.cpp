// CompactionTest.cpp
//
// Flushes that grow the record table past its compaction threshold: live operations keep their
// state, code, message, value, links and references through the compaction at the end of the
// flush, and destroy callbacks that create thousands of operations or flush while their own
// record is being destroyed leave nothing corrupted (meant for the sanitizer build as much as
// for their assertions).

#include "ComponentTest.h"

namespace operation_receipt_test {
namespace {

constexpr int kMany = 9000;  // more records than the table holds before it compacts
constexpr uint32_t kFlushLevelOnly = 1u << 2;

using Compaction = ComponentTest;

// Every 97th bulk operation is kept, holding in turn a value, its own failure (after the
// flush's first one, so each asks to be executed anyway) or extra references.
TEST_F(Compaction, LiveOperationsKeepEverythingTheyHold) {
  StandIn_LoggingSetEnabledLevels(0);
  std::vector<Probe> probes(kMany);
  std::vector<std::pair<int, uint64_t>> kept;
  Probe canceled, first, source, destination;
  const uint64_t tcanceled = Make(canceled, "Canceled");
  ASSERT_EQ(table_.CancelOperation(tcanceled), 0u);
  first.executeResult = OR_OPERATION_HAS_NO_VALUE;
  const uint64_t tfirst = Make(first, "First");
  const uint64_t tsource = Make(source, "Source", true, true);
  const uint64_t tdestination = Make(destination, "Destination", true, true);
  ASSERT_EQ(table_.SetValue(tsource, MakeBits(16, 0xBEEF)), 0u);
  ASSERT_EQ(table_.LinkValue(tdestination, tsource, nullptr, nullptr), 0u);
  Release({tsource});  // only the link keeps it

  for (int i = 0; i < kMany; ++i) {
    const uint64_t token = Make(probes[i], "Bulk", false, true);
    if (i % 97 != 0) {
      ASSERT_EQ(table_.ReleaseOperation(token), 0u);
      continue;
    }
    kept.emplace_back(i, token);
    uint32_t installed = 0;
    if (i % 3 == 0) installed = table_.SetValue(token, MakeBits(32, 0xA0000000u + i));
    if (i % 3 == 1) installed = table_.SetError(token, 0, std::to_string(i).c_str());
    if (i % 3 == 1) probes[i].executeResult = 0x7000u + i;
    if (i % 3 == 2) installed = table_.AcquireOperation(token);
    ASSERT_EQ(installed, 0u);
  }
  EXPECT_EQ(table_.Flush(), OR_OPERATION_HAS_NO_VALUE);

  for (int i = 0; i < kMany; ++i) ASSERT_EQ(probes[i].destroyed, i % 97 != 0 ? 1 : 0) << i;
  EXPECT_EQ(State(tcanceled), kCanceled);
  EXPECT_EQ(canceled.executed, 0);
  EXPECT_EQ(Message(tfirst), Quorvel_ErrorGetDefaultMessage(OR_OPERATION_HAS_NO_VALUE));
  EXPECT_EQ(source.destroyed, 0);  // the link still holds it
  EXPECT_EQ(ValueOf(tdestination), 0xBEEFu);
  EXPECT_EQ(source.destroyed, 1);  // building the value gave the link's reference back
  for (const auto& [i, token] : kept) {
    SCOPED_TRACE(i);
    EXPECT_EQ(probes[i].executed, 1);
    EXPECT_EQ(State(token), i % 3 == 1 ? kFailed : kExecuted);
    if (i % 3 == 0) {
      EXPECT_EQ(ValueOf(token), 0xA0000000u + i);
    } else if (i % 3 == 1) {
      EXPECT_EQ(Code(token), 0x7000u + i);
      EXPECT_EQ(Message(token), std::to_string(i));
    } else {
      Release({token});
    }
    EXPECT_EQ(probes[i].destroyed, 0);
    Release({token});
    EXPECT_EQ(probes[i].destroyed, 1);
  }
  Release({tcanceled, tfirst, tdestination});
}

// The flush's release runs the destroy callback in immediate mode; the callback creates
// thousands of operations (each executes at once, the table grows and moves under the record
// being destroyed) and asks for a flush, which runs nothing.
TEST_F(Compaction, DestroyCallbackRunByTheFlushsReleaseCreatesThousands) {
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
  const uint64_t tkept = ValueSource(24, 0x5EED5);
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
  EXPECT_EQ(ValueOf(tkept), 0x5EED5u);
  Release(spawnedTokens);
  Release({tkept});
}

// A client's release runs a destroy callback that flushes thousands of buffered operations: the
// flush releases them and compacts the table while the record is still being destroyed, so the
// destruction has to find the record again in its new slot.
TEST_F(Compaction, DestroyCallbackThatFlushesCompactsTheTableUnderTheRecord) {
  StandIn_LoggingSetEnabledLevels(kFlushLevelOnly);
  Probe dying, filler, bulk, after;
  uint32_t nestedFlush = 99;
  dying.onDestroy = [&] { nestedFlush = Table().Flush(); };
  // Fillers on both sides put Dying's record far into the table, away from the slot the
  // compaction gives it.
  std::vector<uint64_t> fillers;
  for (int i = 0; i < kMany / 2; ++i) fillers.push_back(Make(filler, "Filler"));
  const uint64_t tdying = Make(dying, "Dying", true);
  ASSERT_EQ(table_.SetValue(tdying, MakeBits(16, 0xD00D)), 0u);
  for (int i = 0; i < kMany / 2; ++i) fillers.push_back(Make(filler, "Filler"));
  const uint64_t tkept = ValueSource(16, 0xBEEF);
  ASSERT_EQ(table_.Flush(), 0u);
  Release(fillers);
  const OperationDescriptor dbulk = ProbeDescriptor(bulk, "Bulk");
  for (int i = 0; i < kMany; ++i) ASSERT_EQ(table_.CreateOperation(&dbulk, nullptr), 0u);
  StandIn_LoggingClearRecorded();

  Release({tdying});
  EXPECT_EQ(dying.destroyed, 1);
  EXPECT_EQ(nestedFlush, 0u);
  EXPECT_EQ(CountLines("Begin Flushing " + std::to_string(kMany)), 1);
  EXPECT_EQ(bulk.destroyed, kMany);
  EXPECT_EQ(Counted(kMainClient, /*pending=*/false), 1u);  // only Kept is left
  EXPECT_EQ(ValueOf(tkept), 0xBEEFu);
  EXPECT_EQ(table_.AcquireOperation(tdying), OR_INVALID_OPERATION_TOKEN);
  const uint64_t tafter = Make(after, "After");  // the table goes on issuing and finding
  EXPECT_EQ(table_.Flush(), 0u);
  EXPECT_EQ(after.executed, 1);
  Release({tkept, tafter});
}

}  // namespace
}  // namespace operation_receipt_test
