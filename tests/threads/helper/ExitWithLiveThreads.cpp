// ExitWithLiveThreads.cpp
//
// A host that returns from main while other threads are still alive: each holds its operation
// set, operations buffered and already executed, a value and a link, and is blocked inside an
// execute callback of a flush it started. The process must end with main's exit code and
// without a crash. Run by the thread tests, which expect exit code 0 and the last line.

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "BitData.h"
#include "OperationReceipt.h"
#include "StandInServices.h"

namespace {

constexpr int kThreads = 4;
constexpr int32_t kFirstWorkerClient = 10;
const OperationReceiptComponent* table = nullptr;

// Never destroyed: the workers still wait on them while the process exits.
std::mutex& mutex = *new std::mutex;
std::condition_variable& changed = *new std::condition_variable;
int ready = 0;

uint32_t Succeed(uint64_t, void*) { return 0; }
uint32_t Block(uint64_t, void*) {
  std::unique_lock<std::mutex> lock(mutex);
  ++ready;
  changed.notify_all();
  changed.wait(lock, [] { return false; });
  return 0;
}

// `count` operations named `name` running `execute`, every fourth holding a value. Returns the
// last one's token, 0 when one could not be made.
uint64_t Create(const char* name, uint32_t (*execute)(uint64_t, void*), int count) {
  const OperationDescriptor descriptor{name, execute, nullptr, nullptr, nullptr, 1, {}, 0, {}};
  uint64_t token = 0;
  for (int i = 1; i <= count; ++i) {
    if (table->CreateOperation(&descriptor, &token) != 0) return 0;
    if (i % 4 != 0) continue;
    BitData* bits = BitData_CreateManaged(16);
    BitData_SetUpToUInt64(bits, 0, 16, static_cast<uint64_t>(i));
    if (table->SetValue(token, bits) != 0) return 0;
  }
  return token;
}

void Work(int worker) {
  StandIn_CommonSetClientId(kFirstWorkerClient + worker);
  // Two executed operations the thread keeps referenced, the second's value linked to the
  // first's; then a flush that stops in its first operation's callback, with the rest buffered.
  const uint64_t source = Create("Kept", Succeed, 4);
  const uint64_t destination = Create("Kept", Succeed, 1);
  const bool made = source != 0 && destination != 0 &&
                    table->LinkValue(destination, source, nullptr, nullptr) == 0 &&
                    table->Flush() == 0 && Create("Blocker", Block, 1) != 0 &&
                    Create("Buffered", Succeed, 40) != 0;
  if (!made) std::fprintf(stderr, "worker %d could not set up\n", worker);
  (void)table->Flush();
}

}  // namespace

int main() {
  if (Quorvel_GetOperationReceipt(&table) != 0) return 2;
  StandIn_CommonSetClientId(kFirstWorkerClient - 1);
  for (int worker = 0; worker < kThreads; ++worker) std::thread(Work, worker).detach();
  if (Create("Buffered", Succeed, 4) == 0) return 3;
  std::unique_lock<std::mutex> lock(mutex);
  changed.wait(lock, [] { return ready == kThreads; });
  uint32_t pending = 0;
  for (int32_t client = kFirstWorkerClient - 1; client < kFirstWorkerClient + kThreads; ++client) {
    uint32_t count = 0;
    if (table->GetPendingOperationCount(client, &count) != 0) return 4;
    pending += count;
  }
  std::printf("returning with %d threads holding %u pending operations\n", kThreads, pending);
  std::fflush(stdout);
  return 0;
}
