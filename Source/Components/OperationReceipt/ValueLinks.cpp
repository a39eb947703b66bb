// ValueLinks.cpp
//
// Value links: LinkValue records one, ResolveValue applies a record's links in the order they
// were added (ApplyLinks, ApplyLink), and ReleaseLinks gives back the references they hold on
// their sources.
//
// Malformed index lists (a count that disagrees with the elements, a run that wraps past 2^64 or
// goes below 0, a run without a start and a length) and bits the bit-data library refuses (a
// source position past the source value, a size beyond the library's ceiling) make a link
// contribute nothing: the destination's value under construction is left exactly as it was.

#include <algorithm>
#include <memory>

#include "ErrorReporting.h"
#include "OperationPool.h"
#include "services/BitDataLibrary.h"

namespace operation_receipt {
namespace {

struct BitDataDeleter {
  void operator()(BitData* data) const { BitData_FreeManaged(data); }
};
using OwnedBitData = std::unique_ptr<BitData, BitDataDeleter>;

// Picks the source bits a link names: the whole copy, or the bits at the listed positions.
// Null when the library refuses the list.
BitData* ChooseBits(BitData* copy, const OwnedIndexList& sourceIndices, OwnedBitData* picked) {
  if (sourceIndices.count() == 0) return copy;
  picked->reset(BitData_CreateManaged(sourceIndices.count()));
  if (*picked == nullptr) return nullptr;
  if (BitData_ReadIndices(copy, sourceIndices.view(), picked->get()) != 0) return nullptr;
  return picked->get();
}

// Writes `chosen` into `newValue`: at positions 0 onward, or at the listed positions after
// growing `newValue` to reach the highest of them. Checks first what the library would refuse,
// so that a refused link does not grow the value either.
void PlaceBits(BitData* chosen, const OwnedIndexList& destinationIndices, BitData* newValue) {
  const uint64_t chosenBits = BitDataLengthInBits(chosen);
  const uint64_t currentBits = BitDataLengthInBits(newValue);
  if (destinationIndices.count() == 0) {
    BitData_Resize(newValue, std::max(currentBits, chosenBits));
    if (BitDataLengthInBits(newValue) < chosenBits) return;
    BitData_Copy(chosen, 0, newValue, 0, chosenBits);
    return;
  }
  uint64_t highest = 0;
  if (!destinationIndices.HighestPosition(&highest) || highest == UINT64_MAX) return;
  if (chosenBits < destinationIndices.count()) return;
  BitData_Resize(newValue, std::max(currentBits, highest + 1));
  if (BitDataLengthInBits(newValue) <= highest) return;
  BitData_WriteIndices(newValue, destinationIndices.view(), chosen);
}

}  // namespace

// Gives back a reference to `sourceToken` (0: none). It lives only inside LinkValue's
// critical section, so the pool lock is held when it runs.
struct OperationPool::LinkRollback {
  OperationPool& pool;
  uint64_t sourceToken;
  ~LinkRollback() OR_NO_THREAD_SAFETY_ANALYSIS { (void)pool.ReleaseLocked(sourceToken); }
};

ErrorCode OperationPool::LinkValue(uint64_t destination, uint64_t source,
                                   const IndexList* destinationIndices,
                                   const IndexList* sourceIndices) {
  // Copied before the lock: the client may free or change its lists as soon as this returns.
  auto lists = std::make_shared<const LinkIndexLists>(destinationIndices, sourceIndices);
  PoolGuard guard(lock_);
  OperationRecord* record;
  if (const ErrorCode lookup = FindOperation(destination, &record)) return lookup;
  if (const ErrorCode lookup = FindOperation(source, &record)) return lookup;
  const uint64_t sourceToken = record->token;
  if (const ErrorCode acquired = Acquire(sourceToken)) return acquired;
  // The source's new reference belongs to the link; if the link cannot be stored, it goes.
  if (const ErrorCode lookup = FindOperation(destination, &record)) return lookup;
  LinkRollback rollback{*this, sourceToken};
  record->links.push_back(ValueLink{sourceToken, std::move(lists)});
  rollback.sourceToken = 0;
  record->hasValue = true;
  return kNoError;
}

// Applies the links of `token` in order. The record is looked up again for every link: reading
// a source may flush this thread's buffer, whose callbacks may create operations, compact the
// table, or even destroy the destination.
ErrorCode OperationPool::ApplyLinks(uint64_t token, BitData* newValue) {
  for (size_t position = 0;; ++position) {
    OperationRecord* record;
    if (const ErrorCode lookup = FindOperation(token, &record)) return lookup;
    if (position >= record->links.size()) return kNoError;
    const ValueLink link = record->links[position];
    if (const ErrorCode applied = ApplyLink(link, newValue)) return applied;
  }
}

ErrorCode OperationPool::ApplyLink(const ValueLink& link, BitData* newValue) {
  BitData* rawCopy = nullptr;
  // Re-enters the pool with the lock held; a source still buffered on this thread is flushed
  // from here, so that flush's callbacks run with the lock held.
  if (const ErrorCode read = ReadValue(link.sourceToken, &rawCopy)) return read;
  const OwnedBitData copy(rawCopy);
  if (copy == nullptr || BitDataLengthInBits(copy.get()) == 0) return kNoError;
  const LinkIndexLists& lists = *link.lists;
  if (!lists.sourceIndices.IsWellFormed() || !lists.destinationIndices.IsWellFormed()) {
    return kNoError;
  }
  OwnedBitData picked;
  BitData* chosen = ChooseBits(copy.get(), lists.sourceIndices, &picked);
  if (chosen != nullptr) PlaceBits(chosen, lists.destinationIndices, newValue);
  return kNoError;
}

// The links are taken out of the record before their sources are released: a release may
// destroy a source whose destroy callback reads this record's value, which then sees no links
// left to apply (and so cannot release them a second time).
void OperationPool::ReleaseLinks(uint64_t token) {
  const size_t index = LocateSlot(token);
  if (index == 0) return;
  const std::vector<ValueLink> links = records_[index].links.TakeAll();
  for (const ValueLink& link : links) (void)ReleaseLocked(link.sourceToken);
}

}  // namespace operation_receipt
