// OperationSet.cpp
//
// The per-thread set: construction, thread teardown, membership, FlushOperation and Flush.
// The flush itself is in FlushBuffer.cpp, the cancel in CancelOperation.cpp.

#include "OperationSet.h"

#include <atomic>
#include <memory>

#include "ErrorReporting.h"
#include "OperationPool.h"
#include "PoolLock.h"
#include "services/CommonService.h"

namespace operation_receipt {
namespace {

// The thread's set and its teardown at thread exit. The slot is a thread-local object, so its
// destructor runs when the thread ends; for the main thread that is before the library's static
// destructors (and so before the pool shuts down). A thread that outlives the library's static
// destruction still finds the pool's lock and an empty table (OperationPool.h).
// The calling thread's set, for the fast path: a plain pointer in initial-exec thread-local
// storage, read with one instruction. Null until the thread's set is built and again after its
// teardown.
thread_local OperationSet* currentSet OR_INITIAL_EXEC_TLS = nullptr;

class ThreadSetSlot {
 public:
  OperationSet& Get() {
    // A set whose construction throws leaves the slot empty; the next call builds it again.
    if (set_ == nullptr) set_ = std::make_unique<OperationSet>();
    currentSet = set_.get();
    return *set_;
  }

  // Records forget the set; buffered tokens are dropped without being executed or released.
  ~ThreadSetSlot() {
    if (set_ == nullptr) return;
    currentSet = nullptr;
    OperationPool::Instance().ForgetSet(set_->id());
    set_.reset();
  }

 private:
  std::unique_ptr<OperationSet> set_;
};

thread_local ThreadSetSlot threadSetSlot;

}  // namespace

OperationSet& GetThreadOperationSet() {
  if (OperationSet* set = currentSet) return *set;
  return threadSetSlot.Get();
}

OperationSet* FindThreadOperationSet() { return currentSet; }

namespace {

uint32_t NextSetId() {
  static std::atomic<uint32_t> next{1};
  uint32_t id;
  while ((id = next.fetch_add(1, std::memory_order_relaxed)) == 0) {
  }
  return id;
}

}  // namespace

OperationSet::OperationSet() : id_(NextSetId()) {
  CommonInterface* common = nullptr;
  Quorvel_GetCommon(&common);
  common->GetClientId(&setKey_);
}

ErrorCode OperationSet::CheckTokenInSet(uint64_t token) const {
  OperationPool& pool = OperationPool::Instance();
  uint32_t owner;
  {
    PoolGuard guard(pool.lock());
    OperationRecord* record;
    if (const ErrorCode lookup = pool.FindOperation(token, &record)) return lookup;
    owner = record->owningSet;
  }
  if (owner == id_) return kNoError;
  return Post(kInvalidOperationToken, NotInThreadSetMessage(token), kSetSource, __LINE__);
}

ErrorCode OperationSet::FlushOperation(uint64_t token) {
  if (const ErrorCode membership = CheckTokenInSet(token)) return membership;
  OperationPool& pool = OperationPool::Instance();
  ErrorCode flushed = kNoError;
  if (immediateMode_) {
    flushed = InvokePostFlushCallback();
  } else {
    State state;
    {
      PoolGuard guard(pool.lock());
      OperationRecord* record;
      if (const ErrorCode lookup = pool.FindOperation(token, &record)) return lookup;
      state = record->state;
    }
    if (state == State::kPending) flushed = FlushBuffer();
  }
  if (flushed != kNoError) return flushed;
  PoolGuard guard(pool.lock());
  if (const ErrorCode lookup = pool.FindOperation(token, nullptr)) return lookup;
  return pool.ResolveValue(token);
}

ErrorCode OperationSet::Flush() {
  if (immediateMode_) return InvokePostFlushCallback();
  return FlushBuffer();
}

}  // namespace operation_receipt
