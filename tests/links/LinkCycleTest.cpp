// LinkCycleTest.cpp
//
// Links that lead back to the operation being built are refused, and a value is built on the
// destination's record as it is after a source's flush has grown and compacted the table.

#include <vector>

#include "LinkTestSupport.h"

namespace operation_receipt_test {
namespace {

using LinkCycle = ComponentTest;

std::string CycleMessage(uint64_t token) {
  return "Operation receipt with token " + Hex(token) +
         " is already building its value: its value links lead back to it";
}

// An operation linked to itself: the read fails naming it, the link is released (so the
// operation no longer holds itself), and a later read finds an announced value without links.
TEST_F(LinkCycle, SelfLinkIsRefused) {
  Probe probe;
  const OperationDescriptor descriptor = ProbeDescriptor(probe, "Self");
  const uint64_t self = Create(&descriptor);
  ASSERT_EQ(table_.Flush(), 0u);
  ASSERT_EQ(table_.LinkValue(self, self, nullptr, nullptr), 0u);
  StandIn_ErrorClearPosts();

  const ReadBits refused = ReadValueOf(self);
  EXPECT_EQ(refused.result, OR_OPERATION_HAS_NO_VALUE);
  EXPECT_FALSE(refused.handedOut);
  const std::vector<Post> posts = Posts();
  ASSERT_FALSE(posts.empty());
  EXPECT_EQ(posts[0].code, OR_OPERATION_HAS_NO_VALUE);
  EXPECT_EQ(posts[0].message, CycleMessage(self));
  EXPECT_EQ(posts[0].file, "OperationPool.cpp");
  EXPECT_EQ(probe.valuesSeen, 0);

  const ReadBits later = ReadValueOf(self);
  EXPECT_EQ(later.result, 0u);
  EXPECT_EQ(later.length, 0u);
  EXPECT_EQ(table_.ReleaseOperation(self), 0u);
  EXPECT_EQ(probe.destroyed, 1);
}

struct Ring {
  std::vector<Probe> probes;
  std::vector<uint64_t> tokens;
};

// Operation i takes its value from operation i + 1, the last from the first.
void MakeRing(Ring& ring, size_t size) {
  ring.probes.resize(size);
  for (Probe& probe : ring.probes) {
    const OperationDescriptor descriptor = ProbeDescriptor(probe, "Ring");
    uint64_t token = 0;
    EXPECT_EQ(Table().CreateOperation(&descriptor, &token), 0u);
    ring.tokens.push_back(token);
  }
  EXPECT_EQ(Table().Flush(), 0u);
  for (size_t i = 0; i < size; ++i) {
    EXPECT_EQ(Table().LinkValue(ring.tokens[i], ring.tokens[(i + 1) % size], nullptr, nullptr), 0u);
  }
}

// Through a chain, the operation met again is the one whose read started the chain. Every
// operation on the way gives its links back and is destroyed exactly once.
TEST_F(LinkCycle, CycleThroughAChainNamesTheOperationMetAgain) {
  for (const size_t size : {size_t{2}, size_t{3}}) {
    for (size_t start = 0; start < size; ++start) {
      SCOPED_TRACE(testing::Message() << "ring of " << size << ", read from " << start);
      Ring ring;
      MakeRing(ring, size);
      StandIn_ErrorClearPosts();
      uint32_t value = 7;
      EXPECT_EQ(table_.GetValueUInt32(ring.tokens[start], &value), OR_OPERATION_HAS_NO_VALUE);
      EXPECT_EQ(value, 7u);
      const std::vector<Post> posts = Posts();
      ASSERT_FALSE(posts.empty());
      EXPECT_EQ(posts[0].code, OR_OPERATION_HAS_NO_VALUE);
      EXPECT_EQ(posts[0].message, CycleMessage(ring.tokens[start]));
      for (const uint64_t token : ring.tokens) EXPECT_EQ(table_.ReleaseOperation(token), 0u);
      for (const Probe& probe : ring.probes) {
        EXPECT_EQ(probe.destroyed, 1);
        EXPECT_EQ(probe.valuesSeen, 0);
      }
    }
  }
}

// The execute callback of a source that is flushed on demand while the destination's value is
// built: it keeps enough operations alive at once to grow the table past the compaction
// threshold, lets them go, and installs its own value. The flush then compacts the table.
void CrowdTheTable(Probe& probe, uint64_t token) {
  std::vector<uint64_t> crowd(9000);
  for (uint64_t& created : crowd) EXPECT_EQ(Table().CreateOperation(nullptr, &created), 0u);
  for (const uint64_t created : crowd) EXPECT_EQ(Table().ReleaseOperation(created), 0u);
  probe.executeResult = Table().SetValue(token, MakeBits(8, 0x96));
}

TEST_F(LinkCycle, DestinationIsBuiltOnItsRecordAsTheSourcesFlushLeftIt) {
  StandIn_LoggingSetEnabledLevels(0);
  Probe destinationProbe;
  const OperationDescriptor destinationDescriptor =
      ProbeDescriptor(destinationProbe, "Destination");
  const uint64_t destination = Create(&destinationDescriptor);
  const uint64_t after = ValueSource(1, 1);
  ASSERT_EQ(table_.Flush(), 0u);

  Probe sourceProbe;
  sourceProbe.onExecute = CrowdTheTable;
  const OperationDescriptor sourceDescriptor = ProbeDescriptor(sourceProbe, "Crowd");
  const uint64_t source = Create(&sourceDescriptor);
  IndexListBuilder at12;
  at12.Positions({12});
  const IndexList at12List = at12.List();
  ASSERT_EQ(table_.SetValueSize(destination, 16), 0u);
  ASSERT_EQ(table_.LinkValue(destination, source, nullptr, nullptr), 0u);
  ASSERT_EQ(table_.LinkValue(destination, after, &at12List, nullptr), 0u);

  const ReadBits read = ReadValueOf(destination);
  EXPECT_EQ(read.result, 0u);
  EXPECT_EQ(read.length, 16u);
  EXPECT_EQ(read.low, 0x1096u);
  EXPECT_EQ(sourceProbe.executed, 1);
  EXPECT_EQ(destinationProbe.valuesSeen, 1);
  EXPECT_EQ(destinationProbe.lastToken, destination);

  uint32_t executed = 0;
  ASSERT_EQ(table_.GetExecutedOperationCount(-1, &executed), 0u);
  EXPECT_EQ(executed, 0u);  // the crowd is gone
  for (const uint64_t token : {source, after}) EXPECT_EQ(table_.ReleaseOperation(token), 0u);
  EXPECT_EQ(sourceProbe.destroyed, 1);
  EXPECT_EQ(table_.ReleaseOperation(destination), 0u);
  EXPECT_EQ(destinationProbe.destroyed, 1);
}

}  // namespace
}  // namespace operation_receipt_test
