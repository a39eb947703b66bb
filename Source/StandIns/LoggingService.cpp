// LoggingService.cpp
//
// The logging service's four entry points, the process-wide level mask and suppression flag, and
// the call counters a host uses to check that a caller asks before it formats.
//
// The mask's starting value comes from QUORVEL_LOG_LEVELS. It is read on first use rather than
// at load time, because nothing in this library may run before the host had a chance to set the
// environment or interpose the functions. The mask and a "known" bit share one atomic word, so
// the enabled question is one load once the mask is known; the first reader installs the
// environment's mask only if the word is still unknown, so a lazy read can never overwrite what
// the host chose.
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "LogLevelParser.h"
#include "LoggingInternal.h"
#include "StandInServices.h"

namespace {

constexpr uint32_t kCountedCalls = 4;

constexpr uint64_t kLevelsKnown = uint64_t{1} << 32;
std::atomic<uint64_t> gLevels{0};  // kLevelsKnown | mask, or 0 until the mask is first needed
std::atomic<bool> gSuppressed{false};

// Each thread counts its calls in a block of its own, written only by that thread with plain
// atomic loads and stores (no read-modify-write), so counting costs a thread next to nothing and
// threads that log side by side never share a cache line. A count is the sum over all blocks;
// blocks are kept after their thread ends, so its calls stay counted. A reset while other
// threads are logging may miss calls they are counting at that moment.
struct alignas(64) CounterBlock {
  std::array<std::atomic<uint64_t>, kCountedCalls> counts{};
};
// The list and its mutex are never destroyed: threads may still count while the process exits,
// and the blocks stay reachable through the list to the end.
struct CounterBlocks {
  std::mutex mutex;
  std::vector<CounterBlock*> blocks;
};
CounterBlocks& Blocks() {
  static CounterBlocks* const blocks = new CounterBlocks();
  return *blocks;
}

// Initial-exec storage keeps the per-call cost to one register-relative load.
thread_local CounterBlock* tBlock __attribute__((tls_model("initial-exec"))) = nullptr;

// The calling thread's first count: a block of its own, kept in the list for good.
__attribute__((noinline, cold)) CounterBlock& NewThreadBlock() {
  auto* block = new CounterBlock();
  CounterBlocks& all = Blocks();
  std::lock_guard<std::mutex> lock(all.mutex);
  all.blocks.push_back(block);
  tBlock = block;
  return *block;
}

inline void CountCall(StandInLoggingCall which) {
  CounterBlock& block = tBlock != nullptr ? *tBlock : NewThreadBlock();
  std::atomic<uint64_t>& count = block.counts[which];
  count.store(count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

__attribute__((noinline, cold)) uint32_t ReadLevelsFromEnvironment() {
  const uint64_t parsed =
      kLevelsKnown | standin::ParseLogLevels(std::getenv("QUORVEL_LOG_LEVELS"));
  uint64_t seen = 0;
  // Fails only when the host (or another first reader) set the word meanwhile; that value stands.
  gLevels.compare_exchange_strong(seen, parsed, std::memory_order_relaxed);
  return static_cast<uint32_t>(seen == 0 ? parsed : seen);
}

inline uint32_t EnabledLevels() {
  const uint64_t levels = gLevels.load(std::memory_order_relaxed);
  return levels != 0 ? static_cast<uint32_t>(levels) : ReadLevelsFromEnvironment();
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
  return level < 32 && ((EnabledLevels() >> level) & 1u) != 0;
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
  gLevels.store(kLevelsKnown | mask, std::memory_order_relaxed);
}

STANDIN_API uint32_t StandIn_LoggingGetEnabledLevels(void) { return EnabledLevels(); }

STANDIN_API void StandIn_LoggingSetSuppressed(bool suppressed) {
  gSuppressed.store(suppressed, std::memory_order_relaxed);
}

STANDIN_API uint64_t StandIn_LoggingCallCount(uint32_t which) {
  if (which >= kCountedCalls) return 0;
  CounterBlocks& all = Blocks();
  std::lock_guard<std::mutex> lock(all.mutex);
  uint64_t total = 0;
  for (const CounterBlock* block : all.blocks) {
    total += block->counts[which].load(std::memory_order_relaxed);
  }
  return total;
}

STANDIN_API void StandIn_LoggingResetCounters(void) {
  CounterBlocks& all = Blocks();
  std::lock_guard<std::mutex> lock(all.mutex);
  for (CounterBlock* block : all.blocks) {
    for (auto& count : block->counts) count.store(0, std::memory_order_relaxed);
  }
}

}  // extern "C"
