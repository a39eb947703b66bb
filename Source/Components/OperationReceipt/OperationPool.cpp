// OperationPool.cpp
//
// The pool's table: construction and shutdown, allocation, lookup, the on-demand flush, and
// executing one operation. Lifetime (Acquire, Release, destruction) is in OperationLifetime.cpp,
// values in OperationValues.cpp, links in ValueLinks.cpp, compaction in Compaction.cpp and the
// disconnect handler in ClientDisconnect.cpp.

#include "OperationPool.h"

#include <new>

#include "ErrorReporting.h"
#include "OperationSet.h"

namespace operation_receipt {
namespace {

// The process-wide pool lives in static storage and is never destroyed, only shut down: a
// thread that ends after the library's static destructors have run (or while they run) still
// tears its set down against a valid lock and an empty table.
alignas(OperationPool) unsigned char processPoolStorage[sizeof(OperationPool)];

struct ProcessPoolShutdown {
  ~ProcessPoolShutdown() { OperationPool::Instance().Shutdown(); }
};

OperationPool* CreateProcessPool() {
  OperationPool* pool = new (processPoolStorage) OperationPool(/*subscribeToClientEvents=*/true);
  // Registered after the pool is built, so it runs when the library is unloaded.
  static ProcessPoolShutdown shutdown;
  return pool;
}

}  // namespace

OperationPool& OperationPool::Instance() {
  static OperationPool* const pool = CreateProcessPool();
  return *pool;
}

OperationPool::OperationPool(bool subscribeToClientEvents) {
  PoolGuard guard(lock_);
  ResetTable();
  Quorvel_GetCommon(&common_);
  Quorvel_GetEventBroker(&eventBroker_);
  if (subscribeToClientEvents) {
    eventBroker_->Subscribe("Client", &OperationPool::OnClientEvent, nullptr, "OperationReceipt");
    subscribed_ = true;
  }
}

OperationPool::~OperationPool() { Shutdown(); }

void OperationPool::Shutdown() {
  if (subscribed_) {
    eventBroker_->Unsubscribe("Client", &OperationPool::OnClientEvent, nullptr);
    subscribed_ = false;
  }
  PoolGuard guard(lock_);
  ResetTable();
}

// Discards the table without calling back: values stay allocated (the bit-data library still
// tracks them) and contexts belong to their clients.
void OperationPool::ResetTable() {
  std::vector<OperationRecord>().swap(records_);
  freeIndices_.Release();
  tokenIndex_.Reset(0);
  records_.emplace_back();  // the sentinel, slot 0
  records_.reserve(kCompactionThreshold);
}

uint64_t OperationPool::AllocateOperation(const OperationSet& set,
                                          const OperationDescriptor* descriptor) {
  PoolGuard guard(lock_);
  const uint64_t token = nextToken_++;
  uint32_t index;
  if (!freeIndices_.empty()) {
    index = freeIndices_.front();
    freeIndices_.pop_front();
  } else {
    records_.emplace_back();
    index = static_cast<uint32_t>(records_.size() - 1);
  }
  OperationRecord& record = records_[index];
  record.token = token;  // the token map reads it from the record
  tokenIndex_.Insert(token, index);
  record.referenceCount = 1;
  record.owningSet = &set;
  record.setKey = set.immediateMode() ? -1 : set.setKey();
  if (descriptor != nullptr) {
    if (descriptor->name != nullptr) record.name = descriptor->name;
    record.executeCallback = descriptor->executeCallback;
    record.valueCallback = descriptor->valueCallback;
    record.context = descriptor->context;
    record.destroyCallback = descriptor->destroyCallback;
    record.hasValue = descriptor->hasValue != 0;
    record.alwaysExecute = descriptor->alwaysExecute != 0;
  }
  return token;
}

ErrorCode OperationPool::FindOperation(uint64_t token, OperationRecord** record) {
  const size_t index = LocateSlot(token);
  if (index == 0) return Post(kInvalidOperationToken, "", kPoolSource, __LINE__);
  OperationRecord& found = records_[index];
  if (!found.IsLive()) {
    return Post(kInvalidOperationToken, NotValidOperationMessage(token), kPoolSource, __LINE__);
  }
  if (record != nullptr) *record = &found;
  return kNoError;
}

// The decision: Pending and Executing operations still have to run; an Executed one only while
// its announced value has not been built; a Failed one never, but a value read reports its
// message first. Only the caller's own operations are flushed.
ErrorCode OperationPool::EnsureExecuted(uint64_t token, bool reportFailure) {
  State state;
  {
    PoolGuard guard(lock_);
    OperationRecord* record;
    if (const ErrorCode lookup = FindOperation(token, &record)) return lookup;
    state = record->state;
  }
  bool mustExecute = false;
  if (state == State::kPending || state == State::kExecuting) {
    mustExecute = true;
  } else if (state == State::kExecuted) {
    PoolGuard guard(lock_);
    OperationRecord* record;
    if (const ErrorCode lookup = FindOperation(token, &record)) return lookup;
    mustExecute = record->hasValue && record->value == nullptr;
  } else if (state == State::kFailed && reportFailure) {
    PoolGuard guard(lock_);
    OperationRecord* record;
    if (const ErrorCode lookup = FindOperation(token, &record)) return lookup;
    if (record->state == State::kFailed) {
      Post(kNoError, record->errorMessage ? record->errorMessage->c_str() : "", kPoolSource,
           __LINE__);
    }
  }
  if (!mustExecute) return kNoError;

  ErrorCode lookup = kNoError;
  if (!IsOwnedByCallingThread(token, &lookup)) return lookup;
  const ErrorCode flushed = GetThreadOperationSet().FlushOperation(token);
  return reportFailure ? flushed : kNoError;
}

bool OperationPool::IsOwnedByCallingThread(uint64_t token, ErrorCode* lookup) {
  OperationSet& set = GetThreadOperationSet();
  PoolGuard guard(lock_);
  OperationRecord* record;
  *lookup = FindOperation(token, &record);
  return *lookup == kNoError && record->owningSet == &set;
}

ErrorCode OperationPool::ExecuteOperation(uint64_t token) {
  OperationExecuteCallback callback;
  void* context;
  const char* name;
  {
    PoolGuard guard(lock_);
    OperationRecord* record;
    if (const ErrorCode lookup = FindOperation(token, &record)) return lookup;
    if (record->state != State::kPending) return kNoError;
    record->state = State::kExecuting;
    callback = record->executeCallback;
    context = record->context;
    name = record->name;
  }
  ErrorCode result = kNoError;
  if (callback != nullptr) {
    // The End line is written also when the callback throws; the record then stays Executing.
    LogScope scope(
        logger_, kLogExecution,
        [&](std::stringstream& s) {
          s << "Begin operation " << NamePiece{name} << " (token = " << TokenPiece{token} << ")";
        },
        [&](std::stringstream& s) {
          s << "End operation " << NamePiece{name} << " (token = " << TokenPiece{token} << ")";
        });
    result = callback(token, context);
  }
  PoolGuard guard(lock_);
  OperationRecord* record;
  if (const ErrorCode lookup = FindOperation(token, &record)) return lookup;
  const ErrorCode finalCode = record->errorCode != kNoError ? record->errorCode : result;
  record->state = finalCode == kNoError ? State::kExecuted : State::kFailed;
  record->errorCode = finalCode;
  return finalCode;
}

uint32_t OperationPool::CountOperations(int32_t setKey, bool pending) {
  PoolGuard guard(lock_);
  uint32_t count = 0;
  for (size_t index = 1; index < records_.size(); ++index) {
    const OperationRecord& record = records_[index];
    if (!record.IsLive() || record.setKey != setKey) continue;
    if ((record.state == State::kPending) == pending) ++count;
  }
  return count;
}

void OperationPool::ForgetSet(const OperationSet* set) {
  PoolGuard guard(lock_);
  for (OperationRecord& record : records_) {
    if (record.owningSet == set) record.owningSet = nullptr;
  }
}

size_t OperationPool::RecordCount() {
  PoolGuard guard(lock_);
  return records_.size();
}

size_t OperationPool::RecordCapacity() {
  PoolGuard guard(lock_);
  return records_.capacity();
}

size_t OperationPool::FreeSlotCount() {
  PoolGuard guard(lock_);
  return freeIndices_.size();
}

size_t OperationPool::LiveTokenCount() {
  PoolGuard guard(lock_);
  return tokenIndex_.size();
}

void OperationPool::SetNextTokenForTesting(uint64_t next) {
  PoolGuard guard(lock_);
  nextToken_ = next;
}

}  // namespace operation_receipt
