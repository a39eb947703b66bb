// AllocationSweepTest.cpp
//
// Fails each allocation the component makes in a client session, one per run: the session is run
// once in a child process to count the component's allocations, then once per allocation k in a
// fresh child in which the k-th one throws std::bad_alloc. The client catches what an entry
// throws and goes on; afterwards it gives back what it holds and flushes, and the run must show
// no open error context, every bracket closed, a fresh operation working, and no operation or bit
// buffer left of the session thread's. The two other threads end with their operations buffered,
// which stay pending as every ended thread's do: as many as their creations that succeeded.
#include <gtest/gtest.h>
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "BitData.h"
#include "FailingAllocator.h"
#include "OperationReceipt.h"
#include "StandInServices.h"

namespace {

using Table = OperationReceiptComponent;
constexpr uint32_t kThrew = 0xBADA110Cu;
constexpr int32_t kClient = 100, kDisconnected = 101, kEnded = 102;
const Table* gTable = nullptr;
std::vector<uint64_t> gHeld;  // tokens the session holds a reference of

// Calls a table entry as a client that catches what the entry throws.
template <class Entry, class... Args>
uint32_t Call(Entry entry, Args... args) {
  alloc_sweep::EntryScope scope;
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

// Creates two operations on a thread of `client`'s; returns how many creations succeeded.
int CreateOnThread(int32_t client, bool releaseTokens) {
  int created = 0;
  std::thread([&] {
    StandIn_CommonSetClientId(client);
    for (int i = 0; i < 2; ++i) {
      uint64_t token = 0;
      OperationDescriptor descriptor{};
      descriptor.name = "other thread's";
      if (Call(&Table::CreateOperation, &descriptor, &token) != 0) continue;
      ++created;
      if (releaseTokens) Call(&Table::ReleaseOperation, token);
    }
  }).join();
  return created;
}
// Operations the two other threads created; they end with them buffered, so they stay pending.
int gCreatedOnThread[2] = {};  // of kDisconnected, of kEnded

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
  uint32_t u32;
  uint64_t u64;
  Call(&Table::GetValueUInt8, a, &u8);
  Call(&Table::GetValueUInt16, later, &u16);
  Call(&Table::GetValueUInt32, word, &u32);
  Call(&Table::GetValueUInt64, c, &u64);
  BitData* copy = nullptr;
  if (Call(&Table::GetValue, word, &copy) == 0) BitData_FreeManaged(copy);
  Call(&Table::GetPendingOperationCount, kClient, &code);
  Call(&Table::GetExecutedOperationCount, kClient, &code);
  gCreatedOnThread[0] = CreateOnThread(kDisconnected, false);
  {
    alloc_sweep::EntryScope scope;  // the component's event handler counts as an entry
    try {
      StandIn_PublishClientDisconnected(kDisconnected);
    } catch (const std::bad_alloc&) {
      StandIn_PublishClientDisconnected(kDisconnected);  // the host tells it again
    }
  }
  gCreatedOnThread[1] = CreateOnThread(kEnded, true);
}

struct Outcome {
  int64_t allocations = 0, sites = 0, bracketBalance = 0;
  uint64_t operationsLeft = 0, buffersLeft = 0;  // operationsLeft: the session thread's
  int64_t threadsLeft = 0, threadsCreated = 0;  // the other threads'
  uint32_t openContexts = 0;
  uintptr_t site = 0;  // of the allocation that failed
  bool freshWorks = false;
};

Outcome RunSession(int64_t failAt) {
  StandIn_CommonSetClientId(kClient);
  Quorvel_GetOperationReceipt(&gTable);
  StandIn_LoggingSetSink(&StandIn_LoggingDiscardSink, nullptr);
  StandIn_LoggingSetEnabledLevels(~0u);
  StandIn_LoggingStartRecording();
  alloc_sweep::StartCounting(failAt);
  Session();
  alloc_sweep::StopCounting();
  Outcome outcome;
  outcome.allocations = alloc_sweep::CountedAllocations();
  outcome.sites = static_cast<int64_t>(alloc_sweep::AllocationSites().size());
  outcome.site = alloc_sweep::InjectedSite();
  for (const uint64_t token : gHeld) gTable->ReleaseOperation(token);
  gTable->Flush();
  uint64_t token = 0;
  OperationDescriptor fresh{};
  fresh.executeCallback = &SetValue32;
  fresh.hasValue = 1;
  uint32_t value = 0;
  outcome.freshWorks = gTable->CreateOperation(&fresh, &token) == 0 &&
                       gTable->GetValueUInt32(token, &value) == 0 &&
                       value == (0xC0DE0000u | (token & 0xFFFF)) &&
                       gTable->ReleaseOperation(token) == 0;
  StandIn_LoggingStopRecording();
  for (uint64_t i = 0; i < StandIn_LoggingRecordedCount(); ++i) {
    outcome.bracketBalance += StandIn_LoggingRecordedDelta(i);
  }
  for (const int32_t key : {kClient, kDisconnected, kEnded, -1}) {
    uint32_t pending = 0, executed = 0;
    gTable->GetPendingOperationCount(key, &pending);
    gTable->GetExecutedOperationCount(key, &executed);
    if (key == kDisconnected || key == kEnded) {
      outcome.threadsLeft += pending + executed;
    } else {
      outcome.operationsLeft += pending + executed;
    }
  }
  outcome.threadsCreated = gCreatedOnThread[0] + gCreatedOnThread[1];
  outcome.buffersLeft = StandIn_BitDataLiveCount();
  outcome.openContexts = StandIn_ErrorOpenContextCount();
  return outcome;
}

// The function of the component an allocation was made from, as the dynamic symbols tell it.
std::string SiteName(uintptr_t site) {
  Dl_info info{};
  if (site == 0 || dladdr(reinterpret_cast<void*>(site), &info) == 0) return "not reached";
  char offset[32];
  std::snprintf(offset, sizeof offset, "+0x%zx",
                static_cast<size_t>(site - reinterpret_cast<uintptr_t>(info.dli_fbase)));
  return std::string(info.dli_fname) + offset;
}

// Runs the session in a child; false when the child died, hung or wrote no outcome.
bool RunInChild(int64_t failAt, Outcome* outcome) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return false;
  const pid_t child = fork();
  if (child == 0) {
    alarm(20);  // a hang ends the child with SIGALRM
    const Outcome result = RunSession(failAt);
    const bool written = write(pipeEnds[1], &result, sizeof result) == sizeof result;
    _exit(written ? 0 : 3);
  }
  close(pipeEnds[1]);
  const bool read = ::read(pipeEnds[0], outcome, sizeof *outcome) == sizeof *outcome;
  close(pipeEnds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return read && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(AllocationSweep, EveryComponentAllocationFailsOnceAndLeavesNothingBehind) {
  alloc_sweep::LearnLoadedObjects();
  Outcome clean;
  ASSERT_TRUE(RunInChild(0, &clean));
  ASSERT_GT(clean.allocations, 20) << "the session reaches too few of the component's allocations";
  ASSERT_TRUE(clean.freshWorks);
  ASSERT_EQ(clean.operationsLeft, 0u);
  ASSERT_EQ(clean.buffersLeft, 0u);
  ASSERT_EQ(clean.threadsLeft, 4);
  int failedRuns = 0;
  for (int64_t k = 1; k <= clean.allocations; ++k) {
    Outcome run;
    const bool survived = RunInChild(k, &run);
    const bool consistent = survived && run.openContexts == 0 && run.bracketBalance == 0 &&
                            run.freshWorks && run.operationsLeft == 0 &&
                            run.threadsLeft == run.threadsCreated &&
                            run.buffersLeft == 0;
    if (!consistent) {
      ++failedRuns;
      ADD_FAILURE() << "allocation " << k << " (" << SiteName(run.site) << "): "
                    << (!survived ? "the process died or hung"
                                  : "contexts " + std::to_string(run.openContexts) +
                                        ", bracket balance " +
                                        std::to_string(run.bracketBalance) + ", operations left " +
                                        std::to_string(run.operationsLeft) + ", other threads' " +
                                        std::to_string(run.threadsLeft) + " of " +
                                        std::to_string(run.threadsCreated) + ", buffers " +
                                        std::to_string(run.buffersLeft) + ", fresh " +
                                        (run.freshWorks ? "works" : "fails"));
    }
  }
  std::printf("allocation sweep: %lld allocations at %lld sites of the component, %lld runs, "
              "%d inconsistent or dead\n",
              static_cast<long long>(clean.allocations), static_cast<long long>(clean.sites),
              static_cast<long long>(clean.allocations + 1), failedRuns);
}

}  // namespace
