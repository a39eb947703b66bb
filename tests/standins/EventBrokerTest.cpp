// Tests of the stand-in event broker: its table, subscriptions, synchronous and asynchronous
// delivery.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "StandInServices.h"

namespace {

EventBrokerInterface* Broker() {
  EventBrokerInterface* broker = nullptr;
  EXPECT_EQ(Quorvel_GetEventBroker(&broker), 0u);
  return broker;
}

// What a handler saw; the handler's context points at one of these.
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

TEST(EventBroker, DeliversToTheCategorysSubscribersWithTheirContexts) {
  EXPECT_NE(Quorvel_GetEventBroker(nullptr), 0u);
  EventBrokerInterface* broker = Broker();
  ASSERT_NE(broker, nullptr);
  Seen first, second, elsewhere;
  EXPECT_NE(broker->Subscribe(nullptr, Record, &first, "n"), 0u);
  EXPECT_NE(broker->Subscribe("Client", nullptr, &first, "n"), 0u);
  ASSERT_EQ(broker->Subscribe("Client", Record, &first, nullptr), 0u);
  ASSERT_EQ(broker->Subscribe("Client", Record, &second, "second"), 0u);
  ASSERT_EQ(broker->Subscribe("Other", Record, &elsewhere, "other"), 0u);
  EXPECT_EQ(StandIn_EventSubscriberCount("Client"), 2u);
  EXPECT_EQ(StandIn_EventSubscriberCount(nullptr), 0u);
  StandIn_PublishEvent("Other", "Ping", nullptr);
  EXPECT_EQ(elsewhere.names, std::vector<std::string>{"Ping"});

  EXPECT_EQ(StandIn_PublishClientDisconnected(42), 0u);
  EXPECT_EQ(first.names, std::vector<std::string>{"Disconnected"});
  EXPECT_EQ(first.clientIds, std::vector<int32_t>{42});
  EXPECT_EQ(second.clientIds, std::vector<int32_t>{42});
  EXPECT_EQ(elsewhere.names.size(), 1u);

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
}

void TryFlushFromDeliveryThread(void* context, const char*, const void*) {
  *static_cast<uint32_t*>(context) = StandIn_EventFlushAsync() | StandIn_EventStopDeliveryThread();
}

TEST(EventBroker, AsyncEventsArriveInOrderOnTheDeliveryThread) {
  EXPECT_EQ(StandIn_EventStopDeliveryThread(), 0u);  // nothing started yet: a no-op
  EventBrokerInterface* broker = Broker();
  Seen seen;
  broker->Subscribe("Async", Record, &seen, "async");
  EXPECT_NE(StandIn_PublishEventAsync(nullptr, "x", nullptr, 0), 0u);
  EXPECT_NE(StandIn_PublishEventAsync("Async", "x", nullptr, 8), 0u);

  for (int32_t id = 0; id < 50; ++id) {
    StandInClientEventData data{STANDIN_CLIENT_EVENT_DISCONNECTED, id};
    ASSERT_EQ(StandIn_PublishEventAsync("Async", "n", &data, sizeof data), 0u);
    data.clientId = -100;  // the broker copied the data
  }
  EXPECT_EQ(StandIn_EventFlushAsync(), 0u);
  ASSERT_EQ(seen.clientIds.size(), 50u);
  for (int32_t id = 0; id < 50; ++id) EXPECT_EQ(seen.clientIds[id], id);
  EXPECT_NE(seen.thread, std::this_thread::get_id());

  uint32_t fromHandler = 0;
  broker->Subscribe("Async", TryFlushFromDeliveryThread, &fromHandler, "flusher");
  StandIn_PublishEventAsync("Async", "n", nullptr, 0);
  EXPECT_EQ(StandIn_EventStopDeliveryThread(), 0u);  // drains the queue first
  EXPECT_EQ(fromHandler, STANDIN_E_WRONG_THREAD);
  EXPECT_EQ(seen.clientIds.back(), -1);  // NULL data arrived as NULL

  // A stopped broker starts a new thread on the next asynchronous publish.
  StandIn_PublishEventAsync("Async", "again", nullptr, 0);
  StandIn_EventFlushAsync();
  EXPECT_EQ(seen.names.back(), "again");
  broker->Unsubscribe("Async", TryFlushFromDeliveryThread, &fromHandler);
  broker->Unsubscribe("Async", Record, &seen);
  EXPECT_EQ(StandIn_EventStopDeliveryThread(), 0u);
}

}  // namespace
