// TokenIndex.h
//
// The pool's map from an operation's full 64-bit token to the slot of its record.
//
// An open-addressing table with linear probing. A slot holds the record's 32-bit slot index (0,
// the sentinel's index, marks an empty slot) and the low 32 bits of its token; the full token is
// read from the record, which a successful lookup reaches anyway. The low bits let a probe skip
// other tokens, and let a removal find every entry's home, without touching their records: at
// a million live operations those records are cache misses. The home of a token is computed
// from its low 32 bits only, so tokens 2^32 apart share a home and are told apart by the full
// token in the record. At its highest load of one half the map costs 16 bytes per live
// operation, and adding or removing a token allocates nothing until the table has to grow.
// Entries are placed Robin Hood fashion (see Place), so a removal shifts back only the entries
// that had to probe past the removed one, and no tombstones accumulate.
//
// The caller keeps records and map in step: an index is inserted only for a record that holds
// the token, and removed before the record is reset. All access is under the pool lock.
#ifndef OPERATION_RECEIPT_TOKEN_INDEX_H_
#define OPERATION_RECEIPT_TOKEN_INDEX_H_

#include <cstdint>
#include <vector>

#include "OperationRecord.h"

namespace operation_receipt {

class TokenIndex {
 public:
  explicit TokenIndex(const std::vector<OperationRecord>& records) : records_(&records) {}

  size_t size() const { return size_; }

  // The slot index of `token`, or 0 when it is not in the map.
  uint32_t Find(uint64_t token) const {
    if (slots_.empty()) return 0;
    const uint32_t low = static_cast<uint32_t>(token);
    for (size_t slot = Home(low);; slot = (slot + 1) & mask_) {
      const Entry entry = slots_[slot];
      if (entry.index == 0) return 0;
      if (entry.low == low && (*records_)[entry.index].token == token) return entry.index;
    }
  }

  // Enters a token that is not in the map; its record at `index` already holds it.
  void Insert(uint64_t token, uint32_t index);

  // Removes `token`, whose record sits at `index` and still holds it.
  void Erase(uint64_t token, uint32_t index);

  // Empties the map, keeping room for `expected` tokens.
  void Reset(size_t expected);

  // Calls visit(index) for every entry, in slot order.
  template <class Visit>
  void ForEach(Visit visit) const {
    for (const Entry entry : slots_) {
      if (entry.index != 0) visit(entry.index);
    }
  }

 private:
  struct Entry {
    uint32_t index;  // 0: empty
    uint32_t low;    // the token's low 32 bits
  };

  // Eight consecutive tokens share one cache line of slots, so that operations created together
  // (a batch) are found in a few lines however large the table; the lines of the groups are
  // spread over the table by Fibonacci hashing of the group number.
  size_t Home(uint32_t low) const {
    const uint64_t group = (uint64_t{low} >> kGroupBits) * 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(((group >> shift_) << kGroupBits) | (low & kGroupMask));
  }
  // How far `slot` lies past the home of the token whose low bits are `low`.
  size_t Distance(size_t slot, uint32_t low) const { return (slot - Home(low)) & mask_; }
  void Place(Entry entry);
  static constexpr unsigned kGroupBits = 3;
  static constexpr uint64_t kGroupMask = (1u << kGroupBits) - 1;

  void Rehash(size_t capacity);

  const std::vector<OperationRecord>* records_;
  std::vector<Entry> slots_;
  size_t mask_ = 0;
  unsigned shift_ = 64;
  size_t size_ = 0;
};

}  // namespace operation_receipt

#endif  // OPERATION_RECEIPT_TOKEN_INDEX_H_
