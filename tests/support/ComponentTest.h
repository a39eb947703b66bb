// ComponentTest.h
//
// The fixture and helpers of the tests that drive the component through its function table, as
// a client does, against the stand-in services.
//
// Every test starts with all log levels enabled, lines recorded (and not printed), and the
// calling thread's posts cleared; its TearDown checks the residue, so every test is also a leak
// test: no operation of the test's client is left in the pool and no bit buffer is left alive.
// The main thread works as client kMainClient.
#ifndef OPERATION_RECEIPT_TESTS_COMPONENT_TEST_H_
#define OPERATION_RECEIPT_TESTS_COMPONENT_TEST_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "BitData.h"
#include "IndexListBuilder.h"
#include "OperationReceipt.h"
#include "StandInServices.h"

namespace operation_receipt_test {

inline constexpr int32_t kMainClient = 100;
inline constexpr uint32_t kPending = OperationState_Pending, kExecuting = OperationState_Executing,
                          kExecuted = OperationState_Executed, kCanceled = OperationState_Canceled,
                          kFailed = OperationState_Failed;

struct Post { uint32_t code; std::string message; std::string file; };
struct Line { uint32_t level; std::string text; int32_t delta; };

// The component's table, fetched once.
const OperationReceiptComponent& Table();

// Recorded lines and the calling thread's posts, as values. Traced() writes each line as
// "<level><+|-| > <text>", so that a mismatch shows levels and nesting.
std::vector<Line> RecordedLines();
std::vector<std::string> RecordedTexts();
std::vector<std::string> Traced();
int CountLines(const std::string& prefix);  // recorded lines starting with `prefix`
std::vector<Post> Posts();

// What the callbacks of a Probe-made operation do and what they saw.
struct Probe {
  uint32_t executeResult = 0, valueResult = 0;
  int executed = 0, destroyed = 0, valuesSeen = 0;
  uint64_t lastToken = 0;
  uint64_t valueLength = 0, valueLow = 0;  // the value the value callback was last given
  std::function<void(uint64_t token)> onExecute;  // before the callback returns executeResult
  std::function<void()> onValue;
  std::function<void()> onDestroy;
};

// A descriptor whose callbacks report to `probe`, and an operation made from it.
OperationDescriptor ProbeDescriptor(Probe& probe, const char* name, bool hasValue = false,
                                    bool alwaysExecute = false);
uint64_t Make(Probe& probe, const char* name, bool hasValue = false, bool alwaysExecute = false);
// A buffered, unnamed operation without callbacks, holding a `bits`-bit value or none.
uint64_t ValueSource(uint64_t bits, uint64_t value);
uint64_t PlainOperation();
void Release(const std::vector<uint64_t>& tokens);  // one reference of each

// What table entry `entry` writes to its out-parameter, expecting it to succeed.
template <typename Out, typename Entry, typename... Args>
Out Read(Entry entry, Args... args) {
  Out out{};
  EXPECT_EQ(entry(args..., &out), 0u);
  return out;
}

// Reads through the table; all but State flush a pending operation first.
uint32_t State(uint64_t token);
uint32_t Code(uint64_t token);
std::string Message(uint64_t token);
uint64_t ValueOf(uint64_t token);  // GetValueUInt64
bool Immediate();
uint32_t Counted(int32_t setKey, bool pending);

// What GetValue handed out, the copy already freed.
struct ReadBits {
  uint32_t result = 0;
  bool handedOut = false;
  uint64_t length = 0, low = 0;  // low: bits 0 .. min(length, 64) - 1
};
ReadBits ReadValueOf(uint64_t token);
// Success when GetValue succeeds with `length` bits whose low 64 are `low`.
::testing::AssertionResult Holds(uint64_t token, uint64_t length, uint64_t low);
// Success when exactly the `expected` posts (code, message) were made since the last clear, in
// that order and from the component's source file `file`; clears the posts.
::testing::AssertionResult Posted(const std::vector<std::pair<uint32_t, std::string>>& expected,
                                  const std::string& file = "OperationPool.cpp");
inline ::testing::AssertionResult PostedOnce(uint32_t code, const std::string& message,
                                             const std::string& file = "OperationPool.cpp") {
  return Posted({{code, message}}, file);
}

// "0x" and 16 lower-case hex digits, as the component writes tokens.
std::string Hex(uint64_t token);
std::string NoValueMessage(uint64_t token);
// "<verb> operation '<name>' (token = <hex><tail>)", a line of an operation's life.
std::string OpLine(const char* verb, const char* name, uint64_t token, const char* tail = "");

// A managed bit buffer of `bits` bits holding `value` (low bits first).
BitData* MakeBits(uint64_t bits, uint64_t value);

class ComponentTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  const OperationReceiptComponent& table_ = Table();

 private:
  uint64_t liveBitsAtStart_ = 0;
};

}  // namespace operation_receipt_test

#endif  // OPERATION_RECEIPT_TESTS_COMPONENT_TEST_H_
