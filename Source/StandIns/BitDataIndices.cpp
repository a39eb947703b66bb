// BitDataIndices.cpp
//
// BitData_ReadIndices and BitData_WriteIndices: gathering bits from, or scattering bits to, the
// positions an IndexList names (see BitData.h for the list's rules).
//
// Lists come from clients, so nothing in them is trusted. A list is walked twice: once to check
// it entirely (structure, runs, total count, highest position) before any bit is written, so a
// refused call leaves the destination untouched; then again to move the bits. The second walk
// re-checks every piece against the buffers, so even a list changed by another thread between the
// two walks cannot make it write outside a buffer.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <vector>

#include "BitData.h"
#include "BitDataBuffer.h"
#include "BitOps.h"

using standin::bitdata::HeldBuffers;
using standin::bitdata::NoteMisuse;
using standin::bitdata::RangeInside;
using standin::bitdata::Words;

namespace {

constexpr uint64_t kMaxPositions = STANDIN_BITDATA_MAX_BITS;

// Consecutive positions named by one element: start, then rising or falling by one. A single
// value is a piece of length 1.
struct Piece {
  uint64_t start;
  uint64_t length;
  bool ascending;

  uint64_t Highest() const { return ascending ? start + (length - 1) : start; }
  bool Inside(uint64_t bits) const {
    return ascending ? RangeInside(start, length, bits) : start < bits;
  }
};

// Items between two pointers of a C array: both null is empty; one null, a reversed pair, a
// misaligned pointer or a distance that is not whole items is refused.
template <typename T>
bool ItemCount(const T* begin, const T* end, uint64_t* count) {
  if (begin == nullptr && end == nullptr) {
    *count = 0;
    return true;
  }
  const auto first = reinterpret_cast<uintptr_t>(begin);
  const auto last = reinterpret_cast<uintptr_t>(end);
  if (begin == nullptr || end == nullptr || last < first || first % alignof(T) != 0 ||
      (last - first) % sizeof(T) != 0) {
    return false;
  }
  *count = (last - first) / sizeof(T);
  return true;
}

// Calls visit(k, piece) for each element in list order, k being the index of the piece's first
// position in the whole list. Stops with false at the first malformed element or once more than
// kMaxPositions positions are named (before reading values beyond that); else writes the total.
template <typename Visit>
bool WalkList(const IndexList& list, uint64_t* total, Visit&& visit) {
  uint64_t elements = 0;
  if (!ItemCount(list.elementsBegin, list.elementsEnd, &elements) || elements > kMaxPositions) {
    return false;
  }
  uint64_t k = 0;
  for (uint64_t e = 0; e < elements; ++e) {
    const IndexRun& element = list.elementsBegin[e];
    uint64_t values = 0;
    if (!ItemCount(element.valuesBegin, element.valuesEnd, &values)) return false;
    if (element.isRange == 0) {
      if (values > kMaxPositions - k) return false;
      for (uint64_t i = 0; i < values; ++i) visit(k + i, Piece{element.valuesBegin[i], 1, true});
      k += values;
      continue;
    }
    if (values != 2) return false;
    const Piece run{element.valuesBegin[0], element.valuesBegin[1], element.ascending != 0};
    if (run.length > kMaxPositions - k) return false;
    if (run.length != 0) {
      const bool wraps = run.ascending
                             ? run.start > std::numeric_limits<uint64_t>::max() - (run.length - 1)
                             : run.length - 1 > run.start;
      if (wraps) return false;
      visit(k, run);
    }
    k += run.length;
  }
  *total = k;
  return true;
}

// Checks the whole list against the buffer its positions refer to (`positionalBits` long) and
// the buffer read or written in list order (`sequentialBits` long).
uint32_t CheckList(const IndexList& list, uint64_t positionalBits, uint64_t sequentialBits) {
  if (list.count == 0) return STANDIN_BITDATA_E_INDEX_LIST;
  uint64_t total = 0;
  uint64_t highest = 0;
  const bool wellFormed = WalkList(list, &total, [&highest](uint64_t, const Piece& piece) {
    highest = std::max(highest, piece.Highest());
  });
  if (!wellFormed || total != list.count) return STANDIN_BITDATA_E_INDEX_LIST;
  if (highest >= positionalBits || total > sequentialBits) return STANDIN_BITDATA_E_RANGE;
  return STANDIN_BITDATA_OK;
}

// destination bits 0 .. count - 1 = source bits at the listed positions.
void Gather(const uint64_t* source, uint64_t sourceBits, const IndexList& list,
            uint64_t* destination, uint64_t destinationBits) {
  uint64_t total = 0;
  WalkList(list, &total, [&](uint64_t k, const Piece& piece) {
    if (!piece.Inside(sourceBits) || !RangeInside(k, piece.length, destinationBits)) return;
    if (piece.ascending) {
      standin::bits::CopyUp(source, piece.start, destination, k, piece.length);
      return;
    }
    for (uint64_t j = 0; j < piece.length; ++j) {
      standin::bits::Set(destination, k + j, standin::bits::Get(source, piece.start - j));
    }
  });
}

// destination bits at the listed positions = source bits 0 .. count - 1.
void Scatter(const uint64_t* source, uint64_t sourceBits, const IndexList& list,
             uint64_t* destination, uint64_t destinationBits) {
  uint64_t total = 0;
  WalkList(list, &total, [&](uint64_t k, const Piece& piece) {
    if (!piece.Inside(destinationBits) || !RangeInside(k, piece.length, sourceBits)) return;
    if (piece.ascending) {
      standin::bits::CopyUp(source, k, destination, piece.start, piece.length);
      return;
    }
    for (uint64_t j = 0; j < piece.length; ++j) {
      standin::bits::Set(destination, piece.start - j, standin::bits::Get(source, k + j));
    }
  });
}

uint32_t Refuse(uint32_t result) {
  if (result != STANDIN_BITDATA_OK) NoteMisuse();
  return result;
}

}  // namespace

