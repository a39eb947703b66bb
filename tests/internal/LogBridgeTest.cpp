// LogBridgeTest.cpp
//
// The logging bridge: what the service is asked for each line, the pieces of a line, lines
// longer than the stack buffer, and the closing line of a scope.

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "OperationReceiptLog.h"
#include "StandInServices.h"

namespace operation_receipt {
namespace {

class LogBridge : public ::testing::Test {
 protected:
  void SetUp() override {
    StandIn_LoggingSetSink(StandIn_LoggingDiscardSink, nullptr);
    StandIn_LoggingSetEnabledLevels(0xF);
    StandIn_LoggingSetSuppressed(false);
    StandIn_LoggingStartRecording();
    StandIn_LoggingClearRecorded();
  }
  void TearDown() override { StandIn_LoggingStopRecording(); }
  static uint64_t Calls(StandInLoggingCall which) { return StandIn_LoggingCallCount(which); }
  static std::string Text(uint64_t index) { return StandIn_LoggingRecordedText(index); }

  Logger logger_;
};

// A written line asks whether its level is enabled twice and whether logging is suppressed
// once; a disabled level is asked once, and neither it nor suppressed logging builds the line.
// Tokens are written as 16 hex digits, counts in decimal.
TEST_F(LogBridge, QuestionsPerLineAndPiecesOfAWrittenLine) {
  // {enabled asked, suppressed asked, written, built} for one line.
  const auto write = [&](uint32_t levels, bool suppressed) {
    StandIn_LoggingSetEnabledLevels(levels);
    StandIn_LoggingSetSuppressed(suppressed);
    StandIn_LoggingResetCounters();
    bool built = false;
    LogLine(logger_, kLogLifecycle, [&](LineWriter& s) {
      built = true;
      s << TokenPiece{1} << " " << TokenPiece{0xFFFFFFFFFFFFFFFFull} << " " << 42 << " "
        << TokenPiece{0xABC} << " " << 255;
    });
    return std::vector<uint64_t>{Calls(StandInLogging_IsLogEnabled),
                                 Calls(StandInLogging_IsLoggingSuppressed),
                                 Calls(StandInLogging_Log), built};
  };
  EXPECT_EQ(write(0, false), (std::vector<uint64_t>{1, 0, 0, 0}));
  EXPECT_EQ(write(0xF, true), (std::vector<uint64_t>{2, 1, 0, 0}));
  EXPECT_EQ(write(0xF, false), (std::vector<uint64_t>{2, 1, 1, 1}));
  ASSERT_EQ(StandIn_LoggingRecordedCount(), 1u);
  EXPECT_EQ(Text(0), "0x0000000000000001 0xffffffffffffffff 42 0x0000000000000abc 255");
  EXPECT_EQ(StandIn_LoggingRecordedDelta(0), 0);
}

// Lines longer than the bridge's stack buffer are written whole, the closing line of a scope
// included (its block is taken when the scope opens), and a scope closes also when an exception
// leaves it.
TEST_F(LogBridge, LongLinesAreWrittenWholeAndScopesCloseOnExceptions) {
  const std::string name(3 * Logger::kStackLine, 'n');
  try {
    LogScope scope(
        logger_, kLogFlush, [&](LineWriter& s) { s << "open " << NamePiece{name.c_str()}; },
        [&](LineWriter& s) { s << "close " << NamePiece{name.c_str()} << ' ' << TokenPiece{7}; });
    LogLine(logger_, kLogLifecycle, [&](LineWriter& s) { s << NamePiece{name.c_str()} << 12; });
    throw std::runtime_error("leaving");
  } catch (const std::runtime_error&) {
  }
  ASSERT_EQ(StandIn_LoggingRecordedCount(), 3u);
  EXPECT_EQ(Text(0), "open '" + name + "'");
  EXPECT_EQ(StandIn_LoggingRecordedDelta(0), +1);
  EXPECT_EQ(Text(1), "'" + name + "'12");
  EXPECT_EQ(Text(2), "close '" + name + "' 0x0000000000000007");
  EXPECT_EQ(StandIn_LoggingRecordedDelta(2), -1);
  EXPECT_EQ(StandIn_LoggingRecordedLevel(2), kLogFlush);
}

}  // namespace
}  // namespace operation_receipt
