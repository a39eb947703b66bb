// ScaleBenchmarks.cpp
//
//   Memory_LiveOperations/value:V/live:L  bytes of heap per live operation: L operations (no
//        value, or V=1: a 32-bit value set by the execute callback) created buffered and flushed,
//        so they are Executed and held by the client's reference. bytes_per_op is the net heap
//        growth (usable size plus glibc's 8-byte chunk header of every block still allocated,
//        from the counting allocator) divided by L; rss_bytes_per_op is the growth of the
//        resident set over the same span, as a cross-check; blocks_per_op the net blocks.
//        retained_bytes_per_op is what is still allocated after all L are released and a flush
//        has compacted the table. One iteration: the number is a size, not a time.
//   Scale_Lifecycle/live:L/N:64  A_Lifecycle at N=64 while L other operations of the same
//        thread stay live in the pool (built once per L before the timed loop, released after).
//   Compaction/grown:G  the table is grown to G live operations (past the compaction threshold
//        of 8192 records), all but every 16th released, then the timed call: a Flush with an empty
//        buffer, which compacts the table. ns_per_compaction is that flush's time,
//        ns_per_kept_record the same divided by the records it keeps, ns_per_grown_record by
//        the records the table had grown to (the old table is freed as a whole).

#include <vector>

#include "BenchSupport.h"
#include "LifecycleBatch.h"
#include "BitData.h"
#include "Registration.h"

