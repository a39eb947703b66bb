// OperationPool.h
//
// The process-wide pool of operation records, keyed by 64-bit token.
//
// The pool issues tokens (1, 2, 3, ... never 0, never twice), keeps one OperationRecord per live
// operation in a growable array whose slot 0 is a sentinel, finds records through a hash map from
// the full token to the slot index, reuses the slots of destroyed operations oldest first, and
// compacts the array after a flush once its capacity has grown past kCompactionThreshold.
//
// Record storage and the lock: every access to a record happens with the pool lock held and
// through a fresh lookup by token. A record's address (OperationRecord*) is valid only until the
// next unlock or the next client callback: allocation may move the whole array, a flush compacts
// it, and the destroy and value callbacks (which run with the lock held) may do either. So code
// that has called out looks its token up again; no record address is ever kept.
//
// The lock is recursive: destroying an operation releases the operations its links name on the
// same thread, and the destroy and value callbacks may re-enter the component on the same
// thread. Execute callbacks and the post-flush callback run without the lock, except when a flush
// is reached from a value resolution that already holds it.
//
// Lifetime: the process-wide pool (Instance) is built on first use and shut down when the
// library is unloaded or the process exits: it unsubscribes from the event broker and discards
// its table without calling client callbacks or freeing values. Its memory and its lock stay
// valid after that, so a thread whose teardown runs later still finds a usable, empty pool.
#ifndef OPERATION_RECEIPT_OPERATION_POOL_H_
#define OPERATION_RECEIPT_OPERATION_POOL_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "OperationReceipt.h"
#include "OperationReceiptLog.h"
#include "OperationRecord.h"
#include "PoolLock.h"
#include "RingQueue.h"
#include "TokenIndex.h"
#include "services/CommonService.h"
#include "services/EventBroker.h"

#define OR_RETURN_CAPABILITY(x) OR_THREAD_ANNOTATION(lock_returned(x))

namespace operation_receipt {

class OperationSet;

inline constexpr uint64_t kCompactionThreshold = 8192;

class OperationPool {
 public:
  // The process-wide pool, built on the first call from any thread.
  static OperationPool& Instance();

  // A pool of its own, for tests of the table's internals. Only the process-wide pool
  // subscribes to client events.
  explicit OperationPool(bool subscribeToClientEvents = false);
  ~OperationPool();
  OperationPool(const OperationPool&) = delete;
  OperationPool& operator=(const OperationPool&) = delete;

  // Unsubscribes from the event broker and discards the table: no destroy callback runs and no
  // value is freed. The pool stays usable, empty, afterwards. Called once at unload.
  void Shutdown();

  PoolLock& lock() OR_RETURN_CAPABILITY(lock_) { return lock_; }
  const Logger& logger() const { return logger_; }

  // ---- Table (records, tokens, lookup) ----

  // Issues the next token, fills a slot (the one freed longest ago, else a new one) from
  // `descriptor` (may be null) with one reference for the creator, and returns the token.
  // The record's setKey is -1 while `set` is in immediate mode. Takes the lock itself.
  uint64_t AllocateOperation(const OperationSet& set, const OperationDescriptor* descriptor);
  // The same for a buffered creation: also writes the Creating line and takes the buffer's
  // reference (count 2, with its Acquiring line). Takes the lock itself.
  uint64_t AllocateBuffered(const OperationSet& set, const OperationDescriptor* descriptor);

  // Finds the live record of `token` and stores its address in `*record` (when not null).
  // Posts InvalidOperationToken, every time: with an empty message for a token not in the table,
  // with the "does not correspond to a valid operation" message for one whose record holds no
  // reference (it is being destroyed).
  // The found path is inline: every entry takes it at least once.
  [[nodiscard]] ErrorCode FindOperation(uint64_t token, OperationRecord** record)
      OR_REQUIRES(lock_) {
    const size_t index = LocateSlot(token);
    const bool found = index != 0 && records_[index].IsLive();
    if (record != nullptr) *record = found ? &records_[index] : nullptr;
    return found ? ErrorCode{OR_NO_ERROR} : PostNotFound(token, index);
  }

