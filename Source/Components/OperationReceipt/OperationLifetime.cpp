// OperationLifetime.cpp
//
// Creation, references and destruction of operations: CreateOperation and the pool's Acquire
// and Release.

#include "OperationLifetime.h"

#include "ErrorReporting.h"
#include "OperationPool.h"
#include "OperationSet.h"
#include "services/BitDataLibrary.h"

namespace operation_receipt {

namespace {

// The references of a new operation that nobody has been handed yet, given back if an
// exception leaves the creation first, so a failed creation leaves no record behind.
struct CreationRollback {
  OperationPool& pool;
  uint64_t token;
  int references;
  ~CreationRollback() {
    for (; references > 0; --references) (void)pool.Release(token);
  }
};

}  // namespace

ErrorCode CreateOperation(const OperationDescriptor* descriptor, uint64_t* tokenOut) {
  OperationPool& pool = OperationPool::Instance();
  OperationSet& set = GetThreadOperationSet();
  if (!set.immediateMode()) {
    const uint64_t token = pool.AllocateBuffered(set, descriptor);
    CreationRollback rollback{pool, token, 2};  // the client's and the buffer's
    set.Buffer(token);
    rollback.references = 0;
    if (tokenOut != nullptr) {
      *tokenOut = token;
      return kNoError;
    }
    return pool.Release(token);  // nobody outside holds the token: the buffer's reference stays
  }
  const uint64_t token = pool.AllocateOperation(set, descriptor);
  // Until the token is handed out, or for good when it is not: an execute callback that throws
  // then leaves no operation without an owner.
  CreationRollback rollback{pool, token, 1};
  const char* name =
      descriptor != nullptr && descriptor->name != nullptr ? descriptor->name : kUnknownName;
  LogLine(pool.logger(), kLogLifecycle, [&](LineWriter& s) {
    s << "Creating operation " << NamePiece{name} << " (token = " << TokenPiece{token} << ")";
  });
  // Handed out before the operation runs, so the client has it even when execution fails.
  if (tokenOut != nullptr) {
    *tokenOut = token;
    rollback.references = 0;
  }
  const ErrorCode executed = pool.ExecuteOperation(token);
  if (tokenOut != nullptr) return executed;
  rollback.references = 0;
  const ErrorCode released = pool.Release(token);
  return executed != kNoError ? executed : released;
}

ErrorCode OperationPool::Acquire(uint64_t token) {
  if (token == 0) return kNoError;
  PoolGuard guard(lock_);
  OperationRecord* record;
  if (const ErrorCode lookup = FindOperation(token, &record)) return lookup;
  if (record->referenceCount == kMaxReferences) {
    return Post(kInvalidOperationToken, TooManyReferencesMessage(token), kPoolSource, __LINE__);
  }
  const int32_t count = ++record->referenceCount;
  const char* name = record->name;
  LogLine(logger_, kLogLifecycle, [&](LineWriter& s) {
    s << "Acquiring operation " << NamePiece{name} << " (token = " << TokenPiece{token}
      << ", reference count = " << count << ")";
  });
  return kNoError;
}

ErrorCode OperationPool::Release(uint64_t token) {
  if (token == 0) return kNoError;
  PoolGuard guard(lock_);
  return ReleaseLocked(token);
}

ErrorCode OperationPool::ReleaseLocked(uint64_t token) {
  if (token == 0) return kNoError;
  OperationRecord* record;
  if (const ErrorCode lookup = FindOperation(token, &record)) return lookup;
  const int32_t count = --record->referenceCount;
  const char* name = record->name;
  size_t index = static_cast<size_t>(record - records_.data());
  LogLine(logger_, kLogLifecycle, [&](LineWriter& s) {
    s << "Releasing operation " << NamePiece{name} << " (token = " << TokenPiece{token}
      << ", reference count = " << count << ")";
  });
  if (count != 0) return kNoError;
  // The logging service may have called out; the slot is trusted only if it still holds the
  // token, which no other record ever does.
  if (index >= records_.size() || records_[index].token != token) index = LocateSlot(token);
  DestroyRecord(token, index);
  return kNoError;
}

// Destroys the record of `token`, whose count has just reached 0, with the lock held. The token
// stays in the map until the end, so a lookup from a callback meanwhile fails with "does not
// correspond to a valid operation" instead of destroying the record twice. The link releases
// and the destroy callback may grow or compact the table, so the slot is located again after
// each of them. `index` is the record's slot, found by the caller in the same critical section.
void OperationPool::DestroyRecord(uint64_t token, size_t index) {
  const char* name = records_[index].name;
  LogLine(logger_, kLogLifecycle, [&](LineWriter& s) {
    s << "Destroying operation " << NamePiece{name} << " (token = " << TokenPiece{token} << ")";
  });

  if (!records_[index].links.empty()) {
    // Re-enters Release on this thread with the lock held: a source whose last reference this
    // link held is destroyed, with its own lines, before this destruction goes on.
    ReleaseLinks(token);
    index = LocateSlot(token);
  }

  OperationDestroyCallback destroyCallback = records_[index].destroyCallback;
  void* context = records_[index].context;
  if (destroyCallback != nullptr && context != nullptr) {
    destroyCallback(context);
    index = LocateSlot(token);
  }

  OperationRecord& record = records_[index];
  if (record.value != nullptr) BitData_FreeManaged(record.value);
  // Out of the map before the reset, since the map reads the token from the record. Nothing
  // runs in between, so the order of the two is not visible.
  tokenIndex_.Erase(token, static_cast<uint32_t>(index));
  record.Reset();
  freeIndices_.push_back(static_cast<uint32_t>(index));
}

}  // namespace operation_receipt
