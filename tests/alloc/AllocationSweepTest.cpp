// AllocationSweepTest.cpp
//
// Fails each allocation the component makes in a client session, one per run: a first child
// process counts them, then the k-th one throws std::bad_alloc in a fresh child of its own. The
// client catches what an entry throws and goes on; afterwards it gives back what it holds and
// flushes, and the run must show no open error context, every bracket closed, a fresh operation
// working, and no operation or bit buffer left of the session thread's. The two other threads
// end with their operations buffered, which stay pending as every ended thread's do.
//
// The replaced operator new counts an allocation as the component's when a table entry runs on
// the thread and the first frame of its call stack outside the C and C++ runtimes lies in
// libOperationReceipt.so: the component's own and inlined code, or a runtime function it called
// (std::string and friends). The stand-ins, the test's callbacks and the runtime's bookkeeping
// have their own frame first. The walk uses the unwinder's tables, not frame pointers.
#include <gtest/gtest.h>
#include <link.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unwind.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "BitData.h"
#include "OperationReceipt.h"
#include "StandInServices.h"

namespace {

// The executable code of each loaded object, learnt once before the first fork.
enum class Kind { kOther, kRuntime, kComponent };
struct Range {
  uintptr_t begin, end, base;
  Kind kind;
};
Range gRanges[512];
int gRangeCount = 0;

std::atomic<bool> gCounting{false};
std::atomic<int64_t> gCounted{0};
std::atomic<int64_t> gFailAt{0};      // the component's allocation to fail, from 1; 0 fails none
std::atomic<uintptr_t> gInjected{0};  // where it was made: an offset in the component, 0 if not
thread_local int tEntryDepth = 0;

struct EntryScope {  // the calling thread is inside a table entry while one lives
  EntryScope() { ++tEntryDepth; }
  ~EntryScope() { --tEntryDepth; }
};

int AddObject(dl_phdr_info* info, size_t, void*) {
  static const char* const kRuntimes[] = {"libstdc++", "libc.so",  "libgcc_s", "libm.so",
                                          "libasan",   "libubsan", "libtsan",  "ld-linux"};
  Kind kind = Kind::kOther;
  for (const char* runtime : kRuntimes)
    if (std::strstr(info->dlpi_name, runtime) != nullptr) kind = Kind::kRuntime;
  if (std::strstr(info->dlpi_name, "libOperationReceipt") != nullptr) kind = Kind::kComponent;
  for (int i = 0; i < info->dlpi_phnum && gRangeCount < 512; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    if (segment.p_type != PT_LOAD || (segment.p_flags & PF_X) == 0) continue;
    const uintptr_t begin = info->dlpi_addr + segment.p_vaddr;
    gRanges[gRangeCount++] = {begin, begin + segment.p_memsz, info->dlpi_addr, kind};
  }
  return 0;
}

// Finds operator new's caller on the stack, then the first frame past the runtimes' frames.
struct Walk {
  uintptr_t caller;  // 0 once met
  uintptr_t site;    // that frame's offset in the component, 0 when it is not the component's
};
_Unwind_Reason_Code Step(_Unwind_Context* context, void* argument) {
  Walk& walk = *static_cast<Walk*>(argument);
  const uintptr_t ip = _Unwind_GetIP(context);
  if (walk.caller != 0 && ip != walk.caller) return _URC_NO_REASON;
  walk.caller = 0;
  for (int i = 0; i < gRangeCount; ++i) {
    const Range& range = gRanges[i];
    if (ip - 1 < range.begin || ip - 1 >= range.end) continue;  // inside the call, not past it
    if (range.kind == Kind::kRuntime) return _URC_NO_REASON;
    if (range.kind == Kind::kComponent) walk.site = ip - range.base;
    break;
  }
  return _URC_END_OF_STACK;
}

void* Allocate(size_t size, size_t alignment, void* caller, bool nothrow) {
  if (tEntryDepth > 0 && gCounting.load(std::memory_order_relaxed)) {
    Walk walk{reinterpret_cast<uintptr_t>(caller), 0};
    _Unwind_Backtrace(&Step, &walk);
    if (walk.site != 0 && gCounted.fetch_add(1) + 1 == gFailAt.load()) {
      gInjected = walk.site;
      if (nothrow) return nullptr;
      throw std::bad_alloc();
    }
  }
  alignment = std::max(alignment, alignof(std::max_align_t));
  void* block = std::aligned_alloc(alignment, (size / alignment + 1) * alignment);
  if (block == nullptr && !nothrow) throw std::bad_alloc();
  return block;
}

}  // namespace

