// LinkCycleTest.cpp
//
// Links that lead back to the operation being built are refused, and a value is built on the
// destination's record as it is after a source's flush has grown and compacted the table.

#include <vector>

#include "ComponentTest.h"

namespace operation_receipt_test {
namespace {

using LinkCycle = ComponentTest;

// Operation i takes its value from operation i + 1, the last from the first; a ring of one is
// an operation linked to itself. The operation met again is the one whose read started the
// chain; every operation on the way gives its links back (so none holds itself or another any
// more) and is destroyed exactly once, and a later read finds an announced value without links.
TEST_F(LinkCycle, CyclesAreRefusedNamingTheOperationMetAgain) {
  for (const size_t size : {size_t{1}, size_t{2}, size_t{3}}) {
    for (size_t start = 0; start < size; ++start) {
      SCOPED_TRACE(testing::Message() << "ring of " << size << ", read from " << start);
      std::vector<Probe> probes(size);
      std::vector<uint64_t> tokens;
      for (Probe& probe : probes) tokens.push_back(Make(probe, "Ring"));
      ASSERT_EQ(table_.Flush(), 0u);
      for (size_t i = 0; i < size; ++i) {
        ASSERT_EQ(table_.LinkValue(tokens[i], tokens[(i + 1) % size], nullptr, nullptr), 0u);
      }
      StandIn_ErrorClearPosts();
      uint32_t value = 7;
      EXPECT_EQ(table_.GetValueUInt32(tokens[start], &value), OR_OPERATION_HAS_NO_VALUE);
      EXPECT_EQ(value, 7u);
      const std::vector<Post> posts = Posts();
      ASSERT_FALSE(posts.empty());
      EXPECT_EQ(posts[0].code, OR_OPERATION_HAS_NO_VALUE);
      EXPECT_EQ(posts[0].message, "Operation receipt with token " + Hex(tokens[start]) +
                                      " is already building its value: its value links lead "
                                      "back to it");
      EXPECT_EQ(posts[0].file, "OperationPool.cpp");
      EXPECT_TRUE(Holds(tokens[start], 0, 0));
      Release(tokens);
      for (size_t i = 0; i < size; ++i) {
        EXPECT_EQ(probes[i].destroyed, 1);
        EXPECT_EQ(probes[i].valuesSeen, i == start ? 1 : 0);  // the later read alone
      }
    }
  }
}

// The execute callback of a source flushed on demand while the destination's value is built
// keeps enough operations alive at once to grow the table past the compaction threshold, lets
// them go, and installs its own value. The flush then compacts the table.
TEST_F(LinkCycle, DestinationIsBuiltOnItsRecordAsTheSourcesFlushLeftIt) {
  StandIn_LoggingSetEnabledLevels(0);
  Probe destinationProbe, sourceProbe;
  const uint64_t destination = Make(destinationProbe, "Destination");
  const uint64_t after = ValueSource(1, 1);
  ASSERT_EQ(table_.Flush(), 0u);

  sourceProbe.onExecute = [&](uint64_t token) {
    std::vector<uint64_t> crowd(9000);
    for (uint64_t& created : crowd) created = PlainOperation();
    Release(crowd);
    sourceProbe.executeResult = Table().SetValue(token, MakeBits(8, 0x96));
  };
  const uint64_t source = Make(sourceProbe, "Crowd");
  IndexListBuilder at12;
  const IndexList at12List = at12.Positions({12}).List();
  ASSERT_EQ(table_.SetValueSize(destination, 16), 0u);
  ASSERT_EQ(table_.LinkValue(destination, source, nullptr, nullptr), 0u);
  ASSERT_EQ(table_.LinkValue(destination, after, &at12List, nullptr), 0u);

  EXPECT_TRUE(Holds(destination, 16, 0x1096));
  EXPECT_EQ(sourceProbe.executed, 1);
  EXPECT_EQ(destinationProbe.valuesSeen, 1);
  EXPECT_EQ(destinationProbe.lastToken, destination);
  EXPECT_EQ(Counted(-1, /*pending=*/false), 0u);  // the crowd is gone
  Release({source, after});
  EXPECT_EQ(sourceProbe.destroyed, 1);
  Release({destination});
  EXPECT_EQ(destinationProbe.destroyed, 1);
}

}  // namespace
}  // namespace operation_receipt_test
