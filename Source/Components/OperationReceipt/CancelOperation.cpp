// CancelOperation.cpp
//
// Cancels buffered operations of the calling thread: the named one and every one buffered before
// it. Operations buffered after it stay, in their order.

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

  ImmediateModeScope immediate(immediateMode_);
  std::vector<uint64_t> taken;
  ErrorCode result = kNoError;
  while (!buffer_.empty()) {
    const uint64_t current = buffer_.front();
    buffer_.pop_front();
    taken.push_back(current);
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
  for (const uint64_t current : taken) (void)pool.Release(current);
  return result;
}

}  // namespace operation_receipt