// Each form is replaced, the array ones too: a sanitizer's runtime defines them all itself, and
// its forms would not reach the ones replaced here.
#define OR_NEW(ALIGNMENT, NOTHROW, ...)                                     \
  void* operator new(size_t size __VA_ARGS__) noexcept(NOTHROW) {           \
    return Allocate(size, ALIGNMENT, __builtin_return_address(0), NOTHROW); \
  }                                                                         \
  void* operator new[](size_t size __VA_ARGS__) noexcept(NOTHROW) {         \
    return Allocate(size, ALIGNMENT, __builtin_return_address(0), NOTHROW); \
  }
OR_NEW(0, false, )
OR_NEW(0, true, , const std::nothrow_t&)
OR_NEW(static_cast<size_t>(align), false, , std::align_val_t align)
OR_NEW(static_cast<size_t>(align), true, , std::align_val_t align, const std::nothrow_t&)
#define OR_DELETE(...)                                                         \
  void operator delete(void* block __VA_ARGS__) noexcept { std::free(block); } \
  void operator delete[](void* block __VA_ARGS__) noexcept { std::free(block); }
OR_DELETE()
OR_DELETE(, size_t)
OR_DELETE(, std::align_val_t)
OR_DELETE(, size_t, std::align_val_t)
OR_DELETE(, const std::nothrow_t&)
OR_DELETE(, std::align_val_t, const std::nothrow_t&)

