// BitDataSlabs.cpp
//
// The slabs of buffer slots and the two-level map of their addresses (see BitDataSlabs.h).
//
// A slab's address, shifted by its alignment, is split into a top index and a bit of a leaf
// bitmap. The top level is a zero-initialised array in the library's static storage, so it costs
// no allocation and no start-up code, and pages of it that no slab needs are never touched; a
// leaf (8 KiB) covers 4 GiB of addresses. Both levels only ever gain entries, and each entry is
// published with a release store after the slab's slots are built, so a reader on another thread
// either misses a new slab (and refuses a pointer nobody could have handed it yet) or sees it
// whole.
#include "BitDataSlabs.h"

#include <atomic>
#include <cstdint>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define STANDIN_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define STANDIN_ASAN 1
#endif
#endif
#if defined(STANDIN_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace standin::bitdata {
namespace {

constexpr unsigned kSlabShift = 16;
constexpr size_t kSlabBytes = size_t{1} << kSlabShift;
// Slot 0's place holds the header; the others are buffers.
constexpr size_t kSlotsPerSlab = kSlabBytes / sizeof(BitData);
// User-space addresses of today's 64-bit systems fit in 48 bits; a slab above that is refused.
constexpr unsigned kMappedAddressBits = 48;
constexpr unsigned kLeafShift = 16;
constexpr size_t kLeafSlabs = size_t{1} << kLeafShift;
constexpr size_t kTopEntries = size_t{1} << (kMappedAddressBits - kSlabShift - kLeafShift);

struct SlabHeader {
  void* previous;  // the slab added before this one: the chain that keeps slabs reachable
};
static_assert(sizeof(SlabHeader) <= sizeof(BitData), "the header fits in slot 0's place");

struct Leaf {
  std::atomic<uint64_t> bits[kLeafSlabs / 64]{};
};

std::atomic<Leaf*> gTop[kTopEntries];  // zero-initialised: no leaf yet
void* gNewestSlab = nullptr;           // written by AddSlab only, under the caller's lock

bool IsMapped(uintptr_t slab) {
  const uintptr_t index = slab >> kSlabShift;
  const Leaf* leaf = gTop[index >> kLeafShift].load(std::memory_order_acquire);
  if (leaf == nullptr) return false;
  const uintptr_t bit = index & (kLeafSlabs - 1);
  return ((leaf->bits[bit / 64].load(std::memory_order_acquire) >> (bit % 64)) & 1u) != 0;
}

bool Map(uintptr_t slab) {
  if ((slab >> kMappedAddressBits) != 0) return false;
  const uintptr_t index = slab >> kSlabShift;
  std::atomic<Leaf*>& top = gTop[index >> kLeafShift];
  Leaf* leaf = top.load(std::memory_order_relaxed);
  if (leaf == nullptr) {
    leaf = new (std::nothrow) Leaf();
    if (leaf == nullptr) return false;
    top.store(leaf, std::memory_order_release);
  }
  const uintptr_t bit = index & (kLeafSlabs - 1);
  leaf->bits[bit / 64].fetch_or(uint64_t{1} << (bit % 64), std::memory_order_release);
  return true;
}

}  // namespace

BitData* SlotAt(const void* pointer) {
  const auto address = reinterpret_cast<uintptr_t>(pointer);
  if ((address >> kMappedAddressBits) != 0) return nullptr;
  const uintptr_t slab = address & ~uintptr_t{kSlabBytes - 1};
  const uintptr_t offset = address - slab;
  if (offset % sizeof(BitData) != 0 || offset == 0 || offset / sizeof(BitData) >= kSlotsPerSlab) {
    return nullptr;
  }
  if (!IsMapped(slab)) return nullptr;
  return reinterpret_cast<BitData*>(address);
}

bool AddSlab(BitData** first, size_t* count) {
  void* slab = ::operator new(kSlabBytes, std::align_val_t{kSlabBytes}, std::nothrow);
  if (slab == nullptr) return false;
  new (slab) SlabHeader{gNewestSlab};
  auto* slots = reinterpret_cast<BitData*>(static_cast<char*>(slab) + sizeof(BitData));
  const size_t usable = kSlotsPerSlab - 1;
  for (size_t i = 0; i < usable; ++i) {
    BitData* slot = new (&slots[i]) BitData{0, {0}, {kSlotFree}};
    PoisonLength(*slot);
  }
  if (!Map(reinterpret_cast<uintptr_t>(slab))) {
    for (size_t i = 0; i < usable; ++i) UnpoisonLength(slots[i]);
    ::operator delete(slab, std::align_val_t{kSlabBytes});
    return false;
  }
  gNewestSlab = slab;
  *first = slots;
  *count = usable;
  return true;
}

#if defined(STANDIN_ASAN)
void PoisonLength(BitData& slot) {
  ASAN_POISON_MEMORY_REGION(&slot.lengthInBits, sizeof slot.lengthInBits);
}
void UnpoisonLength(BitData& slot) {
  ASAN_UNPOISON_MEMORY_REGION(&slot.lengthInBits, sizeof slot.lengthInBits);
}
#else
void PoisonLength(BitData&) {}
void UnpoisonLength(BitData&) {}
#endif

}  // namespace standin::bitdata
