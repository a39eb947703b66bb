// FailingAllocator.cpp: see FailingAllocator.h.
#include "FailingAllocator.h"

#include <link.h>
#include <unwind.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace alloc_sweep {
namespace {

enum class Kind { kOther, kRuntime, kComponent };
struct Range {
  uintptr_t begin = 0, end = 0;
  Kind kind = Kind::kOther;
};
Range gRanges[512];
int gRangeCount = 0;

std::atomic<bool> gCounting{false};
std::atomic<int64_t> gCounted{0};
std::atomic<int64_t> gFailAt{0};
std::atomic<uintptr_t> gInjected{0};
std::mutex gSitesMutex;
std::set<uintptr_t>* gSites = nullptr;  // allocated while counting is off
thread_local bool tInEntry = false;
thread_local bool tInHook = false;  // the hook's own allocations (the site set) pass through

Kind KindOf(const char* name) {
  static const char* const kRuntimes[] = {"libstdc++", "libc.so", "libgcc_s", "libm.so",
                                          "libasan", "libubsan", "libtsan", "ld-linux"};
  if (std::strstr(name, "libOperationReceipt") != nullptr) return Kind::kComponent;
  for (const char* runtime : kRuntimes) {
    if (std::strstr(name, runtime) != nullptr) return Kind::kRuntime;
  }
  return Kind::kOther;
}

int AddObject(dl_phdr_info* info, size_t, void*) {
  for (int i = 0; i < info->dlpi_phnum && gRangeCount < 512; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    if (segment.p_type != PT_LOAD || (segment.p_flags & PF_X) == 0) continue;
    const uintptr_t begin = info->dlpi_addr + segment.p_vaddr;
    gRanges[gRangeCount++] = {begin, begin + segment.p_memsz, KindOf(info->dlpi_name)};
  }
  return 0;
}

Kind Classify(uintptr_t ip) {
  for (int i = 0; i < gRangeCount; ++i) {
    if (ip >= gRanges[i].begin && ip < gRanges[i].end) return gRanges[i].kind;
  }
  return Kind::kOther;
}

// Finds operator new's caller on the stack, then the first frame past the runtimes' frames.
struct Walk {
  uintptr_t caller;
  bool found = false;
  uintptr_t site = 0;
};
_Unwind_Reason_Code Step(_Unwind_Context* context, void* argument) {
  Walk& walk = *static_cast<Walk*>(argument);
  const uintptr_t ip = _Unwind_GetIP(context);
  if (!walk.found) {
    if (ip != walk.caller) return _URC_NO_REASON;
    walk.found = true;
  }
  const Kind kind = Classify(ip - 1);  // inside the call instruction, not past it
  if (kind == Kind::kRuntime) return _URC_NO_REASON;
  if (kind == Kind::kComponent) walk.site = ip;
  return _URC_END_OF_STACK;
}

// Whether this allocation is to fail; counts it when it is the component's.
bool ShouldFail(void* caller) {
  if (!tInEntry || tInHook || !gCounting.load(std::memory_order_relaxed)) return false;
  tInHook = true;
  Walk walk{reinterpret_cast<uintptr_t>(caller)};
  _Unwind_Backtrace(&Step, &walk);
  bool fail = false;
  if (walk.site != 0) {
    {
      std::lock_guard<std::mutex> lock(gSitesMutex);
      gSites->insert(walk.site);
    }
    const int64_t number = gCounted.fetch_add(1) + 1;
    fail = number == gFailAt.load();
    if (fail) gInjected = walk.site;
  }
  tInHook = false;
  return fail;
}

void* Allocate(size_t size, size_t alignment, void* caller, bool nothrow) {
  if (ShouldFail(caller)) {
    if (nothrow) return nullptr;
    throw std::bad_alloc();
  }
  void* block = alignment <= alignof(std::max_align_t)
                    ? std::malloc(size != 0 ? size : 1)
                    : std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
  if (block == nullptr && !nothrow) throw std::bad_alloc();
  return block;
}

}  // namespace

void LearnLoadedObjects() {
  gRangeCount = 0;
  dl_iterate_phdr(&AddObject, nullptr);
  if (gSites == nullptr) gSites = new std::set<uintptr_t>();
}

void StartCounting(int64_t failAt) {
  gCounted = 0;
  gFailAt = failAt;
  gInjected = 0;
  gCounting = true;
}
void StopCounting() { gCounting = false; }
int64_t CountedAllocations() { return gCounted.load(); }
uintptr_t InjectedSite() { return gInjected.load(); }
std::set<uintptr_t> AllocationSites() {
  std::lock_guard<std::mutex> lock(gSitesMutex);
  return *gSites;
}

EntryScope::EntryScope() : outer_(tInEntry) { tInEntry = true; }
EntryScope::~EntryScope() { tInEntry = outer_; }

}  // namespace alloc_sweep

#define OR_CALLER __builtin_return_address(0)
using alloc_sweep::Allocate;

void* operator new(size_t size) { return Allocate(size, 0, OR_CALLER, false); }
void* operator new[](size_t size) { return Allocate(size, 0, OR_CALLER, false); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  return Allocate(size, 0, OR_CALLER, true);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
  return Allocate(size, 0, OR_CALLER, true);
}
void* operator new(size_t size, std::align_val_t align) {
  return Allocate(size, static_cast<size_t>(align), OR_CALLER, false);
}
void* operator new[](size_t size, std::align_val_t align) {
  return Allocate(size, static_cast<size_t>(align), OR_CALLER, false);
}
void* operator new(size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
  return Allocate(size, static_cast<size_t>(align), OR_CALLER, true);
}
void* operator new[](size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
  return Allocate(size, static_cast<size_t>(align), OR_CALLER, true);
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, size_t) noexcept { std::free(block); }
void operator delete[](void* block, size_t) noexcept { std::free(block); }
void operator delete(void* block, std::align_val_t) noexcept { std::free(block); }
void operator delete[](void* block, std::align_val_t) noexcept { std::free(block); }
void operator delete(void* block, size_t, std::align_val_t) noexcept { std::free(block); }
void operator delete[](void* block, size_t, std::align_val_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
