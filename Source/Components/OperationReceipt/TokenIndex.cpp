// TokenIndex.cpp

#include "TokenIndex.h"

namespace operation_receipt {
namespace {

constexpr size_t kMinimumCapacity = 64;  // four groups of sixteen slots

size_t CapacityFor(size_t tokens) {
  size_t capacity = kMinimumCapacity;
  while (capacity < tokens * 2) capacity *= 2;
  return capacity;
}

}  // namespace

void TokenIndex::Insert(uint64_t token, uint32_t index) {
  if ((size_ + 1) * 2 > slots_.size()) Rehash(CapacityFor(size_ + 1));
  size_t slot = Home(token);
  while (slots_[slot] != 0) slot = (slot + 1) & mask_;
  slots_[slot] = index;
  ++size_;
}

void TokenIndex::Erase(uint64_t token, uint32_t index) {
  if (slots_.empty()) return;
  size_t hole = Home(token);
  while (slots_[hole] != index) {
    if (slots_[hole] == 0) return;
    hole = (hole + 1) & mask_;
  }
  // Shift back every following entry of the run that may not sit past the hole: one whose home
  // lies cyclically outside (hole, slot].
  for (size_t slot = (hole + 1) & mask_; slots_[slot] != 0; slot = (slot + 1) & mask_) {
    const size_t home = Home((*records_)[slots_[slot]].token);
    const bool staysPut = hole <= slot ? (hole < home && home <= slot) : (hole < home || home <= slot);
    if (staysPut) continue;
    slots_[hole] = slots_[slot];
    hole = slot;
  }
  slots_[hole] = 0;
  --size_;
}

void TokenIndex::Reset(size_t expected) {
  slots_.assign(CapacityFor(expected), 0);
  mask_ = slots_.size() - 1;
  shift_ = 64 - (static_cast<unsigned>(__builtin_ctzll(slots_.size())) - kGroupBits);
  size_ = 0;
}

void TokenIndex::Rehash(size_t capacity) {
  std::vector<uint32_t> old;
  old.swap(slots_);
  slots_.assign(capacity, 0);
  mask_ = capacity - 1;
  shift_ = 64 - (static_cast<unsigned>(__builtin_ctzll(capacity)) - kGroupBits);
  for (const uint32_t index : old) {
    if (index == 0) continue;
    size_t slot = Home((*records_)[index].token);
    while (slots_[slot] != 0) slot = (slot + 1) & mask_;
    slots_[slot] = index;
  }
}

}  // namespace operation_receipt
