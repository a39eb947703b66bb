// ThreadBenchmarks.cpp
//
//   F_Threads/threads:T/N:64  T threads of their own (1 or 2), each with its own client id set
//                             before its first call, each running the buffered lifecycle of
//                             A_Lifecycle in batches of 64 on its own buffer, all at once.
// ns_per_op is the AGGREGATE cost: wall time from the common start to the last thread's end,
// divided by the operations of all threads together. With perfect scaling two threads would
// halve it; with everything serialised on one lock it stays at the one-thread value or rises.
// allocs_per_op sums the threads' allocations. x_asio divides by the one-thread asio peer at N=64.
//
// The threads are started and joined by the benchmark itself rather than with ->Threads(T),
// so that the reported number is unambiguously the aggregate one, thread start-up is outside the
// timed region, and each thread runs the component from its very first call. The benchmark's
// own time column (manual time) is the wall time of one round: one batch on every thread.
// Each row is repeated five times; the report uses the median of the repetitions.

#include <atomic>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "LifecycleBatch.h"
#include "Registration.h"
#include "StandInServices.h"

namespace or_bench {
namespace {

constexpr int64_t kThreadBatch = 64;
constexpr int kThreadRepetitions = 5;

// One cache line each: the threads update their own results on every operation, and sharing a
// line would make the benchmark measure that line moving between cores.
struct alignas(64) ThreadResult {
  BatchOutcome outcome;
  uint64_t executed = 0;
  AllocCounts allocations;
};

void F_Threads(benchmark::State& state) {
  EnsurePopulation(0);
  const int threads = static_cast<int>(state.range(0));
  const int64_t rounds = static_cast<int64_t>(state.max_iterations);
  std::vector<ThreadResult> results(static_cast<size_t>(threads));
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      StandIn_CommonSetClientId(kWorkerClientIdBase + t);
      const OperationReceiptComponent& table = Table();
      ThreadResult& result = results[static_cast<size_t>(t)];
      const OperationDescriptor descriptor = CountingDescriptor(&result.executed);
      std::vector<uint64_t> tokens(kThreadBatch);
      ready.fetch_add(1);
      while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
      const AllocCounts before = ThreadAllocCounts();
      for (int64_t round = 0; round < rounds; ++round) {
        RunLifecycleBatch(table, descriptor, tokens, result.outcome);
      }
      result.allocations = ThreadAllocCounts() - before;
    });
  }
  while (ready.load() != threads) std::this_thread::yield();
  const auto started = std::chrono::steady_clock::now();
  go.store(true, std::memory_order_release);
  for (std::thread& worker : workers) worker.join();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  for (auto _ : state) state.SetIterationTime(seconds / static_cast<double>(rounds));

  AllocCounts allocations;
  uint32_t failed = 0;
  uint64_t executed = 0;
  for (const ThreadResult& result : results) {
    failed |= result.outcome.failed;
    executed += result.executed;
    allocations.allocations += result.allocations.allocations;
    allocations.requestedBytes += result.allocations.requestedBytes;
  }
  const double operations = static_cast<double>(rounds) * kThreadBatch * threads;
  if (FailIf(state, failed, "an entry failed")) return;
  if (FailIf(state, executed != static_cast<uint64_t>(operations), "operations not executed")) {
    return;
  }
  ReportCounters(state, seconds, allocations, operations, kThreadBatch);
  state.counters["threads"] = threads;
}

}  // namespace

void RegisterThreadBenchmarks() {
  benchmark::RegisterBenchmark("F_Threads", F_Threads)
      ->ArgNames({"threads", "N"})
      ->Args({1, kThreadBatch})
      ->Args({2, kThreadBatch})
      ->UseManualTime()
      ->MinTime(kMinTime)
      // Two threads on a two-core machine are the most exposed to anything else running, so
      // these rows are repeated and the report takes the median (the console shows aggregates).
      ->Repetitions(kThreadRepetitions)
      ->DisplayAggregatesOnly(true);
}

}  // namespace or_bench
