// CancelOperation.cpp
//
// Cancels buffered operations of the calling thread: the named one and every one buffered before
// it. Operations buffered after it stay, in their order.

#include <vector>

#include "ErrorReporting.h"
#include "OperationPool.h"
#include "OperationSet.h"

namespace operation_receipt {
namespace {

// Restores the thread's immediate mode when the cancel ends, also by an exception from a
// destroy callback run by its releases.
class ImmediateModeScope {
 public:
  ImmediateModeScope(bool& mode) : mode_(mode), previous_(mode) { mode_ = true; }
  ~ImmediateModeScope() { mode_ = previous_; }
  ImmediateModeScope(const ImmediateModeScope&) = delete;
  ImmediateModeScope& operator=(const ImmediateModeScope&) = delete;

 private:
  bool& mode_;
  const bool previous_;
};

// The buffer's references of the operations a cancel has taken out of the buffer. Room for the
// whole buffer is reserved first, where a failure still leaves nothing taken, so recording a
// token never allocates. The walk gives them back in the order taken; when an exception leaves
// the walk first (a trace line, a destroy callback run by a release), the destructor gives back
// the rest.
class TakenTokens {
 public:
  TakenTokens(OperationPool& pool, size_t capacity) : pool_(pool) { tokens_.reserve(capacity); }
  ~TakenTokens() { ReleaseAll(); }
  TakenTokens(const TakenTokens&) = delete;
  TakenTokens& operator=(const TakenTokens&) = delete;

  void Add(uint64_t token) { tokens_.push_back(token); }
  void ReleaseAll() {
    while (released_ < tokens_.size()) (void)pool_.Release(tokens_[released_++]);
  }

 private:
  OperationPool& pool_;
  std::vector<uint64_t> tokens_;
  size_t released_ = 0;
};

}  // namespace

// A cancel from inside a flush on the same thread (an execute or post-flush callback) takes its
// tokens out of the buffer the flush is draining, so the flush never sees them. It restores the
// immediate mode it found rather than clearing it: the flush is still running, and operations
// its callbacks create must still execute at once.
ErrorCode OperationSet::CancelOperation(uint64_t token) {
  if (const ErrorCode membership = CheckTokenInSet(token)) return membership;
  OperationPool& pool = OperationPool::Instance();
  State state;
  {
    PoolGuard guard(pool.lock());
    OperationRecord* record;
    if (const ErrorCode lookup = pool.FindOperation(token, &record)) return lookup;
    state = record->state;
  }
  if (state == State::kExecuted) {
    return Post(kOperationAlreadyExecuted, "", kSetSource, __LINE__);
  }
  if (state != State::kPending) return kNoError;

  ImmediateModeScope immediate(immediateMode_);  // releases, also on an exception, run inside it
  TakenTokens taken(pool, buffer_.size());
  ErrorCode result = kNoError;
  while (!buffer_.empty()) {
    const uint64_t current = buffer_.front();
    taken.Add(current);
    buffer_.pop_front();
    PoolGuard guard(pool.lock());
    OperationRecord* record;
    result = pool.FindOperation(current, &record);
    if (result == kNoError && record->state == State::kPending) {
      record->state = State::kCanceled;
      const char* name = record->name;
      const uint64_t recordToken = record->token;
      LogLine(pool.logger(), kLogLifecycle, [&](LineWriter& s) {
        s << "Canceled operation " << NamePiece{name} << " (token = " << TokenPiece{recordToken}
          << ")";
      });
    }
    if (current == token) break;
  }
  taken.ReleaseAll();
  return result;
}

}  // namespace operation_receipt
