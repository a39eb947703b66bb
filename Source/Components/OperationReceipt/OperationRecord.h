// OperationRecord.h
//
// One slot of the pool's record table, and the operation states.
//
// A slot is free (it holds the free values below and waits in the pool's free-slot queue, or is
// the sentinel at index 0) or live (its token is in the pool's token map and referenceCount is
// above 0). The record owns its value, its share of the error message and its links; it does not
// own name or context, and owningSet is only the number of the creating thread's set.
#ifndef OPERATION_RECEIPT_OPERATION_RECORD_H_
#define OPERATION_RECEIPT_OPERATION_RECORD_H_

#include <cstdint>
#include <vector>

#include "OperationReceipt.h"
#include "SharedText.h"
#include "ValueLink.h"

namespace operation_receipt {

enum class State : uint8_t {
  kPending = OperationState_Pending,
  kExecuting = OperationState_Executing,
  kExecuted = OperationState_Executed,
  kCanceled = OperationState_Canceled,
  kFailed = OperationState_Failed,
};

inline constexpr const char* kUnknownName = "<unknown>";
inline constexpr uint64_t kFreeToken = 0xFFFFFFFFu;

// The reference count is 32 bits wide, so a live operation never looks destroyed however many
// references clients hold; Acquire refuses a reference past kMaxReferences instead of wrapping.
inline constexpr int32_t kMaxReferences = INT32_MAX;

// Laid out without padding holes (96 bytes, a cache line and a half): the pool holds one per
// live operation, and at a million of them the record array is most of the heap.
struct OperationRecord {
  // The full 64-bit token: what the value callback receives, the Canceled line prints and a
  // value link holds. Kept whole so that these agree with the token map past 2^32 tokens.
  uint64_t token = kFreeToken;
  const char* name = kUnknownName;
  OperationExecuteCallback executeCallback = nullptr;
  OperationValueCallback valueCallback = nullptr;
  void* context = nullptr;
  OperationDestroyCallback destroyCallback = nullptr;
  BitData* value = nullptr;
  SharedText errorMessage;
  LinkList links;
  // The creating thread's set by its number (OperationSet::id), 0 once that thread ended. A
  // number takes half a pointer's room, and a set that ends is never mistaken for a later one.
  uint32_t owningSet = 0;
  int32_t setKey = -1;  // client id of the creating set, -1 if immediate
  int32_t referenceCount = 0;
  uint32_t valueSize = 0;  // pending length in bits, 0 for none
  ErrorCode errorCode = 0;
  State state = State::kPending;
  bool hasValue = false;
  bool alwaysExecute = false;
  bool resolvingValue = false;  // ResolveValue is applying this record's links

  bool IsLive() const { return referenceCount > 0; }

  // Back to the free values, dropping the share of the message and the links' storage. The
  // value has been freed (or handed on) by the caller.
  void Reset() {
    owningSet = 0;
    setKey = -1;
    referenceCount = 0;
    token = kFreeToken;
    name = kUnknownName;
    executeCallback = nullptr;
    valueCallback = nullptr;
    context = nullptr;
    destroyCallback = nullptr;
    state = State::kPending;
    hasValue = false;
    alwaysExecute = false;
    resolvingValue = false;
    valueSize = 0;
    errorCode = 0;
    value = nullptr;
    if (errorMessage) errorMessage.reset();
    if (!links.empty()) links.TakeAll();
  }
};

static_assert(sizeof(OperationRecord) <= 96, "a record stays within 96 bytes");

}  // namespace operation_receipt

#endif  // OPERATION_RECEIPT_OPERATION_RECORD_H_
