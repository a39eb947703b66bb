// FlushHelpers.h
//
// Helpers shared by the tests of flushing, cancelling, the post-flush callback and threads:
// lambdas as an operation's callbacks, recorded lines with their levels, and short readers.
#ifndef OPERATION_RECEIPT_TESTS_FLUSH_HELPERS_H_
#define OPERATION_RECEIPT_TESTS_FLUSH_HELPERS_H_

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "ComponentTest.h"

namespace operation_receipt_test {

// What a Probe-made operation does in its callbacks, beyond counting.
struct Hooks {
  std::function<void(uint64_t token)> execute;
  std::function<void()> destroy;
};

inline void Attach(Probe& probe, Hooks& hooks) {
  probe.user = &hooks;
  probe.onExecute = [](Probe& p, uint64_t token) {
    Hooks& h = *static_cast<Hooks*>(p.user);
    if (h.execute) h.execute(token);
  };
  probe.onDestroy = [](Probe& p) {
    Hooks& h = *static_cast<Hooks*>(p.user);
    if (h.destroy) h.destroy();
  };
}

// Recorded lines as "<level><+|-| > <text>", so that a mismatch shows levels and nesting.
inline std::vector<std::string> Traced() {
  std::vector<std::string> lines;
  for (const Line& line : RecordedLines()) {
    const char delta = line.delta > 0 ? '+' : (line.delta < 0 ? '-' : ' ');
    lines.push_back(std::to_string(line.level) + delta + ' ' + line.text);
  }
  return lines;
}

inline int CountLinesStartingWith(const std::string& prefix) {
  int count = 0;
  for (const std::string& text : RecordedTexts()) count += text.rfind(prefix, 0) == 0 ? 1 : 0;
  return count;
}

inline bool Immediate() {
  bool immediate = false;
  EXPECT_EQ(Table().IsImmediateMode(&immediate), 0u);
  return immediate;
}

// The error message, read through the table (which flushes a pending operation first).
inline std::string Message(uint64_t token) {
  char buffer[256] = {};
  uint32_t size = 0;
  EXPECT_EQ(Table().GetErrorMessage(token, buffer, sizeof buffer, &size), 0u);
  EXPECT_EQ(size, std::strlen(buffer));
  return buffer;
}

// The message the error service holds for `code` ("" for an unregistered one).
inline std::string DefaultMessage(uint32_t code) { return Quorvel_ErrorGetDefaultMessage(code); }

inline uint32_t Counted(int32_t setKey, bool pending) {
  uint32_t count = 99;
  if (pending) {
    EXPECT_EQ(Table().GetPendingOperationCount(setKey, &count), 0u);
  } else {
    EXPECT_EQ(Table().GetExecutedOperationCount(setKey, &count), 0u);
  }
  return count;
}

inline constexpr uint32_t kPending = OperationState_Pending;
inline constexpr uint32_t kExecuting = OperationState_Executing;
inline constexpr uint32_t kExecuted = OperationState_Executed;
inline constexpr uint32_t kCanceled = OperationState_Canceled;
inline constexpr uint32_t kFailed = OperationState_Failed;

}  // namespace operation_receipt_test

#endif  // OPERATION_RECEIPT_TESTS_FLUSH_HELPERS_H_
