// EventDelivery.cpp
//
// The broker's own delivery thread, for hosts that need events to arrive on a thread other than
// the publisher's (as the real framework's client notifications do).
//
// The thread starts on the first asynchronous publish and runs until the host stops it. Flushing
// waits on sequence numbers rather than on an empty queue, so a flush returns once everything
// queued before it is delivered even while other threads keep publishing. A stop lets the thread
// drain the queue before it ends; an event queued while a stop is joining gets a fresh thread.
//
// The state is allocated once and never destroyed, and so is a thread the host forgot to stop:
// destroying a joinable std::thread would abort the process at exit.
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "EventInternal.h"
#include "StandInServices.h"

namespace {

struct QueuedEvent {
  std::string category;
  std::string eventName;
  bool hasData;
  std::vector<unsigned char> data;  // at least one byte when hasData, so data() is not null
};

struct Delivery {
  std::mutex mutex;
  std::condition_variable wake;     // the thread waits here for events or a stop
  std::condition_variable drained;  // flushers wait here for `delivered` to catch up
  std::deque<QueuedEvent> queue;
  uint64_t queued = 0;
  uint64_t delivered = 0;
  bool stopping = false;
  std::thread thread;
  std::mutex stopMutex;  // one stop at a time
};

thread_local bool tOnDeliveryThread = false;

Delivery& TheDelivery() {
  static Delivery* const delivery = new Delivery;
  return *delivery;
}

void DeliveryLoop(Delivery& d) {
  tOnDeliveryThread = true;
  std::unique_lock<std::mutex> lock(d.mutex);
  while (true) {
    d.wake.wait(lock, [&d] { return !d.queue.empty() || d.stopping; });
    if (d.queue.empty()) return;  // stopping, and everything is delivered
    QueuedEvent event = std::move(d.queue.front());
    d.queue.pop_front();
    lock.unlock();
    try {
      standin::PublishEventNow(event.category.c_str(), event.eventName.c_str(),
                               event.hasData ? event.data.data() : nullptr);
    } catch (...) {
      // Nobody could catch it on this thread; letting it escape would end the process.
    }
    lock.lock();
    ++d.delivered;
    d.drained.notify_all();
  }
}

// Starts the thread if none runs; the caller holds d.mutex. May throw std::system_error.
void StartThreadLocked(Delivery& d) {
  if (!d.thread.joinable()) d.thread = std::thread(DeliveryLoop, std::ref(d));
}

}  // namespace

extern "C" {

STANDIN_API uint32_t StandIn_PublishEventAsync(const char* category, const char* eventName,
                                               const void* eventData, size_t dataSize) {
  if (category == nullptr || (eventData == nullptr && dataSize != 0)) {
    return STANDIN_E_NULL_POINTER;
  }
  Delivery& d = TheDelivery();
  try {
    QueuedEvent event{category, eventName == nullptr ? "" : eventName, eventData != nullptr, {}};
    if (event.hasData) {
      event.data.resize(dataSize == 0 ? 1 : dataSize);
      std::memcpy(event.data.data(), eventData, dataSize);
    }
    std::lock_guard<std::mutex> lock(d.mutex);
    // While a stop is joining, the draining thread or the stop itself delivers the event.
    if (!d.stopping) StartThreadLocked(d);
    d.queue.push_back(std::move(event));
    ++d.queued;
    d.wake.notify_one();
  } catch (const std::bad_alloc&) {
    return STANDIN_E_OUT_OF_MEMORY;
  } catch (const std::system_error&) {
    return STANDIN_E_OUT_OF_MEMORY;  // no thread could be started; nothing was queued
  }
  return STANDIN_OK;
}

STANDIN_API uint32_t StandIn_EventFlushAsync(void) {
  if (tOnDeliveryThread) return STANDIN_E_WRONG_THREAD;
  Delivery& d = TheDelivery();
  std::unique_lock<std::mutex> lock(d.mutex);
  const uint64_t target = d.queued;
  d.drained.wait(lock, [&d, target] { return d.delivered >= target; });
  return STANDIN_OK;
}

STANDIN_API uint32_t StandIn_EventStopDeliveryThread(void) {
  if (tOnDeliveryThread) return STANDIN_E_WRONG_THREAD;
  Delivery& d = TheDelivery();
  std::lock_guard<std::mutex> stopLock(d.stopMutex);
  std::thread thread;
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    if (!d.thread.joinable()) return STANDIN_OK;
    d.stopping = true;
    thread = std::move(d.thread);
    d.wake.notify_one();
  }
  thread.join();
  std::lock_guard<std::mutex> lock(d.mutex);
  d.stopping = false;
  if (!d.queue.empty()) {
    // Queued after the old thread's last look: deliver them on a new one.
    try {
      StartThreadLocked(d);
    } catch (const std::system_error&) {
      // Dropped, and counted as delivered so that flushes do not wait for them forever.
      d.delivered += d.queue.size();
      d.queue.clear();
      d.drained.notify_all();
      return STANDIN_E_OUT_OF_MEMORY;
    }
  }
  return STANDIN_OK;
}

}  // extern "C"
