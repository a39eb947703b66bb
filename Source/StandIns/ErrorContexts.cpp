// ErrorContexts.cpp
//
// Per-thread error contexts. A caller opens a context around a piece of work and afterwards asks
// which error, if any, was posted on its thread meanwhile. Contexts nest and each one remembers
// only the first non-zero error posted after it was opened, so an inner context's error also
// shows in the outer ones but a later error does not overwrite an earlier one.
//
// Handles come from one process-wide counter, so a handle never names two contexts and a handle
// from another thread (or an already closed one) is simply not found on the calling thread. A
// thread takes them from the counter in grants of many, so opening a context (once per flush of
// the component) touches no memory that another thread writes.
// The thread_local list uses the same "gone" flag as the post log so that posts made from
// thread-exit destructors after its destruction are ignored.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "ErrorInternal.h"
#include "StandInServices.h"

namespace {

struct Context {
  ErrorContextHandle handle;
  uint32_t code;  // 0 until the first non-zero post
  std::string message;
};

constexpr uint64_t kHandlesPerGrant = uint64_t{1} << 16;
std::atomic<uint64_t> gNextGrant{1};  // 1: no handle is ever 0
// Initial-exec storage: the calling thread's state is one register-relative access away.
thread_local uint64_t tNextHandle __attribute__((tls_model("initial-exec"))) = 0;
thread_local uint64_t tGrantEnd __attribute__((tls_model("initial-exec"))) = 0;

thread_local bool tContextsGone __attribute__((tls_model("initial-exec"))) = false;

struct ContextStack {
  std::vector<Context> open;  // in opening order; any of them may be closed first
  ~ContextStack() { tContextsGone = true; }
};

ContextStack* ThreadContexts() {
  if (tContextsGone) return nullptr;
  thread_local ContextStack contexts __attribute__((tls_model("initial-exec")));
  return &contexts;
}

ErrorContextHandle NewHandle() {
  if (tNextHandle == tGrantEnd) {
    tNextHandle = gNextGrant.fetch_add(kHandlesPerGrant, std::memory_order_relaxed);
    tGrantEnd = tNextHandle + kHandlesPerGrant;
  }
  return tNextHandle++;
}

Context* FindContext(ErrorContextHandle handle) {
  ContextStack* contexts = ThreadContexts();
  if (contexts == nullptr || handle == 0) return nullptr;
  auto found = std::find_if(contexts->open.begin(), contexts->open.end(),
                            [handle](const Context& c) { return c.handle == handle; });
  return found == contexts->open.end() ? nullptr : &*found;
}

// The context's error, or null when the handle is unknown or no error was posted in it.
const Context* ContextWithError(ErrorContextHandle handle) {
  const Context* context = FindContext(handle);
  return context != nullptr && context->code != 0 ? context : nullptr;
}

}  // namespace

namespace standin {

void RecordErrorInOpenContexts(uint32_t code, std::string_view message) {
  ContextStack* contexts = ThreadContexts();
  if (contexts == nullptr) return;
  for (Context& context : contexts->open) {
    if (context.code != 0) continue;
    context.message.assign(message);  // before the code, so a failed copy leaves no half error
    context.code = code;
  }
}

}  // namespace standin

extern "C" {

STANDIN_API ErrorContextHandle Quorvel_ErrorEnterContex(int32_t /*kind*/) {
  ContextStack* contexts = ThreadContexts();
  if (contexts == nullptr) return 0;
  try {
    contexts->open.push_back(Context{NewHandle(), 0, std::string()});
    return contexts->open.back().handle;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

STANDIN_API uint32_t Quorvel_ErrorExitContex(ErrorContextHandle context) {
  ContextStack* contexts = ThreadContexts();
  const Context* found = FindContext(context);
  if (found == nullptr) return STANDIN_E_NOT_FOUND;
  contexts->open.erase(contexts->open.begin() + (found - contexts->open.data()));
  return STANDIN_OK;
}

STANDIN_API uint32_t Quorvel_ErrorGetErrorCode(ErrorContextHandle context) {
  const Context* found = ContextWithError(context);
  return found == nullptr ? 0 : found->code;
}

STANDIN_API uint32_t Quorvel_ErrorGetErrorMessageSize(ErrorContextHandle context, uint32_t* size) {
  if (size == nullptr) return STANDIN_E_NULL_POINTER;
  const Context* found = ContextWithError(context);
  if (found == nullptr) {
    *size = 0;
    return FindContext(context) == nullptr ? STANDIN_E_NOT_FOUND : STANDIN_E_NO_VALUE;
  }
  const size_t withTerminator = found->message.size() + 1;
  *size = static_cast<uint32_t>(
      std::min<size_t>(withTerminator, std::numeric_limits<uint32_t>::max()));
  return STANDIN_OK;
}

STANDIN_API uint32_t Quorvel_ErrorGetErrorMessage(ErrorContextHandle context, char* buffer,
                                                  uint32_t size) {
  const Context* found = ContextWithError(context);
  const std::string_view message = found == nullptr ? "" : std::string_view(found->message);
  if (buffer != nullptr && size != 0) {
    const size_t copied = std::min<size_t>(message.size(), size - 1u);
    std::memcpy(buffer, message.data(), copied);
    buffer[copied] = '\0';
  }
  if (found == nullptr) {
    return FindContext(context) == nullptr ? STANDIN_E_NOT_FOUND : STANDIN_E_NO_VALUE;
  }
  return buffer == nullptr || size == 0 ? STANDIN_E_NULL_POINTER : STANDIN_OK;
}

STANDIN_API uint32_t StandIn_ErrorOpenContextCount(void) {
  ContextStack* contexts = ThreadContexts();
  return contexts == nullptr ? 0 : static_cast<uint32_t>(contexts->open.size());
}

}  // extern "C"
