// BitDataBuffer.h
//
// The managed buffer's layout and how a call gets hold of the buffers it works on.
//
// Every buffer is a 24-byte slot in a slab of the library's own (BitDataSlabs.h). A slot's
// `state` says whether it is a live buffer and whether a call holds it; the library decides
// whether a pointer is a live buffer by asking the slab map whether it is a slot at all (which
// reads only the library's own tables) and then reading that slot's state, so a pointer that is
// not a buffer is refused without being followed. Slabs are never released, so a slot's state
// stays readable whatever became of the buffer.
//
// Every call goes through HeldBuffers: it takes the hold bit of each of its buffers for its whole
// duration, so calls on one buffer do not interleave and a free waits for the calls already
// working on the buffer (the free takes the hold itself). Two buffers are taken in address order,
// so two calls taking the same pair in opposite order cannot deadlock.
#ifndef STAND_INS_BIT_DATA_BUFFER_H_
#define STAND_INS_BIT_DATA_BUFFER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "BitData.h"

struct BitData {
  uint64_t lengthInBits;  // first, because callers read it straight from the structure
  // The bits, in the one inline word while the buffer has at most 64 (so such a buffer costs no
  // allocation of its own), else in WordCount(lengthInBits) words on the heap. Bits past the
  // length are always 0. A free slot links the free list through it.
  union Storage {
    uint64_t inlineWord;
    uint64_t* heapWords;
    BitData* nextFree;
  } storage;
  mutable std::atomic<uint32_t> state;  // kSlotFree, or kSlotLive with or without kSlotHeld
};

static_assert(std::is_standard_layout_v<BitData> && offsetof(BitData, lengthInBits) == 0,
              "callers read the length from the structure's first eight bytes");
static_assert(sizeof(BitData) == 24, "a slot holds the length, one word and the state");

namespace standin::bitdata {

constexpr uint32_t kSlotFree = 0;
constexpr uint32_t kSlotLive = 1;
constexpr uint32_t kSlotHeld = 2;
constexpr uint64_t kInlineBits = 64;

// The buffer's words (the inline one up to 64 bits). The caller holds the buffer.
inline uint64_t* Words(BitData& data) {
  return data.lengthInBits <= kInlineBits ? &data.storage.inlineWord : data.storage.heapWords;
}
inline const uint64_t* Words(const BitData& data) { return Words(const_cast<BitData&>(data)); }

// Counts one refused call.
void NoteMisuse();
uint64_t MisuseCount();
void ResetMisuseCount();

// True when offset .. offset + count - 1 lies inside `length` bits, without overflowing.
inline bool RangeInside(uint64_t offset, uint64_t count, uint64_t length) {
  return offset <= length && count <= length - offset;
}

// A new live buffer of `bits` zero bits, or null when memory runs out. `bits` is within the
// ceiling.
BitData* CreateBuffer(uint64_t bits);

// Waits for calls still holding `data`, frees its words and returns its slot. False (and nothing
// done) when `data` is not a live buffer.
bool DestroyBuffer(BitData* data);

uint64_t LiveBufferCount();

// Holds one or two live buffers for the duration of a call. When a pointer is not a live buffer
// nothing is held, Valid() is false and one misuse has been counted.
class HeldBuffers {
 public:
  explicit HeldBuffers(const BitData* only);
  // `first` and `second` may be the same buffer; it is then held once.
  HeldBuffers(const BitData* first, const BitData* second);
  ~HeldBuffers();
  HeldBuffers(const HeldBuffers&) = delete;
  HeldBuffers& operator=(const HeldBuffers&) = delete;

  bool Valid() const { return first_ != nullptr; }
  bool Same() const { return first_ == second_; }
  // Writable even when the caller passed a const pointer: the call decides what it changes.
  BitData* First() const { return first_; }
  BitData* Second() const { return second_; }

 private:
  void Hold(const BitData* first, const BitData* second);

  BitData* first_ = nullptr;
  BitData* second_ = nullptr;
};

}  // namespace standin::bitdata

#endif  // STAND_INS_BIT_DATA_BUFFER_H_
