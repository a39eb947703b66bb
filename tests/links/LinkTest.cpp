// LinkTest.cpp
//
// Value links: how a destination's value is built from them (LinkResolution), and the
// references they hold, failing links, cycles and callbacks run meanwhile (LinkLifetime).

#include <functional>
#include <thread>
#include <tuple>
#include <utility>

#include "ComponentTest.h"

namespace operation_receipt_test {
namespace {

using LinkResolution = ComponentTest;
using LinkLifetime = ComponentTest;
using Lists = IndexListBuilder;

constexpr int32_t kHelperClient = 101;
constexpr uint64_t kTop = UINT64_MAX;
constexpr uint64_t kCeiling = STANDIN_BITDATA_MAX_BITS;
const uint64_t kValues[2] = {5, 6};

void Link(uint64_t destination, uint64_t source, const IndexList* destinationIndices = nullptr,
          const IndexList* sourceIndices = nullptr) {
  ASSERT_EQ(Table().LinkValue(destination, source, destinationIndices, sourceIndices), 0u);
}

// Later bits go on top; no link shrinks the value, and a destination list grows it to its
// highest position + 1. A list's elements apply in order; a 0-bit source adds nothing, even
// with a list; count 0 is "no list", whatever the elements hold (unreadable here). Each link
// takes a copy of its lists: the client may rewrite and free them once LinkValue returns.
TEST_F(LinkResolution, LinksApplyInOrderWithLaterBitsOnTop) {
  const auto* garbage = reinterpret_cast<const IndexRun*>(uintptr_t{0x10});
  const IndexList unread{garbage, garbage + 4, garbage + 4, 0};
  const uint64_t ones = ValueSource(16, 0xFFFF);
  const uint64_t shortSource = ValueSource(4, 0xA);
  const uint64_t zero = ValueSource(1, 0);
  const uint64_t pattern = ValueSource(4, 0xB);  // from bit 0 up: 1 1 0 1
  const uint64_t empty = ValueSource(0, 0);
  const uint64_t destination = PlainOperation();
  {
    Lists bit3, picked, from20, at30;
    const IndexList bit3List = bit3.Positions({3}).List();
    const IndexList pickedList = picked.Positions({2}).Run(3, 4, /*ascending=*/false).List();
    const IndexList from20List = from20.Run(20, 5).List();  // takes 0 1 0 1 1
    const IndexList at30List = at30.Positions({30}).List();
    Link(destination, ones, &unread, &unread);
    Link(destination, shortSource);
    Link(destination, zero, &bit3List);
    Link(destination, pattern, &from20List, &pickedList);
    Link(destination, empty);
    Link(destination, empty, &at30List);
    std::swap(picked.Runs()[1], from20.Runs()[0]);  // changed, then freed: the links hold copies
    const_cast<uint64_t*>(bit3.Runs()[0].valuesBegin)[0] = 40;
  }
  EXPECT_TRUE(Holds(destination, 25, 0x1A0FFF2));
  Release({ones, shortSource, zero, pattern, empty, destination});
}

// The destination takes 0x5A (8 bits) whole, then the link under test from a 16-bit source of
// ones, then a single 1 at position 2: 0x5E when the middle link adds nothing.
void CheckLinkAround(const IndexList* destinationIndices, const IndexList* sourceIndices) {
  const uint64_t base = ValueSource(8, 0x5A);
  const uint64_t ones = ValueSource(16, 0xFFFF);
  const uint64_t one = ValueSource(1, 1);
  const uint64_t destination = PlainOperation();
  Lists at2;
  const IndexList at2List = at2.Positions({2}).List();
  Link(destination, base);
  Link(destination, ones, destinationIndices, sourceIndices);
  Link(destination, one, &at2List);
  EXPECT_TRUE(Holds(destination, 8, 0x5E));
  EXPECT_TRUE(Posts().empty());
  Release({base, ones, one, destination});
}

// What is wrong, how the destination and source lists are built, and their counts (0: no list).
using Malformed = std::tuple<const char*, std::function<void(Lists&, Lists&)>, uint64_t, uint64_t>;

TEST_F(LinkResolution, MalformedListsContributeNothing) {
  const std::vector<Malformed> cases = {
      {"count above the positions", [](Lists& d, Lists&) { d.Positions({20}); }, 2, 0},
      {"count below the positions", [](Lists&, Lists& s) { s.Positions({0, 1, 2}); }, 0, 2},
      {"ascending run past 2^64 - 1", [](Lists&, Lists& s) { s.Run(kTop - 1, 3); }, 0, 3},
      {"descending run below 0", [](Lists& d, Lists&) { d.Run(1, 3, false); }, 3, 0},
      {"run with one value", [](Lists& d, Lists&) { d.Element(true, true, {20}); }, 1, 0},
      {"values without an end",
       [](Lists&, Lists& s) { s.Positions({0}).RawElement(kValues, nullptr); }, 0, 1},
      {"destination position 2^64 - 1", [](Lists& d, Lists&) { d.Positions({kTop}); }, 1, 0},
      {"source position past the source",
       [](Lists& d, Lists& s) { d.Positions({20}); s.Positions({16}); }, 1, 1},
      {"source list longer than the library's ceiling",
       [](Lists&, Lists& s) { s.Run(0, kCeiling + 1); }, 0, kCeiling + 1},
      {"more positions than source bits", [](Lists& d, Lists&) { d.Run(30, 17); }, 17, 0},
  };
  for (const auto& [what, build, destinationCount, sourceCount] : cases) {
    SCOPED_TRACE(what);
    Lists destinationBuilder, sourceBuilder;
    build(destinationBuilder, sourceBuilder);
    const IndexList destinationIndices = destinationBuilder.List(destinationCount);
    const IndexList sourceIndices = sourceBuilder.List(sourceCount);
    CheckLinkAround(destinationCount != 0 ? &destinationIndices : nullptr,
                    sourceCount != 0 ? &sourceIndices : nullptr);
  }
  // Element arrays that run backwards, lack one end or are not a whole number of items long.
  Lists positions;
  const IndexRun* const first = positions.Positions({20}).List().elementsBegin;
  const auto* odd = reinterpret_cast<const IndexRun*>(reinterpret_cast<uintptr_t>(first + 1) + 3);
  for (const IndexList& list : {IndexList{first + 1, first, nullptr, 1},
                                IndexList{first, nullptr, nullptr, 1},
                                IndexList{first, odd, nullptr, 1}}) {
    CheckLinkAround(&list, nullptr);
    CheckLinkAround(nullptr, &list);
  }
}

// A destination destroyed with links unresolved takes them out and releases their sources after
// its own lines and before its destroy callback. A link holds its source until its value is
// built, by a read or by FlushOperation, also when the source's flush on demand grows the table
// past the compaction threshold: the value is built on the destination's record as the flush
// left it. The value callback is told of it once; its non-zero result is the read's (which hands
// out nothing), and the value stays.
TEST_F(LinkLifetime, LinksHoldTheirSourceUntilBuiltOrDestroyed) {
  Probe source, destination;
  source.onDestroy = [&] { EXPECT_EQ(destination.destroyed, 0); };
  const uint64_t s = Make(source, "Source");
  const uint64_t d = Make(destination, "Destination");
  Link(d, s);
  ASSERT_EQ(table_.Flush(), 0u);
  Release({s});
  EXPECT_EQ(source.destroyed, 0);  // the link still holds it
  StandIn_LoggingClearRecorded();
  Release({d});
  EXPECT_EQ(RecordedTexts(), (std::vector<std::string>{
                                 OpLine("Releasing", "Destination", d, ", reference count = 0"),
                                 OpLine("Destroying", "Destination", d),
                                 OpLine("Releasing", "Source", s, ", reference count = 0"),
                                 OpLine("Destroying", "Source", s)}));

  StandIn_LoggingSetEnabledLevels(0);
  for (const bool byRead : {true, false}) {
    SCOPED_TRACE(byRead ? "built by a read" : "built by FlushOperation");
    Probe sourceProbe, destinationProbe;
    destinationProbe.valueResult = 0x66;
    sourceProbe.onExecute = [](uint64_t) {
      std::vector<uint64_t> crowd(9000);
      for (uint64_t& created : crowd) created = PlainOperation();
      Release(crowd);
    };
    const uint64_t to = Make(destinationProbe, "Destination");
    ASSERT_EQ(table_.Flush(), 0u);
    const uint64_t from = Make(sourceProbe, "Source");
    ASSERT_EQ(table_.SetValue(from, MakeBits(3, 5)), 0u);
    Link(to, from);
    Release({from});  // the buffer and the link hold it
    auto* value = reinterpret_cast<BitData*>(uintptr_t{0x10});  // the entry must clear it
    EXPECT_EQ(byRead ? table_.GetValue(to, &value) : table_.FlushOperation(to), 0x66u);
    EXPECT_TRUE(!byRead || value == nullptr);
    EXPECT_EQ(sourceProbe.destroyed, 1);
    EXPECT_TRUE(Holds(to, 3, 5));
    EXPECT_EQ(destinationProbe.valuesSeen, 1);
    Release({to});
  }
}

// A source without a value fails the read and every link is let go; the destination stays
// announced without links: its owning thread reads it later as its pending size, another
// thread as no value. A Failed one never has a value; each read first posts its message.
TEST_F(LinkLifetime, FailingLinkLeavesTheDestinationAnnouncedWithoutLinks) {
  Probe destinationProbe, brokenProbe;
  brokenProbe.executeResult = 0x123;
  const uint64_t firstSource = ValueSource(8, 0xFF);
  const uint64_t empty = PlainOperation();
  const uint64_t lastSource = ValueSource(8, 0xFF);
  const uint64_t destination = Make(destinationProbe, "Destination");
  const uint64_t broken = Make(brokenProbe, "Broken");  // last, so that it fails no other
  ASSERT_EQ(table_.SetValueSize(destination, 6), 0u);
  Link(destination, firstSource);
  Link(destination, empty);
  Link(destination, lastSource);
  Link(broken, empty);
  EXPECT_EQ(table_.Flush(), 0x123u);
  ASSERT_EQ(table_.SetError(broken, 0x123, "broken on purpose"), 0u);

  EXPECT_EQ(ReadValueOf(destination).result, OR_OPERATION_HAS_NO_VALUE);
  EXPECT_TRUE(PostedOnce(OR_OPERATION_HAS_NO_VALUE, NoValueMessage(empty)));
  Release({firstSource, lastSource});  // both, before and after the failing one, were let go
  EXPECT_EQ(Counted(kMainClient, /*pending=*/false), 3u);
  std::thread([destination] {
    StandIn_CommonSetClientId(kHelperClient);
    EXPECT_FALSE(ReadValueOf(destination).handedOut);
    EXPECT_TRUE(PostedOnce(OR_OPERATION_HAS_NO_VALUE, NoValueMessage(destination)));
  }).join();
  EXPECT_EQ(destinationProbe.valuesSeen, 0);
  EXPECT_TRUE(Holds(destination, 6, 0));
  EXPECT_EQ(destinationProbe.valuesSeen, 1);
  for (const uint64_t missing : {empty, broken}) {  // the first read names the source
    EXPECT_EQ(ReadValueOf(broken).result, OR_OPERATION_HAS_NO_VALUE);
    EXPECT_TRUE(Posted(
        {{0, "broken on purpose"}, {OR_OPERATION_HAS_NO_VALUE, NoValueMessage(missing)}}));
  }
  Release({empty, destination, broken});
}

// Operation i takes its value from operation i + 1, the last from the first. The operation met
// again is the one whose read started; every operation gives its links back and is destroyed
// once, and a later read finds an announced value without links.
TEST_F(LinkLifetime, CyclesAreRefusedNamingTheOperationMetAgain) {
  for (const size_t size : {size_t{1}, size_t{2}, size_t{3}}) {
    for (size_t start = 0; start < size; ++start) {
      SCOPED_TRACE(testing::Message() << "ring of " << size << ", read from " << start);
      std::vector<Probe> probes(size);
      std::vector<uint64_t> tokens;
      for (Probe& probe : probes) tokens.push_back(Make(probe, "Ring"));
      ASSERT_EQ(table_.Flush(), 0u);
      for (size_t i = 0; i < size; ++i) Link(tokens[i], tokens[(i + 1) % size]);
      EXPECT_EQ(ReadValueOf(tokens[start]).result, OR_OPERATION_HAS_NO_VALUE);
      EXPECT_TRUE(PostedOnce(OR_OPERATION_HAS_NO_VALUE,
                             "Operation receipt with token " + Hex(tokens[start]) +
                                 " is already building its value: its value links lead back "
                                 "to it"));
      EXPECT_TRUE(Holds(tokens[start], 0, 0));
      Release(tokens);
      for (size_t i = 0; i < size; ++i) {
        EXPECT_EQ(probes[i].destroyed, 1);
        EXPECT_EQ(probes[i].valuesSeen, i == start ? 1 : 0);  // the later read alone
      }
    }
  }
}

}  // namespace
}  // namespace operation_receipt_test
