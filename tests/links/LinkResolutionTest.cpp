// LinkResolutionTest.cpp
//
// How a destination's value is built from its links: whole values and listed positions, the
// order of the links, growth, the pending size, empty sources, and what the destination's value
// callback is told.

#include <memory>

#include "ComponentTest.h"

namespace operation_receipt_test {
namespace {

using LinkResolution = ComponentTest;

constexpr uint64_t kBit40 = uint64_t{1} << 40;

void Link(uint64_t destination, uint64_t source, const IndexList* destinationIndices = nullptr,
          const IndexList* sourceIndices = nullptr) {
  ASSERT_EQ(Table().LinkValue(destination, source, destinationIndices, sourceIndices), 0u);
}

TEST_F(LinkResolution, WholeValueLinksTakeTheLongerLengthWithLaterBitsOnTop) {
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
  EXPECT_TRUE(Posts().empty());
  Release({longSource, shortSource, shortLast, longLast});
}

// Source 0xB2 is, from bit 0 up: 0 1 0 0 1 1 0 1.
TEST_F(LinkResolution, SourceIndicesPickBitsInListOrder) {
  struct Case {
    const char* what;
    IndexListBuilder builder;
    uint64_t length;
    uint64_t low;
  };
  std::vector<Case> cases(4);
  cases[0] = {"single positions", {}, 3, 0b011};
  cases[0].builder.Positions({4, 1, 0});
  cases[1] = {"descending run", {}, 4, 0b1101};
  cases[1].builder.Run(7, 4, /*ascending=*/false);
  cases[2] = {"ascending run", {}, 3, 0b100};
  cases[2].builder.Run(2, 3);
  cases[3] = {"run then position", {}, 3, 0b010};
  cases[3].builder.Run(6, 2).Positions({0});

  const uint64_t source = ValueSource(8, 0xB2);
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    const uint64_t destination = PlainOperation();
    const IndexList sourceIndices = c.builder.List();
    Link(destination, source, nullptr, &sourceIndices);
    EXPECT_TRUE(Holds(destination, c.length, c.low));
    Release({destination});
  }
  Release({source});
}

// A destination list grows the value to its highest position + 1; a pending size on the
// destination then cuts or extends the built value.
TEST_F(LinkResolution, DestinationPositionGrowsTheValueBeforeThePendingSize) {
  const uint64_t source = ValueSource(1, 1);
  IndexListBuilder at40;
  const IndexList destinationIndices = at40.Positions({40}).List();
  struct Case {
    uint64_t pendingSize;  // 0: none
    uint64_t length;
    uint64_t low;
  };
  for (const Case c : {Case{0, 41, kBit40}, Case{32, 32, 0}, Case{64, 64, kBit40}}) {
    SCOPED_TRACE(c.pendingSize);
    const uint64_t destination = PlainOperation();
    if (c.pendingSize != 0) {
      ASSERT_EQ(table_.SetValueSize(destination, c.pendingSize), 0u);
    }
    Link(destination, source, &destinationIndices);
    EXPECT_TRUE(Holds(destination, c.length, c.low));
    Release({destination});
  }
  Release({source});
}

// Listed positions overwrite what earlier links wrote and never shrink the value; a 0-bit
// source adds no bits and does not fail its link, even with a list that would grow the value.
TEST_F(LinkResolution, ListedPositionsOverwriteAndZeroBitSourcesContributeNothing) {
  const uint64_t ones = ValueSource(16, 0xFFFF);
  const uint64_t zero = ValueSource(1, 0);
  const uint64_t pattern = ValueSource(8, 0xB2);
  const uint64_t empty = ValueSource(0, 0);
  IndexListBuilder bit3, high4, from20, at30;
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
  Release({ones, zero, pattern, empty, destination});
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
  EXPECT_EQ(probe.valuesSeen, 1);
  EXPECT_EQ(probe.lastToken, destination);
  EXPECT_EQ(probe.valueLength, 12u);
  EXPECT_EQ(probe.valueLow, 0x1A5u);
  EXPECT_TRUE(Holds(destination, 12, 0x1A5));
  EXPECT_EQ(probe.valuesSeen, 1);
  Release({source, destination});
}

}  // namespace
}  // namespace operation_receipt_test
