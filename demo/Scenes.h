// Scenes.h
//
// The debug session the demo plays against the simulated target, scene by scene, and the
// building blocks its operations are made of (also used by the throughput mode).
#ifndef OPERATION_RECEIPT_DEMO_SCENES_H_
#define OPERATION_RECEIPT_DEMO_SCENES_H_

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "OperationReceipt.hpp"
#include "Output.h"
#include "Target.h"

namespace demo {

// Client ids of the session: the main thread, the two stepping threads, the client that leaves.
inline constexpr int32_t kMainClient = 1;
inline constexpr int32_t kFirstStepClient = 2;
inline constexpr int32_t kSecondStepClient = 3;
inline constexpr int32_t kLeavingClient = 4;
inline constexpr std::array<int32_t, 4> kSessionClients = {kMainClient, kFirstStepClient,
                                                           kSecondStepClient, kLeavingClient};

// ---- Building blocks ----------------------------------------------------------------------

// Posts a failed access to the framework's error service and returns its code, which an
// execute callback returns to fail its operation.
uint32_t ReportFault(const Access& access);

// Installs `value` as the operation's value: a managed bit buffer of `widthBits` bits.
uint32_t InstallValue(const OperationReceiptComponent& table, uint64_t token, unsigned widthBits,
                      uint32_t value);

// The work of a register read: reads the register and installs its value.
struct RegisterRead {
  const OperationReceiptComponent* table;
  SimulatedTarget* target;
  Reg reg;
  uint32_t operator()(uint64_t token) const;
};

// An execute callback for the C table; `context` is a RegisterRead.
uint32_t ExecuteRegisterRead(uint64_t token, void* context);

// "Read PC", "Read SP", ...: names that live as long as the program, as the component needs.
const char* ReadName(Reg reg);

// Registers the process-wide post-flush callback, which counts flushes.
uint32_t RegisterFlushCounter(const OperationReceiptComponent& table);
uint64_t FlushCount();

// ---- The session ----------------------------------------------------------------------------

struct Session {
  const OperationReceiptComponent& table;
  operation_receipt::Client client;
  SimulatedTarget& target;
  Summary& summary;
  std::atomic<bool> ok{true};

  Session(const OperationReceiptComponent& t, SimulatedTarget& target_, Summary& summary_)
      : table(t), client(t), target(target_), summary(summary_) {}

  // Prints an "unexpected" line and marks the session failed when `condition` is false.
  bool Check(bool condition, const std::string& what);
  // Adds the operation's state, code and (if it executed and has one) value to the summary.
  void Record(int scene, const std::string& name, uint64_t token, bool withValue,
              unsigned widthBits);
};

// Scenes 1 to 4 (Scenes.cpp) and 5 and 6 (ClientScenes.cpp).
void SceneBufferedReads(Session& session);
void SceneStatusWord(Session& session);
void SceneFailingAccess(Session& session);
void SceneCancelWrites(Session& session);
void SceneClients(Session& session);
void ScenePostFlushReport(const std::array<uint64_t, 6>& flushesAfterScene);

// Plays all six scenes; false when a scene found something it did not expect.
bool RunSession(const OperationReceiptComponent& table, SimulatedTarget& target, Summary& summary);

}  // namespace demo

#endif  // OPERATION_RECEIPT_DEMO_SCENES_H_
