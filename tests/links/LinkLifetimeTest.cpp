// LinkLifetimeTest.cpp
//
// The references a value link holds on its source and when it gives them back, links to
// operations still buffered, refused links, and a link whose source has no value.

#include <algorithm>
#include <string>
#include <thread>

#include "LinkTestSupport.h"

namespace operation_receipt_test {
namespace {

using LinkLifetime = ComponentTest;

constexpr int32_t kHelperClient = 101;

// Runs `body` on a thread of its own, working as client kHelperClient with no posts yet.
template <typename Body>
void OnHelperThread(Body body) {
  std::thread helper([&body] {
    StandIn_CommonSetClientId(kHelperClient);
    StandIn_ErrorClearPosts();
    body();
  });
  helper.join();
}

// Index of the first recorded line equal to `text`, or the line count when there is none.
size_t LineIndex(const std::vector<std::string>& lines, const std::string& text) {
  return static_cast<size_t>(std::find(lines.begin(), lines.end(), text) - lines.begin());
}

TEST_F(LinkLifetime, LinkTakesOneReferenceOnTheSource) {
  Probe sourceProbe;
  const OperationDescriptor descriptor = ProbeDescriptor(sourceProbe, "Source", true);
  const uint64_t source = Create(&descriptor);
  const uint64_t destination = PlainOperation();
  ASSERT_EQ(table_.Flush(), 0u);
  StandIn_LoggingClearRecorded();
  ASSERT_EQ(table_.LinkValue(destination, source, nullptr, nullptr), 0u);
  const std::vector<std::string> expected = {
      "Acquiring operation 'Source' (token = " + Hex(source) + ", reference count = 2)"};
  EXPECT_EQ(RecordedTexts(), expected);
  EXPECT_EQ(table_.ReleaseOperation(destination), 0u);
  EXPECT_EQ(table_.ReleaseOperation(source), 0u);
  EXPECT_EQ(sourceProbe.destroyed, 1);
}

// Once the destination's value is built, by a read or by FlushOperation, the links are gone:
// the source dies with its client's last reference while the destination lives on.
TEST_F(LinkLifetime, BuiltDestinationNoLongerHoldsItsSource) {
  for (const bool byRead : {true, false}) {
    SCOPED_TRACE(byRead ? "built by a read" : "built by FlushOperation");
    Probe sourceProbe;
    const OperationDescriptor descriptor = ProbeDescriptor(sourceProbe, "Source");
    const uint64_t source = Create(&descriptor);
    ASSERT_EQ(table_.SetValue(source, MakeBits(3, 5)), 0u);
    const uint64_t destination = PlainOperation();
    ASSERT_EQ(table_.LinkValue(destination, source, nullptr, nullptr), 0u);
    if (byRead) {
      uint8_t value = 0;
      EXPECT_EQ(table_.GetValueUInt8(destination, &value), 0u);
      EXPECT_EQ(value, 5u);
    } else {
      EXPECT_EQ(table_.FlushOperation(destination), 0u);
    }
    StandIn_LoggingClearRecorded();
    EXPECT_EQ(table_.ReleaseOperation(source), 0u);
    EXPECT_EQ(sourceProbe.destroyed, 1);
    const std::vector<std::string> lines = RecordedTexts();
    EXPECT_LT(LineIndex(lines, "Destroying operation 'Source' (token = " + Hex(source) + ")"),
              lines.size());
    EXPECT_EQ(ReadValueOf(destination).low, 5u);  // the built value stays
    EXPECT_EQ(table_.ReleaseOperation(destination), 0u);
  }
}

// Destroying a destination whose links were never resolved releases the sources first: their
// lines and destroy callbacks come before the destination's destroy callback.
TEST_F(LinkLifetime, UnresolvedLinksAreReleasedBeforeTheDestroyCallback) {
  std::vector<std::string> order;
  struct Named {
    Probe probe;
    std::vector<std::string>* order;
    const char* name;
  };
  Named source{{}, &order, "Source"};
  Named destination{{}, &order, "Destination"};
  auto note = [](Probe& probe) {
    const Named& named = *static_cast<const Named*>(probe.user);
    named.order->push_back(named.name);
  };
  source.probe.user = &source;
  source.probe.onDestroy = note;
  destination.probe.user = &destination;
  destination.probe.onDestroy = note;
  const OperationDescriptor sourceDescriptor = ProbeDescriptor(source.probe, "Source");
  const OperationDescriptor destinationDescriptor =
      ProbeDescriptor(destination.probe, "Destination");
  const uint64_t sourceToken = Create(&sourceDescriptor);
  const uint64_t destinationToken = Create(&destinationDescriptor);
  ASSERT_EQ(table_.SetValue(sourceToken, MakeBits(8, 1)), 0u);
  ASSERT_EQ(table_.LinkValue(destinationToken, sourceToken, nullptr, nullptr), 0u);
  ASSERT_EQ(table_.Flush(), 0u);

  EXPECT_EQ(table_.ReleaseOperation(sourceToken), 0u);
  EXPECT_EQ(source.probe.destroyed, 0);  // the link still holds it
  StandIn_LoggingClearRecorded();
  EXPECT_EQ(table_.ReleaseOperation(destinationToken), 0u);
  const std::vector<std::string> expectedOrder = {"Source", "Destination"};
  EXPECT_EQ(order, expectedOrder);
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

// Either token unknown: nothing changes and no reference is taken. The destination is looked
// up first, so two unknown tokens post once.
TEST_F(LinkLifetime, LinkWithAnUnknownTokenChangesNothing) {
  Probe sourceProbe;
  const OperationDescriptor descriptor = ProbeDescriptor(sourceProbe, "Source");
  const uint64_t source = Create(&descriptor);
  ASSERT_EQ(table_.SetValue(source, MakeBits(4, 9)), 0u);
  const uint64_t destination = PlainOperation();
  const uint64_t gone = PlainOperation();
  ASSERT_EQ(table_.Flush(), 0u);
  ASSERT_EQ(table_.ReleaseOperation(gone), 0u);
  StandIn_LoggingClearRecorded();
  StandIn_ErrorClearPosts();

  EXPECT_EQ(table_.LinkValue(gone, source, nullptr, nullptr), OR_INVALID_OPERATION_TOKEN);
  EXPECT_EQ(table_.LinkValue(destination, gone, nullptr, nullptr), OR_INVALID_OPERATION_TOKEN);
  EXPECT_EQ(table_.LinkValue(gone, gone + 1000, nullptr, nullptr), OR_INVALID_OPERATION_TOKEN);
  EXPECT_EQ(Posts().size(), 3u);
  EXPECT_TRUE(RecordedLines().empty());  // no Acquiring line

  StandIn_ErrorClearPosts();
  const ReadBits read = ReadValueOf(destination);  // still without a value
  EXPECT_EQ(read.result, OR_OPERATION_HAS_NO_VALUE);
  EXPECT_FALSE(read.handedOut);
  EXPECT_EQ(table_.ReleaseOperation(source), 0u);
  EXPECT_EQ(sourceProbe.destroyed, 1);
  EXPECT_EQ(table_.ReleaseOperation(destination), 0u);
}

// The execution fails unless the value is taken.
void SetOwnValue(Probe& probe, uint64_t token) {
  probe.executeResult = Table().SetValue(token, MakeBits(8, 0x3C));
}

// A source still buffered on the reading thread is flushed when the destination is built.
TEST_F(LinkLifetime, PendingSourceOfTheReadingThreadIsFlushedOnDemand) {
  const uint64_t destination = PlainOperation();
  ASSERT_EQ(table_.Flush(), 0u);
  Probe sourceProbe;
  sourceProbe.onExecute = SetOwnValue;
  const OperationDescriptor descriptor = ProbeDescriptor(sourceProbe, "Late");
  const uint64_t source = Create(&descriptor);
  ASSERT_EQ(table_.LinkValue(destination, source, nullptr, nullptr), 0u);
  EXPECT_EQ(State(source), static_cast<uint32_t>(OperationState_Pending));

  uint8_t value = 0;
  EXPECT_EQ(table_.GetValueUInt8(destination, &value), 0u);
  EXPECT_EQ(value, 0x3Cu);
  EXPECT_EQ(sourceProbe.executed, 1);
  EXPECT_EQ(State(source), static_cast<uint32_t>(OperationState_Executed));
  EXPECT_EQ(table_.ReleaseOperation(source), 0u);
  EXPECT_EQ(sourceProbe.destroyed, 1);
  EXPECT_EQ(table_.ReleaseOperation(destination), 0u);
}

// A source without a value fails its link: the read fails, every link of the destination is
// released, and the destination stays announced with neither value nor links. Later, its
// owning thread reads it as a value of its pending size; another thread reads no value.
TEST_F(LinkLifetime, FailingLinkLeavesTheDestinationAnnouncedWithoutLinks) {
  Probe first;
  Probe last;
  Probe destinationProbe;
  const OperationDescriptor firstDescriptor = ProbeDescriptor(first, "First");
  const OperationDescriptor lastDescriptor = ProbeDescriptor(last, "Last");
  const OperationDescriptor destinationDescriptor =
      ProbeDescriptor(destinationProbe, "Destination");
  const uint64_t firstSource = Create(&firstDescriptor);
  const uint64_t empty = PlainOperation();
  const uint64_t lastSource = Create(&lastDescriptor);
  const uint64_t destination = Create(&destinationDescriptor);
  ASSERT_EQ(table_.SetValue(firstSource, MakeBits(8, 0xFF)), 0u);
  ASSERT_EQ(table_.SetValue(lastSource, MakeBits(8, 0xFF)), 0u);
  ASSERT_EQ(table_.SetValueSize(destination, 6), 0u);
  ASSERT_EQ(table_.LinkValue(destination, firstSource, nullptr, nullptr), 0u);
  ASSERT_EQ(table_.LinkValue(destination, empty, nullptr, nullptr), 0u);
  ASSERT_EQ(table_.LinkValue(destination, lastSource, nullptr, nullptr), 0u);
  ASSERT_EQ(table_.Flush(), 0u);
  StandIn_ErrorClearPosts();

  const ReadBits failed = ReadValueOf(destination);
  EXPECT_EQ(failed.result, OR_OPERATION_HAS_NO_VALUE);
  EXPECT_FALSE(failed.handedOut);
  const std::vector<Post> posts = Posts();
  ASSERT_FALSE(posts.empty());
  EXPECT_EQ(posts[0].code, OR_OPERATION_HAS_NO_VALUE);
  EXPECT_EQ(posts[0].message, "Operation receipt with token " + Hex(empty) +
                                  " does not have a value associated with it");
  EXPECT_EQ(posts[0].file, "OperationPool.cpp");
  EXPECT_EQ(destinationProbe.valuesSeen, 0);

  // Both sources, before and after the failing one, were let go.
  EXPECT_EQ(table_.ReleaseOperation(firstSource), 0u);
  EXPECT_EQ(table_.ReleaseOperation(lastSource), 0u);
  EXPECT_EQ(first.destroyed, 1);
  EXPECT_EQ(last.destroyed, 1);

  OnHelperThread([destination] {
    const ReadBits read = ReadValueOf(destination);
    EXPECT_EQ(read.result, OR_OPERATION_HAS_NO_VALUE);
    EXPECT_FALSE(read.handedOut);
    const std::vector<Post> helperPosts = Posts();
    ASSERT_EQ(helperPosts.size(), 1u);
    EXPECT_EQ(helperPosts[0].message, "Operation receipt with token " + Hex(destination) +
                                          " does not have a value associated with it");
    EXPECT_EQ(helperPosts[0].file, "OperationPool.cpp");
  });

  const ReadBits owned = ReadValueOf(destination);
  EXPECT_EQ(owned.result, 0u);
  EXPECT_EQ(owned.length, 6u);
  EXPECT_EQ(owned.low, 0u);
  EXPECT_EQ(destinationProbe.valuesSeen, 1);
  EXPECT_EQ(table_.ReleaseOperation(empty), 0u);
  EXPECT_EQ(table_.ReleaseOperation(destination), 0u);
}

// A Failed destination whose link failed has no value to read afterwards, on its own thread
// too; each read first posts the destination's message with code 0.
TEST_F(LinkLifetime, FailedDestinationWithAFailedLinkHasNoValue) {
  Probe destinationProbe;
  destinationProbe.executeResult = 0x123;
  const uint64_t empty = PlainOperation();
  ASSERT_EQ(table_.Flush(), 0u);  // executed, so that reading it posts nothing of its own
  const OperationDescriptor descriptor = ProbeDescriptor(destinationProbe, "Broken");
  const uint64_t destination = Create(&descriptor);
  ASSERT_EQ(table_.LinkValue(destination, empty, nullptr, nullptr), 0u);
  EXPECT_EQ(table_.Flush(), 0x123u);
  ASSERT_EQ(table_.SetError(destination, 0x123, "broken on purpose"), 0u);

  for (int read = 0; read < 2; ++read) {
    SCOPED_TRACE(read);
    StandIn_ErrorClearPosts();
    uint64_t value = 0xEE;
    EXPECT_EQ(table_.GetValueUInt64(destination, &value), OR_OPERATION_HAS_NO_VALUE);
    EXPECT_EQ(value, 0xEEu);
    const std::vector<Post> posts = Posts();
    ASSERT_EQ(posts.size(), 2u);
    EXPECT_EQ(posts[0].code, 0u);
    EXPECT_EQ(posts[0].message, "broken on purpose");
    EXPECT_EQ(posts[0].file, "OperationPool.cpp");
    EXPECT_EQ(posts[1].code, OR_OPERATION_HAS_NO_VALUE);
    EXPECT_EQ(posts[1].message, "Operation receipt with token " +
                                    Hex(read == 0 ? empty : destination) +
                                    " does not have a value associated with it");
  }
  EXPECT_EQ(table_.ReleaseOperation(empty), 0u);
  EXPECT_EQ(table_.ReleaseOperation(destination), 0u);
  EXPECT_EQ(destinationProbe.destroyed, 1);
}

}  // namespace
}  // namespace operation_receipt_test
