// TokenIndex.cpp

#include "TokenIndex.h"

#include <utility>

namespace operation_receipt {
namespace {

constexpr size_t kMinimumCapacity = 64;  // eight groups of eight slots

size_t CapacityFor(size_t tokens) {
  size_t capacity = kMinimumCapacity;
  while (capacity < tokens * 2) capacity *= 2;
  return capacity;
}

}  // namespace

void TokenIndex::Insert(uint64_t token, uint32_t index) {
  if ((size_ + 1) * 2 > slots_.size()) Rehash(CapacityFor(size_ + 1));
  Place(Entry{index, static_cast<uint32_t>(token)});
  ++size_;
}

// Robin Hood placement: an entry that has come further from its home than the one in its way
// takes that slot, and the displaced one moves on. Every run is then ordered by home, which lets
// a removal stop at the first entry that sits at its home.
void TokenIndex::Place(Entry entry) {
  size_t slot = Home(entry.low);
  size_t distance = 0;
  while (slots_[slot].index != 0) {
    const size_t theirs = Distance(slot, slots_[slot].low);
    if (theirs < distance) {
      std::swap(entry, slots_[slot]);
      distance = theirs;
    }
    slot = (slot + 1) & mask_;
    ++distance;
  }
  slots_[slot] = entry;
}

void TokenIndex::Erase(uint64_t token, uint32_t index) {
  if (slots_.empty()) return;
  size_t hole = Home(static_cast<uint32_t>(token));
  while (slots_[hole].index != index) {
    if (slots_[hole].index == 0) return;
    hole = (hole + 1) & mask_;
  }
  // Shift the rest of the run back by one, up to its end or to an entry at its home.
  for (size_t next = (hole + 1) & mask_;
       slots_[next].index != 0 && Distance(next, slots_[next].low) != 0;
       next = (next + 1) & mask_) {
    slots_[hole] = slots_[next];
    hole = next;
  }
  slots_[hole] = Entry{0, 0};
  --size_;
}

void TokenIndex::Reset(size_t expected) {
  std::vector<Entry>(CapacityFor(expected), Entry{0, 0}).swap(slots_);
  mask_ = slots_.size() - 1;
  shift_ = 64 - (static_cast<unsigned>(__builtin_ctzll(slots_.size())) - kGroupBits);
  size_ = 0;
}

// The new table is allocated before the old one is touched, so a failed allocation leaves the
// map as it was.
void TokenIndex::Rehash(size_t capacity) {
  std::vector<Entry> old(capacity, Entry{0, 0});
  old.swap(slots_);
  mask_ = capacity - 1;
  shift_ = 64 - (static_cast<unsigned>(__builtin_ctzll(capacity)) - kGroupBits);
  for (const Entry entry : old) {
    if (entry.index != 0) Place(entry);
  }
}

}  // namespace operation_receipt
