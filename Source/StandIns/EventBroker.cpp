// EventBroker.cpp
//
// The broker's subscriptions, its function table and synchronous publishing.
//
// Handlers run without the broker's lock held, because the component's handlers (and tests')
// subscribe, unsubscribe and publish from inside a delivery. Publishing therefore works from a
// list of subscription ids taken under the lock and looks each one up again just before calling
// it: a subscription removed by an earlier handler of the same delivery is skipped rather than
// called with a context its owner may already have freed.
#include <algorithm>
#include <cstdint>
#include <mutex>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "EventInternal.h"
#include "StandInServices.h"

namespace {

struct Subscription {
  uint64_t id;
  std::string category;
  EventHandler handler;
  void* context;
  std::string subscriberName;  // kept for debugging sessions; the broker does not read it
};

struct Broker {
  std::mutex mutex;
  std::vector<Subscription> subscriptions;  // in subscription order, which is delivery order
  uint64_t nextId = 1;
};

Broker& TheBroker() {
  static Broker* const broker = new Broker;  // never destroyed: usable during exit
  return *broker;
}

uint32_t Subscribe(const char* category, EventHandler handler, void* context,
                   const char* subscriberName) {
  if (category == nullptr || handler == nullptr) return STANDIN_E_NULL_POINTER;
  Broker& broker = TheBroker();
  try {
    std::lock_guard<std::mutex> lock(broker.mutex);
    broker.subscriptions.push_back(Subscription{broker.nextId++, category, handler, context,
                                                subscriberName == nullptr ? "" : subscriberName});
  } catch (const std::bad_alloc&) {
    return STANDIN_E_OUT_OF_MEMORY;
  }
  return STANDIN_OK;
}

// Removes the oldest subscription matching all three; a duplicate subscription stays.
uint32_t Unsubscribe(const char* category, EventHandler handler, void* context) {
  if (category == nullptr || handler == nullptr) return STANDIN_E_NULL_POINTER;
  Broker& broker = TheBroker();
  std::lock_guard<std::mutex> lock(broker.mutex);
  auto& subscriptions = broker.subscriptions;
  auto found = std::find_if(subscriptions.begin(), subscriptions.end(), [&](const auto& s) {
    return s.handler == handler && s.context == context && s.category == category;
  });
  if (found == subscriptions.end()) return STANDIN_E_NOT_FOUND;
  subscriptions.erase(found);
  return STANDIN_OK;
}

uint32_t SubscriberCount(const char* category) {
  if (category == nullptr) return 0;
  Broker& broker = TheBroker();
  std::lock_guard<std::mutex> lock(broker.mutex);
  return static_cast<uint32_t>(
      std::count_if(broker.subscriptions.begin(), broker.subscriptions.end(),
                    [category](const Subscription& s) { return s.category == category; }));
}

uint32_t BrokerVersion() { return STANDIN_SERVICES_VERSION; }

EventBrokerInterface MakeTable() {
  EventBrokerInterface table{};
  table.entry0 = reinterpret_cast<EventBrokerOpaqueEntry>(&standin::PublishEventNow);
  table.entry1 = reinterpret_cast<EventBrokerOpaqueEntry>(&SubscriberCount);
  table.Subscribe = &Subscribe;
  table.entry3 = reinterpret_cast<EventBrokerOpaqueEntry>(&BrokerVersion);
  table.Unsubscribe = &Unsubscribe;
  return table;
}

// These functions are stored as the table's opaque entries; their types must stay the ones
// StandInServices.h documents.
static_assert(std::is_same_v<decltype(&standin::PublishEventNow), StandInEventPublishEntry>);
static_assert(std::is_same_v<decltype(&SubscriberCount), StandInEventSubscriberCountEntry>);
static_assert(std::is_same_v<decltype(&BrokerVersion), StandInVersionEntry>);

}  // namespace

namespace standin {

uint32_t PublishEventNow(const char* category, const char* eventName, const void* eventData) {
  if (category == nullptr) return STANDIN_E_NULL_POINTER;
  const char* name = eventName == nullptr ? "" : eventName;
  Broker& broker = TheBroker();
  std::vector<uint64_t> ids;
  try {
    std::lock_guard<std::mutex> lock(broker.mutex);
    for (const Subscription& s : broker.subscriptions) {
      if (s.category == category) ids.push_back(s.id);
    }
  } catch (const std::bad_alloc&) {
    return STANDIN_E_OUT_OF_MEMORY;
  }
  for (uint64_t id : ids) {
    EventHandler handler = nullptr;
    void* context = nullptr;
    {
      std::lock_guard<std::mutex> lock(broker.mutex);
      auto found = std::find_if(broker.subscriptions.begin(), broker.subscriptions.end(),
                                [id](const Subscription& s) { return s.id == id; });
      if (found == broker.subscriptions.end()) continue;
      handler = found->handler;
      context = found->context;
    }
    handler(context, name, eventData);
  }
  return STANDIN_OK;
}

}  // namespace standin

extern "C" {

STANDIN_API uint32_t Quorvel_GetEventBroker(EventBrokerInterface** broker) {
  if (broker == nullptr) return STANDIN_E_NULL_POINTER;
  static EventBrokerInterface table = MakeTable();
  *broker = &table;
  return STANDIN_OK;
}

STANDIN_API uint32_t StandIn_PublishEvent(const char* category, const char* eventName,
                                          const void* eventData) {
  return standin::PublishEventNow(category, eventName, eventData);
}

STANDIN_API uint32_t StandIn_PublishClientDisconnected(int32_t clientId) {
  const StandInClientEventData data{STANDIN_CLIENT_EVENT_DISCONNECTED, clientId};
  return standin::PublishEventNow("Client", "Disconnected", &data);
}

STANDIN_API uint32_t StandIn_EventSubscriberCount(const char* category) {
  return SubscriberCount(category);
}

}  // extern "C"
