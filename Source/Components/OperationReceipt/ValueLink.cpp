// ValueLink.cpp
//
// Deep copies of client index lists.

#include "ValueLink.h"

#include <algorithm>

namespace operation_receipt {

OwnedIndexList::OwnedIndexList(const IndexList* list) {
  if (list == nullptr || list->count == 0) return;
  bool malformedElement = false;
  const IndexRun* begin = list->elementsBegin;
  const IndexRun* end = list->elementsEnd;
  // An element range that runs backwards or starts at null names no element: copying it as
  // empty keeps the count, which the bit-data library then finds disagreeing and refuses.
  if (begin != nullptr && end != nullptr && begin < end) {
    runs_.reserve(static_cast<size_t>(end - begin));
    values_.reserve(static_cast<size_t>(end - begin));
    for (const IndexRun* run = begin; run != end; ++run) {
      const uint64_t* valuesBegin = run->valuesBegin;
      const uint64_t* valuesEnd = run->valuesEnd;
      if (valuesBegin != nullptr && valuesEnd != nullptr && valuesBegin < valuesEnd) {
        values_.emplace_back(valuesBegin, valuesEnd);
      } else {
        // Both null, or equal, is an empty element; a range that runs backwards or has one
        // end missing is one the bit-data library refuses, so the whole list is malformed.
        if (valuesBegin != valuesEnd) malformedElement = true;
        values_.emplace_back();
      }
      IndexRun copy{};
      copy.isRange = run->isRange;
      copy.ascending = run->ascending;
      runs_.push_back(copy);
    }
    for (size_t i = 0; i < runs_.size(); ++i) {
      runs_[i].valuesBegin = values_[i].data();
      runs_[i].valuesEnd = values_[i].data() + values_[i].size();
      runs_[i].valuesCapacityEnd = runs_[i].valuesEnd;
    }
  }
  view_.elementsBegin = runs_.data();
  view_.elementsEnd = runs_.data() + runs_.size();
  view_.elementsCapacityEnd = view_.elementsEnd;
  view_.count = list->count;
  wellFormed_ = !malformedElement && CountPositions() == list->count;
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
