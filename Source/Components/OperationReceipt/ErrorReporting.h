// ErrorReporting.h
//
// The component's result codes, their default messages, and how failures are posted to the
// framework's error service. Every post names the file that detected the failure by its base
// name and the line of the check; the texts of the messages live here and nowhere else.
#ifndef OPERATION_RECEIPT_ERROR_REPORTING_H_
#define OPERATION_RECEIPT_ERROR_REPORTING_H_

#include <cstdint>
#include <string>

#include "OperationReceipt.h"
#include "services/ErrorService.h"

namespace operation_receipt {

inline constexpr ErrorCode kNoError = OR_NO_ERROR;
inline constexpr ErrorCode kNullPointer = OR_NULL_POINTER;
inline constexpr ErrorCode kInvalidOperationToken = OR_INVALID_OPERATION_TOKEN;
inline constexpr ErrorCode kOperationHasNoValue = OR_OPERATION_HAS_NO_VALUE;
inline constexpr ErrorCode kOperationAlreadyExecuted = OR_OPERATION_ALREADY_EXECUTED;
inline constexpr ErrorCode kScopeNotOpened = OR_SCOPE_NOT_OPENED;

// The default messages registered with the error service when the library is loaded, in the
// order of registration.
struct DefaultMessage {
  ErrorCode code;
  const char* text;
};
inline constexpr DefaultMessage kDefaultMessages[] = {
    {kInvalidOperationToken, "The specified operation receipt token is invalid"},
    {kOperationHasNoValue,
     "The specified operation receipt does not have a value associated with it"},
    {kOperationAlreadyExecuted,
     "The associated operation has already been executed and cannot be canceled"},
    {kScopeNotOpened, "Attempt to close a scope which was not opened"},
};

// Names under which each part of the component posts.
inline constexpr const char* kImplSource = "OperationReceiptImpl.cpp";
inline constexpr const char* kPoolSource = "OperationPool.cpp";
inline constexpr const char* kSetSource = "OperationSet.cpp";

// "0x" and the token as 16 lower-case hexadecimal digits.
std::string TokenText(uint64_t token);

// Message texts that name a token.
std::string NotValidOperationMessage(uint64_t token);
std::string NotInThreadSetMessage(uint64_t token);
std::string NoValueMessage(uint64_t token);
std::string ValueCycleMessage(uint64_t token);
std::string TooManyReferencesMessage(uint64_t token);

inline ErrorCode Post(ErrorCode code, const char* message, const char* source, uint32_t line) {
  Quorvel_ErrorPostError(code, message, source, line);
  return code;
}
inline ErrorCode Post(ErrorCode code, const std::string& message, const char* source,
                      uint32_t line) {
  return Post(code, message.c_str(), source, line);
}

// Keeps an error context of the framework's error service open for one scope: exits it when
// the scope is left, also by an exception.
class ErrorContextGuard {
 public:
  explicit ErrorContextGuard(ErrorContextHandle handle) : handle_(handle) {}
  ~ErrorContextGuard() { Quorvel_ErrorExitContex(handle_); }
  ErrorContextGuard(const ErrorContextGuard&) = delete;
  ErrorContextGuard& operator=(const ErrorContextGuard&) = delete;

  ErrorContextHandle handle() const { return handle_; }

 private:
  const ErrorContextHandle handle_;
};

}  // namespace operation_receipt

#endif  // OPERATION_RECEIPT_ERROR_REPORTING_H_
