// OperationSet.h
//
// The per-thread operation set: the buffer of tokens a thread has created and not yet flushed
// or canceled, oldest first, and the thread's immediate mode.
//
// Each thread that uses the component gets its own set on its first call that needs one
// (GetThreadOperationSet); the set asks the common service for the thread's client key, which
// every operation the thread creates outside immediate mode carries. The set holds tokens, never
// records: each buffered token owns one reference on its operation, given back by the flush or
// the cancel that takes it out of the buffer.
//
// Immediate mode is on exactly while a flush or a cancel runs on the thread. Meanwhile
// operations created on the thread execute at once and are not buffered, and Flush and
// FlushOperation run only the post-flush callback, so flushes on one thread never nest.
//
// When the thread ends, the set is torn down: the records it created forget it, and tokens still
// buffered are dropped without being executed or released (they stay pending and referenced).
//
// Only the owning thread touches a set; it needs no lock. Other threads meet a set only as a
// record's owningSet, a number that they compare with their own set's.
#ifndef OPERATION_RECEIPT_OPERATION_SET_H_
#define OPERATION_RECEIPT_OPERATION_SET_H_

#include <cstdint>
#include <vector>

#include "OperationReceipt.h"
#include "OperationReceiptLog.h"
#include "RingQueue.h"

namespace operation_receipt {

class OperationSet {
 public:
  // Builds a set: gets logger 6 and asks the common service for the client key (-1 when the
  // service writes nothing). Threads reach their own set through GetThreadOperationSet.
  OperationSet();
  OperationSet(const OperationSet&) = delete;
  OperationSet& operator=(const OperationSet&) = delete;

  bool immediateMode() const { return immediateMode_; }
  // The set's number, which records keep as their owner: never 0, and distinct among the sets
  // of the process (it would repeat only after 2^32 threads, by which time the thread that had
  // it has ended and its records have forgotten it).
  uint32_t id() const { return id_; }
  int32_t setKey() const { return setKey_; }
  size_t BufferedCount() const { return buffer_.size(); }

  // Appends a newly created operation's token; the caller has taken the buffer's reference.
  void Buffer(uint64_t token) { buffer_.push_back(token); }

  // NoError when `token` names a live operation created on this set's thread; otherwise the
  // lookup's error, or InvalidOperationToken posted with the membership message.
  [[nodiscard]] ErrorCode CheckTokenInSet(uint64_t token) const;

  // Table entry 2: executes the buffer if `token` is still pending, then builds its value.
  [[nodiscard]] ErrorCode FlushOperation(uint64_t token);
  // Table entry 3: only the post-flush callback in immediate mode, else the whole buffer.
  [[nodiscard]] ErrorCode Flush();
  // Table entry 4: cancels `token` and every operation buffered before it.
  [[nodiscard]] ErrorCode CancelOperation(uint64_t token);

 private:
  friend class FlushRun;

  [[nodiscard]] ErrorCode FlushBuffer();

  // Owned by this thread only.
  const Logger logger_;
  uint64_t failedToken_ = 0;
  std::vector<uint64_t> flushedTokens_;  // storage kept from one flush to the next
  RingQueue<uint64_t> buffer_;
  bool immediateMode_ = false;
  int32_t setKey_ = -1;
  const uint32_t id_;
};

// The calling thread's set, built on the thread's first call. Torn down when the thread ends.
OperationSet& GetThreadOperationSet();

// The calling thread's set if it has been built, else null. Builds nothing.
OperationSet* FindThreadOperationSet();

// Runs the registered post-flush callback, if any, between its two trace lines, with a logger
// of its own for this call. NoError when none is registered.
[[nodiscard]] ErrorCode InvokePostFlushCallback();

// Registers the process-wide post-flush callback; null is refused with NullPointer, unposted.
[[nodiscard]] ErrorCode SetPostFlushCallback(PostFlushCallback callback);

}  // namespace operation_receipt

#endif  // OPERATION_RECEIPT_OPERATION_SET_H_
