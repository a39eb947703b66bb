// LifecycleBenchmarks.cpp
//
// The component through its function table on the main thread, logging disabled unless said:
//   A_Lifecycle        N buffered operations: CreateOperation each, one Flush, GetErrorCode
//                      each, ReleaseOperation each. ns_per_op is per operation; log_queries_per_op
//                      counts the logging service's IsLogEnabled calls (every level is off).
//   B_LifecycleValue32 the same, with the execute callback installing a 32-bit value (a BitData
//                      from BitData_CreateManaged(32) and BitData_SetUpToUInt64, then SetValue),
//                      read back with GetValueUInt32 before the release.
//   C_ImmediateCreate  one buffered outer operation whose execute callback creates K operations;
//                      inside the flush they execute at once (immediate mode) and are released
//                      right away. ns_per_op is per inner operation, the outer one amortised.
//   D_LinkedValue      16 destinations per flush, each with a value assembled from 4 sources
//                      (8-bit values set by their execute callbacks) through LinkValue, then read
//                      with GetValueUInt32. lists:0 passes NULL index lists (every source lands
//                      on bits 0-7), lists:1 a one-run destination list per source (bits 8i to
//                      8i+7). ns_per_op is per created operation (5 per destination).
//   E_TraceLines       A_Lifecycle at N=64 with trace levels enabled (levels:1 is level 0 only,
//                      levels:15 levels 0-3) and a sink that discards the lines. lines_per_op
//                      counts the lines handed to the logging service, and ns_per_line is the
//                      extra time over A_Lifecycle/N:64 divided by those lines.
// Steady state: each benchmark reuses its token storage, so after the first trial the only
// allocations counted are the component's (and, for B and D, the bit-data library's).

#include <vector>

#include "BenchSupport.h"
#include "BitData.h"
#include "LifecycleBatch.h"
#include "Registration.h"
#include "StandInServices.h"

