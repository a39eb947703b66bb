// ModelChecks.h
//
// What the concurrency stress test and the fuzzer both check of the component through its
// table, whatever model of references each keeps.
#ifndef OPERATION_RECEIPT_MODEL_CHECKS_H_
#define OPERATION_RECEIPT_MODEL_CHECKS_H_

#include <algorithm>
#include <cstdint>

#include "BitData.h"
#include "OperationReceipt.h"
#include "StandInServices.h"

namespace or_model {

inline const OperationReceiptComponent& Table() {
  static const OperationReceiptComponent* const table = [] {
    const OperationReceiptComponent* fetched = nullptr;
    Quorvel_GetOperationReceipt(&fetched);
    return fetched;
  }();
  return *table;
}

inline bool Immediate() {
  bool immediate = false;
  return Table().IsImmediateMode(&immediate) == 0 && immediate;
}

inline BitData* MakeBits(uint64_t bits, uint64_t pattern) {
  BitData* data = BitData_CreateManaged(bits);
  if (data != nullptr && bits != 0)
    BitData_SetUpToUInt64(data, 0, std::min<uint64_t>(bits, 64), pattern);
  return data;
}

// From inside an execute callback: what is wrong, or null. The operation answers Executing
// (or, when `mayBeGone`, nothing at all) and the thread is in immediate mode.
inline const char* ExecutingProblem(uint64_t token, bool mayBeGone) {
  uint32_t state = 99;
  const uint32_t result = Table().GetOperationState(token, &state);
  if (result == 0 ? state != OperationState_Executing : !mayBeGone)
    return "an executing operation does not answer Executing";
  return Immediate() ? nullptr : "an execute callback runs outside immediate mode";
}

// The state agrees with the `runs` of the execute callback seen so far. An operation of another
// thread may start at any time, so only its settled states are judged (`ownThread` false).
inline bool StateAgrees(uint32_t state, int runs, bool ownThread) {
  switch (state) {
    case OperationState_Pending: return !ownThread || runs == 0;
    case OperationState_Executing: return !ownThread || runs == 1;
    case OperationState_Executed: return runs == 1;
    case OperationState_Canceled: return runs == 0;
    case OperationState_Failed: return runs <= 1;
    default: return false;
  }
}

}  // namespace or_model

#endif  // OPERATION_RECEIPT_MODEL_CHECKS_H_
