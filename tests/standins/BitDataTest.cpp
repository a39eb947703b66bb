// Tests of the bit-data library's whole-buffer and range calls, and of its refusals.
#include <cstdint>
#include <random>
#include <string>

#include "BitDataTestSupport.h"

namespace {

constexpr uint64_t kMax = UINT64_MAX;

TEST_F(BitDataTest, CreatesZeroedBuffersUpToTheCeiling) {
  BitData* empty = BitData_CreateManaged(0);
  BitData* data = BitData_CreateManaged(130);
  EXPECT_EQ(StandIn_BitDataLiveCount(), 2u);
  EXPECT_EQ(BitDataLengthInBits(empty), 0u);
  EXPECT_EQ(BitDataLengthInBits(data), 130u);
  EXPECT_EQ(ToBits(data), std::string(130, '0'));
  BitData_SetUpToUInt64(data, 64, 2, 3);
  BitData* copy = BitData_CreateManagedFromBitData(data);
  BitData_SetUpToUInt64(data, 64, 2, 0);
  EXPECT_EQ(ToBits(copy), std::string(64, '0') + "11" + std::string(64, '0'));  // independent
  BitData_FreeManaged(copy);
  BitData* largest = BitData_CreateManaged(STANDIN_BITDATA_MAX_BITS);
  EXPECT_NE(largest, nullptr);
  EXPECT_EQ(BitData_CreateManaged(STANDIN_BITDATA_MAX_BITS + 1), nullptr);
  EXPECT_EQ(BitData_CreateManaged(kMax), nullptr);
  ExpectMisuses(2);
  for (BitData* created : {largest, data, empty}) BitData_FreeManaged(created);
  EXPECT_EQ(StandIn_BitDataLiveCount(), 0u);
}

TEST_F(BitDataTest, FieldsAcrossWordsKeepTheirLowBitLowest) {
  BitData* data = BitData_CreateManaged(200);
  ASSERT_EQ(BitData_SetUpToUInt64(data, 120, 16, 0xFFFFABCDull), 0u);  // high bits ignored
  EXPECT_EQ(BitData_GetUpToUInt64(data, 128, 8), 0xABu);
  EXPECT_EQ(BitData_GetUpToUInt64(data, 112, 64), 0xABCDull << 8);
  EXPECT_EQ(BitData_GetUpToUInt64(data, 136, 64), 0u);  // ends exactly at the length
  ExpectMisuses(0);
  BitData_FreeManaged(data);
}

TEST_F(BitDataTest, RefusesRangesPastTheEndWithoutWrapping) {
  BitData* data = FromBits("1111111111");
  StandIn_BitDataResetMisuseCount();
  const struct {
    uint64_t offset, count;
  } refused[] = {{0, 65}, {0, 11}, {10, 1}, {11, 0}, {kMax, 2}, {2, kMax}, {kMax, kMax}};
  for (const auto& range : refused) {
    EXPECT_EQ(BitData_GetUpToUInt64(data, range.offset, range.count), 0u);
    EXPECT_NE(BitData_SetUpToUInt64(data, range.offset, range.count, 0), 0u);
  }
  BitData* other = BitData_CreateManaged(8);
  EXPECT_NE(BitData_Copy(data, 3, other, 0, 8), 0u);
  EXPECT_NE(BitData_Copy(data, 0, other, 1, 8), 0u);
  EXPECT_NE(BitData_Copy(data, kMax, other, 0, 2), 0u);
  EXPECT_NE(BitData_Copy(data, 0, other, 2, kMax), 0u);
  ExpectMisuses(2 * std::size(refused) + 4);
  EXPECT_EQ(ToBits(data), "1111111111");
  EXPECT_EQ(ToBits(other), "00000000");
  EXPECT_EQ(BitData_Copy(data, 10, other, 8, 0), 0u);
  BitData_FreeManaged(data);
  BitData_FreeManaged(other);
}

TEST_F(BitDataTest, RefusesPointersThatAreNotLiveBuffers) {
  BitData* live = BitData_CreateManaged(8);
  BitData* freed = BitData_CreateManaged(8);
  BitData_FreeManaged(freed);
  uint64_t foreignStorage[4] = {8, 0, 0, 0};
  auto* foreign = reinterpret_cast<BitData*>(foreignStorage);
  IndexRun run{0, 0, {}, nullptr, nullptr, nullptr};
  const uint64_t position = 0;
  run.valuesBegin = &position;
  run.valuesEnd = &position + 1;
  const IndexList list{&run, &run + 1, nullptr, 1};

  BitData_FreeManaged(nullptr);
  ExpectMisuses(0);
  for (BitData* bad : {static_cast<BitData*>(nullptr), freed, foreign}) {
    EXPECT_EQ(BitData_CreateManagedFromBitData(bad), nullptr);
    EXPECT_NE(BitData_Resize(bad, 4), 0u);
    EXPECT_NE(BitData_Copy(bad, 0, live, 0, 1), 0u);
    EXPECT_NE(BitData_Copy(live, 0, bad, 0, 1), 0u);
    EXPECT_NE(BitData_ReadIndices(bad, &list, live), 0u);
    EXPECT_NE(BitData_ReadIndices(live, &list, bad), 0u);
    EXPECT_NE(BitData_WriteIndices(bad, &list, live), 0u);
    EXPECT_NE(BitData_WriteIndices(live, &list, bad), 0u);
    EXPECT_EQ(BitData_GetUpToUInt64(bad, 0, 1), 0u);
    EXPECT_NE(BitData_SetUpToUInt64(bad, 0, 1, 1), 0u);
    EXPECT_EQ(BitData_GetLength(bad), 0u);
    ExpectMisuses(11);
  }
  BitData_FreeManaged(freed);  // double free
  BitData_FreeManaged(foreign);
  ExpectMisuses(2);
  EXPECT_EQ(foreignStorage[0], 8u);  // never touched
  EXPECT_EQ(BitData_GetLength(live), 8u);
  BitData_FreeManaged(live);
}

TEST_F(BitDataTest, ResizeKeepsLowBitsAndZeroesNewOnes) {
  BitData* data = FromBits("1011");
  ASSERT_EQ(BitData_Resize(data, 70), 0u);
  EXPECT_EQ(ToBits(data), "1011" + std::string(66, '0'));
  BitData_SetUpToUInt64(data, 60, 10, 0x3FF);
  ASSERT_EQ(BitData_Resize(data, 3), 0u);
  ASSERT_EQ(BitData_Resize(data, 200), 0u);  // bits cut off earlier come back as zeros
  EXPECT_EQ(ToBits(data), "101" + std::string(197, '0'));
  ASSERT_EQ(BitData_Resize(data, 0), 0u);
  ASSERT_EQ(BitData_Resize(data, 2), 0u);
  EXPECT_EQ(ToBits(data), "00");
  EXPECT_NE(BitData_Resize(data, STANDIN_BITDATA_MAX_BITS + 1), 0u);
  ExpectMisuses(1);
  EXPECT_EQ(BitData_GetLength(data), 2u);
  BitData_FreeManaged(data);
}

// Compares Copy against a character-by-character model, including overlaps within one buffer.
TEST_F(BitDataTest, CopyMovesRangesLikeMemmove) {
  std::mt19937_64 random(7);
  for (int round = 0; round < 300; ++round) {
    const uint64_t length = 1 + random() % 300;
    std::string model;
    for (uint64_t i = 0; i < length; ++i) model += (random() & 1) != 0 ? '1' : '0';
    BitData* data = FromBits(model);
    BitData* other = FromBits(std::string(length, '0'));
    const uint64_t count = random() % (length + 1);
    const uint64_t from = random() % (length - count + 1);
    const uint64_t to = random() % (length - count + 1);
    const bool sameBuffer = round % 2 == 0;
    ASSERT_EQ(BitData_Copy(data, from, sameBuffer ? data : other, to, count), 0u);
    std::string expected = sameBuffer ? model : std::string(length, '0');
    expected.replace(to, count, model.substr(from, count));
    ASSERT_EQ(ToBits(sameBuffer ? data : other), expected)
        << "length " << length << " from " << from << " to " << to << " count " << count;
    BitData_FreeManaged(data);
    BitData_FreeManaged(other);
  }
  ExpectMisuses(0);
}

}  // namespace
