// The stand-in event broker and common service as the component relies on them: subscriptions
// keyed by category, handler and context, synchronous and ordered asynchronous delivery, and the
// per-thread client id.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "StandInServices.h"

namespace {

struct Seen {
  std::vector<std::string> names;
  std::vector<int32_t> clientIds;
  std::thread::id thread;
};

void Record(void* context, const char* eventName, const void* eventData) {
  auto* seen = static_cast<Seen*>(context);
  seen->names.emplace_back(eventName);
  int32_t clientId = -1;
  if (eventData != nullptr) std::memcpy(&clientId, static_cast<const char*>(eventData) + 4, 4);
  seen->clientIds.push_back(clientId);
  seen->thread = std::this_thread::get_id();
}

TEST(EventBroker, DeliversToTheCategorysSubscribersUntilTheyUnsubscribe) {
  EXPECT_NE(Quorvel_GetEventBroker(nullptr), 0u);
  EventBrokerInterface* broker = nullptr;
  ASSERT_EQ(Quorvel_GetEventBroker(&broker), 0u);
  Seen first, second, elsewhere;
  EXPECT_NE(broker->Subscribe(nullptr, Record, &first, "n"), 0u);
  EXPECT_NE(broker->Subscribe("Client", nullptr, &first, "n"), 0u);
  ASSERT_EQ(broker->Subscribe("Client", Record, &first, nullptr), 0u);
  ASSERT_EQ(broker->Subscribe("Client", Record, &second, "second"), 0u);
  ASSERT_EQ(broker->Subscribe("Other", Record, &elsewhere, "other"), 0u);
  EXPECT_EQ(StandIn_PublishClientDisconnected(42), 0u);
  EXPECT_EQ(first.names, std::vector<std::string>{"Disconnected"});
  EXPECT_EQ(first.clientIds, std::vector<int32_t>{42});
  EXPECT_EQ(second.clientIds, std::vector<int32_t>{42});
  EXPECT_TRUE(elsewhere.names.empty());
  // Unsubscribing needs the same category, handler and context.
  EXPECT_NE(broker->Unsubscribe("Client", Record, &elsewhere), 0u);
  EXPECT_NE(broker->Unsubscribe("Other", Record, &first), 0u);
  EXPECT_NE(broker->Unsubscribe(nullptr, Record, &first), 0u);
  EXPECT_EQ(broker->Unsubscribe("Client", Record, &first), 0u);
  StandIn_PublishEvent("Client", nullptr, nullptr);
  EXPECT_EQ(first.names.size(), 1u);
  EXPECT_EQ(second.names.back(), "");
  EXPECT_NE(StandIn_PublishEvent(nullptr, "x", nullptr), 0u);
  broker->Unsubscribe("Client", Record, &second);
  broker->Unsubscribe("Other", Record, &elsewhere);
  EXPECT_EQ(StandIn_EventSubscriberCount("Client"), 0u);

  // Asynchronous events arrive in order, as copies, on the delivery thread.
  broker->Subscribe("Async", Record, &first, "async");
  EXPECT_NE(StandIn_PublishEventAsync(nullptr, "x", nullptr, 0), 0u);
  EXPECT_NE(StandIn_PublishEventAsync("Async", "x", nullptr, 8), 0u);
  for (int32_t id = 0; id < 50; ++id) {
    StandInClientEventData data{STANDIN_CLIENT_EVENT_DISCONNECTED, id};
    ASSERT_EQ(StandIn_PublishEventAsync("Async", "n", &data, sizeof data), 0u);
    data.clientId = -100;
  }
  EXPECT_EQ(StandIn_EventFlushAsync(), 0u);
  ASSERT_EQ(first.clientIds.size(), 51u);
  for (int32_t id = 0; id < 50; ++id) EXPECT_EQ(first.clientIds[id + 1], id);
  EXPECT_NE(first.thread, std::this_thread::get_id());
  broker->Unsubscribe("Async", Record, &first);
  EXPECT_EQ(StandIn_EventStopDeliveryThread(), 0u);
}

TEST(CommonService, ClientIdIsPerThreadAndUnsetByDefault) {
  CommonInterface* common = nullptr;
  ASSERT_EQ(Quorvel_GetCommon(&common), 0u);
  int32_t id = 77;
  EXPECT_NE(common->GetClientId(&id), 0u);
  EXPECT_EQ(id, 77);  // nothing written without an id
  StandIn_CommonSetClientId(-5);
  EXPECT_NE(common->GetClientId(nullptr), 0u);
  std::thread([common] {
    int32_t otherId = 1;
    EXPECT_NE(common->GetClientId(&otherId), 0u);
    StandIn_CommonSetClientId(9);
  }).join();
  EXPECT_EQ(common->GetClientId(&id), 0u);
  EXPECT_EQ(id, -5);
  StandIn_CommonClearClientId();
  EXPECT_NE(common->GetClientId(&id), 0u);
}

}  // namespace
