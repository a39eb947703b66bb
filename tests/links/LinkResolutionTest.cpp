// LinkResolutionTest.cpp
//
// How a destination's value is built from its links: whole values and listed positions, the
// order of the links, growth, the pending size, empty sources, what the destination's value
// callback is told, and index lists that cannot be applied (their link contributes nothing:
// the value under construction keeps its length and bits, and the links around it apply).

#include <functional>
#include <memory>

#include "ComponentTest.h"

namespace operation_receipt_test {
namespace {

using LinkResolution = ComponentTest;
using Lists = IndexListBuilder;

constexpr uint64_t kTop = UINT64_MAX;
constexpr uint64_t kCeiling = STANDIN_BITDATA_MAX_BITS;

void Link(uint64_t destination, uint64_t source, const IndexList* destinationIndices = nullptr,
          const IndexList* sourceIndices = nullptr) {
  ASSERT_EQ(Table().LinkValue(destination, source, destinationIndices, sourceIndices), 0u);
}

// Whole values take the longer length with later bits on top; listed positions overwrite what
// earlier links wrote and never shrink the value; a 0-bit source adds no bits and does not fail
// its link, even with a list that would grow the value.
TEST_F(LinkResolution, LinksApplyInOrderWithLaterBitsOnTop) {
  const uint64_t longSource = ValueSource(12, 0xABC);
  const uint64_t shortSource = ValueSource(4, 0x5);
  const uint64_t shortLast = PlainOperation();
  const uint64_t longLast = PlainOperation();
  Link(shortLast, longSource);
  Link(shortLast, shortSource);
  Link(longLast, shortSource);
  Link(longLast, longSource);
  EXPECT_TRUE(Holds(shortLast, 12, 0xAB5));
  EXPECT_TRUE(Holds(longLast, 12, 0xABC));

  const uint64_t ones = ValueSource(16, 0xFFFF);
  const uint64_t zero = ValueSource(1, 0);
  const uint64_t pattern = ValueSource(8, 0xB2);
  const uint64_t empty = ValueSource(0, 0);
  Lists bit3, high4, from20, at30;
  const IndexList bit3List = bit3.Positions({3}).List();
  const IndexList high4List = high4.Run(7, 4, /*ascending=*/false).List();  // bits 1 0 1 1
  const IndexList from20List = from20.Run(20, 4).List();
  const IndexList at30List = at30.Positions({30}).List();
  const uint64_t destination = PlainOperation();
  Link(destination, ones);
  Link(destination, zero, &bit3List);
  Link(destination, pattern, &from20List, &high4List);
  Link(destination, empty);
  Link(destination, empty, &at30List);
  EXPECT_TRUE(Holds(destination, 24, 0xD0FFF7));
  EXPECT_TRUE(Posts().empty());
  Release({longSource, shortSource, shortLast, longLast, ones, zero, pattern, empty, destination});
}

// Source 0xB2 is, from bit 0 up: 0 1 0 0 1 1 0 1. The elements of a list apply in their order
// (how the library walks one list is in standins/); a destination list grows the value to its
// highest position + 1; a pending size then cuts or extends the built value.
TEST_F(LinkResolution, IndexListsPickAndPlaceBitsInListOrder) {
  struct Case {
    const char* what;
    Lists source;
    Lists destination;
    uint64_t pendingSize;  // 0: none
    uint64_t length;
    uint64_t low;
  };
  std::vector<Case> cases(4);
  cases[0] = {"run then position", {}, {}, 0, 3, 0b010};
  cases[0].source.Run(6, 2).Positions({0});
  cases[1] = {"bit 7 to position 40", {}, {}, 0, 41, uint64_t{1} << 40};
  cases[2] = {"bit 7 to position 40, cut", {}, {}, 32, 32, 0};
  cases[3] = {"bit 7 to position 40, extended", {}, {}, 64, 64, uint64_t{1} << 40};
  for (int i = 1; i < 4; ++i) {
    cases[i].source.Positions({7});
    cases[i].destination.Positions({40});
  }
  const uint64_t source = ValueSource(8, 0xB2);
  for (Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.what << ", pending size " << c.pendingSize);
    const uint64_t destination = PlainOperation();
    if (c.pendingSize != 0) {
      ASSERT_EQ(table_.SetValueSize(destination, c.pendingSize), 0u);
    }
    const IndexList sourceIndices = c.source.List();
    const IndexList destinationIndices = c.destination.List();
    Link(destination, source, c.destination.Runs().empty() ? nullptr : &destinationIndices,
         &sourceIndices);
    EXPECT_TRUE(Holds(destination, c.length, c.low));
    Release({destination});
  }
  Release({source});
}

// The client's lists may be changed and freed as soon as LinkValue returns.
TEST_F(LinkResolution, ListsAreCopiedWhenTheLinkIsMade) {
  const uint64_t source = ValueSource(8, 0xB2);
  const uint64_t destination = PlainOperation();
  {
    auto sourcePositions = std::make_unique<std::vector<uint64_t>>(std::vector<uint64_t>{7, 4});
    auto destinationRun = std::make_unique<std::vector<uint64_t>>(std::vector<uint64_t>{9, 2});
    auto runs = std::make_unique<std::vector<IndexRun>>(2);
    (*runs)[0].valuesBegin = sourcePositions->data();  // source bits 7, 4: 1 1
    (*runs)[0].valuesEnd = sourcePositions->data() + 2;
    (*runs)[1].isRange = 1;  // destination positions 9, 8
    (*runs)[1].valuesBegin = destinationRun->data();
    (*runs)[1].valuesEnd = destinationRun->data() + 2;
    IndexList sourceIndices{&(*runs)[0], &(*runs)[0] + 1, nullptr, 2};
    IndexList destinationIndices{&(*runs)[1], &(*runs)[1] + 1, nullptr, 2};
    Link(destination, source, &destinationIndices, &sourceIndices);
    // Rewritten in place, then freed: neither may reach the link.
    *sourcePositions = {1, 0};
    *destinationRun = {30, 2};
    (*runs)[0].isRange = 1;
    (*runs)[1].isRange = 0;
    sourceIndices.count = 1;
    destinationIndices.count = 1;
  }
  EXPECT_TRUE(Holds(destination, 10, 0x300));
  Release({source, destination});
}

// The built value is told to the destination's value callback once; its non-zero result is the
// result of the read that built the value, and the value stays for the next read.
TEST_F(LinkResolution, ValueCallbackIsToldOfTheBuiltValueOnce) {
  Probe probe;
  probe.valueResult = 0x66;
  const uint64_t destination = Make(probe, "Built");
  const uint64_t source = ValueSource(9, 0x1A5);
  ASSERT_EQ(table_.SetValueSize(destination, 12), 0u);
  Link(destination, source);
  BitData* value = MakeBits(1, 1);  // stands for anything the entry must overwrite
  BitData* const given = value;
  EXPECT_EQ(table_.GetValue(destination, &value), 0x66u);
  EXPECT_EQ(value, nullptr);
  BitData_FreeManaged(given);
  EXPECT_EQ(probe.lastToken, destination);
  EXPECT_EQ(probe.valueLength, 12u);
  EXPECT_EQ(probe.valueLow, 0x1A5u);
  EXPECT_TRUE(Holds(destination, 12, 0x1A5));
  EXPECT_EQ(probe.valuesSeen, 1);
  Release({source, destination});
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
  ASSERT_EQ(Table().Flush(), 0u);
  StandIn_ErrorClearPosts();
  EXPECT_TRUE(Holds(destination, 8, 0x5E));
  EXPECT_TRUE(Posts().empty());
  Release({base, ones, one, destination});
  EXPECT_EQ(Counted(kMainClient, /*pending=*/false), 0u);  // each source died with its release
}

struct Malformed {
  const char* what;
  std::function<void(Lists& destination, Lists& source)> build;
  uint64_t destinationCount;  // 0: the destination takes the chosen bits whole
  uint64_t sourceCount;       // 0: the whole source
};

TEST_F(LinkResolution, MalformedListsContributeNothing) {
  const std::vector<Malformed> cases = {
      {"destination count above its positions", [](Lists& d, Lists&) { d.Positions({20}); }, 2, 0},
      {"source count below its positions", [](Lists&, Lists& s) { s.Positions({0, 1, 2}); }, 0, 2},
      {"source count above its positions", [](Lists&, Lists& s) { s.Positions({0, 1}); }, 0, 3},
      {"ascending source run past 2^64 - 1", [](Lists&, Lists& s) { s.Run(kTop - 1, 3); }, 0, 3},
      {"ascending destination run past 2^64 - 1", [](Lists& d, Lists&) { d.Run(kTop - 1, 3); }, 3,
       0},
      {"descending source run below 0", [](Lists&, Lists& s) { s.Run(1, 3, false); }, 0, 3},
      {"descending destination run below 0",
       [](Lists& d, Lists&) { d.Positions({20}).Run(1, 3, false); }, 4, 0},
      {"destination run with one value", [](Lists& d, Lists&) { d.Element(true, true, {20}); }, 1,
       0},
      {"source run with three values", [](Lists&, Lists& s) { s.Element(true, true, {0, 2, 9}); },
       0, 2},
      {"destination run without values", [](Lists& d, Lists&) { d.Element(true, true, {}); }, 1,
       0},
      {"destination position 2^64 - 1", [](Lists& d, Lists&) { d.Positions({kTop}); }, 1, 0},
      {"descending destination run from 2^64 - 1", [](Lists& d, Lists&) { d.Run(kTop, 2, false); },
       2, 0},
      {"source position past the source",
       [](Lists& d, Lists& s) {
         d.Positions({20});
         s.Positions({16});
       },
       1, 1},
      {"destination position past the library's ceiling",
       [](Lists& d, Lists&) { d.Positions({kCeiling}); }, 1, 0},
      {"source list longer than the library's ceiling",
       [](Lists&, Lists& s) { s.Run(0, kCeiling + 1); }, 0, kCeiling + 1},
      {"destination list longer than the source bits it places",
       [](Lists& d, Lists&) { d.Run(30, 17); }, 17, 0},
  };
  for (const Malformed& c : cases) {
    SCOPED_TRACE(c.what);
    Lists destinationBuilder;
    Lists sourceBuilder;
    c.build(destinationBuilder, sourceBuilder);
    const IndexList destinationIndices = destinationBuilder.List(c.destinationCount);
    const IndexList sourceIndices = sourceBuilder.List(c.sourceCount);
    CheckLinkAround(c.destinationCount != 0 ? &destinationIndices : nullptr,
                    c.sourceCount != 0 ? &sourceIndices : nullptr);
  }
}

// An element range that runs backwards, lacks one end or is not a whole number of elements
// long, and an element whose values do the same, make the list malformed even when the count
// agrees with the other elements. Count 0 is "no list": the whole value, whatever the element
// pointers hold (unreadable ones here, so that any read of them fails the test).
TEST_F(LinkResolution, UnusablePointersContributeNothingAndCountZeroReadsNone) {
  Lists positions;
  const IndexList good = positions.Positions({20}).List();
  const auto shifted = [](const void* p, uintptr_t bytes) {
    return reinterpret_cast<uintptr_t>(p) + bytes;
  };
  const IndexList lists[] = {
      {good.elementsEnd, good.elementsBegin, nullptr, 1},
      {nullptr, good.elementsEnd, nullptr, 1},
      {good.elementsBegin, nullptr, nullptr, 1},
      {good.elementsBegin, reinterpret_cast<const IndexRun*>(shifted(good.elementsEnd, 3)),
       nullptr, 1}};
  for (const IndexList& list : lists) {
    CheckLinkAround(&list, nullptr);
    CheckLinkAround(nullptr, &list);
  }
  const uint64_t values[2] = {5, 6};
  const std::pair<const uint64_t*, const uint64_t*> ranges[] = {
      {values + 1, values},
      {values, nullptr},
      {nullptr, values + 1},
      {values, reinterpret_cast<const uint64_t*>(shifted(values + 1, 5))}};
  for (const auto& [begin, end] : ranges) {
    Lists destination, source;
    destination.Positions({20}).RawElement(begin, end);
    source.Positions({0}).RawElement(begin, end);
    const IndexList destinationIndices = destination.List(1);
    const IndexList sourceIndices = source.List(1);
    CheckLinkAround(&destinationIndices, nullptr);
    CheckLinkAround(nullptr, &sourceIndices);
  }

  const auto* garbage = reinterpret_cast<const IndexRun*>(uintptr_t{0x10});
  const auto* garbageEnd = garbage + 4;
  const IndexList unread{garbage, garbageEnd, garbageEnd, 0};
  const IndexList backwards{garbageEnd, garbage, nullptr, 0};
  const uint64_t source = ValueSource(12, 0x9C3);
  for (const IndexList* list : {&unread, &backwards}) {
    const uint64_t destination = PlainOperation();
    Link(destination, source, list, list);
    EXPECT_TRUE(Holds(destination, 12, 0x9C3));
    Release({destination});
  }
  Release({source});
}

}  // namespace
}  // namespace operation_receipt_test
