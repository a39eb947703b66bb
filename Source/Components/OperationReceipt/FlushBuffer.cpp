// FlushBuffer.cpp
//
// The flush of one thread's buffer: its operations execute oldest first inside one error
// context; after the first failure the rest are marked failed with that failure's code and
// message (sharing one text) unless they ask to be executed anyway; then the post-flush callback
// runs, the buffer's references are given back and the pool compacts its table.

#include <cstring>
#include <memory>
#include <string>

#include "ErrorReporting.h"
#include "OperationPool.h"
#include "OperationSet.h"

namespace operation_receipt {

// The state of one flush in progress, and what it undoes if an exception (from an execute or
// post-flush callback, or an allocation) leaves the flush: the thread leaves immediate mode and
// the references the flush had taken from the buffer are given back. The operation whose
// callback threw stays Executing.
class FlushRun {
 public:
  FlushRun(OperationSet& set, ErrorContextHandle context)
      : set_(set), pool_(OperationPool::Instance()), context_(context) {
    set_.immediateMode_ = true;
  }
  FlushRun(const FlushRun&) = delete;
  FlushRun& operator=(const FlushRun&) = delete;

  ~FlushRun() {
    if (finished_) return;
    ReleaseFlushedTokens();
    set_.failedToken_ = 0;
    set_.immediateMode_ = false;
  }

  void Drain();
  // Post-flush callback, releases and compaction; the flush's one result.
  ErrorCode Close();

 private:
  uint64_t TakeFront();
  void ExecuteWhileSucceeding(uint64_t token);
  bool IsAlwaysExecute(uint64_t token);
  void MarkFailed(uint64_t token);
  std::string CaptureMessage(uint64_t token);
  void ReleaseFlushedTokens();
  void ReleaseLargeStorage();

