// Tests of BitData_ReadIndices and BitData_WriteIndices: the positions index lists name, and
// the refusal of every malformed list before any bit is written.
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "BitDataTestSupport.h"
#include "IndexListBuilder.h"

namespace {

constexpr uint64_t kMax = UINT64_MAX;

using ListBuilder = IndexListBuilder;

TEST_F(BitDataTest, OneBufferIsReadInFullBeforeItIsWritten) {
  ListBuilder builder;
  builder.Run(3, 4, false);  // reverses the first four bits
  const IndexList list = builder.List(4);
  BitData* data = FromBits("110100");
  ASSERT_EQ(BitData_ReadIndices(data, &list, data), 0u);
  EXPECT_EQ(ToBits(data), "101100");
  ASSERT_EQ(BitData_WriteIndices(data, &list, data), 0u);
  EXPECT_EQ(ToBits(data), "110100");
  BitData_FreeManaged(data);
}

// Random lists mixing every kind of element, against a model; runs are long enough to cross
// words.
TEST_F(BitDataTest, ReadAndWriteVisitTheListedPositionsInOrder) {
  std::mt19937_64 random(11);
  for (int round = 0; round < 300; ++round) {
    const uint64_t length = 1 + random() % 400;
    std::string bits;
    for (uint64_t i = 0; i < length; ++i) bits += (random() & 1) != 0 ? '1' : '0';
    ListBuilder builder;
    std::vector<uint64_t> positions;
    for (int e = 0; e < 5; ++e) {
      const uint64_t a = random() % length, b = random() % length;
      const uint64_t low = std::min(a, b), n = std::max(a, b) - low + 1;
      switch (random() % 5) {
        case 0:
          builder.Positions({a, b});
          positions.insert(positions.end(), {a, b});
          break;
        case 1:
          builder.Run(low, n);
          for (uint64_t j = 0; j < n; ++j) positions.push_back(low + j);
          break;
        case 2:
          builder.Run(low + n - 1, n, false);
          for (uint64_t j = 0; j < n; ++j) positions.push_back(low + n - 1 - j);
          break;
        case 3:
          builder.Positions({});
          break;
        default:
          builder.Run(a, 0);
      }
    }
    if (positions.empty()) continue;
    const IndexList list = builder.List(positions.size());
    BitData* source = FromBits(bits);
    // Longer than the list: the bits past the count must be left alone.
    BitData* sequence = FromBits(std::string(positions.size(), '0') + "101");
    ASSERT_EQ(BitData_ReadIndices(source, &list, sequence), 0u);
    std::string expected;
    for (uint64_t p : positions) expected += bits[p];
    ASSERT_EQ(ToBits(sequence), expected + "101");

    BitData* target = BitData_CreateManaged(length);
    ASSERT_EQ(BitData_WriteIndices(target, &list, sequence), 0u);
    std::string written(length, '0');
    for (size_t k = 0; k < positions.size(); ++k) written[positions[k]] = expected[k];
    ASSERT_EQ(ToBits(target), written);
    for (BitData* data : {source, sequence, target}) BitData_FreeManaged(data);
  }
  ExpectMisuses(0);
}

// Every list below is refused by both calls, counted as a misuse, and changes no bit.
TEST_F(BitDataTest, MalformedListsAreRefusedBeforeAnyWrite) {
  BitData* data = FromBits("10101010");
  BitData* sink = FromBits("11110000");
  StandIn_BitDataResetMisuseCount();
  const auto refusedBoth = [&](const IndexList* list, const char* why) {
    EXPECT_NE(BitData_ReadIndices(data, list, sink), 0u) << why;
    EXPECT_NE(BitData_WriteIndices(sink, list, data), 0u) << why;
    ExpectMisuses(2);
    EXPECT_EQ(ToBits(sink), "11110000") << why;
  };
  const auto refused = [&](ListBuilder& builder, uint64_t count, const char* why) {
    const IndexList list = builder.List(count);
    refusedBoth(&list, why);
  };
  refusedBoth(nullptr, "no list");
  {
    ListBuilder b;
    b.Positions({1, 2});
    refused(b, 0, "count 0");
    refused(b, 3, "count above the positions named");
    refused(b, 1, "count below the positions named");
  }
  // A valid element first, so a partial write would show.
  ListBuilder b;
  b.Positions({0, 1});
  refused(ListBuilder(b).Run(2, 4, false), 6, "descending run below 0");
  refused(ListBuilder(b).Run(kMax, 2), 4, "ascending run past 2^64 - 1");
  refused(ListBuilder(b).Run(0, kMax), 1, "total count wrapping past 2^64 - 1");
  refused(ListBuilder(b).Element(true, true, {3}), 3, "run with one value");
  refused(ListBuilder(b).Element(true, true, {3, 1, 0}), 3, "run with three values");
  refused(ListBuilder(b).Positions({8}), 3, "position past the positional buffer");
  refused(ListBuilder(b).Run(0, 9), 11, "run past the positional buffer");
  refused(ListBuilder(b).Run(0, 7), 9, "more positions than the sequential buffer has");
  refused(ListBuilder(b).Run(0, STANDIN_BITDATA_MAX_BITS + 1), STANDIN_BITDATA_MAX_BITS + 3,
          "more positions than any buffer can have");
  {
    ListBuilder reversed(b);
    reversed.Positions({0, 1});
    std::swap(reversed.Runs().back().valuesBegin, reversed.Runs().back().valuesEnd);
    refused(reversed, 4, "values end before they begin");
    reversed.Runs().back().valuesBegin = nullptr;
    refused(reversed, 4, "values begin null, end not");
    reversed.Runs().back().valuesBegin = reinterpret_cast<const uint64_t*>(
        reinterpret_cast<const char*>(reversed.Runs().back().valuesEnd) - 4);
    refused(reversed, 2, "values half an item apart");
  }
  {
    const IndexList backwards{b.Runs().data() + 1, b.Runs().data(), nullptr, 2};
    refusedBoth(&backwards, "elements end before they begin");
    const IndexList halfNull{nullptr, b.Runs().data() + 1, nullptr, 2};
    refusedBoth(&halfNull, "elements begin null, end not");
    const char* oneByteIn = reinterpret_cast<const char*>(b.Runs().data()) + 1;
    const IndexList misaligned{reinterpret_cast<const IndexRun*>(oneByteIn),
                               reinterpret_cast<const IndexRun*>(oneByteIn + sizeof(IndexRun)),
                               nullptr, 2};
    refusedBoth(&misaligned, "elements misaligned");
  }
  BitData_FreeManaged(data);
  BitData_FreeManaged(sink);
}

}  // namespace
