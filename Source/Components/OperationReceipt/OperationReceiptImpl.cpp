// OperationReceiptImpl.cpp
//
// The component's one export, its function table, the pointer checks of the entries, and the
// registration of the default messages of its result codes when the library is loaded.
//
// Each entry checks its pointer arguments, then hands its work to the pool or the calling
// thread's set and returns their result unchanged. Nothing here catches exceptions: one thrown by
// a client callback passes through to the caller.

#include <algorithm>
#include <cstring>
#include <string>

#include "ErrorReporting.h"
#include "OperationLifetime.h"
#include "OperationPool.h"
#include "OperationReceipt.h"
#include "OperationSet.h"
#include "services/BitDataLibrary.h"

namespace operation_receipt {
namespace {

#define OR_POST_NULL() Post(kNullPointer, "", kImplSource, __LINE__)

OperationPool& Pool() { return OperationPool::Instance(); }

uint32_t ReleaseOperationEntry(uint64_t token) { return Pool().Release(token); }

uint32_t FlushOperationEntry(uint64_t token) {
  return GetThreadOperationSet().FlushOperation(token);
}

uint32_t FlushEntry() { return GetThreadOperationSet().Flush(); }

uint32_t CancelOperationEntry(uint64_t token) {
  return GetThreadOperationSet().CancelOperation(token);
}

uint32_t GetErrorMessageEntry(uint64_t token, char* buffer, uint32_t bufferSize,
                              uint32_t* messageSize) {
  if (buffer == nullptr && messageSize == nullptr) return OR_POST_NULL();
  std::string message;
  if (const ErrorCode result = Pool().GetErrorMessage(token, &message)) return result;
  if (buffer != nullptr && bufferSize != 0) {
    const size_t copied = std::min<size_t>(message.size(), bufferSize - 1);
    std::memcpy(buffer, message.data(), copied);
    buffer[copied] = '\0';
  }
  if (messageSize != nullptr) *messageSize = static_cast<uint32_t>(message.size());
  return kNoError;
}

uint32_t GetErrorCodeEntry(uint64_t token, uint32_t* errorCode) {
  if (errorCode == nullptr) return OR_POST_NULL();
  return Pool().GetErrorCode(token, errorCode);
}

uint32_t SetErrorEntry(uint64_t token, uint32_t errorCode, const char* message) {
  return Pool().SetError(token, errorCode, message);
}

uint32_t GetOperationStateEntry(uint64_t token, uint32_t* state) {
  if (state == nullptr) return OR_POST_NULL();
  return Pool().GetOperationState(token, state);
}

uint32_t GetValueEntry(uint64_t token, BitData** value) {
  if (value == nullptr) return OR_POST_NULL();
  *value = nullptr;
  BitData* copy = nullptr;
  if (const ErrorCode result = Pool().ReadValue(token, &copy)) return result;
  *value = copy;
  return kNoError;
}

// Reads the value's first min(length, bits) bits, zeros above. `*out` is untouched on failure.
template <class Unsigned>
uint32_t ReadUnsigned(uint64_t token, Unsigned* out) {
  uint64_t bits = 0;
  if (const ErrorCode result = Pool().ReadValueBits(token, sizeof(Unsigned) * 8, &bits)) {
    return result;
  }
  *out = static_cast<Unsigned>(bits);
  return kNoError;
}

uint32_t GetValueUInt8Entry(uint64_t token, uint8_t* value) {
  if (value == nullptr) return OR_POST_NULL();
  return ReadUnsigned(token, value);
}

uint32_t GetValueUInt16Entry(uint64_t token, uint16_t* value) {
  if (value == nullptr) return OR_POST_NULL();
  return ReadUnsigned(token, value);
}

uint32_t GetValueUInt32Entry(uint64_t token, uint32_t* value) {
  if (value == nullptr) return OR_POST_NULL();
  return ReadUnsigned(token, value);
}

uint32_t GetValueUInt64Entry(uint64_t token, uint64_t* value) {
  if (value == nullptr) return OR_POST_NULL();
  return ReadUnsigned(token, value);
}

uint32_t SetValueEntry(uint64_t token, BitData* value) {
  if (value == nullptr) return OR_POST_NULL();
  return Pool().SetValue(token, value);
}

uint32_t SetValueSizeEntry(uint64_t token, uint64_t bits) {
  return Pool().SetValueSize(token, bits);
}

uint32_t LinkValueEntry(uint64_t destination, uint64_t source,
                        const IndexList* destinationIndices, const IndexList* sourceIndices) {
  return Pool().LinkValue(destination, source, destinationIndices, sourceIndices);
}

uint32_t SetPostFlushCallbackEntry(PostFlushCallback callback) {
  return SetPostFlushCallback(callback);
}

uint32_t GetPendingOperationCountEntry(int32_t setKey, uint32_t* count) {
  if (count == nullptr) return kNullPointer;
  *count = Pool().CountOperations(setKey, /*pending=*/true);
  return kNoError;
}

uint32_t GetExecutedOperationCountEntry(int32_t setKey, uint32_t* count) {
  if (count == nullptr) return kNullPointer;
  *count = Pool().CountOperations(setKey, /*pending=*/false);
  return kNoError;
}

uint32_t AcquireOperationEntry(uint64_t token) { return Pool().Acquire(token); }

uint32_t IsImmediateModeEntry(bool* immediate) {
  if (immediate == nullptr) return OR_POST_NULL();
  *immediate = GetThreadOperationSet().immediateMode();
  return kNoError;
}

uint32_t CreateOperationEntry(const OperationDescriptor* descriptor, uint64_t* token) {
  return CreateOperation(descriptor, token);
}

// Constant content, filled at build time; every caller gets the address of this one instance.
constexpr OperationReceiptComponent kComponentTable = {
    CreateOperationEntry,
    ReleaseOperationEntry,
    FlushOperationEntry,
    FlushEntry,
    CancelOperationEntry,
    GetErrorMessageEntry,
    GetErrorCodeEntry,
    SetErrorEntry,
    GetOperationStateEntry,
    GetValueEntry,
    GetValueUInt8Entry,
    GetValueUInt16Entry,
    GetValueUInt32Entry,
    GetValueUInt64Entry,
    SetValueEntry,
    SetValueSizeEntry,
    LinkValueEntry,
    SetPostFlushCallbackEntry,
    GetPendingOperationCountEntry,
    GetExecutedOperationCountEntry,
    AcquireOperationEntry,
    ReleaseOperationEntry,  // entry 21 is entry 1
    IsImmediateModeEntry,
};

// Registers the default messages and their category while the library is loaded, before
// Quorvel_GetOperationReceipt can be called. The service's results change nothing here.
struct DefaultMessageRegistration {
  DefaultMessageRegistration() {
    for (const DefaultMessage& message : kDefaultMessages) {
      Quorvel_ErrorSetDefaultMessage(message.code, message.text);
      Quorvel_ErrorSetCategory(message.code, 0);
    }
  }
};

const DefaultMessageRegistration registration;

}  // namespace
}  // namespace operation_receipt

extern "C" OR_EXPORT uint32_t Quorvel_GetOperationReceipt(
    const OperationReceiptComponent** component) {
  using namespace operation_receipt;
  if (component == nullptr) {
    return Post(kNullPointer, "Quorvel_GetOperationReceipt() argument error (component) : Null pointer",
                kImplSource, __LINE__);
  }
  *component = &kComponentTable;
  return kNoError;
}