  // Makes sure a buffered operation of the calling thread has executed before its value, code
  // or message is read; see OperationPool.cpp for the decision. With `reportFailure`, the read
  // of a Failed operation posts its message with code 0, and a flush's error is returned.
  // Takes the lock for each lookup; never holds it while it flushes.
  [[nodiscard]] ErrorCode EnsureExecuted(uint64_t token, bool reportFailure);

  // ---- Lifetime ----

  // Adds one reference. Token 0 is accepted and does nothing. Takes the lock itself.
  [[nodiscard]] ErrorCode Acquire(uint64_t token);
  // Drops one reference and destroys the operation when none is left: Destroying line, links
  // released, destroy callback, value freed, record reset, token removed, slot queued.
  // Token 0 is accepted and does nothing. Takes the lock itself.
  [[nodiscard]] ErrorCode Release(uint64_t token);
  [[nodiscard]] ErrorCode ReleaseLocked(uint64_t token) OR_REQUIRES(lock_);

  // ---- Execution ----

  // Runs a Pending operation's execute callback without the lock, between the Begin and End
  // operation lines, and records Executed or Failed. Returns the final code, NoError for an
  // operation that is not Pending, or the lookup's InvalidOperationToken.
  [[nodiscard]] ErrorCode ExecuteOperation(uint64_t token);

  // ExecuteOperation in its three steps, for a flush that finishes one operation and begins the
  // next in one critical section. What a run needs, taken from the record when it begins:
  struct Execution {
    OperationExecuteCallback callback = nullptr;
    void* context = nullptr;
    const char* name = nullptr;
    bool started = false;  // the operation was Pending and is now Executing
  };
  // A Pending operation becomes Executing (started); any other is left alone (not started,
  // NoError). Returns the lookup's error when the token names no live operation.
  [[nodiscard]] ErrorCode BeginExecution(uint64_t token, Execution* execution) OR_REQUIRES(lock_);
  // Runs the callback between the Begin and End operation lines. The caller has let go of the
  // lock, unless the flush was reached from a value resolution that holds it further out.
  [[nodiscard]] ErrorCode RunExecution(uint64_t token, const Execution& execution)
      OR_EXCLUDES(lock_);
  // Records Executed or Failed and returns the final code (or the lookup's error).
  [[nodiscard]] ErrorCode FinishExecution(uint64_t token, ErrorCode callbackResult)
      OR_REQUIRES(lock_);

  // ---- Values and status ----

  // Installs `newValue` (applying a pending size), frees the old one and tells the value
  // callback, whose result is returned. The record takes `newValue` whatever that result.
  [[nodiscard]] ErrorCode StoreValue(uint64_t token, BitData* newValue) OR_REQUIRES(lock_);
  // Builds an announced value from the record's links and pending size. A record whose value
  // is already being built (its links lead back to it) is refused with OperationHasNoValue.
  [[nodiscard]] ErrorCode ResolveValue(uint64_t token) OR_REQUIRES(lock_);
  // Flushes on demand, then hands out a managed copy of the value (null for none built).
  [[nodiscard]] ErrorCode ReadValue(uint64_t token, BitData** copy);
  // The same, but reads the value's first min(length, maxBits) bits in place instead of copying
  // it (0 for none built): what a reader of a copy would see, without the copy.
  [[nodiscard]] ErrorCode ReadValueBits(uint64_t token, uint64_t maxBits, uint64_t* bits);
  [[nodiscard]] ErrorCode SetErrorMessage(uint64_t token, SharedText text);

  [[nodiscard]] ErrorCode GetErrorMessage(uint64_t token, std::string* message);
  [[nodiscard]] ErrorCode GetErrorCode(uint64_t token, ErrorCode* code);
  [[nodiscard]] ErrorCode SetError(uint64_t token, ErrorCode code, const char* message);
  [[nodiscard]] ErrorCode GetOperationState(uint64_t token, uint32_t* state);
  [[nodiscard]] ErrorCode SetValue(uint64_t token, BitData* value);
  [[nodiscard]] ErrorCode SetValueSize(uint64_t token, uint64_t bits);
  // Counts records of `setKey` that are Pending (`pending`) or not. Walks the whole table.
  uint32_t CountOperations(int32_t setKey, bool pending);

