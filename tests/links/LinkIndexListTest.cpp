// LinkIndexListTest.cpp
//
// Index lists that cannot be applied make their link contribute nothing: the value under
// construction keeps its length and bits, the read succeeds, and the links around it apply.
// A list of count 0 means the whole value, and its elements are then never read.

#include <cstdint>
#include <functional>

#include "ComponentTest.h"

namespace operation_receipt_test {
namespace {

using LinkIndexLists = ComponentTest;

constexpr uint64_t kTop = UINT64_MAX;
constexpr uint64_t kCeiling = STANDIN_BITDATA_MAX_BITS;

// The destination takes 0x5A (8 bits) whole, then the link under test from a 16-bit source of
// ones, then a single 1 at position 2: 0x5E when the middle link adds nothing. The sources are
// let go like those of any built value: each dies with its last release.
void CheckLinkAround(const IndexList* destinationIndices, const IndexList* sourceIndices) {
  const uint64_t base = ValueSource(8, 0x5A);
  const uint64_t ones = ValueSource(16, 0xFFFF);
  const uint64_t one = ValueSource(1, 1);
  const uint64_t destination = PlainOperation();
  IndexListBuilder at2;
  const IndexList at2List = at2.Positions({2}).List();
  ASSERT_EQ(Table().LinkValue(destination, base, nullptr, nullptr), 0u);
  ASSERT_EQ(Table().LinkValue(destination, ones, destinationIndices, sourceIndices), 0u);
  ASSERT_EQ(Table().LinkValue(destination, one, &at2List, nullptr), 0u);
  ASSERT_EQ(Table().Flush(), 0u);
  StandIn_ErrorClearPosts();
  EXPECT_TRUE(Holds(destination, 8, 0x5E));
  EXPECT_TRUE(Posts().empty());
  Release({base, ones, one, destination});
  EXPECT_EQ(Counted(kMainClient, /*pending=*/false), 0u);
}

struct Malformed {
  const char* what;
  std::function<void(IndexListBuilder& destination, IndexListBuilder& source)> build;
  uint64_t destinationCount;  // 0: the destination takes the chosen bits whole
  uint64_t sourceCount;       // 0: the whole source
};

using Lists = IndexListBuilder;

TEST_F(LinkIndexLists, MalformedListsContributeNothing) {
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

// The bit-data library refuses an element range that runs backwards or has only one end, and
// an element whose values end before they begin or that has only one of its two value
// pointers; a list holding one is malformed even when the count agrees with the other elements.
TEST_F(LinkIndexLists, UnusableElementOrValuePointersContributeNothing) {
  Lists positions;
  const IndexList good = positions.Positions({20}).List();
  const IndexList backwards{good.elementsEnd, good.elementsBegin, nullptr, 1};
  const IndexList endOnly{nullptr, good.elementsEnd, nullptr, 1};
  const IndexList noEnd{good.elementsBegin, nullptr, nullptr, 1};
  // An element range that is not a whole number of elements long: the end is never reached by
  // stepping from the begin, so only the addresses may be looked at.
  const IndexList ragged{good.elementsBegin,
                         reinterpret_cast<const IndexRun*>(
                             reinterpret_cast<uintptr_t>(good.elementsEnd) + 3),
                         nullptr, 1};
  for (const IndexList* list : {&backwards, &endOnly, &noEnd, &ragged}) {
    CheckLinkAround(list, nullptr);
    CheckLinkAround(nullptr, list);
  }

  const uint64_t values[2] = {5, 6};
  struct Case {
    const char* what;
    const uint64_t* begin;
    const uint64_t* end;
  };
  for (const Case c : {Case{"values end before they begin", values + 1, values},
                       Case{"values without an end", values, nullptr},
                       Case{"values without a begin", nullptr, values + 1},
                       Case{"values not a whole number of items long", values,
                            reinterpret_cast<const uint64_t*>(
                                reinterpret_cast<uintptr_t>(values + 1) + 5)}}) {
    SCOPED_TRACE(c.what);
    Lists destination, source;
    destination.Positions({20}).RawElement(c.begin, c.end);
    source.Positions({0}).RawElement(c.begin, c.end);
    const IndexList destinationIndices = destination.List(1);
    const IndexList sourceIndices = source.List(1);
    CheckLinkAround(&destinationIndices, nullptr);
    CheckLinkAround(nullptr, &sourceIndices);
  }
}

// Count 0 is "no list": the whole value, whatever the element pointers hold. Pointers that
// cannot be read make any read of them fail the test.
TEST_F(LinkIndexLists, CountZeroIgnoresTheElements) {
  const auto* garbage = reinterpret_cast<const IndexRun*>(uintptr_t{0x10});
  const auto* garbageEnd =
      reinterpret_cast<const IndexRun*>(uintptr_t{0x10 + 4 * sizeof(IndexRun)});
  const IndexList unread{garbage, garbageEnd, garbageEnd, 0};
  const IndexList backwards{garbageEnd, garbage, nullptr, 0};
  const uint64_t source = ValueSource(12, 0x9C3);
  for (const IndexList* list : {&unread, &backwards}) {
    const uint64_t destination = PlainOperation();
    ASSERT_EQ(table_.LinkValue(destination, source, list, list), 0u);
    EXPECT_TRUE(Holds(destination, 12, 0x9C3));
    Release({destination});
  }
  Release({source});
}

}  // namespace
}  // namespace operation_receipt_test
