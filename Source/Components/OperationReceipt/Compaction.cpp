// Compaction.cpp
//
// Rebuilds the record table with only its live records. Records move with everything they hold
// (value, message, links and the references those links hold); tokens do not change.

#include "OperationPool.h"

namespace operation_receipt {

// The table is rebuilt after a flush only once its capacity has grown past
// kCompactionThreshold, and then only when at least half of its slots are free. Rebuilding a
// table that is mostly live would cost a pass over every live record at every flush and free
// nearly nothing, while every token, record and reference survives a rebuild unchanged, so when
// it happens cannot be seen through the table. PoolTable.CompactsOnlyPastTheThresholdWhenMostlyFree
// holds this trigger.
void OperationPool::Compact() {
  PoolGuard guard(lock_);
  if (records_.capacity() <= kCompactionThreshold) return;
  if (freeIndices_.size() * 2 < records_.size()) return;

  std::vector<uint32_t> live;
  live.reserve(tokenIndex_.size());
  // The order in which live records land follows the map's own order; nothing relies on it,
  // since every access goes through the token map.
  tokenIndex_.ForEach([&](uint32_t index) { live.push_back(index); });
  RingQueue<uint32_t> freeIndices;
  freeIndices.Reserve(std::max<size_t>(kCompactionThreshold, live.size() + 1));
  std::vector<OperationRecord> records;
  records.reserve(std::max<size_t>(kCompactionThreshold, live.size() + 1));
  records.emplace_back();  // the new sentinel
  for (const uint32_t index : live) records.push_back(std::move(records_[index]));
  records_.swap(records);
  tokenIndex_.Reset(live.size());
  for (uint32_t index = 1; index < records_.size(); ++index) {
    tokenIndex_.Insert(records_[index].token, index);
  }
  freeIndices_ = std::move(freeIndices);
}

}  // namespace operation_receipt
