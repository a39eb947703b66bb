// LinkResolutionTest.cpp
//
// How a destination's value is built from its links: whole values and listed positions, the
// order of the links, growth, the pending size, empty sources, and what the destination's value
// callback is told.

#include <memory>

#include "LinkTestSupport.h"

namespace operation_receipt_test {
namespace {

using LinkResolution = ComponentTest;

constexpr uint64_t kBit40 = uint64_t{1} << 40;

TEST_F(LinkResolution, WholeValueLinksTakeTheLongerLengthWithLaterBitsOnTop) {
  const uint64_t longSource = ValueSource(12, 0xABC);
  const uint64_t shortSource = ValueSource(4, 0x5);
  const uint64_t shortLast = PlainOperation();
  const uint64_t longLast = PlainOperation();
  ASSERT_EQ(table_.LinkValue(shortLast, longSource, nullptr, nullptr), 0u);
  ASSERT_EQ(table_.LinkValue(shortLast, shortSource, nullptr, nullptr), 0u);
  ASSERT_EQ(table_.LinkValue(longLast, shortSource, nullptr, nullptr), 0u);
  ASSERT_EQ(table_.LinkValue(longLast, longSource, nullptr, nullptr), 0u);

  const ReadBits shortOnTop = ReadValueOf(shortLast);
  EXPECT_EQ(shortOnTop.result, 0u);
  EXPECT_EQ(shortOnTop.length, 12u);
  EXPECT_EQ(shortOnTop.low, 0xAB5u);
  const ReadBits longOnTop = ReadValueOf(longLast);
  EXPECT_EQ(longOnTop.result, 0u);
  EXPECT_EQ(longOnTop.length, 12u);
  EXPECT_EQ(longOnTop.low, 0xABCu);
  EXPECT_TRUE(Posts().empty());

  for (uint64_t token : {longSource, shortSource, shortLast, longLast}) {
    EXPECT_EQ(table_.ReleaseOperation(token), 0u);
  }
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
    ASSERT_EQ(table_.LinkValue(destination, source, nullptr, &sourceIndices), 0u);
    const ReadBits read = ReadValueOf(destination);
    EXPECT_EQ(read.result, 0u);
    EXPECT_EQ(read.length, c.length);
    EXPECT_EQ(read.low, c.low);
    EXPECT_EQ(table_.ReleaseOperation(destination), 0u);
  }
  EXPECT_EQ(table_.ReleaseOperation(source), 0u);
}

// A destination list grows the value to its highest position + 1; a pending size on the
// destination then cuts or extends the built value.
TEST_F(LinkResolution, DestinationPositionGrowsTheValueBeforeThePendingSize) {
  const uint64_t source = ValueSource(1, 1);
  IndexListBuilder at40;
  at40.Positions({40});
  const IndexList destinationIndices = at40.List();
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
    ASSERT_EQ(table_.LinkValue(destination, source, &destinationIndices, nullptr), 0u);
    const ReadBits read = ReadValueOf(destination);
    EXPECT_EQ(read.result, 0u);
    EXPECT_EQ(read.length, c.length);
    EXPECT_EQ(read.low, c.low);
    EXPECT_EQ(table_.ReleaseOperation(destination), 0u);
  }
  EXPECT_EQ(table_.ReleaseOperation(source), 0u);
}

TEST_F(LinkResolution, ListedPositionsOverwriteEarlierLinksWithoutShrinking) {
  const uint64_t ones = ValueSource(16, 0xFFFF);
  const uint64_t zero = ValueSource(1, 0);
  const uint64_t pattern = ValueSource(8, 0xB2);
  IndexListBuilder bit3;
  bit3.Positions({3});
  IndexListBuilder high4;
  high4.Run(7, 4, /*ascending=*/false);  // source bits 1 0 1 1
  IndexListBuilder from20;
  from20.Run(20, 4);
  const IndexList bit3List = bit3.List();
  const IndexList high4List = high4.List();
  const IndexList from20List = from20.List();

  const uint64_t destination = PlainOperation();
  ASSERT_EQ(table_.LinkValue(destination, ones, nullptr, nullptr), 0u);
  ASSERT_EQ(table_.LinkValue(destination, zero, &bit3List, nullptr), 0u);
  ASSERT_EQ(table_.LinkValue(destination, pattern, &from20List, &high4List), 0u);
  const ReadBits read = ReadValueOf(destination);
  EXPECT_EQ(read.result, 0u);
  EXPECT_EQ(read.length, 24u);
  EXPECT_EQ(read.low, 0xD0FFF7u);
  for (uint64_t token : {ones, zero, pattern, destination}) {
    EXPECT_EQ(table_.ReleaseOperation(token), 0u);
  }
}

