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
// Each thread keeps a few slots of its own: up to kThreadBatch taken from the registry in one
// critical section and not yet live, and up to kThreadBatch it freed, handed back to the end of
// the free list in one critical section, oldest first. So creating and freeing a buffer take the
// registry's lock once per kThreadBatch buffers instead of once each, and a freed slot waits at
// least as long as before to be reused. The live count is the sum of per-thread counts (each
// written only by its thread) and of what exited threads left; a thread's slots go back to the
// registry when it exits, and calls made after that (from other exit handlers, or during process
// exit) take the registry's lock each time, as every call did before.
//
// The registry's lock guards the free list, the never-used slots, the list of threads and the
// count left by exited threads. It is held for a few instructions only: a buffer's fields are
// filled after its slot was taken, and a buffer is held, its words freed and its fields cleared
// before its slot is given back. The registry is trivially destructible, and so is each thread's
// cache, so buffers may be created and freed during exit.
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
constexpr size_t kThreadBatch = 32;

// One thread's slots and counts. Only its thread touches the lists; the counts are read by
// LiveBufferCount from any thread, so they are atomics (stored, never read-modified-written).
struct ThreadSlots {
  enum Phase : uint8_t { kUnused, kActive, kRetired };
  BitData* taken = nullptr;  // taken from the registry, not yet live, linked through nextFree
  size_t takenCount = 0;
  BitData* freedHead = nullptr;  // freed by this thread, oldest first, not yet handed back
  BitData* freedTail = nullptr;
  size_t freedCount = 0;
  std::atomic<uint64_t> created{0};
  std::atomic<uint64_t> destroyed{0};
  ThreadSlots* next = nullptr;  // the registry's list of active threads, under its lock
  ThreadSlots* previous = nullptr;
  Phase phase = kUnused;
};

struct Registry {
  SpinLock lock;
  BitData* freeHead = nullptr;  // freed longest ago
  BitData* freeTail = nullptr;
  uint64_t freeCount = 0;
  BitData* unused = nullptr;  // never-used slots of the newest slab
  size_t unusedCount = 0;
  uint64_t live = 0;  // created minus freed by calls without a thread cache and exited threads
  ThreadSlots* threads = nullptr;
};

Registry gRegistry;
// Initial-exec storage: the calling thread's cache is one register-relative access away.
thread_local ThreadSlots tSlots __attribute__((tls_model("initial-exec")));
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

void Bump(std::atomic<uint64_t>& count) {
  count.store(count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

// Appends this thread's freed slots to the registry's free list. Called with the lock held.
void HandBackFreed(Registry& registry, ThreadSlots& slots) {
  if (slots.freedHead == nullptr) return;
  if (registry.freeTail == nullptr) {
    registry.freeHead = slots.freedHead;
  } else {
    registry.freeTail->storage.nextFree = slots.freedHead;
  }
  registry.freeTail = slots.freedTail;
  registry.freeCount += slots.freedCount;
  slots.freedHead = slots.freedTail = nullptr;
  slots.freedCount = 0;
}

// Gives a thread's slots back and folds its counts into the registry's when the thread exits.
void Retire(ThreadSlots& slots) {
  std::lock_guard<SpinLock> lock(gRegistry.lock);
  if (slots.phase != ThreadSlots::kActive) return;
  while (slots.taken != nullptr) {
    BitData* slot = slots.taken;
    slots.taken = slot->storage.nextFree;
    PushFree(gRegistry, *slot);
  }
  slots.takenCount = 0;
  HandBackFreed(gRegistry, slots);
  gRegistry.live += slots.created.load(std::memory_order_relaxed) -
                    slots.destroyed.load(std::memory_order_relaxed);
  if (slots.previous != nullptr) {
    slots.previous->next = slots.next;
  } else {
    gRegistry.threads = slots.next;
  }
  if (slots.next != nullptr) slots.next->previous = slots.previous;
  slots.phase = ThreadSlots::kRetired;
}

struct ThreadSlotsRetirer {
  bool armed = false;
  ~ThreadSlotsRetirer() {
    if (armed) Retire(tSlots);
  }
};
thread_local ThreadSlotsRetirer tRetirer;

// This thread's cache, joined to the registry on first use; null once the thread is exiting.
ThreadSlots* ThreadCache() {
  ThreadSlots& slots = tSlots;
  if (slots.phase == ThreadSlots::kActive) return &slots;
  if (slots.phase == ThreadSlots::kRetired) return nullptr;
  tRetirer.armed = true;
  std::lock_guard<SpinLock> lock(gRegistry.lock);
  slots.next = gRegistry.threads;
  if (slots.next != nullptr) slots.next->previous = &slots;
  gRegistry.threads = &slots;
  slots.phase = ThreadSlots::kActive;
  return &slots;
}

// Fills an empty cache with up to kThreadBatch slots; false when not even one can be had.
bool Refill(ThreadSlots& slots) {
  std::lock_guard<SpinLock> lock(gRegistry.lock);
  while (slots.takenCount < kThreadBatch) {
    BitData* slot = TakeSlot(gRegistry);
    if (slot == nullptr) break;
    slot->storage.nextFree = slots.taken;
    slots.taken = slot;
    ++slots.takenCount;
  }
  return slots.takenCount != 0;
}

// A slot for a new buffer and its count, or null.
BitData* CreateSlot() {
  ThreadSlots* slots = ThreadCache();
  if (slots == nullptr) {
    std::lock_guard<SpinLock> lock(gRegistry.lock);
    BitData* slot = TakeSlot(gRegistry);
    if (slot != nullptr) ++gRegistry.live;
    return slot;
  }
  if (slots->takenCount == 0 && !Refill(*slots)) return nullptr;
  BitData* slot = slots->taken;
  slots->taken = slot->storage.nextFree;
  --slots->takenCount;
  Bump(slots->created);
  return slot;
}

// Gives back the slot of a buffer that was just emptied and uncounts it. Its state is set to
// free last, once it is on a list.
void FreeSlot(BitData& slot) {
  ThreadSlots* slots = ThreadCache();
  if (slots == nullptr) {
    std::lock_guard<SpinLock> lock(gRegistry.lock);
    PushFree(gRegistry, slot);
    --gRegistry.live;
    slot.state.store(kSlotFree, std::memory_order_release);
    return;
  }
  slot.storage.nextFree = nullptr;
  if (slots->freedTail == nullptr) {
    slots->freedHead = &slot;
  } else {
    slots->freedTail->storage.nextFree = &slot;
  }
  slots->freedTail = &slot;
  ++slots->freedCount;
  Bump(slots->destroyed);
  slot.state.store(kSlotFree, std::memory_order_release);
  if (slots->freedCount >= kThreadBatch) {
    std::lock_guard<SpinLock> lock(gRegistry.lock);
    HandBackFreed(gRegistry, *slots);
  }
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
  BitData* slot = CreateSlot();
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
  FreeSlot(*slot);
  return true;
}

uint64_t LiveBufferCount() {
  std::lock_guard<SpinLock> lock(gRegistry.lock);
  uint64_t live = gRegistry.live;  // unsigned: a thread may free what another created
  for (const ThreadSlots* slots = gRegistry.threads; slots != nullptr; slots = slots->next) {
    live += slots->created.load(std::memory_order_relaxed) -
            slots->destroyed.load(std::memory_order_relaxed);
  }
  return live;
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
