// CountingAllocator.h
//
// Allocation counting for the benchmarks. CountingAllocator.cpp replaces the global operator
// new/delete family and wraps malloc, calloc, realloc, free, memalign, aligned_alloc and
// posix_memalign (forwarding to glibc's own __libc_* allocator), so every heap allocation of the
// process is counted: the component's, the stand-in services', the standard library's and the
// peers'. The executable exports these definitions, so the shared libraries bind to them.
//
// Counters are kept per thread (plain thread-local integers, no atomics), so counting costs a
// few instructions per allocation and does not serialise threads. A benchmark reads the calling
// thread's counters before and after its loop; a benchmark that runs its own threads has each
// thread publish its difference.
//
// Live-byte tracking (SetLiveTracking) additionally asks glibc for each block's usable size on
// allocation and on free. It is off by default, because that lookup costs a few nanoseconds per
// call, and switched on only by the memory benchmarks. A block is counted as its usable size
// plus the 8-byte chunk header glibc keeps in front of it, which is what it occupies in the heap.
//
// Under AddressSanitizer, ThreadSanitizer or MemorySanitizer nothing is replaced (the
// sanitizer's runtime owns the allocator) and every counter stays at zero.
#ifndef OR_BENCH_COUNTING_ALLOCATOR_H_
#define OR_BENCH_COUNTING_ALLOCATOR_H_

#include <cstdint>

namespace or_bench {

struct AllocCounts {
  uint64_t allocations = 0;     // operator new of every form, malloc, calloc, realloc, memalign...
  uint64_t frees = 0;           // operator delete of every form, free, realloc to size 0
  uint64_t requestedBytes = 0;  // bytes asked for by those allocations
  int64_t liveBytes = 0;        // while tracking: heap bytes allocated minus heap bytes freed
  int64_t liveBlocks = 0;       // while tracking: blocks allocated minus blocks freed
};

// The calling thread's counters since it started.
AllocCounts ThreadAllocCounts();

// The difference `after - before`, field by field.
AllocCounts operator-(const AllocCounts& after, const AllocCounts& before);

// Switches live-byte tracking on or off for all threads.
void SetLiveTracking(bool on);

// Resident set size of the process in bytes, from /proc/self/statm; 0 when unreadable.
uint64_t ResidentBytes();

}  // namespace or_bench

#endif  // OR_BENCH_COUNTING_ALLOCATOR_H_
