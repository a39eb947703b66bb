// EventInternal.h
//
// The broker's synchronous delivery, shared by the host's publish call, the broker's table and
// the asynchronous delivery thread.
#ifndef STAND_INS_EVENT_INTERNAL_H_
#define STAND_INS_EVENT_INTERNAL_H_

#include <cstdint>

namespace standin {

// Calls every subscriber of `category` on the calling thread; see StandIn_PublishEvent.
uint32_t PublishEventNow(const char* category, const char* eventName, const void* eventData);

}  // namespace standin

#endif  // STAND_INS_EVENT_INTERNAL_H_
