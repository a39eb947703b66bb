// OperationValues.cpp
//
// An operation's results: value, pending size, error code and message, state, and the counts of
// a client's operations. Reading a value, code or message flushes the calling thread's buffer on
// demand (EnsureExecuted); reading the state does not.

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

ErrorCode CopyMessage(const OperationRecord& record, std::string* message) {
  if (record.errorMessage) {
    *message = *record.errorMessage;
  } else {
    message->clear();
  }
  return kNoError;
}

}  // namespace

ErrorCode OperationPool::StoreValue(uint64_t token, BitData* newValue) {
  OperationRecord* record;
  if (const ErrorCode lookup = FindOperation(token, &record)) return lookup;
  if (record->valueSize != 0) {
    BitData_Resize(newValue, record->valueSize);
    record->valueSize = 0;
  }
  // A value callback may hand the value it was told of back to SetValue: never free the value
  // that is being installed.
  if (record->value != newValue) BitData_FreeManaged(record->value);
  record->value = newValue;
  ErrorCode result = kNoError;
  if (record->valueCallback != nullptr) {
    result = record->valueCallback(record->token, record->context, newValue);
    // The callback may have created operations or flushed: reach the record as it now is.
    const size_t index = LocateSlot(token);
    if (index == 0) return result;
    record = &records_[index];
  }
  record->hasValue = true;
  return result;
}

ErrorCode OperationPool::ResolveValue(uint64_t token) {
  OperationRecord* record;
  if (const ErrorCode lookup = FindOperation(token, &record)) return lookup;
  if (!record->hasValue || record->value != nullptr) return kNoError;
  // A link whose sources lead back to this record would resolve it again from inside its own
  // resolution; refuse that instead of recursing.
  if (record->resolvingValue) {
    return Post(kOperationHasNoValue, ValueCycleMessage(token), kPoolSource, __LINE__);
  }
  record->resolvingValue = true;
  // Cleared however the resolution ends, an exception from a source's flush included.
  struct ResolvingMark {
    OperationPool& pool;
    uint64_t token;
    ~ResolvingMark() OR_NO_THREAD_SAFETY_ANALYSIS {
      if (const size_t index = pool.LocateSlot(token)) pool.records_[index].resolvingValue = false;
    }
  } mark{*this, token};

  OwnedBitData newValue(BitData_CreateManaged(0));
  const ErrorCode linkResult = ApplyLinks(token, newValue.get());
  ReleaseLinks(token);
  if (linkResult != kNoError) return linkResult;
  if (const ErrorCode lookup = FindOperation(token, nullptr)) return lookup;
  return StoreValue(token, newValue.release());
}

// A value read: flushes on demand (in one critical section with the read when no flush is
// needed), resolves an announced value, and shows the value to `visit` under the lock.
template <class Visit>
ErrorCode OperationPool::ReadResolvedValue(uint64_t token, Visit visit) {
  {
    PoolGuard guard(lock_);
    OperationRecord* record;
    bool mustExecute;
    if (const ErrorCode lookup = FindForRead(token, /*reportFailure=*/true, &record, &mustExecute)) {
      return lookup;
    }
    if (!mustExecute) {
      // A Failed record's message went to the error service: reach the record afresh.
      return record->state == State::kFailed ? VisitValue(token, visit)
                                              : VisitFound(token, record, visit);
    }
  }
  if (const ErrorCode ensured = EnsureExecuted(token, /*reportFailure=*/true)) return ensured;
  PoolGuard guard(lock_);
  return VisitValue(token, visit);
}

template <class Visit>
ErrorCode OperationPool::VisitValue(uint64_t token, Visit visit) {
  OperationRecord* record;
  if (const ErrorCode lookup = FindOperation(token, &record)) return lookup;
  return VisitFound(token, record, visit);
}

template <class Visit>
ErrorCode OperationPool::VisitFound(uint64_t token, OperationRecord* record, Visit visit) {
  if (!record->hasValue || (record->value == nullptr && record->links.empty())) {
    return Post(kOperationHasNoValue, NoValueMessage(token), kPoolSource, __LINE__);
  }
  // A value already built needs no resolution (ResolveValue would leave it as it is), so the
  // record found is still the one to show.
  if (record->value == nullptr) {
    if (const ErrorCode resolved = ResolveValue(token)) return resolved;
    if (const ErrorCode lookup = FindOperation(token, &record)) return lookup;
  }
  visit(record->value);
  return kNoError;
}

