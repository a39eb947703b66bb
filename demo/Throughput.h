// Throughput.h
//
// The throughput mode: client threads create, flush, read and release register reads as fast as
// they can, with the trace off.
#ifndef OPERATION_RECEIPT_DEMO_THROUGHPUT_H_
#define OPERATION_RECEIPT_DEMO_THROUGHPUT_H_

#include <cstdint>

#include "OperationReceipt.h"
#include "Target.h"

namespace demo {

// The client id of throughput thread `index` (0-based).
int32_t ThroughputClientId(uint32_t index);

// Runs `threads` threads of `ops` operations each and prints the rates; false when an
// operation failed.
bool RunThroughput(const OperationReceiptComponent& table, SimulatedTarget& target, uint64_t ops,
                   uint32_t threads);

}  // namespace demo

#endif  // OPERATION_RECEIPT_DEMO_THROUGHPUT_H_
