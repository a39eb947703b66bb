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
  uint32_t index;
  return AllocateLocked(set, descriptor, &index);
}

// Allocation, the Creating line and the buffer's reference (with its Acquiring line) in one
// critical section. The lines come in the same order as with separate sections, and no other
// thread can know the new token before this returns, so nothing can tell the two apart.
uint64_t OperationPool::AllocateBuffered(const OperationSet& set,
                                         const OperationDescriptor* descriptor) {
  PoolGuard guard(lock_);
  uint32_t index;
  const uint64_t token = AllocateLocked(set, descriptor, &index);
  OperationRecord& record = records_[index];
  const char* name = record.name;
  LogLine(logger_, kLogLifecycle, [&](LineWriter& s) {
    s << "Creating operation " << NamePiece{name} << " (token = " << TokenPiece{token} << ")";
  });
  const int32_t count = ++record.referenceCount;
  LogLine(logger_, kLogLifecycle, [&](LineWriter& s) {
    s << "Acquiring operation " << NamePiece{name} << " (token = " << TokenPiece{token}
      << ", reference count = " << count << ")";
  });
  return token;
}

namespace {

struct SlotRollback {
  std::vector<OperationRecord>& records;
  uint32_t index;
  bool reused;
  bool dismissed = false;
  ~SlotRollback() {
    if (dismissed) return;
    records[index].token = 0;
    if (!reused) records.pop_back();
  }
};

}  // namespace

uint64_t OperationPool::AllocateLocked(const OperationSet& set,
                                       const OperationDescriptor* descriptor, uint32_t* slot) {
  const uint64_t token = nextToken_++;
  const bool reused = !freeIndices_.empty();
  uint32_t index;
  if (reused) {
    index = freeIndices_.front();
  } else {
    // Room for every slot in the free list, so that a destruction (which may run while an
    // exception unwinds a flush) never allocates to give its slot back.
    freeIndices_.Reserve(records_.size());
    records_.emplace_back();
    index = static_cast<uint32_t>(records_.size() - 1);
  }
  records_[index].token = token;  // the token map reads it from the record
  {
    // A map that cannot grow leaves the slot as it was, free or not there at all.
    SlotRollback rollback{records_, index, reused};
    tokenIndex_.Insert(token, index);
    rollback.dismissed = true;
  }
  if (reused) freeIndices_.pop_front();
  OperationRecord& record = records_[index];
  record.referenceCount = 1;
  record.owningSet = set.id();
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
  *slot = index;
  return token;
}

// A token not in the table posts an empty message; one whose record holds no reference (it is
// being destroyed) posts the "does not correspond to a valid operation" message.
ErrorCode OperationPool::PostNotFound(uint64_t token, size_t index) {
  if (index == 0) return Post(kInvalidOperationToken, "", kPoolSource, __LINE__);
  return Post(kInvalidOperationToken, NotValidOperationMessage(token), kPoolSource, __LINE__);
}

// Pending and Executing operations still have to run; an Executed one only while its announced
// value has not been built (FlushOperation builds it); a Failed or Canceled one never.
bool OperationPool::MustExecute(const OperationRecord& record) {
  switch (record.state) {
    case State::kPending:
    case State::kExecuting:
      return true;
    case State::kExecuted:
      return record.hasValue && record.value == nullptr;
    default:
      return false;
  }
}

ErrorCode OperationPool::FindForRead(uint64_t token, bool reportFailure, OperationRecord** record,
                                     bool* mustExecute) {
  if (const ErrorCode lookup = FindOperation(token, record)) return lookup;
  *mustExecute = MustExecute(**record);
  if (!*mustExecute && reportFailure && (*record)->state == State::kFailed) {
    const auto& message = (*record)->errorMessage;
    Post(kNoError, message ? message->c_str() : "", kPoolSource, __LINE__);
  }
  return kNoError;
}

// The state, the announced value and the owning set are read in one critical section: another
// thread may act just before or just after it either way, so separate lookups would give a
// caller nothing more to rely on.
ErrorCode OperationPool::EnsureExecuted(uint64_t token, bool reportFailure) {
  uint32_t owner;
  {
    PoolGuard guard(lock_);
    OperationRecord* record;
    bool mustExecute;
    if (const ErrorCode lookup = FindForRead(token, reportFailure, &record, &mustExecute)) {
      return lookup;
    }
    if (!mustExecute) return kNoError;
    owner = record->owningSet;
  }
  // Only the calling thread's own operations are flushed; one buffered on another thread, or
  // left by a thread that has ended, is left alone.
  OperationSet& set = GetThreadOperationSet();
  if (owner != set.id()) return kNoError;
  const ErrorCode flushed = set.FlushOperation(token);
  return reportFailure ? flushed : kNoError;
}

ErrorCode OperationPool::ExecuteOperation(uint64_t token) {
  Execution execution;
  {
    PoolGuard guard(lock_);
    if (const ErrorCode begun = BeginExecution(token, &execution)) return begun;
    if (!execution.started) return kNoError;
  }
  const ErrorCode result = RunExecution(token, execution);
  PoolGuard guard(lock_);
  return FinishExecution(token, result);
}

ErrorCode OperationPool::BeginExecution(uint64_t token, Execution* execution) {
  execution->started = false;
  OperationRecord* record;
  if (const ErrorCode lookup = FindOperation(token, &record)) return lookup;
  if (record->state != State::kPending) return kNoError;
  record->state = State::kExecuting;
  execution->callback = record->executeCallback;
  execution->context = record->context;
  execution->name = record->name;
  execution->started = true;
  return kNoError;
}

ErrorCode OperationPool::RunExecution(uint64_t token, const Execution& execution) {
  if (execution.callback == nullptr) return kNoError;
  const char* name = execution.name;
  // The End line is written also when the callback throws; the record then stays Executing.
  LogScope scope(
      logger_, kLogExecution,
      [&](LineWriter& s) {
        s << "Begin operation " << NamePiece{name} << " (token = " << TokenPiece{token} << ")";
      },
      [&](LineWriter& s) {
        s << "End operation " << NamePiece{name} << " (token = " << TokenPiece{token} << ")";
      });
  return execution.callback(token, execution.context);
}

ErrorCode OperationPool::FinishExecution(uint64_t token, ErrorCode callbackResult) {
  OperationRecord* record;
  if (const ErrorCode lookup = FindOperation(token, &record)) return lookup;
  const ErrorCode finalCode = record->errorCode != kNoError ? record->errorCode : callbackResult;
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

void OperationPool::ForgetSet(uint32_t set) {
  PoolGuard guard(lock_);
  for (OperationRecord& record : records_) {
    if (record.owningSet == set) record.owningSet = 0;
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
