// LifecycleBatch.h
//
// The buffered lifecycle that A_Lifecycle, B_LifecycleValue32, E_TraceLines, Scale_Lifecycle and
// F_Threads all time: every token created buffered, one Flush, each error code read (and, with
// kReadValue32, each 32-bit value, which B's execute callback sets to the token's low 32 bits),
// every token released. One definition, so that the ratios between those benchmarks compare the
// same client work and nothing else.
#ifndef OR_BENCH_LIFECYCLE_BATCH_H_
#define OR_BENCH_LIFECYCLE_BATCH_H_

#include <cstdint>
#include <vector>

#include "OperationReceipt.h"

namespace or_bench {

// What a run of batches saw: any entry's non-zero result or error code OR-ed together, and how
// many values read back other than the token's low 32 bits.
struct BatchOutcome {
  uint32_t failed = 0;
  uint64_t wrongValues = 0;
};

// One batch of tokens.size() operations. A template parameter rather than a flag, so that the
// batch without values has no value branch in its loop.
template <bool kReadValue32 = false>
inline void RunLifecycleBatch(const OperationReceiptComponent& table,
                              const OperationDescriptor& descriptor, std::vector<uint64_t>& tokens,
                              BatchOutcome& outcome) {
  for (uint64_t& token : tokens) outcome.failed |= table.CreateOperation(&descriptor, &token);
  outcome.failed |= table.Flush();
  for (const uint64_t token : tokens) {
    uint32_t code = 1;
    outcome.failed |= table.GetErrorCode(token, &code);
    outcome.failed |= code;
    if constexpr (kReadValue32) {
      uint32_t value = 0;
      outcome.failed |= table.GetValueUInt32(token, &value);
      outcome.wrongValues += value != static_cast<uint32_t>(token);
    }
  }
  for (const uint64_t token : tokens) outcome.failed |= table.ReleaseOperation(token);
}

}  // namespace or_bench

#endif  // OR_BENCH_LIFECYCLE_BATCH_H_
