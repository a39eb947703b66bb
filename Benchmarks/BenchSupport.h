// BenchSupport.h
//
// What the benchmarks share: the component's table, the trivial callbacks every benchmark's
// operations run, the measurement of one benchmark loop (wall time and allocations, reported as
// the user counters ns_per_op, allocs_per_op, alloc_bytes_per_op and x_asio), the asio peer's
// results that x_asio divides by, and a population of operations held alive for the scale
// benchmarks.
//
// Counters are computed by hand from the wall clock around the loop rather than with
// benchmark::Counter rate flags, because those divide by CPU time, and a flush that waits on the
// pool lock or faults in pages spends wall time that CPU time does not show.
#ifndef OR_BENCH_BENCH_SUPPORT_H_
#define OR_BENCH_BENCH_SUPPORT_H_

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "CountingAllocator.h"
#include "OperationReceipt.h"

namespace or_bench {

// The client id of the main thread, set before its first call to the component.
inline constexpr int32_t kMainClientId = 100;
// Client ids of the threads of the thread benchmarks: kWorkerClientIdBase + thread number.
inline constexpr int32_t kWorkerClientIdBase = 2000;
// Minimum measuring time of the throughput benchmarks, in seconds.
inline constexpr double kMinTime = 0.3;

// The component's table, fetched once.
const OperationReceiptComponent& Table();

// The trivial work every peer and component operation does: increments the uint64_t that
// `context` points to.
uint32_t IncrementCallback(uint64_t token, void* context);

// A descriptor whose execute callback is IncrementCallback on `counter`.
OperationDescriptor CountingDescriptor(uint64_t* counter);

// Wall time, the calling thread's CPU time and its allocations between construction (or Start)
// and Stop.
class Measurement {
 public:
  Measurement() { Start(); }
  void Start();
  void Stop();

  double Seconds() const { return seconds_; }
  const AllocCounts& Allocations() const { return allocations_; }

  // Sets ns_per_op (wall nanoseconds per operation), cpu_ns_per_op (the thread's CPU time per
  // operation: on a busy machine the wall time also holds time the thread spent descheduled),
  // allocs_per_op, alloc_bytes_per_op and, when `asioBatch` is non-zero and the asio peer
  // measured that batch size, x_asio. Returns ns_per_op.
  double Report(benchmark::State& state, double operations, int64_t asioBatch) const;

 private:
  std::chrono::steady_clock::time_point started_;
  double startCpuSeconds_ = 0.0;
  AllocCounts startCounts_;
  double seconds_ = 0.0;
  double cpuSeconds_ = 0.0;
  AllocCounts allocations_;
};

// CPU time consumed by the calling thread so far, in seconds.
double ThreadCpuSeconds();

// Sets ns_per_op, allocs_per_op, alloc_bytes_per_op and x_asio from numbers measured elsewhere
// (the thread benchmarks). Returns ns_per_op.
double ReportCounters(benchmark::State& state, double seconds, const AllocCounts& allocations,
                      double operations, int64_t asioBatch);

// Results that later benchmarks divide by, keyed by name ("asio/64", "lifecycle/64").
// The asio peer benchmarks are registered (and so run) before every component benchmark and
// store their ns/op here; a benchmark whose key is missing (filtered out) omits the ratio.
void StoreResult(const std::string& key, double nsPerOp);
bool FindResult(const std::string& key, double* nsPerOp);

// Makes exactly `count` operations of the main thread live in the pool, beyond what the
// running benchmark creates: created buffered, flushed once (so they are Executed and held by
// the client's reference), kept until a call with another count releases them. The population
// is built once per count, not per benchmark trial, and every benchmark that wants none calls
// EnsurePopulation(0). Releasing ends with a flush, so the pool compacts its table back.
void EnsurePopulation(uint64_t count);

// Fails the benchmark with `what` when `failed` is non-zero. Returns whether it failed.
bool FailIf(benchmark::State& state, uint64_t failed, const char* what);

}  // namespace or_bench

#endif  // OR_BENCH_BENCH_SUPPORT_H_
