// The bit-data library against a model of buffers as strings of '0' and '1' (bit i is char i).
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "BitData.h"
#include "IndexListBuilder.h"

namespace {

constexpr uint64_t kMax = UINT64_MAX;

BitData* FromBits(const std::string& bits) {
  BitData* data = BitData_CreateManaged(bits.size());
  for (size_t i = 0; i < bits.size(); ++i) BitData_SetUpToUInt64(data, i, 1, bits[i] == '1');
  return data;
}

std::string ToBits(const BitData* data) {
  std::string bits(BitData_GetLength(data), '0');
  for (size_t i = 0; i < bits.size(); ++i) bits[i] += BitData_GetUpToUInt64(data, i, 1) != 0;
  return bits;
}

class BitDataTest : public testing::Test {
 protected:
  BitDataTest() { StandIn_BitDataResetMisuseCount(); }
  void TearDown() override { EXPECT_EQ(StandIn_BitDataLiveCount(), liveBefore_) << "leaked"; }
  const uint64_t liveBefore_ = StandIn_BitDataLiveCount();
};

// Random copies (overlapping, as memmove), index lists of every kind read and written between two
// buffers and within one, and resizes.
TEST_F(BitDataTest, ValidCallsMatchTheModel) {
  std::mt19937_64 random(7);
  for (int round = 0; round < 300; ++round) {
    const uint64_t length = 1 + random() % 300;
    std::string model, written(length, '0');
    for (uint64_t i = 0; i < length; ++i) model += "01"[random() & 1];
    BitData* data = FromBits(model);
    BitData* zeros = BitData_CreateManaged(length);
    const uint64_t count = random() % (length + 1), from = random() % (length - count + 1);
    const uint64_t to = random() % (length - count + 1);
    ASSERT_EQ(BitData_Copy(data, from, data, to, count), 0u);
    model.replace(to, count, model.substr(from, count));
    const uint64_t a = random() % length, b = random() % length;
    const uint64_t low = round % 3 == 0 ? 0 : random() % (b + 1);  // where the descending run ends
    IndexListBuilder builder;  // runs up to the last bit and down from b, empty elements between
    const IndexList list = builder.Positions({a, b}).Run(a, length - a).Positions({})
                               .Run(b, b - low + 1, false).Run(a, 0).List();
    std::vector<uint64_t> positions{a, b};
    for (uint64_t p = a; p < length; ++p) positions.push_back(p);
    for (uint64_t p = b + 1; p-- > low;) positions.push_back(p);
    BitData* sequence = FromBits(std::string(positions.size(), '0') + "101");
    ASSERT_EQ(BitData_ReadIndices(data, &list, sequence), 0u);
    std::string read;
    for (uint64_t p : positions) read += model[p];
    EXPECT_EQ(ToBits(sequence), read + "101");  // bits past the count are left alone
    ASSERT_EQ(BitData_WriteIndices(zeros, &list, sequence), 0u);
    for (size_t k = 0; k < positions.size(); ++k) written[positions[k]] = read[k];
    if (positions.size() <= length) {  // within one buffer, the source is read in full first
      ASSERT_EQ(BitData_ReadIndices(data, &list, data), 0u);
      ASSERT_EQ(BitData_WriteIndices(data, &list, data), 0u);
      model.replace(0, read.size(), read);
      for (size_t k = 0; k < positions.size(); ++k) model[positions[k]] = read[k];
    }
    const uint64_t cut = round % 4 == 0 ? 0 : random() % length;  // regrown bits must be zeros
    for (uint64_t size : {cut, length}) ASSERT_EQ(BitData_Resize(data, size), 0u);
    model.replace(cut, length - cut, length - cut, '0');
    ASSERT_EQ(ToBits(data) + " " + ToBits(zeros), model + " " + written) << round;
    for (BitData* used : {data, zeros, sequence}) BitData_FreeManaged(used);
  }
}

// Every call below is refused, counted as one misuse, and changes no bit of any buffer.
TEST_F(BitDataTest, RefusesBadInputAndChangesNothing) {
  BitData* data = FromBits("10101010");
  BitData* sink = BitData_CreateManagedFromBitData(data);
  BitData_SetUpToUInt64(sink, 1, 2, 3);  // 11101010
  const uint64_t past[][2] = {{0, 65}, {0, 9}, {8, 1}, {9, 0}, {kMax, 2}, {2, kMax}, {kMax, kMax}};
  for (const auto& [offset, count] : past) {
    EXPECT_EQ(BitData_GetUpToUInt64(data, offset, count), 0u);
    EXPECT_NE(BitData_SetUpToUInt64(data, offset, count, 0), 0u);
    EXPECT_NE(BitData_Copy(data, offset, sink, 0, count), 0u);
    EXPECT_NE(BitData_Copy(sink, 0, data, offset, count), 0u);
  }
  EXPECT_EQ(BitData_CreateManaged(STANDIN_BITDATA_MAX_BITS + 1), BitData_CreateManaged(kMax));
  EXPECT_NE(BitData_Resize(data, STANDIN_BITDATA_MAX_BITS + 1), 0u);
  const auto refused = [](const IndexList* list, BitData* from, BitData* to) {
    EXPECT_NE(BitData_ReadIndices(from, list, to), 0u);
    EXPECT_NE(BitData_WriteIndices(to, list, from), 0u);
  };
  refused(nullptr, data, sink);
  // Each after a valid element naming 0 and 1, so that a partial write would show. Elements are
  // 'p'ositions or 'a'scending or 'd'escending runs; `spoil` damages the list's element pointers.
  const struct { char kind; std::vector<uint64_t> values; uint64_t count; int spoil = 0; } bad[] = {
      {'p', {}, 0}, {'p', {}, 1}, {'p', {}, 3},  // count 0, below and above the positions named
      {'d', {2, 4}, 6}, {'a', {kMax, 2}, 4}, {'a', {0, kMax}, 1},  // below 0, past or wrapping 2^64
      {'a', {3}, 3}, {'a', {3, 1, 0}, 3},                          // runs with one or three values
      {'p', {8}, 3}, {'a', {0, 9}, 11}, {'a', {0, 7}, 9},  // past the positional, sequential buffer
      {'p', {}, 2, 1}, {'p', {}, 2, 2}, {'p', {}, 2, 3}};  // reversed, half null, not whole items
  for (const auto& [kind, values, count, spoil] : bad) {
    IndexListBuilder b;
    IndexList list = b.Positions({0, 1}).Element(kind != 'p', kind != 'd', values).List(count);
    if (spoil == 1) std::swap(list.elementsBegin, list.elementsEnd);
    if (spoil == 2) list.elementsBegin = nullptr;
    if (spoil == 3) list.elementsEnd = reinterpret_cast<const IndexRun*>(
        reinterpret_cast<const char*>(list.elementsEnd) - 8);
    refused(&list, data, sink);
  }

  BitData* freed = nullptr;  // by a thread that exits, so its slot goes back to the registry
  std::thread([&] { BitData_FreeManaged(freed = BitData_CreateManaged(8)); }).join();
  std::vector<BitData*> made{data, sink};  // none of the next thousand reuses the freed address
  while (made.size() < 1002) made.push_back(BitData_CreateManaged(8));
  EXPECT_EQ(std::count(made.begin(), made.end(), freed), 0);
  uint64_t fake[4] = {8, 0, 0, 0};
  IndexListBuilder valid;
  const IndexList list = valid.Positions({0}).List();
  for (BitData* dead : {static_cast<BitData*>(nullptr), freed, reinterpret_cast<BitData*>(fake)}) {
    for (auto [from, to] : {std::pair(dead, sink), std::pair(sink, dead)}) {
      EXPECT_NE(BitData_Copy(from, 0, to, 0, 1), 0u);
      refused(&list, from, to);
    }
    EXPECT_EQ(BitData_CreateManagedFromBitData(dead), nullptr);
    EXPECT_NE(BitData_Resize(dead, 4), 0u);
    EXPECT_EQ(BitData_GetUpToUInt64(dead, 0, 1) + BitData_GetLength(dead), 0u);
    EXPECT_NE(BitData_SetUpToUInt64(dead, 0, 1, 1), 0u);
    BitData_FreeManaged(dead);  // null is accepted; a freed or fake pointer is a misuse
  }
  EXPECT_EQ(StandIn_BitDataMisuseCount(), 4 * std::size(past) + 3 + 2 * (std::size(bad) + 1) + 35);
  EXPECT_EQ(ToBits(data) + ToBits(sink) + std::to_string(fake[0]), "10101010111010108");
  for (BitData* used : made) BitData_FreeManaged(used);
}

thread_local struct ExitTimeUser {  // used before a thread's first call, so destroyed after the
  BitData** out = nullptr;          // thread's slot cache went back: it frees and creates then
  ~ExitTimeUser() { BitData_FreeManaged(*out), *out = BitData_CreateManaged(16); }
} tExitTimeUser;

TEST_F(BitDataTest, LiveCountStaysExactWhenThreadsCreateFreeAndExit) {
  std::vector<BitData*> made(100);
  std::thread([&] {
    tExitTimeUser.out = &made.emplace_back();
    for (BitData*& data : made) data = BitData_CreateManaged(32);
  }).join();  // its cache still held unused slots when it exited
  EXPECT_EQ(StandIn_BitDataLiveCount(), liveBefore_ + 101);
  for (BitData* data : made) BitData_FreeManaged(data);  // on another thread than made them
}

}  // namespace
