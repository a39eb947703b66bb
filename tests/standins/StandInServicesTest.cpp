// The stand-in services the component relies on: error contexts, event broker and logging.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "StandInServices.h"

namespace {

// A context keeps the first non-zero error posted on its own thread since it opened.
TEST(ErrorService, ContextsNestAndTheOpenCountIsExact) {
  const ErrorContextHandle outer = Quorvel_ErrorEnterContex(0);
  const ErrorContextHandle inner = Quorvel_ErrorEnterContex(0);
  Quorvel_ErrorPostError(11, "eleven", "f", 1);
  const ErrorContextHandle late = Quorvel_ErrorEnterContex(0);
  Quorvel_ErrorPostError(12, "twelve", "f", 2);
  EXPECT_EQ(Quorvel_ErrorExitContex(inner), 0u);  // the middle one: the others stay open
  std::thread([] { Quorvel_ErrorEnterContex(0); }).join();  // left open, but not on this thread
  EXPECT_EQ(StandIn_ErrorOpenContextCount(), 2u);
  EXPECT_EQ(Quorvel_ErrorGetErrorCode(outer), 11u);
  EXPECT_EQ(Quorvel_ErrorGetErrorCode(late), 12u);
  for (ErrorContextHandle context : {late, outer}) EXPECT_EQ(Quorvel_ErrorExitContex(context), 0u);
}

void RecordClientId(void* seen, const char*, const void* event) {
  static_cast<std::vector<int32_t>*>(seen)->push_back(
      static_cast<const StandInClientEventData*>(event)->clientId);
}

TEST(EventBroker, DeliversToTheCategorysSubscribersUntilTheyUnsubscribe) {
  EventBrokerInterface* broker = nullptr;
  ASSERT_EQ(Quorvel_GetEventBroker(&broker), 0u);
  std::vector<int32_t> first, second;
  for (auto* seen : {&first, &second}) broker->Subscribe("Client", RecordClientId, seen, "client");
  EXPECT_EQ(StandIn_PublishClientDisconnected(42), 0u);
  EXPECT_EQ(broker->Unsubscribe("Client", RecordClientId, &second), 0u);  // not the first match
  EXPECT_EQ(StandIn_PublishClientDisconnected(43), 0u);
  EXPECT_EQ(first, (std::vector<int32_t>{42, 43}));
  EXPECT_EQ(second, std::vector<int32_t>{42});
  EXPECT_EQ(broker->Unsubscribe("Client", RecordClientId, &first), 0u);
}

TEST(LoggingService, FiltersByEnabledLevelAndRecordsLinesWithTheirDeltas) {
  const LoggerHandle logger = Quorvel_LoggingGetLogger(3);
  StandIn_LoggingSetEnabledLevels(0x80000005u);
  for (uint32_t level : {0u, 1u, 2u, 3u, 31u, 32u, 40u})
    EXPECT_EQ(Quorvel_LoggingIsLogEnabled(logger, level), level == 0 || level == 2 || level == 31);
  StandIn_LoggingSetSink(StandIn_LoggingDiscardSink, nullptr);
  StandIn_LoggingSetEnabledLevels(0);  // lines are recorded whatever the levels
  const struct { const char* text; uint32_t level; int32_t delta; } lines[] = {
      {"opens", 2, 1}, {"inside", 5, 0}, {"closes", 40, -1}};
  StandIn_LoggingClearRecorded();
  StandIn_LoggingStartRecording();
  for (const auto& line : lines) Quorvel_LoggingLog(logger, line.level, line.text, line.delta);
  StandIn_LoggingStopRecording();
  ASSERT_EQ(StandIn_LoggingRecordedCount(), std::size(lines));
  for (size_t i = 0; i < std::size(lines); ++i) {
    EXPECT_STREQ(StandIn_LoggingRecordedText(i), lines[i].text);
    EXPECT_EQ(StandIn_LoggingRecordedDelta(i), lines[i].delta);
  }
}

}  // namespace
