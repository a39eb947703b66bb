// Compaction.cpp
//
// Rebuilds the record table with only its live records, once its capacity has grown past
// kCompactionThreshold. Records move with everything they hold (value, message, links and the
// references those links hold); tokens do not change.

#include "OperationPool.h"

namespace operation_receipt {

void OperationPool::Compact() {
  PoolGuard guard(lock_);
  if (records_.capacity() <= kCompactionThreshold) return;
  std::vector<OperationRecord> records;
  records.emplace_back();  // the new sentinel
  if (records.capacity() < kCompactionThreshold) records.reserve(kCompactionThreshold);
  std::unordered_map<uint64_t, uint64_t> tokenIndex;
  tokenIndex.max_load_factor(1.0f);
  // The order in which live records land follows the map's iteration order; nothing relies on
  // it, since every access goes through the token map.
  for (const auto& [token, index] : tokenIndex_) {
    records.push_back(std::move(records_[index]));
    tokenIndex.emplace(token, records.size() - 1);
  }
  records_.swap(records);
  tokenIndex_.swap(tokenIndex);
  std::deque<uint64_t>().swap(freeIndices_);
}

}  // namespace operation_receipt
