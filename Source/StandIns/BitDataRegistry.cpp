// BitDataRegistry.cpp
//
// Creating and freeing buffers, and holding them for a call (see BitDataBuffer.h).
//
// Free slots wait in a first-in first-out list and are handed out again only once more than
// kQuarantined others are waiting, so that a freed buffer's address is not reused right away: a
// caller still holding the freed pointer is then refused as a misuse instead of silently reaching
// somebody else's buffer. While the list is that short, new buffers take never-used slots, and a
// new slab is added when those run out. A buffer of up to 64 bits thus needs no allocation at
// all once the slabs have grown to the program's peak, and a longer one only its words.
//
// The registry's lock guards the free list, the never-used slots and the live count. It is held
// for a few instructions only: a buffer's fields are filled after its slot was taken, and a
// buffer is held, its words freed and its fields cleared before its slot is given back. All of
// the registry is trivially destructible, so buffers may be created and freed during exit.
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <mutex>

#include "BitDataBuffer.h"
#include "BitDataSlabs.h"
#include "BitOps.h"
#include "SpinLock.h"

namespace standin::bitdata {
namespace {

constexpr uint64_t kQuarantined = 1024;

struct Registry {
  SpinLock lock;
  BitData* freeHead = nullptr;  // freed longest ago
  BitData* freeTail = nullptr;
  uint64_t freeCount = 0;
  BitData* unused = nullptr;  // never-used slots of the newest slab
  size_t unusedCount = 0;
  uint64_t live = 0;
};

Registry gRegistry;
std::atomic<uint64_t> gMisuses{0};

BitData* PopFree(Registry& registry) {
  BitData* slot = registry.freeHead;
  registry.freeHead = slot->storage.nextFree;
  if (registry.freeHead == nullptr) registry.freeTail = nullptr;
  --registry.freeCount;
  return slot;
}

void PushFree(Registry& registry, BitData& slot) {
  slot.storage.nextFree = nullptr;
  if (registry.freeTail == nullptr) {
    registry.freeHead = &slot;
  } else {
    registry.freeTail->storage.nextFree = &slot;
  }
  registry.freeTail = &slot;
  ++registry.freeCount;
}

// A slot for a new buffer, or null when none can be had. Called with the lock held.
BitData* TakeSlot(Registry& registry) {
  if (registry.freeCount > kQuarantined) return PopFree(registry);
  if (registry.unusedCount == 0 && !AddSlab(&registry.unused, &registry.unusedCount)) {
    // Out of memory for a slab: a quarantined slot is better than no buffer.
    return registry.freeCount != 0 ? PopFree(registry) : nullptr;
  }
  --registry.unusedCount;
  return registry.unused++;
}

// Takes the hold of a live slot, waiting while another call has it. False when the slot is not
// (or no longer) a live buffer.
bool HoldSlot(BitData& slot) {
  uint32_t seen = kSlotLive;
  if (slot.state.compare_exchange_strong(seen, kSlotLive | kSlotHeld,
                                         std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
    return true;
  }
  unsigned spins = 0;
  while (true) {
    if ((seen & kSlotLive) == 0) return false;
    if ((seen & kSlotHeld) == 0 &&
        slot.state.compare_exchange_weak(seen, seen | kSlotHeld, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
      return true;
    }
    PauseWhileContended(spins);
    seen = slot.state.load(std::memory_order_relaxed);
  }
}

void LetGo(BitData& slot) { slot.state.store(kSlotLive, std::memory_order_release); }

// The live slot `pointer` names, held; null (nothing held) when it names none.
BitData* HoldLive(const BitData* pointer) {
  BitData* slot = SlotAt(pointer);
  return slot != nullptr && HoldSlot(*slot) ? slot : nullptr;
}

}  // namespace

void NoteMisuse() { gMisuses.fetch_add(1, std::memory_order_relaxed); }

uint64_t MisuseCount() { return gMisuses.load(std::memory_order_relaxed); }

void ResetMisuseCount() { gMisuses.store(0, std::memory_order_relaxed); }

BitData* CreateBuffer(uint64_t bits) {
  uint64_t* heapWords = nullptr;
  if (bits > kInlineBits) {
    heapWords = static_cast<uint64_t*>(std::calloc(bits::WordCount(bits), sizeof(uint64_t)));
    if (heapWords == nullptr) return nullptr;
  }
  BitData* slot;
  {
    std::lock_guard<SpinLock> lock(gRegistry.lock);
    slot = TakeSlot(gRegistry);
    if (slot != nullptr) ++gRegistry.live;
  }
  if (slot == nullptr) {
    std::free(heapWords);
    return nullptr;
  }
  // Taken off every list and not yet live: no other call can reach the fields.
  UnpoisonLength(*slot);
  slot->lengthInBits = bits;
  if (heapWords != nullptr) {
    slot->storage.heapWords = heapWords;
  } else {
    slot->storage.inlineWord = 0;
  }
  slot->state.store(kSlotLive, std::memory_order_release);
  return slot;
}

bool DestroyBuffer(BitData* data) {
  // Holding it waits for the calls already working on it; once it is free, new ones see that.
  BitData* slot = HoldLive(data);
  if (slot == nullptr) return false;
  if (slot->lengthInBits > kInlineBits) std::free(slot->storage.heapWords);
  slot->lengthInBits = 0;
  PoisonLength(*slot);
  std::lock_guard<SpinLock> lock(gRegistry.lock);
  PushFree(gRegistry, *slot);
  --gRegistry.live;
  slot->state.store(kSlotFree, std::memory_order_release);
  return true;
}

uint64_t LiveBufferCount() {
  std::lock_guard<SpinLock> lock(gRegistry.lock);
  return gRegistry.live;
}

HeldBuffers::HeldBuffers(const BitData* only) { Hold(only, only); }

HeldBuffers::HeldBuffers(const BitData* first, const BitData* second) { Hold(first, second); }

void HeldBuffers::Hold(const BitData* first, const BitData* second) {
  if (first == second) {
    first_ = second_ = HoldLive(first);
    if (first_ == nullptr) NoteMisuse();
    return;
  }
  const bool firstIsLower = std::less<const BitData*>()(first, second);
  BitData* lower = HoldLive(firstIsLower ? first : second);
  BitData* upper = lower != nullptr ? HoldLive(firstIsLower ? second : first) : nullptr;
  if (upper == nullptr) {
    if (lower != nullptr) LetGo(*lower);
    NoteMisuse();
    return;
  }
  first_ = firstIsLower ? lower : upper;
  second_ = firstIsLower ? upper : lower;
}

HeldBuffers::~HeldBuffers() {
  if (!Valid()) return;
  LetGo(*first_);
  if (!Same()) LetGo(*second_);
}

}  // namespace standin::bitdata
