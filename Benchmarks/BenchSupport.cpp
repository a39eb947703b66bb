// BenchSupport.cpp
//
// The shared pieces of the benchmarks; see BenchSupport.h.

#include "BenchSupport.h"

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <vector>

namespace or_bench {
namespace {

std::mutex gResultsMutex;
std::map<std::string, double>& Results() {
  static std::map<std::string, double> results;
  return results;
}

struct Population {
  uint64_t counter = 0;
  std::vector<uint64_t> tokens;
};

Population& ThePopulation() {
  static Population population;
  return population;
}

// The component's table or nothing: a benchmark binary without its component cannot measure.
const OperationReceiptComponent* FetchTable() {
  const OperationReceiptComponent* table = nullptr;
  if (Quorvel_GetOperationReceipt(&table) != OR_NO_ERROR || table == nullptr) {
    std::fprintf(stderr, "Quorvel_GetOperationReceipt failed\n");
    std::abort();
  }
  return table;
}

}  // namespace

const OperationReceiptComponent& Table() {
  static const OperationReceiptComponent* const table = FetchTable();
  return *table;
}

uint32_t IncrementCallback(uint64_t /*token*/, void* context) {
  ++*static_cast<uint64_t*>(context);
  return 0;
}

OperationDescriptor CountingDescriptor(uint64_t* counter) {
  OperationDescriptor descriptor{};
  descriptor.name = "bench";
  descriptor.executeCallback = &IncrementCallback;
  descriptor.context = counter;
  return descriptor;
}

double ThreadCpuSeconds() {
  timespec now{};
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) != 0) return 0.0;
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void Measurement::Start() {
  startCounts_ = ThreadAllocCounts();
  startCpuSeconds_ = ThreadCpuSeconds();
  started_ = std::chrono::steady_clock::now();
}

void Measurement::Stop() {
  const auto stopped = std::chrono::steady_clock::now();
  cpuSeconds_ = ThreadCpuSeconds() - startCpuSeconds_;
  allocations_ = ThreadAllocCounts() - startCounts_;
  seconds_ = std::chrono::duration<double>(stopped - started_).count();
}

double Measurement::Report(benchmark::State& state, double operations, int64_t asioBatch) const {
  if (operations > 0) state.counters["cpu_ns_per_op"] = cpuSeconds_ * 1e9 / operations;
  return ReportCounters(state, seconds_, allocations_, operations, asioBatch);
}

double ReportCounters(benchmark::State& state, double seconds, const AllocCounts& allocations,
                      double operations, int64_t asioBatch) {
  if (operations <= 0) return 0.0;
  const double nsPerOp = seconds * 1e9 / operations;
  state.counters["ns_per_op"] = nsPerOp;
  state.counters["allocs_per_op"] = static_cast<double>(allocations.allocations) / operations;
  state.counters["alloc_bytes_per_op"] =
      static_cast<double>(allocations.requestedBytes) / operations;
  double asioNs = 0.0;
  if (asioBatch != 0 && FindResult("asio/" + std::to_string(asioBatch), &asioNs) && asioNs > 0) {
    state.counters["x_asio"] = nsPerOp / asioNs;
  }
  return nsPerOp;
}

void StoreResult(const std::string& key, double nsPerOp) {
  std::lock_guard<std::mutex> lock(gResultsMutex);
  Results()[key] = nsPerOp;
}

bool FindResult(const std::string& key, double* nsPerOp) {
  std::lock_guard<std::mutex> lock(gResultsMutex);
  const auto found = Results().find(key);
  if (found == Results().end()) return false;
  *nsPerOp = found->second;
  return true;
}

void EnsurePopulation(uint64_t count) {
  Population& population = ThePopulation();
  if (population.tokens.size() == count) return;
  const OperationReceiptComponent& table = Table();
  uint32_t failed = 0;
  if (!population.tokens.empty()) {
    for (const uint64_t token : population.tokens) failed |= table.ReleaseOperation(token);
    std::vector<uint64_t>().swap(population.tokens);
    failed |= table.Flush();  // compacts the table back
  }
  if (count != 0) {
    population.tokens.resize(count);
    const OperationDescriptor descriptor = CountingDescriptor(&population.counter);
    for (uint64_t& token : population.tokens) failed |= table.CreateOperation(&descriptor, &token);
    failed |= table.Flush();
  }
  if (failed != 0) {
    std::fprintf(stderr, "building a population of %llu operations failed (0x%x)\n",
                 static_cast<unsigned long long>(count), failed);
    std::abort();
  }
}

bool FailIf(benchmark::State& state, uint64_t failed, const char* what) {
  if (failed == 0) return false;
  state.SkipWithError(what);
  return true;
}

}  // namespace or_bench
