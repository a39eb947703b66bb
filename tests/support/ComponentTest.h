// ComponentTest.h
//
// The fixture of the tests that drive the component through its function table, as a client
// does, against the stand-in services.
//
// Every test starts with all log levels enabled, lines recorded (and not printed), and the
// calling thread's posts cleared; its TearDown checks the residue, so every test is also a leak
// test: no operation of the test's client is left in the pool and no bit buffer is left alive.
// The main thread works as client kMainClient.
#ifndef OPERATION_RECEIPT_TESTS_COMPONENT_TEST_H_
#define OPERATION_RECEIPT_TESTS_COMPONENT_TEST_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "BitData.h"
#include "OperationReceipt.h"
#include "StandInServices.h"

namespace operation_receipt_test {

inline constexpr int32_t kMainClient = 100;
inline constexpr uint32_t kAllLevels = 0xF;

struct Post {
  uint32_t code;
  std::string message;
  std::string file;
};

struct Line {
  uint32_t level;
  std::string text;
  int32_t delta;
};

// The component's table, fetched once.
const OperationReceiptComponent& Table();

// Recorded lines and the calling thread's posts, as values.
std::vector<Line> RecordedLines();
std::vector<std::string> RecordedTexts();
std::vector<Post> Posts();

// What the callbacks of a Probe-made operation do and what they saw.
struct Probe {
  uint32_t executeResult = 0;
  int executed = 0;
  int destroyed = 0;
  int valuesSeen = 0;
  uint32_t valueResult = 0;
  uint64_t lastToken = 0;
  // Run inside the execute callback, before it returns executeResult.
  void (*onExecute)(Probe& probe, uint64_t token) = nullptr;
  void (*onDestroy)(Probe& probe) = nullptr;
  void* user = nullptr;
};

// A descriptor whose callbacks report to `probe`.
OperationDescriptor ProbeDescriptor(Probe& probe, const char* name, bool hasValue = false,
                                    bool alwaysExecute = false);

// "0x" and 16 lower-case hex digits, as the component writes tokens.
std::string Hex(uint64_t token);

// A managed bit buffer of `bits` bits holding `value` (low bits first).
BitData* MakeBits(uint64_t bits, uint64_t value);

class ComponentTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  const OperationReceiptComponent& table_ = Table();

  uint64_t Create(const OperationDescriptor* descriptor);
  uint32_t State(uint64_t token);
  uint32_t Code(uint64_t token);

 private:
  uint64_t liveBitsAtStart_ = 0;
};

}  // namespace operation_receipt_test

#endif  // OPERATION_RECEIPT_TESTS_COMPONENT_TEST_H_
