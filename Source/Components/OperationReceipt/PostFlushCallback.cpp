// PostFlushCallback.cpp
//
// The process-wide post-flush callback. It is one pointer, stored and loaded atomically without
// a lock; once set it is never null again, so a replacement between the test and the call in
// InvokePostFlushCallback simply calls the newer function.

#include <atomic>

#include "ErrorReporting.h"
#include "OperationSet.h"

namespace operation_receipt {
namespace {

std::atomic<PostFlushCallback> postFlushCallback{nullptr};

}  // namespace

ErrorCode SetPostFlushCallback(PostFlushCallback callback) {
  if (callback == nullptr) return kNullPointer;
  postFlushCallback.store(callback, std::memory_order_release);
  return kNoError;
}

ErrorCode InvokePostFlushCallback() {
  if (postFlushCallback.load(std::memory_order_acquire) == nullptr) return kNoError;
  const Logger logger;  // each invocation gets logger 6 anew
  LogLine(logger, kLogLifecycle,
          [](LineWriter& s) { s << "Invoking post-flush callback..."; });
  const ErrorCode result = postFlushCallback.load(std::memory_order_acquire)();
  LogLine(logger, kLogLifecycle, [](LineWriter& s) { s << "Post-flush callback complete"; });
  return result;
}

}  // namespace operation_receipt
