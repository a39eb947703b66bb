// Throughput.cpp
//
// Each thread works as its own client: it creates register reads through the C table in batches
// of kBatch, flushes each batch, reads every value back and releases the operation. Threads start
// together; each times its own loop, and the total is timed from the common start to the last
// thread's end.

#include "Throughput.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <future>
#include <thread>
#include <vector>

#include "Output.h"
#include "Scenes.h"
#include "StandInServices.h"

namespace demo {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kBatch = 64;
constexpr int32_t kFirstClientId = 101;
constexpr std::array<Reg, 5> kReadable = {Reg::PC, Reg::SP, Reg::STATUS, Reg::CONTROL, Reg::ID};

struct WorkerResult {
  Clock::time_point start;
  Clock::time_point end;
  uint64_t failures = 0;
};

void Worker(const OperationReceiptComponent& table, SimulatedTarget& target, uint32_t index,
            uint64_t ops, std::shared_future<void> go, WorkerResult& result) {
  StandIn_CommonSetClientId(ThroughputClientId(index));  // before the first call
  std::array<RegisterRead, kReadable.size()> reads{};
  for (size_t i = 0; i < kReadable.size(); ++i) reads[i] = {&table, &target, kReadable[i]};
  std::array<uint64_t, kBatch> tokens{};
  go.wait();

  result.start = Clock::now();
  for (uint64_t done = 0; done < ops;) {
    const size_t count = static_cast<size_t>(std::min<uint64_t>(kBatch, ops - done));
    for (size_t i = 0; i < count; ++i) {
      RegisterRead& read = reads[(done + i) % reads.size()];
      OperationDescriptor descriptor{};
      descriptor.name = ReadName(read.reg);
      descriptor.executeCallback = &ExecuteRegisterRead;
      descriptor.context = &read;
      descriptor.hasValue = 1;
      if (table.CreateOperation(&descriptor, &tokens[i]) != OR_NO_ERROR) ++result.failures;
    }
    if (table.Flush() != OR_NO_ERROR) ++result.failures;
    for (size_t i = 0; i < count; ++i) {
      uint32_t value = 0;
      if (table.GetValueUInt32(tokens[i], &value) != OR_NO_ERROR) ++result.failures;
      if (table.ReleaseOperation(tokens[i]) != OR_NO_ERROR) ++result.failures;
    }
    done += count;
  }
  result.end = Clock::now();
}

// 1234567 as "1,234,567".
std::string Grouped(uint64_t value) {
  std::string digits = std::to_string(value);
  for (size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
  return digits;
}

// "1 flush", "2 flushes".
std::string Count(uint64_t count, const std::string& one, const std::string& many) {
  return Grouped(count) + " " + (count == 1 ? one : many);
}

std::string Column(std::string text, size_t width) {
  if (text.size() < width) text.insert(0, width - text.size(), ' ');
  return text;
}

void PrintRow(const std::string& thread, const std::string& client, uint64_t ops, double seconds) {
  const double perSecond = seconds > 0 ? static_cast<double>(ops) / seconds : 0.0;
  const double nanoseconds = ops > 0 ? seconds * 1e9 / static_cast<double>(ops) : 0.0;
  char secondsText[32];
  std::snprintf(secondsText, sizeof secondsText, "%.3f", seconds);
  PrintLine("  " + Column(thread, 6) + Column(client, 8) + Column(Grouped(ops), 14) +
            Column(secondsText, 10) + Column(Grouped(static_cast<uint64_t>(perSecond)), 14) +
            Column(std::to_string(static_cast<uint64_t>(nanoseconds + 0.5)), 8));
}

}  // namespace

int32_t ThroughputClientId(uint32_t index) { return kFirstClientId + static_cast<int32_t>(index); }

bool RunThroughput(const OperationReceiptComponent& table, SimulatedTarget& target, uint64_t ops,
                   uint32_t threads) {
  PrintLine("Throughput: " + Count(threads, "thread", "threads") + " x " +
            Count(ops, "register read", "register reads") + " each, " + std::to_string(kBatch) +
            " per flush, trace off");
  const uint32_t registered = RegisterFlushCounter(table);
  const uint64_t flushesBefore = FlushCount();

  std::vector<WorkerResult> results(threads);
  std::vector<std::thread> workers;
  std::promise<void> start;
  const std::shared_future<void> go = start.get_future().share();
  for (uint32_t i = 0; i < threads; ++i) {
    workers.emplace_back(Worker, std::cref(table), std::ref(target), i, ops, go,
                         std::ref(results[i]));
  }
  start.set_value();
  for (std::thread& worker : workers) worker.join();

  PrintLine("  " + Column("thread", 6) + Column("client", 8) + Column("operations", 14) +
            Column("seconds", 10) + Column("ops/second", 14) + Column("ns/op", 8));
  Clock::time_point first = results.front().start;
  Clock::time_point last = results.front().end;
  uint64_t failures = 0;
  for (uint32_t i = 0; i < threads; ++i) {
    const WorkerResult& result = results[i];
    first = std::min(first, result.start);
    last = std::max(last, result.end);
    failures += result.failures;
    PrintRow(std::to_string(i + 1), std::to_string(ThroughputClientId(i)), ops,
             std::chrono::duration<double>(result.end - result.start).count());
  }
  PrintRow("all", "", ops * threads, std::chrono::duration<double>(last - first).count());
  PrintLine(
      "  (per thread: its own operations over its own time; all: every operation over the"
      " wall time)");

  const uint64_t batches = threads * ((ops + kBatch - 1) / kBatch);
  const uint64_t flushes = FlushCount() - flushesBefore;
  PrintLine("  the post-flush callback counted " + Count(flushes, "flush", "flushes") + " for " +
            Count(batches, "batch", "batches"));
  if (registered != OR_NO_ERROR || flushes != batches || failures != 0) {
    PrintLine("  ! unexpected: " + Grouped(failures) + " failed calls, " + Grouped(flushes) +
              " flushes for " + Grouped(batches) + " batches");
    return false;
  }
  return true;
}

}  // namespace demo
