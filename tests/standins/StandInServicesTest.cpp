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

// Levels are bits of the enabled mask; a level past bit 31 is never enabled. What the recorder
// keeps of each line (text, level, nesting delta) is checked by tests/internal/LogBridgeTest.cpp.
TEST(LoggingService, EnablesExactlyTheLevelsOfTheMask) {
  const LoggerHandle logger = Quorvel_LoggingGetLogger(3);
  StandIn_LoggingSetEnabledLevels(0x80000005u);
  for (uint32_t level : {0u, 1u, 2u, 3u, 31u, 32u, 40u})
    EXPECT_EQ(Quorvel_LoggingIsLogEnabled(logger, level), level == 0 || level == 2 || level == 31);
}

}  // namespace
