/* EventBroker.h
 *
 * The framework's event broker, as the component calls it: a table of function pointers of
 * which the component uses entry 2 (Subscribe) and entry 4 (Unsubscribe). Entries 0, 1 and 3
 * belong to the broker; the component never calls them.
 */
#ifndef OPERATION_RECEIPT_SERVICES_EVENT_BROKER_H_
#define OPERATION_RECEIPT_SERVICES_EVENT_BROKER_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Receives one event: an argument the component ignores, the event's name, and its data. For
 * the "Client" category the client id is the int32_t at bytes 4 to 7 of the data. */
typedef void (*EventHandler)(void* unused, const char* eventName, const void* eventData);

/* A broker entry that the component does not call; its real type is the broker's own. */
typedef void (*EventBrokerOpaqueEntry)(void);

typedef struct EventBrokerInterface {
  EventBrokerOpaqueEntry entry0;
  EventBrokerOpaqueEntry entry1;
  uint32_t (*Subscribe)(const char* category, EventHandler handler, void* context,
                        const char* subscriberName);
  EventBrokerOpaqueEntry entry3;
  uint32_t (*Unsubscribe)(const char* category, EventHandler handler, void* context);
} EventBrokerInterface;

#ifdef __cplusplus
static_assert(offsetof(EventBrokerInterface, Subscribe) == 2 * sizeof(void*), "entry 2");
static_assert(offsetof(EventBrokerInterface, Unsubscribe) == 4 * sizeof(void*), "entry 4");
#endif

/* Fills `*broker` with the broker's table; never a null table. */
uint32_t Quorvel_GetEventBroker(EventBrokerInterface** broker);

#ifdef __cplusplus
}
#endif

#endif /* OPERATION_RECEIPT_SERVICES_EVENT_BROKER_H_ */
