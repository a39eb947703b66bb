// main.cpp
//
// The demo's entry point: parses the options, gets the component's table, plays the session (or
// the throughput mode) and checks that nothing it created is left behind.

#include <chrono>
#include <iostream>
#include <string>
#include <vector>

#include "BitData.h"
#include "OperationReceipt.h"
#include "Options.h"
#include "Output.h"
#include "Scenes.h"
#include "StandInServices.h"
#include "Target.h"
#include "Throughput.h"

namespace {

using namespace demo;

void PrintIntroduction(const Options& options) {
  PrintLine("Operation receipts demo: a debug session against a simulated target (seed " +
            std::to_string(options.seed) + ")");
  PrintLine("");
  PrintLine("Every request to the target is an operation. It is queued on the thread that");
  PrintLine("created it, runs when that thread flushes its queue, and is read back by the token");
  PrintLine("(the receipt) it got at creation: state, error code, message and value.");
  PrintLine("");
  PrintLine("The simulated target:");
  for (const Reg reg : kAllRegisters) {
    const RegisterInfo& info = SimulatedTarget::Info(reg);
    std::string name = info.name;
    name.resize(9, ' ');
    PrintLine("  " + name + Hex(info.address, 8) + "  " + (info.widthBits < 10 ? " " : "") +
              std::to_string(info.widthBits) + " bits  " + info.meaning);
  }
  PrintLine("");
  if (options.traceLevels == 0) {
    PrintLine("The component's trace is off; lines starting with '>' are the demo's narration.");
    return;
  }
  PrintLine("Lines in [brackets] are the component's own trace (levels " +
            TraceLevelsText(options.traceLevels) + "), indented by nesting:");
  PrintLine("  [life ] operation lifecycle (0)   [exec ] one operation running (1)");
  PrintLine("  [flush] a flush (2)               [disc ] operations of a disconnected client (3)");
  PrintLine("Lines starting with '>' are the demo's narration of what it did and found.");
}

// True when none of `clients` (nor immediate mode, -1) has an operation left and no bit buffer
// is alive; prints the one-line verdict.
bool CheckEverythingReleased(const OperationReceiptComponent& table, std::vector<int32_t> clients) {
  clients.push_back(-1);
  std::string leftovers;
  std::string checked;
  for (const int32_t client : clients) {
    uint32_t pending = 0;
    uint32_t executed = 0;
    table.GetPendingOperationCount(client, &pending);
    table.GetExecutedOperationCount(client, &executed);
    if (pending != 0 || executed != 0) {
      leftovers += " client " + std::to_string(client) + " has " + std::to_string(pending) +
                   " pending and " + std::to_string(executed) + " executed operations;";
    }
    if (client != -1) checked += (checked.empty() ? "" : ", ") + std::to_string(client);
  }
  const uint64_t buffers = StandIn_BitDataLiveCount();
  if (buffers != 0) leftovers += " " + std::to_string(buffers) + " bit buffers are still alive;";
  if (!leftovers.empty()) {
    std::cerr << "operation_receipt_demo: error: not everything was released:" << leftovers << '\n';
    return false;
  }
  PrintLine("clean exit: no operation left for clients " + checked + ", no bit buffer alive");
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::string problem;
  if (!ParseOptions(argc, argv, options, problem)) {
    std::cerr << "operation_receipt_demo: " << problem << "; try --help\n";
    return 2;
  }
  if (options.help) {
    PrintHelp(std::cout);
    return 0;
  }

  // The component reads a thread's client id once, on the thread's first call.
  StandIn_CommonSetClientId(kMainClient);
  const OperationReceiptComponent* table = nullptr;
  if (Quorvel_GetOperationReceipt(&table) != OR_NO_ERROR || table == nullptr) {
    std::cerr << "operation_receipt_demo: error: the component handed out no table\n";
    return 1;
  }
  SimulatedTarget target(options.seed);

  bool ok = true;
  std::vector<int32_t> clients;
  if (options.throughput) {
    InstallTraceSink(0);
    ok = RunThroughput(*table, target, options.ops, options.threads);
    for (uint32_t i = 0; i < options.threads; ++i) clients.push_back(ThroughputClientId(i));
  } else {
    // A probe's round trip per access, so that the client threads of scene 5 overlap.
    target.SetAccessLatency(std::chrono::milliseconds(1));
    InstallTraceSink(options.traceLevels);
    PrintIntroduction(options);
    Summary summary;
    ok = RunSession(*table, target, summary);
    InstallTraceSink(0);
    PrintLine("");
    PrintLine("== Summary " + std::string(67, '='));
    PrintLine("Every operation of the session as it ended: its state, its error code (0: none,");
    PrintLine("0x7E000001: the target's bus fault) and its value as read from the target");
    PrintLine("('-': it has none).");
    summary.Print();
    clients.assign(kSessionClients.begin(), kSessionClients.end());
  }
  StandIn_EventStopDeliveryThread();
  PrintLine("");
  ok = CheckEverythingReleased(*table, clients) && ok;
  if (!ok) std::cerr << "operation_receipt_demo: error: the run did not go as expected\n";
  return ok ? 0 : 1;
}
