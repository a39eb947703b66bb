// Helpers shared by the bit-data tests: buffers written as strings of '0' and '1', character i
// being bit i, and a fixture that checks a test leaves no buffer behind and no misuse unexpected.
#ifndef STAND_INS_TESTS_BIT_DATA_TEST_SUPPORT_H_
#define STAND_INS_TESTS_BIT_DATA_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <string>

#include "BitData.h"

inline BitData* FromBits(const std::string& bits) {
  BitData* data = BitData_CreateManaged(bits.size());
  for (size_t i = 0; i < bits.size(); ++i) BitData_SetUpToUInt64(data, i, 1, bits[i] == '1');
  return data;
}

inline std::string ToBits(const BitData* data) {
  std::string bits;
  for (uint64_t i = 0; i < BitData_GetLength(data); ++i) {
    bits += BitData_GetUpToUInt64(data, i, 1) != 0 ? '1' : '0';
  }
  return bits;
}

class BitDataTest : public testing::Test {
 protected:
  void SetUp() override {
    liveBefore_ = StandIn_BitDataLiveCount();
    StandIn_BitDataResetMisuseCount();
  }
  void TearDown() override { EXPECT_EQ(StandIn_BitDataLiveCount(), liveBefore_) << "leaked"; }

  // Checks that exactly `expected` misuses were counted since the last check.
  void ExpectMisuses(uint64_t expected) {
    EXPECT_EQ(StandIn_BitDataMisuseCount(), expected);
    StandIn_BitDataResetMisuseCount();
  }

 private:
  uint64_t liveBefore_ = 0;
};

#endif  // STAND_INS_TESTS_BIT_DATA_TEST_SUPPORT_H_
