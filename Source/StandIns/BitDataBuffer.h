// BitDataBuffer.h
//
// The managed buffer's layout and the registry that decides which pointers are live buffers.
//
// Every call of the library goes through HeldBuffers: it checks the pointers against the
// registry, pins the buffers so that a concurrent free waits for the call to finish, and locks
// them so that calls on one buffer do not interleave. The registry lock is held only for the
// look-up; the buffer locks for the call's duration. Two buffers are locked together with
// std::lock, so two calls taking the same pair in opposite order cannot deadlock.
#ifndef STAND_INS_BIT_DATA_BUFFER_H_
#define STAND_INS_BIT_DATA_BUFFER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <type_traits>

#include "BitData.h"

struct BitData {
  uint64_t lengthInBits;  // first, because callers read it straight from the structure
  uint64_t* words;        // WordCount(lengthInBits) words; bits past the length are always 0
  mutable std::atomic<uint32_t> pins;  // calls between their registry look-up and their end
  mutable std::mutex mutex;
};

static_assert(std::is_standard_layout_v<BitData> && offsetof(BitData, lengthInBits) == 0,
              "callers read the length from the structure's first eight bytes");

namespace standin::bitdata {

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

// Unregisters `data`, waits for calls still holding it and frees it. False (and nothing done)
// when `data` is not a live buffer.
bool DestroyBuffer(BitData* data);

uint64_t LiveBufferCount();

// Pins and locks one or two live buffers for the duration of a call. When a pointer is not a
// live buffer nothing is held, Valid() is false and one misuse has been counted.
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