ErrorCode OperationPool::ReadValue(uint64_t token, BitData** copy) {
  return ReadResolvedValue(token, [copy](const BitData* value) {
    *copy = value != nullptr ? BitData_CreateManagedFromBitData(value) : nullptr;
  });
}

ErrorCode OperationPool::ReadValueBits(uint64_t token, uint64_t maxBits, uint64_t* bits) {
  return ReadResolvedValue(token, [maxBits, bits](const BitData* value) {
    *bits = value != nullptr
                ? BitData_GetUpToUInt64(value, 0, std::min(BitDataLengthInBits(value), maxBits))
                : 0;
  });
}

ErrorCode OperationPool::SetErrorMessage(uint64_t token,
                                         SharedText text) {
  PoolGuard guard(lock_);
  OperationRecord* record;
  if (const ErrorCode lookup = FindOperation(token, &record)) return lookup;
  record->errorMessage = std::move(text);
  return kNoError;
}

// The error readers read in the critical section that finds the operation when it needs no
// on-demand flush, and after EnsureExecuted otherwise.
ErrorCode OperationPool::GetErrorMessage(uint64_t token, std::string* message) {
  {
    PoolGuard guard(lock_);
    OperationRecord* record;
    bool mustExecute;
    if (const ErrorCode lookup = FindForRead(token, false, &record, &mustExecute)) return lookup;
    if (!mustExecute) return CopyMessage(*record, message);
  }
  if (const ErrorCode ensured = EnsureExecuted(token, /*reportFailure=*/false)) return ensured;
  PoolGuard guard(lock_);
  OperationRecord* record;
  if (const ErrorCode lookup = FindOperation(token, &record)) return lookup;
  return CopyMessage(*record, message);
}

ErrorCode OperationPool::GetErrorCode(uint64_t token, ErrorCode* code) {
  {
    PoolGuard guard(lock_);
    OperationRecord* record;
    bool mustExecute;
    if (const ErrorCode lookup = FindForRead(token, false, &record, &mustExecute)) return lookup;
    if (!mustExecute) {
      *code = record->errorCode;
      return kNoError;
    }
  }
  if (const ErrorCode ensured = EnsureExecuted(token, /*reportFailure=*/false)) return ensured;
  PoolGuard guard(lock_);
  OperationRecord* record;
  if (const ErrorCode lookup = FindOperation(token, &record)) return lookup;
  *code = record->errorCode;
  return kNoError;
}

ErrorCode OperationPool::SetError(uint64_t token, ErrorCode code, const char* message) {
  {
    PoolGuard guard(lock_);
    OperationRecord* record;
    if (const ErrorCode lookup = FindOperation(token, &record)) return lookup;
    record->errorCode = code;
  }
  if (message == nullptr) return kNoError;
  return SetErrorMessage(token, SharedText::Make(message));
}

ErrorCode OperationPool::GetOperationState(uint64_t token, uint32_t* state) {
  PoolGuard guard(lock_);
  OperationRecord* record;
  if (const ErrorCode lookup = FindOperation(token, &record)) return lookup;
  *state = static_cast<uint32_t>(record->state);
  return kNoError;
}

// StoreValue finds the record itself, with the same error for a token that is not live.
ErrorCode OperationPool::SetValue(uint64_t token, BitData* value) {
  PoolGuard guard(lock_);
  return StoreValue(token, value);
}

ErrorCode OperationPool::SetValueSize(uint64_t token, uint64_t bits) {
  PoolGuard guard(lock_);
  OperationRecord* record;
  if (const ErrorCode lookup = FindOperation(token, &record)) return lookup;
  if (record->value != nullptr) {
    BitData_Resize(record->value, bits);
  } else {
    // A pending size is kept in 32 bits, as the record holds it.
    record->valueSize = static_cast<uint32_t>(bits);
  }
  record->hasValue = true;
  return kNoError;
}

}  // namespace operation_receipt
