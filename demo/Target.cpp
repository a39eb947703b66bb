// Target.cpp
//
// The simulated register file.

#include "Target.h"

#include <cstdio>
#include <random>
#include <thread>

namespace demo {
namespace {

constexpr uint32_t kBase = 0x40000000u;

constexpr std::array<RegisterInfo, kRegisterCount> kRegisters = {{
    {"PC", kBase + 0x00, 32, false, false, "program counter"},
    {"SP", kBase + 0x04, 32, false, false, "stack pointer"},
    {"STATUS", kBase + 0x08, 8, false, false, "flags 0-3, bit 7 sticky bus fault (write 1 clears)"},
    {"CONTROL", kBase + 0x0C, 16, false, false, "enable bits 0-3 (clear at reset), bit 7 run"},
    {"ID", kBase + 0x10, 32, true, false, "chip id, read-only; bits 24-31 revision"},
    {"FAULTY", kBase + 0x14, 16, false, true, "unclocked peripheral: every access faults"},
}};

constexpr uint32_t kChipId = 0x3B4D2A17u;

size_t Index(Reg reg) { return static_cast<size_t>(reg); }

uint32_t Mask(Reg reg) {
  const unsigned width = kRegisters[Index(reg)].widthBits;
  return width >= 32 ? 0xFFFFFFFFu : (1u << width) - 1u;
}

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

}  // namespace

SimulatedTarget::SimulatedTarget(uint64_t seed) {
  std::mt19937_64 random(seed);
  const auto draw = [&random](uint32_t mask) { return static_cast<uint32_t>(random()) & mask; };
  values_[Index(Reg::PC)] = 0x08000000u | draw(0x0000FFFCu);  // word-aligned code address
  values_[Index(Reg::SP)] = 0x20000000u | draw(0x00007FF8u);  // 8-byte aligned stack
  values_[Index(Reg::STATUS)] = draw(0x7Fu);                  // no sticky fault at reset
  values_[Index(Reg::CONTROL)] = draw(0xFFF0u);               // enable bits 0-3 clear at reset
  values_[Index(Reg::ID)] = kChipId;
  values_[Index(Reg::FAULTY)] = 0;
}

const RegisterInfo& SimulatedTarget::Info(Reg reg) { return kRegisters[Index(reg)]; }

void SimulatedTarget::SetAccessLatency(std::chrono::microseconds latency) {
  latencyMicroseconds_.store(latency.count(), std::memory_order_relaxed);
}

void SimulatedTarget::Travel() const {
  const int64_t latency = latencyMicroseconds_.load(std::memory_order_relaxed);
  if (latency > 0) std::this_thread::sleep_for(std::chrono::microseconds(latency));
}

Access SimulatedTarget::Admit(Reg reg, bool write) {
  const RegisterInfo& info = Info(reg);
  Access access;
  if (info.faults) {
    values_[Index(Reg::STATUS)] |= kStatusStickyFault;
    access.code = kBusFault;
    access.fault = "bus fault at address " + Hex(info.address) + " (" + info.name + ")";
    return access;
  }
  if (write && info.readOnly) {
    access.code = kWriteToReadOnly;
    access.fault =
        std::string("write to read-only register ") + info.name + " at " + Hex(info.address);
    return access;
  }
  ++(write ? writes_ : reads_)[Index(reg)];
  return access;
}

Access SimulatedTarget::Read(Reg reg) {
  Travel();
  std::lock_guard<std::mutex> lock(mutex_);
  Access access = Admit(reg, /*write=*/false);
  if (access.ok()) access.value = values_[Index(reg)];
  return access;
}

Access SimulatedTarget::Write(Reg reg, uint32_t value) {
  Travel();
  std::lock_guard<std::mutex> lock(mutex_);
  Access access = Admit(reg, /*write=*/true);
  if (!access.ok()) return access;
  uint32_t& stored = values_[Index(reg)];
  if (reg == Reg::STATUS) {
    stored &= ~(value & kStatusStickyFault);  // only the sticky bit is writable, and only to clear
  } else {
    stored = value & Mask(reg);
  }
  access.value = stored;
  return access;
}

Access SimulatedTarget::SetBits(Reg reg, uint32_t mask) {
  Travel();
  std::lock_guard<std::mutex> lock(mutex_);
  Access access = Admit(reg, /*write=*/true);
  if (!access.ok()) return access;
  uint32_t& stored = values_[Index(reg)];
  stored = (stored | mask) & Mask(reg);
  access.value = stored;
  return access;
}

Access SimulatedTarget::Add(Reg reg, uint32_t delta) {
  Travel();
  std::lock_guard<std::mutex> lock(mutex_);
  Access access = Admit(reg, /*write=*/true);
  if (!access.ok()) return access;
  uint32_t& stored = values_[Index(reg)];
  stored = (stored + delta) & Mask(reg);
  access.value = stored;
  return access;
}

uint64_t SimulatedTarget::ReadCount(Reg reg) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return reads_[Index(reg)];
}

uint64_t SimulatedTarget::WriteCount(Reg reg) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return writes_[Index(reg)];
}

}  // namespace demo
