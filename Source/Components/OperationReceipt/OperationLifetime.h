// OperationLifetime.h
//
// Creating an operation on the calling thread (table entry 0).
#ifndef OPERATION_RECEIPT_OPERATION_LIFETIME_H_
#define OPERATION_RECEIPT_OPERATION_LIFETIME_H_

#include <cstdint>

#include "OperationReceipt.h"

namespace operation_receipt {

// Allocates an operation from `descriptor` (may be null) and writes its token to `*token` (may be
// null). Outside immediate mode the calling thread's set buffers it with a reference of its own;
// in immediate mode it executes at once and the result is the execution's. With no place for
// the token the creator's reference is dropped before returning. The token is handed out even
// when the result is an error.
[[nodiscard]] ErrorCode CreateOperation(const OperationDescriptor* descriptor, uint64_t* token);

}  // namespace operation_receipt

#endif  // OPERATION_RECEIPT_OPERATION_LIFETIME_H_
