// Target.h
//
// The simulated target the demo debugs: a small memory-mapped register file. Every access takes
// the target's lock, so any number of client threads may work on it at once.
#ifndef OPERATION_RECEIPT_DEMO_TARGET_H_
#define OPERATION_RECEIPT_DEMO_TARGET_H_

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

namespace demo {

enum class Reg : uint8_t { PC, SP, STATUS, CONTROL, ID, FAULTY };
inline constexpr size_t kRegisterCount = 6;
inline constexpr std::array<Reg, kRegisterCount> kAllRegisters = {
    Reg::PC, Reg::SP, Reg::STATUS, Reg::CONTROL, Reg::ID, Reg::FAULTY};

struct RegisterInfo {
  const char* name;
  uint32_t address;
  unsigned widthBits;  // 8, 16 or 32
  bool readOnly;       // writes raise kWriteToReadOnly
  bool faults;         // every access raises kBusFault
  const char* meaning;
};

// What the target answers to an access that fails; the demo passes these codes on as the
// failing operations' error codes.
inline constexpr uint32_t kBusFault = 0x7E000001u;
inline constexpr uint32_t kWriteToReadOnly = 0x7E000002u;

// STATUS bit 7: set by every bus fault, cleared by writing 1 to it.
inline constexpr uint32_t kStatusStickyFault = 0x80u;

// The outcome of one access.
struct Access {
  uint32_t code = 0;   // 0, kBusFault or kWriteToReadOnly
  uint32_t value = 0;  // the register after the access, when code is 0
  std::string fault;   // what went wrong, when code is not 0
  bool ok() const { return code == 0; }
};

class SimulatedTarget {
 public:
  // Reset values of PC, SP, STATUS and CONTROL are drawn from `seed`; ID is fixed.
  explicit SimulatedTarget(uint64_t seed);
  SimulatedTarget(const SimulatedTarget&) = delete;
  SimulatedTarget& operator=(const SimulatedTarget&) = delete;

  static const RegisterInfo& Info(Reg reg);

  // How long each access takes before it reaches the register file, as a debug probe's round
  // trip would; accesses from several threads overlap while they wait. 0 at construction.
  void SetAccessLatency(std::chrono::microseconds latency);

  Access Read(Reg reg);
  // STATUS bits are write-1-to-clear; other writable registers take the value as written.
  Access Write(Reg reg, uint32_t value);
  // Read-modify-write as one access: value | mask.
  Access SetBits(Reg reg, uint32_t mask);
  // Read-modify-write as one access: value + delta (wraps at the register width).
  Access Add(Reg reg, uint32_t delta);

  uint64_t ReadCount(Reg reg) const;
  uint64_t WriteCount(Reg reg) const;

 private:
  // Checks the access and counts it; the caller holds mutex_. Returns a failed Access or one
  // whose code is 0.
  Access Admit(Reg reg, bool write);
  // Waits for the access latency; called without the lock.
  void Travel() const;

  std::atomic<int64_t> latencyMicroseconds_{0};
  mutable std::mutex mutex_;
  std::array<uint32_t, kRegisterCount> values_{};
  std::array<uint64_t, kRegisterCount> reads_{};
  std::array<uint64_t, kRegisterCount> writes_{};
};

}  // namespace demo

#endif  // OPERATION_RECEIPT_DEMO_TARGET_H_