  // ---- Value links ----

  // Records a link from `source` into `destination`, holding one reference on the source.
  [[nodiscard]] ErrorCode LinkValue(uint64_t destination, uint64_t source,
                                    const IndexList* destinationIndices,
                                    const IndexList* sourceIndices);

  // ---- Compaction ----

  // Rebuilds the table with only the live records once its capacity is past the threshold.
  void Compact();

  // ---- Client disconnect ----

  // The event broker's handler for "Client" events.
  static void OnClientEvent(void* unused, const char* eventName, const void* eventData);
  // Drops one reference on every operation whose setKey is `clientId`, one trace line each.
  void ReleaseClientOperations(int32_t clientId);

  // ---- Thread teardown ----

  // Makes every record created by `set` forget it. Walks the whole table under the lock.
  void ForgetSet(uint32_t set);

  // ---- Inspection, for tests ----
  size_t RecordCount();
  size_t RecordCapacity();
  size_t FreeSlotCount();
  size_t LiveTokenCount();
  void SetNextTokenForTesting(uint64_t next);

 private:
  struct LinkRollback;
  // Slot index of `token` whatever its reference count, or 0 when the token is not in the table.
  size_t LocateSlot(uint64_t token) OR_REQUIRES(lock_) { return tokenIndex_.Find(token); }
  [[nodiscard]] ErrorCode PostNotFound(uint64_t token, size_t index) OR_REQUIRES(lock_);
  void DestroyRecord(uint64_t token, size_t index) OR_REQUIRES(lock_);
  void ReleaseLinks(uint64_t token) OR_REQUIRES(lock_);
  [[nodiscard]] ErrorCode ApplyLink(const ValueLink& link, BitData* newValue) OR_REQUIRES(lock_);
  [[nodiscard]] ErrorCode ApplyLinks(uint64_t token, BitData* newValue) OR_REQUIRES(lock_);
  void ResetTable() OR_REQUIRES(lock_);
  // Returns the new token; its slot index is stored in `*index`.
  uint64_t AllocateLocked(const OperationSet& set, const OperationDescriptor* descriptor,
                          uint32_t* index) OR_REQUIRES(lock_);
  static bool MustExecute(const OperationRecord& record);
  // Finds `token` for a reader and tells whether it must be executed (flushed) first. When it
  // need not, posts a Failed operation's message for a value reader (`reportFailure`) as
  // EnsureExecuted does; the reader then reads in the same critical section.
  [[nodiscard]] ErrorCode FindForRead(uint64_t token, bool reportFailure, OperationRecord** record,
                                      bool* mustExecute) OR_REQUIRES(lock_);
  template <class Visit>
  [[nodiscard]] ErrorCode ReadResolvedValue(uint64_t token, Visit visit);
  template <class Visit>
  [[nodiscard]] ErrorCode VisitValue(uint64_t token, Visit visit) OR_REQUIRES(lock_);
  // VisitValue for the record of `token` found in this critical section.
  template <class Visit>
  [[nodiscard]] ErrorCode VisitFound(uint64_t token, OperationRecord* record, Visit visit)
      OR_REQUIRES(lock_);

  // Constant after construction.
  const Logger logger_;
  CommonInterface* common_ = nullptr;
  EventBrokerInterface* eventBroker_ = nullptr;
  bool subscribed_ = false;

  // The lock word and the data it guards lie on separate cache lines: a thread spinning on the
  // word then does not take the table's lines away from the thread that holds the lock.
  alignas(64) PoolLock lock_;
  // Guarded by lock_.
  alignas(64) std::vector<OperationRecord> records_ OR_GUARDED_BY(lock_);
  RingQueue<uint32_t> freeIndices_ OR_GUARDED_BY(lock_);
  TokenIndex tokenIndex_ OR_GUARDED_BY(lock_){records_};
  uint64_t nextToken_ OR_GUARDED_BY(lock_) = 1;
};

}  // namespace operation_receipt

#endif  // OPERATION_RECEIPT_OPERATION_POOL_H_
