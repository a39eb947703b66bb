// ClientScenes.cpp
//
// Scene 5: clients on threads of their own, and a client that leaves operations behind.
// Scene 6: the report of the post-flush callback.

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "Scenes.h"
#include "StandInServices.h"

namespace demo {

using operation_receipt::Client;
using operation_receipt::Operation;
using operation_receipt::OperationOptions;
using operation_receipt::ScopedBatch;

namespace {

constexpr uint32_t kStepBytes = 4;
constexpr int kStepBatches = 2;
constexpr int kStepsPerBatch = 2;
constexpr int kStepClientCount = 2;
constexpr std::array<Reg, 3> kLeftBehindReads = {Reg::PC, Reg::SP, Reg::CONTROL};

// Releases the client threads only once every one of them is waiting, so that they start
// together however late the system schedules each of them.
class StartGate {
 public:
  explicit StartGate(int clients) : absent_(clients) {}

  // Called by each client thread.
  void ArriveAndWait() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (--absent_ == 0) changed_.notify_all();
    changed_.wait(lock, [this] { return open_; });
  }
  // Called by the thread that started the clients.
  void OpenWhenAllArrived() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return absent_ == 0; });
    open_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int absent_;
  bool open_ = false;
};

std::string ClientName(int32_t clientId) { return "client " + std::to_string(clientId); }

// A client thread: steps the target's PC in batches and reads the PC each step left behind.
void StepClient(Session& s, int32_t clientId, StartGate& gate) {
  StandIn_CommonSetClientId(clientId);  // before the thread's first call into the component
  SetThreadLabel(ClientName(clientId));
  const Client client(s.table);
  // One single step: advances PC by one instruction; the operation's value is the new PC.
  const auto step = [&s](uint64_t token) {
    const Access access = s.target.Add(Reg::PC, kStepBytes);
    if (!access.ok()) return ReportFault(access);
    return InstallValue(s.table, token, 32, access.value);
  };
  gate.ArriveAndWait();
  std::string seen;
  for (int batch = 0; batch < kStepBatches; ++batch) {
    std::vector<Operation> steps;
    {
      const ScopedBatch flushAtEnd(client);  // flushes the batch when this block ends
      for (int i = 0; i < kStepsPerBatch; ++i) {
        steps.push_back(client.Create("Step PC", step, OperationOptions{true}).operation);
      }
    }
    for (const Operation& step : steps) {
      const auto pc = step.ValueAs<uint32_t>();
      s.Check(pc.ok(), ClientName(clientId) + " could not read a step's PC");
      seen += " " + Hex(pc.value, 8);
      s.Record(5, "Step PC (" + ClientName(clientId) + ")", step.token(), true, 32);
    }
  }
  Say("its steps left PC at" + seen);
}

// The context of an operation the leaving client never releases; freed by its destroy callback.
struct LeftBehind {
  RegisterRead read;
  std::atomic<int>* destroyed;
};

uint32_t ExecuteLeftBehind(uint64_t token, void* context) {
  return static_cast<const LeftBehind*>(context)->read(token);
}

void DestroyLeftBehind(void* context) {
  const auto* left = static_cast<const LeftBehind*>(context);
  left->destroyed->fetch_add(1);
  Say(std::string("destroy callback of '") + ReadName(left->read.reg) + "' frees its context");
  delete left;
}

// A client that reads a few registers through the C table and goes away without releasing.
void LeavingClient(Session& s, std::atomic<int>& destroyed) {
  StandIn_CommonSetClientId(kLeavingClient);
  SetThreadLabel(ClientName(kLeavingClient));
  std::vector<uint64_t> tokens;
  for (const Reg reg : kLeftBehindReads) {
    OperationDescriptor descriptor{};
    descriptor.name = ReadName(reg);
    descriptor.executeCallback = &ExecuteLeftBehind;
    descriptor.context = new LeftBehind{RegisterRead{&s.table, &s.target, reg}, &destroyed};
    descriptor.destroyCallback = &DestroyLeftBehind;
    descriptor.hasValue = 1;
    uint64_t token = 0;
    s.Check(s.table.CreateOperation(&descriptor, &token) == OR_NO_ERROR, "create failed");
    tokens.push_back(token);
  }
  s.Check(s.table.Flush() == OR_NO_ERROR, "client 4's flush failed");
  for (size_t i = 0; i < tokens.size(); ++i) {
    const Reg reg = kLeftBehindReads[i];
    s.Record(5, std::string(ReadName(reg)) + " (" + ClientName(kLeavingClient) + ")", tokens[i],
             true, SimulatedTarget::Info(reg).widthBits);
  }
  Say("read PC, SP and CONTROL, and leaves without releasing its " + std::to_string(tokens.size()) +
      " operations");
}

