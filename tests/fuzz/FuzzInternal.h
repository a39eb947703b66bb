// FuzzInternal.h
//
// What the harness's own files share: the thread plumbing, the callbacks and the callbacks'
// actions.
#ifndef OPERATION_RECEIPT_FUZZ_INTERNAL_H_
#define OPERATION_RECEIPT_FUZZ_INTERNAL_H_

#include <functional>

#include "FuzzHarness.h"

namespace or_fuzz {

// The slot of the calling thread (0 for any thread that is not a worker).
int CurrentSlot();
// Runs `task` on the thread of `slot` and waits for it.
void OnSlot(int slot, const std::function<void()>& task);

uint32_t OnExecute(uint64_t token, void* context);
uint32_t OnValue(uint64_t token, void* context, BitData* value);
void OnDestroy(void* context);
uint32_t OnPostFlush();

// Runs the actions named by `bits` for a callback of `self` (null: the post-flush callback).
void RunActions(uint8_t bits, Track* self);

}  // namespace or_fuzz

#endif  // OPERATION_RECEIPT_FUZZ_INTERNAL_H_
