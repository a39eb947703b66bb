// FailingAllocator.h
//
// The test executable's replacement of the global operator new and delete (every form). An
// allocation counts as the component's when it is made while a table entry runs (the scenario
// says so per thread with EntryScope) and the first frame of its call stack outside the C and C++
// runtimes lies in libOperationReceipt.so. That is sound because the component's own code reaches
// operator new either directly (its own and its inlined template code, which live in its text) or
// through runtime functions it calls (std::string and friends in libstdc++), whose frames are
// skipped; the stand-ins, the test's callbacks and the runtime's own bookkeeping have their own
// frame first. The walk uses the unwinder's tables, so it does not depend on frame pointers.
#ifndef OPERATION_RECEIPT_TESTS_ALLOC_FAILING_ALLOCATOR_H_
#define OPERATION_RECEIPT_TESTS_ALLOC_FAILING_ALLOCATOR_H_

#include <cstdint>
#include <set>

namespace alloc_sweep {

// Reads the address ranges of the loaded objects. Called once before anything is counted.
void LearnLoadedObjects();

// Counts the component's allocations from now on; the one numbered `failAt` (from 1) throws
// std::bad_alloc (the nothrow forms return null). failAt 0 fails none.
void StartCounting(int64_t failAt);
void StopCounting();
int64_t CountedAllocations();
// Where the chosen allocation was made from (a return address in the component), 0 when it was
// not reached.
uintptr_t InjectedSite();
// The distinct places in the component's code the counted allocations were made from.
std::set<uintptr_t> AllocationSites();

// Marks the calling thread as inside a table entry for its lifetime.
class EntryScope {
 public:
  EntryScope();
  ~EntryScope();
  EntryScope(const EntryScope&) = delete;
  EntryScope& operator=(const EntryScope&) = delete;

 private:
  bool outer_;
};

}  // namespace alloc_sweep

#endif  // OPERATION_RECEIPT_TESTS_ALLOC_FAILING_ALLOCATOR_H_
