// InterposedServiceTest.cpp
//
// A host that brings its own logging function: this executable defines Quorvel_LoggingLog, and
// the component, which binds its service functions by name at load time, must call this one
// instead of the stand-in's.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "OperationReceipt.h"
#include "StandInServices.h"

namespace {
std::vector<std::string> hostLines;
}

extern "C" uint32_t Quorvel_LoggingLog(LoggerHandle /*logger*/, uint32_t /*level*/,
                                       const char* text, int32_t /*nestingDelta*/) {
  hostLines.emplace_back(text);
  return 0;
}

TEST(InterposedService, TheHostsLoggingFunctionReceivesTheLines) {
  StandIn_LoggingSetEnabledLevels(0x1);
  StandIn_LoggingStartRecording();  // the stand-in's own recording must see nothing
  const OperationReceiptComponent* table = nullptr;
  ASSERT_EQ(Quorvel_GetOperationReceipt(&table), 0u);
  uint64_t token = 0;
  ASSERT_EQ(table->CreateOperation(nullptr, &token), 0u);
  ASSERT_EQ(table->Flush(), 0u);
  ASSERT_EQ(table->ReleaseOperation(token), 0u);
  ASSERT_FALSE(hostLines.empty());
  EXPECT_EQ(hostLines.front().rfind("Creating operation '<unknown>'", 0), 0u);
  EXPECT_EQ(hostLines.back().rfind("Destroying operation '<unknown>'", 0), 0u);
  EXPECT_EQ(StandIn_LoggingRecordedCount(), 0u);
}