extern "C" {

STANDIN_BITDATA_API uint32_t BitData_ReadIndices(const BitData* source, const IndexList* indices,
                                                 BitData* destination) {
  HeldBuffers held(source, destination);
  if (!held.Valid()) return STANDIN_BITDATA_E_NOT_LIVE;
  const BitData& from = *held.First();
  BitData& to = *held.Second();
  if (indices == nullptr) return Refuse(STANDIN_BITDATA_E_INDEX_LIST);
  const IndexList list = *indices;  // one reading of the count, whatever the caller does
  const uint32_t checked = CheckList(list, from.lengthInBits, to.lengthInBits);
  if (checked != STANDIN_BITDATA_OK) return Refuse(checked);
  const uint64_t count = list.count;
  if (!held.Same()) {
    Gather(Words(from), from.lengthInBits, list, Words(to), to.lengthInBits);
    return STANDIN_BITDATA_OK;
  }
  // One buffer: gather everything before overwriting any of it.
  try {
    std::vector<uint64_t> gathered(standin::bits::WordCount(count));
    Gather(Words(from), from.lengthInBits, list, gathered.data(), count);
    standin::bits::CopyUp(gathered.data(), 0, Words(to), 0, count);
  } catch (const std::bad_alloc&) {
    return STANDIN_BITDATA_E_NO_MEMORY;
  }
  return STANDIN_BITDATA_OK;
}

STANDIN_BITDATA_API uint32_t BitData_WriteIndices(BitData* destination, const IndexList* indices,
                                                  const BitData* source) {
  HeldBuffers held(source, destination);
  if (!held.Valid()) return STANDIN_BITDATA_E_NOT_LIVE;
  const BitData& from = *held.First();
  BitData& to = *held.Second();
  if (indices == nullptr) return Refuse(STANDIN_BITDATA_E_INDEX_LIST);
  const IndexList list = *indices;
  const uint32_t checked = CheckList(list, to.lengthInBits, from.lengthInBits);
  if (checked != STANDIN_BITDATA_OK) return Refuse(checked);
  const uint64_t count = list.count;
  if (!held.Same()) {
    Scatter(Words(from), from.lengthInBits, list, Words(to), to.lengthInBits);
    return STANDIN_BITDATA_OK;
  }
  // One buffer: take the source bits aside before the positions overwrite them.
  try {
    std::vector<uint64_t> taken(standin::bits::WordCount(count));
    standin::bits::CopyUp(Words(from), 0, taken.data(), 0, count);
    Scatter(taken.data(), count, list, Words(to), to.lengthInBits);
  } catch (const std::bad_alloc&) {
    return STANDIN_BITDATA_E_NO_MEMORY;
  }
  return STANDIN_BITDATA_OK;
}

}  // extern "C"