// A 0-bit source is a value like any other: it adds no bits and does not fail the link, even
// with a destination list that would otherwise grow the value.
TEST_F(LinkResolution, ZeroBitSourceContributesNothing) {
  const uint64_t base = ValueSource(8, 0x5A);
  const uint64_t empty = ValueSource(0, 0);
  IndexListBuilder at20;
  at20.Positions({20});
  const IndexList at20List = at20.List();
  const uint64_t destination = PlainOperation();
  ASSERT_EQ(table_.LinkValue(destination, base, nullptr, nullptr), 0u);
  ASSERT_EQ(table_.LinkValue(destination, empty, nullptr, nullptr), 0u);
  ASSERT_EQ(table_.LinkValue(destination, empty, &at20List, nullptr), 0u);
  const ReadBits read = ReadValueOf(destination);
  EXPECT_EQ(read.result, 0u);
  EXPECT_EQ(read.length, 8u);
  EXPECT_EQ(read.low, 0x5Au);
  EXPECT_TRUE(Posts().empty());
  for (uint64_t token : {base, empty, destination}) EXPECT_EQ(table_.ReleaseOperation(token), 0u);
}

// The source is read when the destination is built, not when the link is made.
TEST_F(LinkResolution, SourceIsReadWhenTheDestinationIsBuilt) {
  const uint64_t source = ValueSource(4, 0x1);
  const uint64_t destination = PlainOperation();
  ASSERT_EQ(table_.LinkValue(destination, source, nullptr, nullptr), 0u);
  ASSERT_EQ(table_.SetValue(source, MakeBits(6, 0x2C)), 0u);
  const ReadBits read = ReadValueOf(destination);
  EXPECT_EQ(read.result, 0u);
  EXPECT_EQ(read.length, 6u);
  EXPECT_EQ(read.low, 0x2Cu);
  EXPECT_EQ(table_.ReleaseOperation(source), 0u);
  EXPECT_EQ(table_.ReleaseOperation(destination), 0u);
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
    ASSERT_EQ(table_.LinkValue(destination, source, &destinationIndices, &sourceIndices), 0u);
    // Rewritten in place, then freed: neither may reach the link.
    *sourcePositions = {1, 0};
    *destinationRun = {30, 2};
    (*runs)[0].isRange = 1;
    (*runs)[1].isRange = 0;
    sourceIndices.count = 1;
    destinationIndices.count = 1;
    runs.reset();
    sourcePositions.reset();
    destinationRun.reset();
  }
  const ReadBits read = ReadValueOf(destination);
  EXPECT_EQ(read.result, 0u);
  EXPECT_EQ(read.length, 10u);
  EXPECT_EQ(read.low, 0x300u);
  EXPECT_EQ(table_.ReleaseOperation(source), 0u);
  EXPECT_EQ(table_.ReleaseOperation(destination), 0u);
}

struct SeenValue {
  int calls = 0;
  uint64_t token = 0;
  uint64_t length = 0;
  uint64_t low = 0;
  uint32_t result = 0;
};

uint32_t RecordValue(uint64_t token, void* context, BitData* value) {
  SeenValue& seen = *static_cast<SeenValue*>(context);
  ++seen.calls;
  seen.token = token;
  seen.length = BitData_GetLength(value);
  seen.low = BitData_GetUpToUInt64(value, 0, std::min<uint64_t>(seen.length, 64));
  return seen.result;
}

// The built value is told to the destination's value callback once; its non-zero result is the
// result of the read that built the value, and the value stays for the next read.
TEST_F(LinkResolution, ValueCallbackIsToldOfTheBuiltValueOnce) {
  SeenValue seen;
  seen.result = 0x66;
  OperationDescriptor descriptor{};
  descriptor.name = "Built";
  descriptor.valueCallback = RecordValue;
  descriptor.context = &seen;
  const uint64_t destination = Create(&descriptor);
  const uint64_t source = ValueSource(9, 0x1A5);
  ASSERT_EQ(table_.SetValueSize(destination, 12), 0u);
  ASSERT_EQ(table_.LinkValue(destination, source, nullptr, nullptr), 0u);

  BitData* value = MakeBits(1, 1);  // stands for anything the entry must overwrite
  BitData* const given = value;
  EXPECT_EQ(table_.GetValue(destination, &value), 0x66u);
  EXPECT_EQ(value, nullptr);
  BitData_FreeManaged(given);
  EXPECT_EQ(seen.calls, 1);
  EXPECT_EQ(seen.token, destination);
  EXPECT_EQ(seen.length, 12u);
  EXPECT_EQ(seen.low, 0x1A5u);

  const ReadBits again = ReadValueOf(destination);
  EXPECT_EQ(again.result, 0u);
  EXPECT_EQ(again.length, 12u);
  EXPECT_EQ(again.low, 0x1A5u);
  EXPECT_EQ(seen.calls, 1);
  EXPECT_EQ(table_.ReleaseOperation(source), 0u);
  EXPECT_EQ(table_.ReleaseOperation(destination), 0u);
}

}  // namespace
}  // namespace operation_receipt_test