namespace {

using Table = OperationReceiptComponent;
constexpr uint32_t kThrew = 0xBADA110Cu;
constexpr int32_t kClient = 100, kDisconnected = 101, kEnded = 102;
const Table* gTable = nullptr;
std::vector<uint64_t> gHeld;  // tokens the session holds a reference of

struct Outcome {  // operationsLeft: the session thread's; threads*: the other threads'
  int64_t allocations, bracketBalance, operationsLeft, buffersLeft, threadsLeft, threadsCreated;
  uint32_t openContexts;
  uintptr_t site;  // of the allocation that failed
  bool freshWorks;
};
Outcome gOutcome{};

// Calls a table entry as a client that catches what the entry throws.
template <class Entry, class... Args>
uint32_t Call(Entry entry, Args... args) {
  EntryScope scope;
  try {
    return (gTable->*entry)(args...);
  } catch (const std::bad_alloc&) {
    return kThrew;
  }
}

uint64_t Create(const char* name, OperationExecuteCallback execute, bool value, bool always,
                bool keep = true) {
  OperationDescriptor descriptor{};
  descriptor.name = name;
  descriptor.executeCallback = execute;
  descriptor.hasValue = value;
  descriptor.alwaysExecute = always;
  uint64_t token = 0;
  Call(&Table::CreateOperation, &descriptor, keep ? &token : nullptr);
  if (token != 0) gHeld.push_back(token);  // handed out, even if the entry then threw
  return token;
}

uint32_t SetValue32(uint64_t token, void*) {
  BitData* value = BitData_CreateManaged(32);
  BitData_SetUpToUInt64(value, 0, 32, 0xC0DE0000u | (token & 0xFFFF));
  if (Call(&Table::SetValue, token, value) != 0) BitData_FreeManaged(value);
  return 0;
}
uint32_t FailLate(uint64_t token, void*) {
  Call(&Table::SetError, token, 7u, "posted by the failing operation");
  return 5;
}
// Runs in immediate mode inside the flush: one creation kept, one not.
uint32_t CreateInside(uint64_t token, void*) {
  Create("inner kept", &SetValue32, true, false);
  Create("inner dropped", &SetValue32, true, false, /*keep=*/false);
  return SetValue32(token, nullptr);
}
uint32_t PostFlush() {
  bool immediate = false;
  Call(&Table::IsImmediateMode, &immediate);
  return 0;
}

// Creates two operations on a thread of `client`'s and counts the creations that succeeded.
void CreateOnThread(int32_t client, bool releaseTokens) {
  std::thread([&] {
    StandIn_CommonSetClientId(client);
    OperationDescriptor descriptor{};
    descriptor.name = "other thread's";
    for (int i = 0; i < 2; ++i) {
      uint64_t token = 0;
      if (Call(&Table::CreateOperation, &descriptor, &token) != 0) continue;
      ++gOutcome.threadsCreated;
      if (releaseTokens) Call(&Table::ReleaseOperation, token);
    }
  }).join();
}

// Every entry of the table and every concept: buffering, a flush with a failure, always-execute,
// flush up to one operation, cancel, values, links, the post-flush callback, late errors,
// acquire/release, a long name, a disconnect of another thread's client, an ended thread.
void Session() {
  Call(&Table::SetPostFlushCallback, &PostFlush);
  const uint64_t a = Create("alpha", &SetValue32, true, false);
  const uint64_t b = Create("beta fails", &FailLate, false, false);
  const uint64_t c = Create("gamma always", &SetValue32, true, true);
  Create("delta unheld", &SetValue32, true, false, /*keep=*/false);
  static const std::string longName(300, 'n');  // names live as long as their operations
  Create(longName.c_str(), &CreateInside, true, true);
  const uint64_t word = Create("word", nullptr, true, false);
  static const uint64_t kRun[] = {0, 8};
  static const IndexRun kRuns[] = {{1, 1, {}, kRun, kRun + 2, kRun + 2}};
  static const IndexList kLow8 = {kRuns, kRuns + 1, kRuns + 1, 8};
  Call(&Table::LinkValue, word, a, &kLow8, &kLow8);
  Call(&Table::LinkValue, word, c, nullptr, nullptr);
  Call(&Table::AcquireOperation, a);
  Call(&Table::ReleaseOperation2, a);
  const uint64_t canceled = Create("canceled", &SetValue32, true, false);
  Call(&Table::CancelOperation, canceled);
  Call(&Table::FlushOperation, a);
  const uint64_t later = Create("later", &SetValue32, true, false);
  Call(&Table::SetValueSize, later, uint64_t{16});
  Call(&Table::Flush);
  uint32_t code = 0, state = 0, size = 0;
  char message[64];
  Call(&Table::GetErrorCode, b, &code);
  Call(&Table::GetErrorMessage, b, message, uint32_t{sizeof message}, &size);
  Call(&Table::GetOperationState, c, &state);
  Call(&Table::SetError, a, 9u, "set after the run");
  uint8_t u8;
  uint16_t u16;
  uint64_t u64;
  Call(&Table::GetValueUInt8, a, &u8);
  Call(&Table::GetValueUInt16, later, &u16);
  Call(&Table::GetValueUInt32, word, &code);
  Call(&Table::GetValueUInt64, c, &u64);
  BitData* copy = nullptr;
  if (Call(&Table::GetValue, word, &copy) == 0) BitData_FreeManaged(copy);
  Call(&Table::GetPendingOperationCount, kClient, &code);
  Call(&Table::GetExecutedOperationCount, kClient, &code);
  CreateOnThread(kDisconnected, false);
  {
    EntryScope scope;  // the component's event handler counts as an entry
    try {
      StandIn_PublishClientDisconnected(kDisconnected);
    } catch (const std::bad_alloc&) {
      StandIn_PublishClientDisconnected(kDisconnected);  // the host tells it again
    }
  }
  CreateOnThread(kEnded, true);
}

// Runs the session in a child; false when the child died, hung or wrote no outcome.
bool RunInChild(int64_t failAt, Outcome* outcome) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return false;
  const pid_t child = fork();
  if (child == 0) {
    alarm(20);  // a hang ends the child with SIGALRM
    StandIn_CommonSetClientId(kClient);
    Quorvel_GetOperationReceipt(&gTable);
    StandIn_LoggingSetSink(&StandIn_LoggingDiscardSink, nullptr);
    StandIn_LoggingSetEnabledLevels(~0u);
    StandIn_LoggingStartRecording();
    gFailAt = failAt;
    gCounting = true;
    Session();
    gCounting = false;
    Outcome& result = gOutcome;
    result.allocations = gCounted;
    result.site = gInjected;
    for (const uint64_t token : gHeld) gTable->ReleaseOperation(token);
    gTable->Flush();
    const uint64_t fresh = Create("fresh", &SetValue32, true, false);
    uint32_t value = 0;
    result.freshWorks = Call(&Table::GetValueUInt32, fresh, &value) == 0 &&
                        value == (0xC0DE0000u | (fresh & 0xFFFF)) &&
                        Call(&Table::ReleaseOperation, fresh) == 0;
    StandIn_LoggingStopRecording();
    for (uint64_t i = 0; i < StandIn_LoggingRecordedCount(); ++i)
      result.bracketBalance += StandIn_LoggingRecordedDelta(i);
    for (const int32_t key : {kClient, kDisconnected, kEnded, -1}) {
      uint32_t pending = 0, executed = 0;
      gTable->GetPendingOperationCount(key, &pending);
      gTable->GetExecutedOperationCount(key, &executed);
      (key == kDisconnected || key == kEnded ? result.threadsLeft : result.operationsLeft) +=
          pending + executed;
    }
    result.buffersLeft = static_cast<int64_t>(StandIn_BitDataLiveCount());
    result.openContexts = StandIn_ErrorOpenContextCount();
    _exit(write(pipeEnds[1], &result, sizeof result) == sizeof result ? 0 : 3);
  }
  close(pipeEnds[1]);
  const bool read = ::read(pipeEnds[0], outcome, sizeof *outcome) == sizeof *outcome;
  close(pipeEnds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return read && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(AllocationSweep, EveryComponentAllocationFailsOnceAndLeavesNothingBehind) {
  dl_iterate_phdr(&AddObject, nullptr);
  Outcome clean{};
  ASSERT_TRUE(RunInChild(0, &clean)) << "the session without failures died or hung";
  ASSERT_GT(clean.allocations, 20) << "the session reaches too few of the component's allocations";
  ASSERT_EQ(clean.threadsCreated, 4);
  for (int64_t k = 0; k <= clean.allocations; ++k) {  // run 0 is the clean one
    Outcome run = clean;
    if (k > 0 && !RunInChild(k, &run)) {
      ADD_FAILURE() << "failing allocation " << k << ": the process died or hung";
      continue;
    }
    SCOPED_TRACE(testing::Message()
                 << "failing allocation " << k << ", made at libOperationReceipt.so+0x" << std::hex
                 << run.site);
    EXPECT_EQ(run.site != 0, k > 0) << "the allocation to fail was not reached";
    EXPECT_EQ(run.openContexts, 0u);
    EXPECT_EQ(run.bracketBalance, 0);
    EXPECT_TRUE(run.freshWorks);
    EXPECT_EQ(run.operationsLeft, 0);
    EXPECT_EQ(run.threadsLeft, run.threadsCreated);
    EXPECT_EQ(run.buffersLeft, 0);
  }
  std::printf("allocation sweep: %lld of the component's allocations failed one by one\n",
              static_cast<long long>(clean.allocations));
}

}  // namespace
