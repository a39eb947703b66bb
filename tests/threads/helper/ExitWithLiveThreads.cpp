// ExitWithLiveThreads.cpp
//
// A host that returns from main while other threads are still alive: each holds its operation
// set, operations buffered and already executed, a value and a link, and one of them is blocked
// inside an execute callback of a flush it started. The process must end with main's exit code
// and without a crash. Run by the thread tests, which expect exit code 0 and the last line.

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "BitData.h"
#include "OperationReceipt.h"
#include "StandInServices.h"

namespace {

constexpr int kThreads = 4;
constexpr int kBuffered = 40;
constexpr int kMainBuffered = 4;
constexpr int32_t kMainClient = 1;
constexpr int32_t kFirstWorkerClient = 10;

const OperationReceiptComponent* table = nullptr;

// Never destroyed: the workers still wait on it while the process exits.
struct Gate {
  std::mutex mutex;
  std::condition_variable changed;
  int ready = 0;
};
Gate& gate = *new Gate;

void ReportReadyAndBlock() {
  std::unique_lock<std::mutex> lock(gate.mutex);
  ++gate.ready;
  gate.changed.notify_all();
  gate.changed.wait(lock, [] { return false; });
}

uint32_t Succeed(uint64_t, void*) { return 0; }
uint32_t Block(uint64_t, void*) {
  ReportReadyAndBlock();
  return 0;
}

BitData* Bits(uint64_t bits, uint64_t value) {
  BitData* data = BitData_CreateManaged(bits);
  BitData_SetUpToUInt64(data, 0, bits, value);
  return data;
}

bool CreateBuffered(int count) {
  OperationDescriptor descriptor{};
  descriptor.name = "Buffered";
  descriptor.executeCallback = Succeed;
  descriptor.hasValue = 1;
  for (int i = 0; i < count; ++i) {
    uint64_t token = 0;
    if (table->CreateOperation(&descriptor, &token) != 0) return false;
    if (i % 4 == 0 && table->SetValue(token, Bits(16, static_cast<uint64_t>(i))) != 0) return false;
  }
  return true;
}

void Work(int worker) {
  StandIn_CommonSetClientId(kFirstWorkerClient + worker);
  // Executed operations the thread keeps referenced, one linked into the other.
  OperationDescriptor kept{};
  kept.name = "Kept";
  kept.executeCallback = Succeed;
  kept.hasValue = 1;
  uint64_t source = 0;
  uint64_t destination = 0;
  bool made = table->CreateOperation(&kept, &source) == 0 &&
              table->CreateOperation(&kept, &destination) == 0 &&
              table->SetValue(source, Bits(8, 0x5A)) == 0 &&
              table->LinkValue(destination, source, nullptr, nullptr) == 0 && table->Flush() == 0;
  if (worker == 0) {
    // The flush started here stops in its first operation's callback, with the rest buffered.
    OperationDescriptor blocker{};
    blocker.name = "Blocker";
    blocker.executeCallback = Block;
    made = made && table->CreateOperation(&blocker, nullptr) == 0 && CreateBuffered(kBuffered);
    if (!made) std::fprintf(stderr, "worker %d could not set up\n", worker);
    (void)table->Flush();
    return;
  }
  made = made && CreateBuffered(kBuffered);
  if (!made) std::fprintf(stderr, "worker %d could not set up\n", worker);
  ReportReadyAndBlock();
}

}  // namespace

int main() {
  if (Quorvel_GetOperationReceipt(&table) != 0) return 2;
  StandIn_CommonSetClientId(kMainClient);
  for (int worker = 0; worker < kThreads; ++worker) std::thread(Work, worker).detach();
  if (!CreateBuffered(kMainBuffered)) return 3;
  {
    std::unique_lock<std::mutex> lock(gate.mutex);
    gate.changed.wait(lock, [] { return gate.ready == kThreads; });
  }
  uint32_t pending = 0;
  for (int32_t client = kMainClient; client < kFirstWorkerClient + kThreads; ++client) {
    uint32_t count = 0;
    if (table->GetPendingOperationCount(client, &count) != 0) return 4;
    pending += count;
  }
  std::printf("returning with %d threads holding %u pending operations\n", kThreads, pending);
  std::fflush(stdout);
  return 0;
}