std::string Counts(const OperationReceiptComponent& table, int32_t clientId) {
  uint32_t pending = 0;
  uint32_t executed = 0;
  table.GetPendingOperationCount(clientId, &pending);
  table.GetExecutedOperationCount(clientId, &executed);
  return "GetPendingOperationCount(" + std::to_string(clientId) + ") = " + std::to_string(pending) +
         ", GetExecutedOperationCount(" + std::to_string(clientId) +
         ") = " + std::to_string(executed);
}

uint32_t ReadPc(Session& s, const char* name) {
  const Operation read =
      s.client.Create(name, RegisterRead{&s.table, &s.target, Reg::PC}, OperationOptions{true})
          .operation;
  const auto pc = read.ValueAs<uint32_t>();
  s.Check(pc.ok(), std::string("could not read PC: ") + Hex(pc.code, 8));
  s.Record(5, name, read.token(), true, 32);
  return pc.value;
}

}  // namespace

void SceneClients(Session& s) {
  PrintHeading(5, "two clients at once, and one that leaves",
               "Clients 2 and 3 step the target's PC from their own threads at the same time;\n"
               "then client 4 goes away without releasing its operations, and the disconnect\n"
               "event (delivered on the event broker's own thread) releases them.");
  Say("reading PC, then starting clients 2 and 3 together");
  const uint32_t pcBefore = ReadPc(s, "Read PC before");
  StartGate gate(kStepClientCount);
  std::vector<std::thread> clients;
  for (int i = 0; i < kStepClientCount; ++i) {
    clients.emplace_back(StepClient, std::ref(s), kFirstStepClient + i, std::ref(gate));
  }
  gate.OpenWhenAllArrived();
  for (std::thread& client : clients) client.join();
  Say("both clients have finished; reading PC again");
  const uint32_t pcAfter = ReadPc(s, "Read PC after");
  const uint32_t steps = kStepClientCount * kStepBatches * kStepsPerBatch;
  Say("PC " + Hex(pcBefore, 8) + " -> " + Hex(pcAfter, 8) + ": " + std::to_string(steps) +
      " steps of " + std::to_string(kStepBytes) + " bytes, none lost (how the two clients'");
  Say("steps interleave differs from run to run)");
  s.Check(pcAfter == pcBefore + steps * kStepBytes, "steps were lost");

  std::atomic<int> destroyed{0};
  Say("starting client 4");
  std::thread(LeavingClient, std::ref(s), std::ref(destroyed)).join();
  Say("client 4's thread has ended, its operations have not:");
  Say("  " + Counts(s.table, kLeavingClient));
  const StandInClientEventData event{STANDIN_CLIENT_EVENT_DISCONNECTED, kLeavingClient};
  s.Check(StandIn_PublishEventAsync("Client", "Disconnected", &event, sizeof event) == 0,
          "the disconnect event was not queued");
  Say("published Client/Disconnected for client 4; waiting for the broker to deliver it");
  StandIn_EventFlushAsync();
  Say("after the disconnect:");
  Say("  " + Counts(s.table, kLeavingClient) +
      "; destroy callbacks run: " + std::to_string(destroyed.load()));
  s.Check(destroyed.load() == static_cast<int>(kLeftBehindReads.size()),
          "the disconnect did not destroy client 4's operations");
  StandIn_EventStopDeliveryThread();
}

void ScenePostFlushReport(const std::array<uint64_t, 6>& flushesAfterScene) {
  PrintHeading(6, "the post-flush callback",
               "The component calls one process-wide callback at the end of every flush, on the\n"
               "flushing thread; the demo registered one that counts them.");
  std::string perScene;
  for (size_t scene = 1; scene < flushesAfterScene.size(); ++scene) {
    perScene += (scene > 1 ? ", " : "") + std::string("scene ") + std::to_string(scene) + ": " +
                std::to_string(flushesAfterScene[scene] - flushesAfterScene[scene - 1]);
  }
  Say("flushes counted: " + std::to_string(flushesAfterScene.back() - flushesAfterScene.front()) +
      " (" + perScene + ")");
  Say("explicit Flush calls, batches that ended, and reads that flushed on demand all count");
}

}  // namespace demo
