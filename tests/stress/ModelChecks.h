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

inline const OperationReceiptComponent& Table() {  // fetched once, by the first caller
  static const OperationReceiptComponent* table = nullptr;
  [[maybe_unused]] static const uint32_t fetched = Quorvel_GetOperationReceipt(&table);
  return *table;
}

inline bool Immediate() {
  bool immediate = false;
  return Table().IsImmediateMode(&immediate) == 0 && immediate;
}

// Sets a value of `bits` (at least 1) bits that begin with `pattern`; a value refused for its
// token is still the caller's and is freed here.
inline uint32_t SetBits(uint64_t token, uint64_t bits, uint64_t pattern) {
  BitData* value = BitData_CreateManaged(bits);
  BitData_SetUpToUInt64(value, 0, std::min<uint64_t>(bits, 64), pattern);
  const uint32_t result = Table().SetValue(token, value);
  if (result == OR_INVALID_OPERATION_TOKEN) BitData_FreeManaged(value);
  return result;
}

inline uint32_t State(uint64_t token) {  // 99 when the token names no operation
  uint32_t state = 99;
  return Table().GetOperationState(token, &state) == 0 ? state : 99;
}

// From inside an execute callback: what is wrong, or null. The operation answers Executing
// (or, when `mayBeGone`, nothing at all) and the thread is in immediate mode.
inline const char* ExecutingProblem(uint64_t token, bool mayBeGone) {
  const uint32_t state = State(token);
  if (state == 99 ? !mayBeGone : state != OperationState_Executing)
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