  OperationSet& set_;
  OperationPool& pool_;
  const ErrorContextHandle context_;
  ErrorCode firstFailure_ = kNoError;
  SharedText failedMessage_;
  bool finished_ = false;
};

ErrorCode OperationSet::FlushBuffer() {
  ErrorContextGuard context(Quorvel_ErrorEnterContex(1));
  // On an exception the End line is written first, then the run gives the references back.
  FlushRun run(*this, context.handle());
  const uint64_t buffered = buffer_.size();
  LogScope scope(
      logger_, kLogFlush,
      [&](LineWriter& s) {
        s << "Begin Flushing " << buffered << " operations in buffer...";
      },
      [](LineWriter& s) { s << "End Flushing operations."; });
  run.Drain();
  const ErrorCode result = run.Close();
  LogLine(logger_, kLogLifecycle, [](LineWriter& s) { s << "Flush complete"; });
  return result;
}

void FlushRun::Drain() {
  while (!set_.buffer_.empty()) {
    const uint64_t token = TakeFront();
    if (set_.failedToken_ == 0) {
      ExecuteWhileSucceeding(token);
    } else if (IsAlwaysExecute(token)) {
      (void)pool_.ExecuteOperation(token);
    } else {
      MarkFailed(token);
    }
  }
}

// Takes the oldest buffered token. It is recorded before it executes, so that an exception from
// its callback gives its reference back too; releases happen in the order taken either way.
uint64_t FlushRun::TakeFront() {
  const uint64_t token = set_.buffer_.front();
  set_.flushedTokens_.push_back(token);  // may throw: the token then stays buffered
  set_.buffer_.pop_front();
  return token;
}

// Executes `token` and, while they succeed, the operations after it. Each one is finished and
// the next one begun in the same critical section, which is the same as two sections one after
// the other: nothing runs between them, and the next token is taken only after the previous
// callback has returned, so a cancel from that callback is seen. The first failure stops the
// run, and its message is captured before anything else of the flush happens.
void FlushRun::ExecuteWhileSucceeding(uint64_t token) {
  OperationPool::Execution execution;
  ErrorCode code;
  {
    PoolGuard guard(pool_.lock());
    code = pool_.BeginExecution(token, &execution);
  }
  while (code == kNoError && execution.started) {
    const ErrorCode result = pool_.RunExecution(token, execution);
    PoolGuard guard(pool_.lock());
    code = pool_.FinishExecution(token, result);
    if (code != kNoError || set_.buffer_.empty()) break;
    token = TakeFront();
    code = pool_.BeginExecution(token, &execution);
  }
  firstFailure_ = code;
  if (code == kNoError) return;
  set_.failedToken_ = token;
  failedMessage_ = SharedText::Make(CaptureMessage(token));
  (void)pool_.SetErrorMessage(token, failedMessage_);
}

bool FlushRun::IsAlwaysExecute(uint64_t token) {
  PoolGuard guard(pool_.lock());
  OperationRecord* record;
  return pool_.FindOperation(token, &record) == kNoError && record->alwaysExecute;
}

// A still-pending operation after the first failure takes the failed operation's code and
// shares its message text. If the failed operation no longer exists (a client released the
// buffer's reference too), it takes the flush's first failure code and captured message
// instead, so it does not stay Pending with its token gone from every buffer.
void FlushRun::MarkFailed(uint64_t token) {
  PoolGuard guard(pool_.lock());
  OperationRecord* record;
  if (pool_.FindOperation(token, &record) != kNoError) return;
  OperationRecord* failed;
  const bool failedFound = pool_.FindOperation(set_.failedToken_, &failed) == kNoError;
  if (record->state != State::kPending) return;
  record->state = State::kFailed;
  record->errorCode = failedFound ? failed->errorCode : firstFailure_;
  record->errorMessage = failedFound ? failed->errorMessage : failedMessage_;
}

// The message of the first failing operation: the error the context holds when one was posted
// since the flush began, else the default message of the operation's code, else empty.
std::string FlushRun::CaptureMessage(uint64_t token) {
  if (Quorvel_ErrorGetErrorCode(context_) != kNoError) {
    uint32_t size = 0;
    Quorvel_ErrorGetErrorMessageSize(context_, &size);
    if (size == 0) return std::string();
    std::string buffer(size, '\0');
    Quorvel_ErrorGetErrorMessage(context_, buffer.data(), size);
    buffer.resize(strnlen(buffer.c_str(), size - 1));
    return buffer;
  }
  if (pool_.EnsureExecuted(token, /*reportFailure=*/false) != kNoError) return std::string();
  ErrorCode code;
  {
    PoolGuard guard(pool_.lock());
    OperationRecord* record;
    if (pool_.FindOperation(token, &record) != kNoError) return std::string();
    code = record->errorCode;
  }
  const char* text = Quorvel_ErrorGetDefaultMessage(code);
  return text != nullptr ? std::string(text) : std::string();
}

ErrorCode FlushRun::Close() {
  const ErrorCode callbackCode = InvokePostFlushCallback();
  ReleaseFlushedTokens();
  pool_.Compact();
  set_.failedToken_ = 0;
  set_.immediateMode_ = false;
  finished_ = true;
  return callbackCode != kNoError ? callbackCode : firstFailure_;
}

// Gives back the buffer's references. The storage of flushedTokens stays for the next flush
// unless an unusually large batch grew it (see ReleaseLargeStorage).
// The list is walked by position because a destroy callback run by a release may cancel on
// this thread but never adds to it (a flush does not start while immediate mode is on).
//
// One critical section for all the releases: each release is whole either way, and a thread
// that waits for the lock cannot tell whether it was handed over between two of them.
void FlushRun::ReleaseFlushedTokens() {
  std::vector<uint64_t>& tokens = set_.flushedTokens_;
  {
    PoolGuard guard(pool_.lock());
    for (size_t position = 0; position < tokens.size(); ++position) {
      (void)pool_.ReleaseLocked(tokens[position]);
    }
  }
  tokens.clear();
  ReleaseLargeStorage();
}

// Up to kKeptBufferTokens tokens, the thread keeps the storage of its buffer and of the flushed
// list for the next flush, so a steady stream of batches allocates nothing. A batch larger than
// that is rare, and its storage (8 bytes per token, twice) would otherwise stay with the thread
// for good: it is given back, and the next batch that large allocates again.
void FlushRun::ReleaseLargeStorage() {
  constexpr size_t kKeptBufferTokens = 8192;
  if (set_.flushedTokens_.capacity() > kKeptBufferTokens) {
    std::vector<uint64_t>().swap(set_.flushedTokens_);
  }
  if (set_.buffer_.empty() && set_.buffer_.capacity() > kKeptBufferTokens) set_.buffer_.Release();
}

}  // namespace operation_receipt
