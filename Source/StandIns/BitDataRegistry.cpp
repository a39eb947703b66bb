// BitDataRegistry.cpp
//
// The set of live managed buffers, their allocation, and holding buffers for a call.
//
// A freed buffer's structure is not released at once but kept in a small quarantine, so that its
// address is not handed out again to a new buffer right away: a caller still holding the freed
// pointer is then refused as a misuse instead of silently reaching somebody else's buffer. The
// registry is allocated once and never destroyed, so buffers may be freed during exit.
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <new>
#include <thread>
#include <unordered_set>

#include "BitDataBuffer.h"
#include "BitOps.h"

namespace standin::bitdata {
namespace {

constexpr size_t kQuarantined = 1024;

struct Registry {
  std::mutex mutex;
  std::unordered_set<const BitData*> live;
  std::deque<BitData*> quarantine;  // freed structures, oldest first
};

Registry& TheRegistry() {
  static Registry* const registry = new Registry;
  return *registry;
}

std::atomic<uint64_t> gMisuses{0};

bool IsLiveLocked(const Registry& registry, const BitData* data) {
  return data != nullptr && registry.live.count(data) != 0;
}

}  // namespace

void NoteMisuse() { gMisuses.fetch_add(1, std::memory_order_relaxed); }

uint64_t MisuseCount() { return gMisuses.load(std::memory_order_relaxed); }

void ResetMisuseCount() { gMisuses.store(0, std::memory_order_relaxed); }

BitData* CreateBuffer(uint64_t bits) {
  BitData* data = new (std::nothrow) BitData{bits, nullptr, {0}, {}};
  if (data == nullptr) return nullptr;
  const uint64_t words = bits::WordCount(bits);
  if (words != 0) {
    data->words = static_cast<uint64_t*>(std::calloc(words, sizeof(uint64_t)));
    if (data->words == nullptr) {
      delete data;
      return nullptr;
    }
  }
  Registry& registry = TheRegistry();
  try {
    std::lock_guard<std::mutex> lock(registry.mutex);
    registry.live.insert(data);
  } catch (const std::bad_alloc&) {
    std::free(data->words);
    delete data;
    return nullptr;
  }
  return data;
}

bool DestroyBuffer(BitData* data) {
  Registry& registry = TheRegistry();
  {
    std::lock_guard<std::mutex> lock(registry.mutex);
    if (registry.live.erase(data) == 0) return false;
  }
  // No new call can find it any more; wait for the ones that already did.
  while (data->pins.load(std::memory_order_acquire) != 0) std::this_thread::yield();
  std::free(data->words);
  data->words = nullptr;
  data->lengthInBits = 0;

  BitData* released = nullptr;
  {
    std::lock_guard<std::mutex> lock(registry.mutex);
    try {
      registry.quarantine.push_back(data);
      if (registry.quarantine.size() > kQuarantined) {
        released = registry.quarantine.front();
        registry.quarantine.pop_front();
      }
    } catch (const std::bad_alloc&) {
      released = data;  // no room to keep it: release it now
    }
  }
  delete released;
  return true;
}

uint64_t LiveBufferCount() {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  return registry.live.size();
}

HeldBuffers::HeldBuffers(const BitData* only) { Hold(only, only); }

HeldBuffers::HeldBuffers(const BitData* first, const BitData* second) { Hold(first, second); }

void HeldBuffers::Hold(const BitData* first, const BitData* second) {
  {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    if (!IsLiveLocked(registry, first) || !IsLiveLocked(registry, second)) {
      NoteMisuse();
      return;
    }
    // The registry holds them as const only to be searchable by const pointers; the buffers
    // themselves were created writable.
    first_ = const_cast<BitData*>(first);
    second_ = const_cast<BitData*>(second);
    first_->pins.fetch_add(1, std::memory_order_relaxed);
    if (!Same()) second_->pins.fetch_add(1, std::memory_order_relaxed);
  }
  if (Same()) {
    first_->mutex.lock();
  } else {
    std::lock(first_->mutex, second_->mutex);
  }
}

HeldBuffers::~HeldBuffers() {
  if (!Valid()) return;
  // Unlock before unpinning: once unpinned, a waiting free may release the structure.
  first_->mutex.unlock();
  if (!Same()) second_->mutex.unlock();
  first_->pins.fetch_sub(1, std::memory_order_release);
  if (!Same()) second_->pins.fetch_sub(1, std::memory_order_release);
}

}  // namespace standin::bitdata