namespace or_bench {
namespace {

constexpr int64_t kScaleBatch = 64;
constexpr int64_t kLiveCounts[] = {1000, 100000, 1000000};
constexpr int64_t kMemoryLive = 1000000;
constexpr uint64_t kKeepOneIn = 16;

uint32_t SetValue32(uint64_t token, void* context) {
  ++*static_cast<uint64_t*>(context);
  BitData* value = BitData_CreateManaged(32);
  if (value == nullptr) return 1;
  BitData_SetUpToUInt64(value, 0, 32, token & 0xFFFFFFFFu);
  return Table().SetValue(token, value);
}

void Memory_LiveOperations(benchmark::State& state) {
  EnsurePopulation(0);
  const bool withValue = state.range(0) != 0;
  const uint64_t live = static_cast<uint64_t>(state.range(1));
  const OperationReceiptComponent& table = Table();
  uint64_t executed = 0;
  OperationDescriptor descriptor = CountingDescriptor(&executed);
  if (withValue) {
    descriptor.executeCallback = &SetValue32;
    descriptor.hasValue = 1;
  }
  // The client's own token storage is allocated before the span that is measured.
  std::vector<uint64_t> tokens(live);
  uint32_t failed = 0;
  AllocCounts held;
  AllocCounts retained;
  int64_t residentGrowth = 0;
  for (auto _ : state) {
    SetLiveTracking(true);
    const AllocCounts before = ThreadAllocCounts();
    const uint64_t residentBefore = ResidentBytes();
    for (uint64_t& token : tokens) failed |= table.CreateOperation(&descriptor, &token);
    failed |= table.Flush();
    held = ThreadAllocCounts() - before;
    residentGrowth = static_cast<int64_t>(ResidentBytes()) - static_cast<int64_t>(residentBefore);
    for (const uint64_t token : tokens) failed |= table.ReleaseOperation(token);
    failed |= table.Flush();
    retained = ThreadAllocCounts() - before;
    SetLiveTracking(false);
  }
  if (FailIf(state, failed, "an entry failed")) return;
  const double count = static_cast<double>(live);
  state.counters["bytes_per_op"] = static_cast<double>(held.liveBytes) / count;
  state.counters["blocks_per_op"] = static_cast<double>(held.liveBlocks) / count;
  state.counters["rss_bytes_per_op"] = static_cast<double>(residentGrowth) / count;
  state.counters["allocs_per_op"] = static_cast<double>(held.allocations) / count;
  state.counters["retained_bytes_per_op"] = static_cast<double>(retained.liveBytes) / count;
  state.counters["live"] = count;
}

void Scale_Lifecycle(benchmark::State& state) {
  const int64_t live = state.range(0);
  const int64_t batch = state.range(1);
  EnsurePopulation(static_cast<uint64_t>(live));
  const OperationReceiptComponent& table = Table();
  uint64_t executed = 0;
  const OperationDescriptor descriptor = CountingDescriptor(&executed);
  std::vector<uint64_t> tokens(static_cast<size_t>(batch));
  BatchOutcome outcome;
  Measurement measurement;
  for (auto _ : state) RunLifecycleBatch(table, descriptor, tokens, outcome);
  measurement.Stop();
  const double operations = static_cast<double>(state.iterations()) * static_cast<double>(batch);
  if (FailIf(state, outcome.failed, "an entry failed")) return;
  StoreResult("scale/" + std::to_string(live), measurement.Report(state, operations, batch));
  state.counters["live"] = static_cast<double>(live);
}

void Compaction(benchmark::State& state) {
  EnsurePopulation(0);
  const uint64_t grown = static_cast<uint64_t>(state.range(0));
  const OperationReceiptComponent& table = Table();
  uint64_t executed = 0;
  const OperationDescriptor descriptor = CountingDescriptor(&executed);
  std::vector<uint64_t> tokens(grown);
  uint32_t failed = 0;
  double seconds = 0.0;
  AllocCounts allocations;
  for (auto _ : state) {
    for (uint64_t& token : tokens) failed |= table.CreateOperation(&descriptor, &token);
    failed |= table.Flush();
    for (uint64_t i = 0; i < grown; ++i) {
      if (i % kKeepOneIn != 0) failed |= table.ReleaseOperation(tokens[i]);
    }
    Measurement measurement;
    failed |= table.Flush();  // nothing buffered: the flush is the compaction
    measurement.Stop();
    state.SetIterationTime(measurement.Seconds());
    seconds += measurement.Seconds();
    allocations.allocations += measurement.Allocations().allocations;
    for (uint64_t i = 0; i < grown; i += kKeepOneIn) failed |= table.ReleaseOperation(tokens[i]);
  }
  if (FailIf(state, failed, "an entry failed")) return;
  const double iterations = static_cast<double>(state.iterations());
  const double kept = static_cast<double>((grown + kKeepOneIn - 1) / kKeepOneIn);
  state.counters["ns_per_compaction"] = seconds * 1e9 / iterations;
  state.counters["ns_per_kept_record"] = seconds * 1e9 / iterations / kept;
  state.counters["ns_per_grown_record"] = seconds * 1e9 / iterations / static_cast<double>(grown);
  state.counters["allocs_per_compaction"] =
      static_cast<double>(allocations.allocations) / iterations;
  state.counters["kept"] = kept;
}

}  // namespace

void RegisterScaleBenchmarks() {
  benchmark::RegisterBenchmark("Memory_LiveOperations", Memory_LiveOperations)
      ->ArgNames({"value", "live"})
      ->Args({0, kMemoryLive})
      ->Args({1, kMemoryLive})
      ->Iterations(1)
      ->UseRealTime();

  auto* scale = benchmark::RegisterBenchmark("Scale_Lifecycle", Scale_Lifecycle);
  scale->ArgNames({"live", "N"});
  for (const int64_t live : kLiveCounts) scale->Args({live, kScaleBatch});
  scale->UseRealTime()->MinTime(kMinTime);

  // Fixed iteration counts: each iteration rebuilds the grown table untimed, which costs far
  // more than the timed flush, so an adaptive count would run for minutes.
  benchmark::RegisterBenchmark("Compaction", Compaction)
      ->ArgName("grown")
      ->Arg(16384)
      ->Iterations(40)
      ->UseManualTime();
  benchmark::RegisterBenchmark("Compaction", Compaction)
      ->ArgName("grown")
      ->Arg(131072)
      ->Iterations(8)
      ->UseManualTime();
}

}  // namespace or_bench
