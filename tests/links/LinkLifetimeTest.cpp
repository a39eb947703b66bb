// LinkLifetimeTest.cpp
//
// The references a value link holds on its source and when it gives them back, links to
// operations still buffered, links whose source has no value, and links that lead back to the
// operation being built.

#include <thread>

#include "ComponentTest.h"

namespace operation_receipt_test {
namespace {

using LinkLifetime = ComponentTest;

constexpr int32_t kHelperClient = 101;

void Link(uint64_t destination, uint64_t source) {
  ASSERT_EQ(Table().LinkValue(destination, source, nullptr, nullptr), 0u);
}

// Once the destination's value is built, by a read or by FlushOperation, the links are gone:
// the source dies with its client's last reference while the destination lives on. A
// destination destroyed with its links unresolved releases its sources after its own lines and
// before its destroy callback.
TEST_F(LinkLifetime, LinksHoldTheirSourceUntilBuiltOrDestroyed) {
  for (const bool byRead : {true, false}) {
    SCOPED_TRACE(byRead ? "built by a read" : "built by FlushOperation");
    Probe sourceProbe;
    const uint64_t source = Make(sourceProbe, "Source");
    ASSERT_EQ(table_.SetValue(source, MakeBits(3, 5)), 0u);
    const uint64_t destination = PlainOperation();
    Link(destination, source);
    EXPECT_EQ(byRead ? ValueOf(destination) : table_.FlushOperation(destination), byRead ? 5u : 0u);
    Release({source});
    EXPECT_EQ(sourceProbe.destroyed, 1);
    EXPECT_TRUE(Holds(destination, 3, 5));  // the built value stays
    Release({destination});
  }

  std::vector<std::string> order;
  Probe source, destination;
  source.onDestroy = [&] { order.push_back("Source"); };
  destination.onDestroy = [&] { order.push_back("Destination"); };
  const uint64_t s = Make(source, "Source");
  const uint64_t d = Make(destination, "Destination");
  ASSERT_EQ(table_.SetValue(s, MakeBits(8, 1)), 0u);
  Link(d, s);
  ASSERT_EQ(table_.Flush(), 0u);
  Release({s});
  EXPECT_EQ(source.destroyed, 0);  // the link still holds it
  StandIn_LoggingClearRecorded();
  Release({d});
  EXPECT_EQ(order, (std::vector<std::string>{"Source", "Destination"}));
  EXPECT_EQ(RecordedTexts(), (std::vector<std::string>{
                                 OpLine("Releasing", "Destination", d, ", reference count = 0"),
                                 OpLine("Destroying", "Destination", d),
                                 OpLine("Releasing", "Source", s, ", reference count = 0"),
                                 OpLine("Destroying", "Source", s)}));
}

// A source still buffered on the reading thread is flushed when the destination is built.
TEST_F(LinkLifetime, PendingSourceOfTheReadingThreadIsFlushedOnDemand) {
  const uint64_t destination = PlainOperation();
  ASSERT_EQ(table_.Flush(), 0u);
  Probe sourceProbe;
  sourceProbe.onExecute = [&](uint64_t token) {
    sourceProbe.executeResult = Table().SetValue(token, MakeBits(8, 0x3C));
  };
  const uint64_t source = Make(sourceProbe, "Late");
  Link(destination, source);
  EXPECT_EQ(State(source), kPending);
  EXPECT_TRUE(Holds(destination, 8, 0x3C));
  EXPECT_EQ(State(source), kExecuted);
  Release({source, destination});
}

// A source without a value fails its link: the read fails, every link of the destination is
// released, and the destination stays announced with neither value nor links. Later, its
// owning thread reads it as a value of its pending size; another thread reads no value.
TEST_F(LinkLifetime, FailingLinkLeavesTheDestinationAnnouncedWithoutLinks) {
  Probe first, last, destinationProbe;
  const uint64_t firstSource = Make(first, "First");
  const uint64_t empty = PlainOperation();
  const uint64_t lastSource = Make(last, "Last");
  const uint64_t destination = Make(destinationProbe, "Destination");
  ASSERT_EQ(table_.SetValue(firstSource, MakeBits(8, 0xFF)), 0u);
  ASSERT_EQ(table_.SetValue(lastSource, MakeBits(8, 0xFF)), 0u);
  ASSERT_EQ(table_.SetValueSize(destination, 6), 0u);
  Link(destination, firstSource);
  Link(destination, empty);
  Link(destination, lastSource);
  ASSERT_EQ(table_.Flush(), 0u);
  StandIn_ErrorClearPosts();

  const ReadBits failed = ReadValueOf(destination);
  EXPECT_EQ(failed.result, OR_OPERATION_HAS_NO_VALUE);
  EXPECT_FALSE(failed.handedOut);
  EXPECT_TRUE(PostedOnce(OR_OPERATION_HAS_NO_VALUE, NoValueMessage(empty)));
  EXPECT_EQ(destinationProbe.valuesSeen, 0);
  Release({firstSource, lastSource});  // both, before and after the failing one, were let go
  EXPECT_EQ(first.destroyed + last.destroyed, 2);
  std::thread([destination] {
    StandIn_CommonSetClientId(kHelperClient);
    StandIn_ErrorClearPosts();
    EXPECT_FALSE(ReadValueOf(destination).handedOut);
    EXPECT_TRUE(PostedOnce(OR_OPERATION_HAS_NO_VALUE, NoValueMessage(destination)));
  }).join();
  EXPECT_TRUE(Holds(destination, 6, 0));
  EXPECT_EQ(destinationProbe.valuesSeen, 1);
  Release({empty, destination});
}

// A Failed destination whose link failed has no value to read afterwards, on its own thread
// too; each read first posts the destination's message with code 0.
TEST_F(LinkLifetime, FailedDestinationWithAFailedLinkHasNoValue) {
  Probe destinationProbe;
  destinationProbe.executeResult = 0x123;
  const uint64_t empty = PlainOperation();
  ASSERT_EQ(table_.Flush(), 0u);  // executed, so that reading it posts nothing of its own
  const uint64_t destination = Make(destinationProbe, "Broken");
  Link(destination, empty);
  EXPECT_EQ(table_.Flush(), 0x123u);
  ASSERT_EQ(table_.SetError(destination, 0x123, "broken on purpose"), 0u);
  for (const uint64_t missing : {empty, destination}) {  // the first read names the source
    StandIn_ErrorClearPosts();
    EXPECT_EQ(ReadValueOf(destination).result, OR_OPERATION_HAS_NO_VALUE);
    EXPECT_TRUE(Posted(
        {{0, "broken on purpose"}, {OR_OPERATION_HAS_NO_VALUE, NoValueMessage(missing)}}));
  }
  Release({empty, destination});
}

// Operation i takes its value from operation i + 1, the last from the first; a ring of one is
// an operation linked to itself. The operation met again is the one whose read started the
// chain; every operation on the way gives its links back and is destroyed exactly once, and a
// later read finds an announced value without links.
TEST_F(LinkLifetime, CyclesAreRefusedNamingTheOperationMetAgain) {
  for (const size_t size : {size_t{1}, size_t{2}, size_t{3}}) {
    for (size_t start = 0; start < size; ++start) {
      SCOPED_TRACE(testing::Message() << "ring of " << size << ", read from " << start);
      std::vector<Probe> probes(size);
      std::vector<uint64_t> tokens;
      for (Probe& probe : probes) tokens.push_back(Make(probe, "Ring"));
      ASSERT_EQ(table_.Flush(), 0u);
      for (size_t i = 0; i < size; ++i) Link(tokens[i], tokens[(i + 1) % size]);
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
// grows the table past the compaction threshold and installs its own value; the flush then
// compacts the table, and the value is built on the destination's record as it is after that.
TEST_F(LinkLifetime, DestinationIsBuiltOnItsRecordAsTheSourcesFlushLeftIt) {
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
  Link(destination, source);
  ASSERT_EQ(table_.LinkValue(destination, after, &at12List, nullptr), 0u);
  EXPECT_TRUE(Holds(destination, 16, 0x1096));
  EXPECT_EQ(destinationProbe.valuesSeen, 1);
  EXPECT_EQ(destinationProbe.lastToken, destination);
  Release({source, after, destination});
}

}  // namespace
}  // namespace operation_receipt_test
