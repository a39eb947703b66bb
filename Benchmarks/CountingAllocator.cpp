// CountingAllocator.cpp
//
// The counting replacements of the allocation functions (see CountingAllocator.h). Every
// function forwards to glibc's own allocator entry points (__libc_malloc and friends), which
// glibc exports for exactly this purpose, so the heap itself is glibc's and blocks may be freed
// by whichever function: a block from glibc's posix_memalign freed through the free below, or a
// block from the operator new below freed by glibc's free, are handled alike.
//
// Nothing here allocates, locks or throws except operator new on exhaustion, so the functions
// are safe to run during thread start and exit and before main. The counters are trivially
// initialised thread-locals of the executable, which live in the thread's static TLS block.

#include "CountingAllocator.h"

// Under a sanitizer the sanitizer's runtime owns malloc and operator new; replacing them would
// hand it blocks it never allocated. There the counters stay at zero and only the timings count.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define OR_BENCH_COUNT_ALLOCATIONS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define OR_BENCH_COUNT_ALLOCATIONS 0
#endif
#endif
#ifndef OR_BENCH_COUNT_ALLOCATIONS
#define OR_BENCH_COUNT_ALLOCATIONS 1
#endif

#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <new>

namespace or_bench {
namespace {

thread_local AllocCounts tCounts;
std::atomic<bool> gTrackLive{false};

}  // namespace

AllocCounts ThreadAllocCounts() { return tCounts; }

AllocCounts operator-(const AllocCounts& after, const AllocCounts& before) {
  AllocCounts difference;
  difference.allocations = after.allocations - before.allocations;
  difference.frees = after.frees - before.frees;
  difference.requestedBytes = after.requestedBytes - before.requestedBytes;
  difference.liveBytes = after.liveBytes - before.liveBytes;
  difference.liveBlocks = after.liveBlocks - before.liveBlocks;
  return difference;
}

void SetLiveTracking(bool on) { gTrackLive.store(on, std::memory_order_relaxed); }

uint64_t ResidentBytes() {
  std::FILE* file = std::fopen("/proc/self/statm", "r");
  if (file == nullptr) return 0;
  unsigned long long sizePages = 0;
  unsigned long long residentPages = 0;
  const int read = std::fscanf(file, "%llu %llu", &sizePages, &residentPages);
  std::fclose(file);
  if (read != 2) return 0;
  return residentPages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

}  // namespace or_bench

#if OR_BENCH_COUNT_ALLOCATIONS

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* pointer);
}

namespace or_bench {
namespace {

// glibc keeps one size word in front of every block it hands out.
constexpr int64_t kChunkHeaderBytes = sizeof(size_t);

bool TrackingLive() { return gTrackLive.load(std::memory_order_relaxed); }

int64_t HeapBytes(void* pointer) {
  return static_cast<int64_t>(malloc_usable_size(pointer)) + kChunkHeaderBytes;
}

void NoteAllocation(void* pointer, size_t requested) {
  if (pointer == nullptr) return;
  AllocCounts& counts = tCounts;
  ++counts.allocations;
  counts.requestedBytes += requested;
  if (TrackingLive()) {
    counts.liveBytes += HeapBytes(pointer);
    ++counts.liveBlocks;
  }
}

void NoteFree(void* pointer) {
  if (pointer == nullptr) return;
  AllocCounts& counts = tCounts;
  ++counts.frees;
  if (TrackingLive()) {
    counts.liveBytes -= HeapBytes(pointer);
    --counts.liveBlocks;
  }
}

bool IsPowerOfTwo(size_t value) { return value != 0 && (value & (value - 1)) == 0; }

// operator new's contract: never null; call the new-handler until it gives up, then throw.
void* AllocateOrThrow(size_t size, size_t alignment) {
  if (size == 0) size = 1;
  for (;;) {
    void* pointer = alignment <= alignof(std::max_align_t) ? __libc_malloc(size)
                                                           : __libc_memalign(alignment, size);
    if (pointer != nullptr) {
      NoteAllocation(pointer, size);
      return pointer;
    }
    std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) throw std::bad_alloc();
    handler();
  }
}

void* AllocateNoThrow(size_t size, size_t alignment) noexcept {
  try {
    return AllocateOrThrow(size, alignment);
  } catch (...) {
    return nullptr;
  }
}

void Deallocate(void* pointer) noexcept {
  NoteFree(pointer);
  __libc_free(pointer);
}

}  // namespace
}  // namespace or_bench

