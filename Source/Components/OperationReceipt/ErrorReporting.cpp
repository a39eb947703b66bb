// ErrorReporting.cpp
//
// Message texts that name a token.

#include "ErrorReporting.h"

#include <cinttypes>
#include <cstdio>

namespace operation_receipt {

std::string TokenText(uint64_t token) {
  char digits[19];
  std::snprintf(digits, sizeof digits, "0x%016" PRIx64, token);
  return digits;
}

std::string NotValidOperationMessage(uint64_t token) {
  return "Operation token " + TokenText(token) + " does not correspond to a valid operation";
}

std::string NotInThreadSetMessage(uint64_t token) {
  return "Operation token " + TokenText(token) +
         " does not correspond to an operation in the operation set on the current thread";
}

std::string NoValueMessage(uint64_t token) {
  return "Operation receipt with token " + TokenText(token) +
         " does not have a value associated with it";
}

std::string ValueCycleMessage(uint64_t token) {
  return "Operation receipt with token " + TokenText(token) +
         " is already building its value: its value links lead back to it";
}

std::string TooManyReferencesMessage(uint64_t token) {
  return "Operation token " + TokenText(token) + " already holds the most references it can";
}

}  // namespace operation_receipt