namespace or_bench {
namespace {

constexpr int64_t kBatchSizes[] = {1, 64, 4096};
constexpr int64_t kImmediateCounts[] = {64, 4096};
constexpr int64_t kDestinationsPerFlush = 16;
constexpr int64_t kSourcesPerDestination = 4;
constexpr int64_t kTraceBatch = 64;

void A_Lifecycle(benchmark::State& state) {
  EnsurePopulation(0);
  const int64_t batch = state.range(0);
  const OperationReceiptComponent& table = Table();
  uint64_t executed = 0;
  const OperationDescriptor descriptor = CountingDescriptor(&executed);
  std::vector<uint64_t> tokens(static_cast<size_t>(batch));
  BatchOutcome outcome;
  const uint64_t queriesBefore = StandIn_LoggingCallCount(StandInLogging_IsLogEnabled);
  Measurement measurement;
  for (auto _ : state) RunLifecycleBatch(table, descriptor, tokens, outcome);
  measurement.Stop();
  const uint64_t queries = StandIn_LoggingCallCount(StandInLogging_IsLogEnabled) - queriesBefore;
  const double operations = static_cast<double>(state.iterations()) * static_cast<double>(batch);
  if (FailIf(state, outcome.failed, "an entry failed")) return;
  if (FailIf(state, executed != static_cast<uint64_t>(operations), "operations not executed")) {
    return;
  }
  StoreResult("lifecycle/" + std::to_string(batch), measurement.Report(state, operations, batch));
  // How often the component asks the logging service whether a level is on, with all off.
  state.counters["log_queries_per_op"] = static_cast<double>(queries) / operations;
}

// The execute callback of B: counts, then installs the low 32 bits of the token as the value.
uint32_t SetValue32Callback(uint64_t token, void* context) {
  ++*static_cast<uint64_t*>(context);
  BitData* value = BitData_CreateManaged(32);
  if (value == nullptr) return 1;
  if (BitData_SetUpToUInt64(value, 0, 32, token & 0xFFFFFFFFu) != 0) {
    BitData_FreeManaged(value);
    return 1;
  }
  return Table().SetValue(token, value);
}

void B_LifecycleValue32(benchmark::State& state) {
  EnsurePopulation(0);
  const int64_t batch = state.range(0);
  const OperationReceiptComponent& table = Table();
  uint64_t executed = 0;
  OperationDescriptor descriptor = CountingDescriptor(&executed);
  descriptor.executeCallback = &SetValue32Callback;
  descriptor.hasValue = 1;
  std::vector<uint64_t> tokens(static_cast<size_t>(batch));
  BatchOutcome outcome;
  Measurement measurement;
  for (auto _ : state) RunLifecycleBatch<true>(table, descriptor, tokens, outcome);
  measurement.Stop();
  const double operations = static_cast<double>(state.iterations()) * static_cast<double>(batch);
  if (FailIf(state, outcome.failed, "an entry failed")) return;
  if (FailIf(state, outcome.wrongValues, "a value read back wrong")) return;
  if (FailIf(state, executed != static_cast<uint64_t>(operations), "operations not executed")) {
    return;
  }
  measurement.Report(state, operations, batch);
}

struct ImmediateWork {
  int64_t count = 0;
  uint64_t executed = 0;
  uint32_t failed = 0;
  OperationDescriptor inner{};
};

// The outer operation's execute callback: K operations, each executed by its CreateOperation
// (the thread is flushing, so in immediate mode) and released at once.
uint32_t CreateImmediateOperations(uint64_t /*token*/, void* context) {
  ImmediateWork& work = *static_cast<ImmediateWork*>(context);
  const OperationReceiptComponent& table = Table();
  for (int64_t i = 0; i < work.count; ++i) {
    uint64_t token = 0;
    work.failed |= table.CreateOperation(&work.inner, &token);
    work.failed |= table.ReleaseOperation(token);
  }
  return 0;
}

void C_ImmediateCreate(benchmark::State& state) {
  EnsurePopulation(0);
  const OperationReceiptComponent& table = Table();
  ImmediateWork work;
  work.count = state.range(0);
  work.inner = CountingDescriptor(&work.executed);
  OperationDescriptor outer{};
  outer.name = "outer";
  outer.executeCallback = &CreateImmediateOperations;
  outer.context = &work;
  uint32_t failed = 0;
  Measurement measurement;
  for (auto _ : state) {
    uint64_t token = 0;
    failed |= table.CreateOperation(&outer, &token);
    failed |= table.Flush();
    failed |= table.ReleaseOperation(token);
  }
  measurement.Stop();
  const double operations =
      static_cast<double>(state.iterations()) * static_cast<double>(work.count);
  if (FailIf(state, failed | work.failed, "an entry failed")) return;
  if (FailIf(state, work.executed != static_cast<uint64_t>(operations),
             "operations not executed at once")) {
    return;
  }
  measurement.Report(state, operations, work.count);
}

// A source of D: its execute callback installs its 8-bit value.
struct Source {
  uint64_t* executed = nullptr;
  uint8_t byte = 0;
};

uint32_t SetByteCallback(uint64_t token, void* context) {
  const Source& source = *static_cast<const Source*>(context);
  ++*source.executed;
  BitData* value = BitData_CreateManaged(8);
  if (value == nullptr) return 1;
  if (BitData_SetUpToUInt64(value, 0, 8, source.byte) != 0) {
    BitData_FreeManaged(value);
    return 1;
  }
  return Table().SetValue(token, value);
}

void D_LinkedValue(benchmark::State& state) {
  EnsurePopulation(0);
  const bool withLists = state.range(0) != 0;
  const OperationReceiptComponent& table = Table();
  uint64_t executed = 0;

  Source sources[kSourcesPerDestination];
  OperationDescriptor sourceDescriptors[kSourcesPerDestination];
  // Destination bits 8i .. 8i+7 for source i: one ascending run {start, length} each.
  uint64_t runValues[kSourcesPerDestination][2];
  IndexRun runs[kSourcesPerDestination];
  IndexList lists[kSourcesPerDestination];
  uint32_t expected = 0;
  for (int64_t i = 0; i < kSourcesPerDestination; ++i) {
    sources[i].executed = &executed;
    sources[i].byte = static_cast<uint8_t>(0x11 * (i + 1));
    sourceDescriptors[i] = OperationDescriptor{};
    sourceDescriptors[i].name = "source";
    sourceDescriptors[i].executeCallback = &SetByteCallback;
    sourceDescriptors[i].context = &sources[i];
    sourceDescriptors[i].hasValue = 1;
    runValues[i][0] = static_cast<uint64_t>(8 * i);
    runValues[i][1] = 8;
    runs[i] = IndexRun{1, 1, {0}, runValues[i], runValues[i] + 2, runValues[i] + 2};
    lists[i] = IndexList{&runs[i], &runs[i] + 1, &runs[i] + 1, 8};
    expected = withLists ? expected | (static_cast<uint32_t>(sources[i].byte) << (8 * i))
                         : sources[i].byte;  // NULL lists: every source lands on bits 0-7
  }
  OperationDescriptor destinationDescriptor{};
  destinationDescriptor.name = "destination";
  destinationDescriptor.hasValue = 1;

  std::vector<uint64_t> destinations(kDestinationsPerFlush);
  std::vector<uint64_t> sourceTokens(kDestinationsPerFlush * kSourcesPerDestination);
  uint32_t failed = 0;
  uint64_t wrongValues = 0;
  Measurement measurement;
  for (auto _ : state) {
    for (int64_t d = 0; d < kDestinationsPerFlush; ++d) {
      failed |= table.CreateOperation(&destinationDescriptor, &destinations[d]);
      for (int64_t i = 0; i < kSourcesPerDestination; ++i) {
        uint64_t& source = sourceTokens[d * kSourcesPerDestination + i];
        failed |= table.CreateOperation(&sourceDescriptors[i], &source);
        failed |=
            table.LinkValue(destinations[d], source, withLists ? &lists[i] : nullptr, nullptr);
      }
    }
    failed |= table.Flush();
    for (const uint64_t destination : destinations) {
      uint32_t value = 0;
      failed |= table.GetValueUInt32(destination, &value);
      wrongValues += value != expected;
    }
    for (const uint64_t destination : destinations) failed |= table.ReleaseOperation(destination);
    for (const uint64_t source : sourceTokens) failed |= table.ReleaseOperation(source);
  }
  measurement.Stop();
  const double destinationsBuilt =
      static_cast<double>(state.iterations()) * static_cast<double>(kDestinationsPerFlush);
  const double operations = destinationsBuilt * (kSourcesPerDestination + 1);
  if (FailIf(state, failed, "an entry failed")) return;
  if (FailIf(state, wrongValues, "an assembled value read back wrong")) return;
  if (FailIf(state, executed != static_cast<uint64_t>(destinationsBuilt) * kSourcesPerDestination,
             "sources not executed")) {
    return;
  }
  measurement.Report(state, operations, 0);
  state.counters["ns_per_destination"] = measurement.Seconds() * 1e9 / destinationsBuilt;
}

void E_TraceLines(benchmark::State& state) {
  EnsurePopulation(0);
  const uint32_t levels = static_cast<uint32_t>(state.range(0));
  const OperationReceiptComponent& table = Table();
  uint64_t executed = 0;
  const OperationDescriptor descriptor = CountingDescriptor(&executed);
  std::vector<uint64_t> tokens(kTraceBatch);
  BatchOutcome outcome;
  StandIn_LoggingSetSink(&StandIn_LoggingDiscardSink, nullptr);
  StandIn_LoggingSetEnabledLevels(levels);
  const uint64_t linesBefore = StandIn_LoggingCallCount(StandInLogging_Log);
  Measurement measurement;
  for (auto _ : state) RunLifecycleBatch(table, descriptor, tokens, outcome);
  measurement.Stop();
  const uint64_t lines = StandIn_LoggingCallCount(StandInLogging_Log) - linesBefore;
  StandIn_LoggingSetEnabledLevels(0);
  StandIn_LoggingSetSink(nullptr, nullptr);
  const double operations = static_cast<double>(state.iterations()) * kTraceBatch;
  if (FailIf(state, outcome.failed, "an entry failed")) return;
  if (FailIf(state, lines == 0, "no line was written")) return;
  const double nsPerOp = measurement.Report(state, operations, kTraceBatch);
  const double linesPerOp = static_cast<double>(lines) / operations;
  state.counters["lines_per_op"] = linesPerOp;
  double quietNsPerOp = 0.0;
  if (FindResult("lifecycle/" + std::to_string(kTraceBatch), &quietNsPerOp)) {
    state.counters["ns_per_line"] = (nsPerOp - quietNsPerOp) / linesPerOp;
  }
}

}  // namespace

void RegisterLifecycleBenchmarks() {
  auto* lifecycle = benchmark::RegisterBenchmark("A_Lifecycle", A_Lifecycle)->ArgName("N");
  for (const int64_t batch : kBatchSizes) lifecycle->Arg(batch);
  lifecycle->UseRealTime()->MinTime(kMinTime);

  auto* value = benchmark::RegisterBenchmark("B_LifecycleValue32", B_LifecycleValue32);
  value->ArgName("N");
  for (const int64_t batch : kBatchSizes) value->Arg(batch);
  value->UseRealTime()->MinTime(kMinTime);

  auto* immediate = benchmark::RegisterBenchmark("C_ImmediateCreate", C_ImmediateCreate);
  immediate->ArgName("K");
  for (const int64_t count : kImmediateCounts) immediate->Arg(count);
  immediate->UseRealTime()->MinTime(kMinTime);

  benchmark::RegisterBenchmark("D_LinkedValue", D_LinkedValue)
      ->ArgName("lists")
      ->Arg(0)
      ->Arg(1)
      ->UseRealTime()
      ->MinTime(kMinTime);

  benchmark::RegisterBenchmark("E_TraceLines", E_TraceLines)
      ->ArgName("levels")
      ->Arg(1)
      ->Arg(15)
      ->UseRealTime()
      ->MinTime(kMinTime);
}

}  // namespace or_bench
