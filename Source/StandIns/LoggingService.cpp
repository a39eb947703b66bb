// LoggingService.cpp
//
// The logging service's four entry points, the process-wide level mask and suppression flag, and
// the call counters a host uses to check that a caller asks before it formats.
//
// The mask's starting value comes from QUORVEL_LOG_LEVELS. It is read on first use rather than
// at load time, because nothing in this library may run before the host had a chance to set the
// environment or interpose the functions. Setting the mask also counts as a first use, so a
// later lazy read can never overwrite what the host chose.
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <mutex>

#include "LogLevelParser.h"
#include "LoggingInternal.h"
#include "StandInServices.h"

namespace {

constexpr uint32_t kCountedCalls = 4;

std::once_flag gLevelsRead;
std::atomic<bool> gLevelsKnown{false};  // lets every call after the first skip call_once
std::atomic<uint32_t> gEnabledLevels{0};
std::atomic<bool> gSuppressed{false};
// The call counters are split into shards, one cache line each, picked by the calling thread:
// threads that log side by side then count without taking a shared cache line from each other.
// A count is the sum over the shards.
constexpr size_t kCounterShards = 16;
struct alignas(64) CounterShard {
  std::array<std::atomic<uint64_t>, kCountedCalls> counts{};
};
std::array<CounterShard, kCounterShards> gCallCounts{};

// Initial-exec storage keeps the per-call cost to one register-relative load.
thread_local size_t tShard __attribute__((tls_model("initial-exec"))) = kCounterShards;
std::atomic<size_t> gNextShard{0};

size_t ThreadShard() {
  if (tShard == kCounterShards) {
    tShard = gNextShard.fetch_add(1, std::memory_order_relaxed) % kCounterShards;
  }
  return tShard;
}

void ReadLevelsOnce() {
  if (gLevelsKnown.load(std::memory_order_acquire)) return;
  std::call_once(gLevelsRead, [] {
    gEnabledLevels.store(standin::ParseLogLevels(std::getenv("QUORVEL_LOG_LEVELS")),
                         std::memory_order_relaxed);
    gLevelsKnown.store(true, std::memory_order_release);
  });
}

void CountCall(StandInLoggingCall which) {
  gCallCounts[ThreadShard()].counts[which].fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

extern "C" {

STANDIN_API LoggerHandle Quorvel_LoggingGetLogger(int32_t loggerId) {
  CountCall(StandInLogging_GetLogger);
  // One handle per id without a table: never 0, and the id can be read back from it.
  return static_cast<LoggerHandle>(static_cast<uint32_t>(loggerId)) + 1;
}

STANDIN_API bool Quorvel_LoggingIsLogEnabled(LoggerHandle /*logger*/, uint32_t level) {
  CountCall(StandInLogging_IsLogEnabled);
  if (level >= 32) return false;
  ReadLevelsOnce();
  return ((gEnabledLevels.load(std::memory_order_relaxed) >> level) & 1u) != 0;
}

STANDIN_API bool Quorvel_LoggingIsLoggingSuppressed(void) {
  CountCall(StandInLogging_IsLoggingSuppressed);
  return gSuppressed.load(std::memory_order_relaxed);
}

STANDIN_API uint32_t Quorvel_LoggingLog(LoggerHandle logger, uint32_t level, const char* text,
                                        int32_t nestingDelta) {
  CountCall(StandInLogging_Log);
  standin::DeliverLogLine(logger, level, text == nullptr ? "" : text, nestingDelta);
  return STANDIN_OK;
}

STANDIN_API void StandIn_LoggingSetEnabledLevels(uint32_t mask) {
  ReadLevelsOnce();
  gEnabledLevels.store(mask, std::memory_order_relaxed);
}

STANDIN_API uint32_t StandIn_LoggingGetEnabledLevels(void) {
  ReadLevelsOnce();
  return gEnabledLevels.load(std::memory_order_relaxed);
}

STANDIN_API void StandIn_LoggingSetSuppressed(bool suppressed) {
  gSuppressed.store(suppressed, std::memory_order_relaxed);
}

STANDIN_API uint64_t StandIn_LoggingCallCount(uint32_t which) {
  if (which >= kCountedCalls) return 0;
  uint64_t total = 0;
  for (const CounterShard& shard : gCallCounts) {
    total += shard.counts[which].load(std::memory_order_relaxed);
  }
  return total;
}

STANDIN_API void StandIn_LoggingResetCounters(void) {
  for (CounterShard& shard : gCallCounts) {
    for (auto& count : shard.counts) count.store(0, std::memory_order_relaxed);
  }
}

}  // extern "C"
