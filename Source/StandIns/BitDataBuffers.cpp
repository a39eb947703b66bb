// BitDataBuffers.cpp
//
// The bit-data library's calls on whole buffers and on ranges of bits: creation, freeing,
// resizing, copying, reading and writing numbers, and the host's counters. Every call holds its
// buffers (see BitDataBuffer.h) and checks ranges against the lengths it sees while holding them.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "BitData.h"
#include "BitDataBuffer.h"
#include "BitOps.h"

using standin::bitdata::HeldBuffers;
using standin::bitdata::kInlineBits;
using standin::bitdata::NoteMisuse;
using standin::bitdata::RangeInside;
using standin::bitdata::Words;

namespace {

// Moves the words of a buffer growing past the inline word to the heap, or of one shrinking to
// it back inline. False when the heap words cannot be allocated.
bool MoveStorage(BitData& data, uint64_t bits) {
  const bool wasInline = data.lengthInBits <= kInlineBits;
  if (wasInline == (bits <= kInlineBits)) return true;
  if (wasInline) {
    auto* heapWords =
        static_cast<uint64_t*>(std::calloc(standin::bits::WordCount(bits), sizeof(uint64_t)));
    if (heapWords == nullptr) return false;
    heapWords[0] = data.storage.inlineWord;
    data.storage.heapWords = heapWords;
  } else {
    uint64_t* heapWords = data.storage.heapWords;
    data.storage.inlineWord = heapWords[0];
    std::free(heapWords);
  }
  return true;
}

// Reallocates the heap words of a buffer that stays longer than the inline word, zeroing the new
// ones.
bool ResizeHeapWords(BitData& data, uint64_t bits) {
  const uint64_t oldWords = standin::bits::WordCount(data.lengthInBits);
  const uint64_t newWords = standin::bits::WordCount(bits);
  if (newWords == oldWords) return true;
  void* resized = std::realloc(data.storage.heapWords, newWords * sizeof(uint64_t));
  if (resized == nullptr) return false;
  data.storage.heapWords = static_cast<uint64_t*>(resized);
  if (newWords > oldWords) {
    std::memset(data.storage.heapWords + oldWords, 0, (newWords - oldWords) * sizeof(uint64_t));
  }
  return true;
}

// Changes `data` to `bits` bits, keeping the low bits and zeroing the new ones.
uint32_t ResizeHeld(BitData& data, uint64_t bits) {
  const bool staysOnHeap = data.lengthInBits > kInlineBits && bits > kInlineBits;
  if (!(staysOnHeap ? ResizeHeapWords(data, bits) : MoveStorage(data, bits))) {
    return STANDIN_BITDATA_E_NO_MEMORY;
  }
  const uint64_t oldBits = data.lengthInBits;
  data.lengthInBits = bits;
  // Bits past the new length must read as 0 if the buffer grows again later.
  if (bits == 0) {
    data.storage.inlineWord = 0;
  } else if (bits < oldBits && bits % 64 != 0) {
    Words(data)[bits / 64] &= standin::bits::LowMask(static_cast<unsigned>(bits % 64));
  }
  return STANDIN_BITDATA_OK;
}

}  // namespace

extern "C" {

STANDIN_BITDATA_API BitData* BitData_CreateManaged(uint64_t bits) {
  if (bits > STANDIN_BITDATA_MAX_BITS) {
    NoteMisuse();
    return nullptr;
  }
  return standin::bitdata::CreateBuffer(bits);
}

STANDIN_BITDATA_API BitData* BitData_CreateManagedFromBitData(const BitData* source) {
  HeldBuffers held(source);
  if (!held.Valid()) return nullptr;
  const BitData& from = *held.First();
  BitData* copy = standin::bitdata::CreateBuffer(from.lengthInBits);
  if (copy != nullptr && from.lengthInBits != 0) {
    // Not yet handed out, so nobody else can reach the copy.
    std::memcpy(Words(*copy), Words(from),
                standin::bits::WordCount(from.lengthInBits) * sizeof(uint64_t));
  }
  return copy;
}

STANDIN_BITDATA_API void BitData_FreeManaged(BitData* data) {
  if (data == nullptr) return;
  if (!standin::bitdata::DestroyBuffer(data)) NoteMisuse();
}

STANDIN_BITDATA_API uint32_t BitData_Resize(BitData* data, uint64_t bits) {
  HeldBuffers held(data);
  if (!held.Valid()) return STANDIN_BITDATA_E_NOT_LIVE;
  if (bits > STANDIN_BITDATA_MAX_BITS) {
    NoteMisuse();
    return STANDIN_BITDATA_E_TOO_LARGE;
  }
  return ResizeHeld(*held.First(), bits);
}

STANDIN_BITDATA_API uint32_t BitData_Copy(const BitData* source, uint64_t sourceOffset,
                                          BitData* destination, uint64_t destinationOffset,
                                          uint64_t bitCount) {
  HeldBuffers held(source, destination);
  if (!held.Valid()) return STANDIN_BITDATA_E_NOT_LIVE;
  const BitData& from = *held.First();
  BitData& to = *held.Second();
  if (!RangeInside(sourceOffset, bitCount, from.lengthInBits) ||
      !RangeInside(destinationOffset, bitCount, to.lengthInBits)) {
    NoteMisuse();
    return STANDIN_BITDATA_E_RANGE;
  }
  if (held.Same() && destinationOffset > sourceOffset) {
    standin::bits::CopyDown(Words(from), sourceOffset, Words(to), destinationOffset, bitCount);
  } else {
    standin::bits::CopyUp(Words(from), sourceOffset, Words(to), destinationOffset, bitCount);
  }
  return STANDIN_BITDATA_OK;
}

STANDIN_BITDATA_API uint64_t BitData_GetUpToUInt64(const BitData* data, uint64_t offset,
                                                   uint64_t bitCount) {
  HeldBuffers held(data);
  if (!held.Valid()) return 0;
  const BitData& from = *held.First();
  if (bitCount > 64 || !RangeInside(offset, bitCount, from.lengthInBits)) {
    NoteMisuse();
    return 0;
  }
  if (bitCount == 0) return 0;
  return standin::bits::Read(Words(from), offset, static_cast<unsigned>(bitCount));
}

STANDIN_BITDATA_API uint32_t BitData_SetUpToUInt64(BitData* data, uint64_t offset,
                                                   uint64_t bitCount, uint64_t value) {
  HeldBuffers held(data);
  if (!held.Valid()) return STANDIN_BITDATA_E_NOT_LIVE;
  BitData& to = *held.First();
  if (bitCount > 64 || !RangeInside(offset, bitCount, to.lengthInBits)) {
    NoteMisuse();
    return STANDIN_BITDATA_E_RANGE;
  }
  if (bitCount != 0) {
    standin::bits::Write(Words(to), offset, static_cast<unsigned>(bitCount), value);
  }
  return STANDIN_BITDATA_OK;
}

STANDIN_BITDATA_API uint64_t BitData_GetLength(const BitData* data) {
  HeldBuffers held(data);
  return held.Valid() ? held.First()->lengthInBits : 0;
}

STANDIN_BITDATA_API uint64_t StandIn_BitDataLiveCount(void) {
  return standin::bitdata::LiveBufferCount();
}

STANDIN_BITDATA_API uint64_t StandIn_BitDataMisuseCount(void) {
  return standin::bitdata::MisuseCount();
}

STANDIN_BITDATA_API void StandIn_BitDataResetMisuseCount(void) {
  standin::bitdata::ResetMisuseCount();
}

}  // extern "C"
