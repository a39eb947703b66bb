// ValueLink.cpp
//
// Deep copies of client index lists.

#include "ValueLink.h"

#include <algorithm>
#include <cstring>

namespace operation_receipt {

namespace {

constexpr uint64_t kMalformedRange = UINT64_MAX;

// The number of `itemSize`-byte items from `begin` to `end`: 0 for two null pointers, and
// kMalformedRange for one null end, a range that runs backwards or is not a whole number of
// items long, or one longer than kMaxCopiedItems. Only the two addresses are looked at.
uint64_t CountItems(const void* begin, const void* end, size_t itemSize) {
  if (begin == nullptr && end == nullptr) return 0;
  if (begin == nullptr || end == nullptr) return kMalformedRange;
  const uintptr_t first = reinterpret_cast<uintptr_t>(begin);
  const uintptr_t last = reinterpret_cast<uintptr_t>(end);
  if (last < first || (last - first) % itemSize != 0) return kMalformedRange;
  const uint64_t items = (last - first) / itemSize;
  return items <= OwnedIndexList::kMaxCopiedItems ? items : kMalformedRange;
}

}  // namespace

// The client's arrays are copied with memcpy between their begin and end addresses, so an
// element or value that is not aligned is read byte by byte rather than through a misaligned
// pointer. A malformed range is not read at all; it makes the list malformed.
OwnedIndexList::OwnedIndexList(const IndexList* list) {
  if (list == nullptr || list->count == 0) return;
  view_.count = list->count;
  wellFormed_ = false;
  const uint64_t elements = CountItems(list->elementsBegin, list->elementsEnd, sizeof(IndexRun));
  if (elements == kMalformedRange) return;
  runs_.resize(elements);
  values_.resize(elements);
  if (elements != 0) std::memcpy(runs_.data(), list->elementsBegin, elements * sizeof(IndexRun));
  uint64_t copied = 0;
  for (size_t i = 0; i < runs_.size(); ++i) {
    const uint64_t count = CountItems(runs_[i].valuesBegin, runs_[i].valuesEnd, sizeof(uint64_t));
    if (count == kMalformedRange || count > kMaxCopiedItems - copied) {
      Clear();
      return;
    }
    copied += count;
    values_[i].resize(count);
    if (count != 0) std::memcpy(values_[i].data(), runs_[i].valuesBegin, count * sizeof(uint64_t));
  }
  for (size_t i = 0; i < runs_.size(); ++i) {
    runs_[i].valuesBegin = values_[i].data();
    runs_[i].valuesEnd = values_[i].data() + values_[i].size();
    runs_[i].valuesCapacityEnd = runs_[i].valuesEnd;
  }
  view_.elementsBegin = runs_.data();
  view_.elementsEnd = runs_.data() + runs_.size();
  view_.elementsCapacityEnd = view_.elementsEnd;
  wellFormed_ = CountPositions() == list->count;
}

// Forgets the elements of a list found malformed; what is left points at nothing of the client.
void OwnedIndexList::Clear() {
  runs_.clear();
  values_.clear();
}

// The number of positions the elements name, or 0 when an element is malformed or the total
// does not fit in 64 bits (a non-empty list of count 0 is never well formed anyway).
uint64_t OwnedIndexList::CountPositions() const {
  uint64_t total = 0;
  for (size_t i = 0; i < runs_.size(); ++i) {
    const std::vector<uint64_t>& values = values_[i];
    uint64_t positions = values.size();
    if (runs_[i].isRange != 0) {
      if (values.size() != 2) return 0;
      const uint64_t start = values[0];
      positions = values[1];
      if (positions != 0) {
        const bool fits = runs_[i].ascending != 0 ? positions - 1 <= UINT64_MAX - start
                                                  : positions - 1 <= start;
        if (!fits) return 0;
      }
    }
    if (positions > UINT64_MAX - total) return 0;
    total += positions;
  }
  return total;
}

bool OwnedIndexList::HighestPosition(uint64_t* highest) const {
  bool found = false;
  uint64_t top = 0;
  for (size_t i = 0; i < runs_.size(); ++i) {
    const std::vector<uint64_t>& values = values_[i];
    uint64_t candidate = 0;
    if (runs_[i].isRange == 0) {
      if (values.empty()) continue;
      candidate = *std::max_element(values.begin(), values.end());
    } else {
      if (values.size() < 2 || values[1] == 0) continue;  // a run of no positions
      const uint64_t start = values[0];
      const uint64_t length = values[1];
      if (runs_[i].ascending == 0) {
        candidate = start;
      } else {
        candidate = (length - 1 > UINT64_MAX - start) ? UINT64_MAX : start + (length - 1);
      }
    }
    top = found ? std::max(top, candidate) : candidate;
    found = true;
  }
  *highest = top;
  return found;
}

}  // namespace operation_receipt
