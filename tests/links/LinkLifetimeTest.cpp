// LinkLifetimeTest.cpp
//
// The references a value link holds on its source and when it gives them back, links to
// operations still buffered, and a link whose source has no value.

#include <algorithm>
#include <string>
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
// the source dies with its client's last reference while the destination lives on.
TEST_F(LinkLifetime, BuiltDestinationNoLongerHoldsItsSource) {
  for (const bool byRead : {true, false}) {
    SCOPED_TRACE(byRead ? "built by a read" : "built by FlushOperation");
    Probe sourceProbe;
    const uint64_t source = Make(sourceProbe, "Source");
    ASSERT_EQ(table_.SetValue(source, MakeBits(3, 5)), 0u);
    const uint64_t destination = PlainOperation();
    Link(destination, source);
    if (byRead) {
      EXPECT_EQ(ValueOf(destination), 5u);
    } else {
      EXPECT_EQ(table_.FlushOperation(destination), 0u);
    }
    StandIn_LoggingClearRecorded();
    Release({source});
    EXPECT_EQ(sourceProbe.destroyed, 1);
    const std::vector<std::string> lines = RecordedTexts();
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "Destroying operation 'Source' (token = " + Hex(source) + ")"),
              lines.end());
    EXPECT_TRUE(Holds(destination, 3, 5));  // the built value stays
    Release({destination});
  }
}

// Destroying a destination whose links were never resolved releases the sources first: their
// lines and destroy callbacks come before the destination's destroy callback.
TEST_F(LinkLifetime, UnresolvedLinksAreReleasedBeforeTheDestroyCallback) {
  std::vector<std::string> order;
  Probe source, destination;
  source.onDestroy = [&] { order.push_back("Source"); };
  destination.onDestroy = [&] { order.push_back("Destination"); };
  const uint64_t sourceToken = Make(source, "Source");
  const uint64_t destinationToken = Make(destination, "Destination");
  ASSERT_EQ(table_.SetValue(sourceToken, MakeBits(8, 1)), 0u);
  Link(destinationToken, sourceToken);
  ASSERT_EQ(table_.Flush(), 0u);

  Release({sourceToken});
  EXPECT_EQ(source.destroyed, 0);  // the link still holds it
  StandIn_LoggingClearRecorded();
  Release({destinationToken});
  EXPECT_EQ(order, (std::vector<std::string>{"Source", "Destination"}));
  const std::string s = Hex(sourceToken);
  const std::string d = Hex(destinationToken);
  const std::vector<std::string> expectedLines = {
      "Releasing operation 'Destination' (token = " + d + ", reference count = 0)",
      "Destroying operation 'Destination' (token = " + d + ")",
      "Releasing operation 'Source' (token = " + s + ", reference count = 0)",
      "Destroying operation 'Source' (token = " + s + ")",
  };
  EXPECT_EQ(RecordedTexts(), expectedLines);
}

// A source still buffered on the reading thread is flushed when the destination is built; its
// execution fails unless it could take its value.
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
  EXPECT_EQ(sourceProbe.executed, 1);
  EXPECT_EQ(State(source), kExecuted);
  Release({source});
  EXPECT_EQ(sourceProbe.destroyed, 1);
  Release({destination});
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
  const std::vector<Post> posts = Posts();
  ASSERT_FALSE(posts.empty());
  EXPECT_EQ(posts[0].code, OR_OPERATION_HAS_NO_VALUE);
  EXPECT_EQ(posts[0].message, NoValueMessage(empty));
  EXPECT_EQ(posts[0].file, "OperationPool.cpp");
  EXPECT_EQ(destinationProbe.valuesSeen, 0);

  // Both sources, before and after the failing one, were let go.
  Release({firstSource, lastSource});
  EXPECT_EQ(first.destroyed + last.destroyed, 2);

  std::thread([destination] {
    StandIn_CommonSetClientId(kHelperClient);
    StandIn_ErrorClearPosts();
    const ReadBits read = ReadValueOf(destination);
    EXPECT_EQ(read.result, OR_OPERATION_HAS_NO_VALUE);
    EXPECT_FALSE(read.handedOut);
    ASSERT_EQ(Posts().size(), 1u);
    EXPECT_EQ(Posts()[0].message, NoValueMessage(destination));
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
    const std::vector<Post> posts = Posts();
    ASSERT_EQ(posts.size(), 2u);
    EXPECT_EQ(posts[0].code, 0u);
    EXPECT_EQ(posts[0].message, "broken on purpose");
    EXPECT_EQ(posts[1].code, OR_OPERATION_HAS_NO_VALUE);
    EXPECT_EQ(posts[1].message, NoValueMessage(missing));
  }
  Release({empty, destination});
  EXPECT_EQ(destinationProbe.destroyed, 1);
}

}  // namespace
}  // namespace operation_receipt_test