// ---- The C allocator ----------------------------------------------------------------------

extern "C" {

void* malloc(size_t size) noexcept {
  void* pointer = __libc_malloc(size);
  or_bench::NoteAllocation(pointer, size);
  return pointer;
}

void* calloc(size_t count, size_t size) noexcept {
  void* pointer = __libc_calloc(count, size);
  or_bench::NoteAllocation(pointer, count * size);
  return pointer;
}

// Counted as one allocation plus one free of the old block, or as a free alone when a block is
// shrunk to nothing; live bytes change by the difference in block size.
void* realloc(void* pointer, size_t size) noexcept {
  if (pointer == nullptr) return malloc(size);
  const bool tracking = or_bench::TrackingLive();
  const int64_t oldBytes = tracking ? or_bench::HeapBytes(pointer) : 0;
  void* moved = __libc_realloc(pointer, size);
  or_bench::AllocCounts& counts = or_bench::tCounts;
  if (moved != nullptr) {
    ++counts.allocations;
    ++counts.frees;
    counts.requestedBytes += size;
    if (tracking) counts.liveBytes += or_bench::HeapBytes(moved) - oldBytes;
  } else if (size == 0) {
    ++counts.frees;
    if (tracking) {
      counts.liveBytes -= oldBytes;
      --counts.liveBlocks;
    }
  }
  return moved;
}

void free(void* pointer) noexcept { or_bench::Deallocate(pointer); }

void* memalign(size_t alignment, size_t size) noexcept {
  void* pointer = __libc_memalign(alignment, size);
  or_bench::NoteAllocation(pointer, size);
  return pointer;
}

void* aligned_alloc(size_t alignment, size_t size) noexcept {
  if (!or_bench::IsPowerOfTwo(alignment)) {
    errno = EINVAL;
    return nullptr;
  }
  return memalign(alignment, size);
}

int posix_memalign(void** out, size_t alignment, size_t size) noexcept {
  if (!or_bench::IsPowerOfTwo(alignment) || alignment % sizeof(void*) != 0) return EINVAL;
  void* pointer = memalign(alignment, size);
  if (pointer == nullptr) return ENOMEM;
  *out = pointer;
  return 0;
}

}  // extern "C"

// ---- The C++ allocation functions -----------------------------------------------------------

void* operator new(std::size_t size) { return or_bench::AllocateOrThrow(size, 0); }
void* operator new[](std::size_t size) { return or_bench::AllocateOrThrow(size, 0); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return or_bench::AllocateNoThrow(size, 0);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return or_bench::AllocateNoThrow(size, 0);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
  return or_bench::AllocateOrThrow(size, static_cast<size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return or_bench::AllocateOrThrow(size, static_cast<size_t>(alignment));
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return or_bench::AllocateNoThrow(size, static_cast<size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return or_bench::AllocateNoThrow(size, static_cast<size_t>(alignment));
}

void operator delete(void* pointer) noexcept { or_bench::Deallocate(pointer); }
void operator delete[](void* pointer) noexcept { or_bench::Deallocate(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { or_bench::Deallocate(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { or_bench::Deallocate(pointer); }
void operator delete(void* pointer, const std::nothrow_t&) noexcept {
  or_bench::Deallocate(pointer);
}
void operator delete[](void* pointer, const std::nothrow_t&) noexcept {
  or_bench::Deallocate(pointer);
}
void operator delete(void* pointer, std::align_val_t) noexcept { or_bench::Deallocate(pointer); }
void operator delete[](void* pointer, std::align_val_t) noexcept { or_bench::Deallocate(pointer); }
void operator delete(void* pointer, std::size_t, std::align_val_t) noexcept {
  or_bench::Deallocate(pointer);
}
void operator delete[](void* pointer, std::size_t, std::align_val_t) noexcept {
  or_bench::Deallocate(pointer);
}
void operator delete(void* pointer, std::align_val_t, const std::nothrow_t&) noexcept {
  or_bench::Deallocate(pointer);
}
void operator delete[](void* pointer, std::align_val_t, const std::nothrow_t&) noexcept {
  or_bench::Deallocate(pointer);
}

#endif  // OR_BENCH_COUNT_ALLOCATIONS
