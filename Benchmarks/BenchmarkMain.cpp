// BenchmarkMain.cpp
//
// The entry point of operation_receipt_benchmarks: prepares the process, describes the run in
// the output's context, registers the benchmarks in the order their ratios need (peers first)
// and runs them. Flags are Google Benchmark's own (--benchmark_format=json, --benchmark_filter,
// --benchmark_out=FILE, ...). Filtering out the asio peer leaves x_asio out of later results.

#include <sys/single_threaded.h>

#include <string>
#include <thread>

#include "BenchSupport.h"
#include "Registration.h"
#include "StandInServices.h"

#if defined(OR_BENCH_HAVE_ASIO)
#include <asio/version.hpp>
#endif

#ifndef OR_BENCH_BUILD_TYPE
#define OR_BENCH_BUILD_TYPE "unknown"
#endif

namespace {

std::string CompilerText() {
#if defined(__clang__)
  std::string text = std::string("clang ") + __clang_version__;
#elif defined(__GNUC__)
  std::string text = std::string("g++ ") + __VERSION__;
#else
  std::string text = "unknown";
#endif
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

std::string AsioText() {
#if defined(OR_BENCH_HAVE_ASIO)
  return "standalone asio " + std::to_string(ASIO_VERSION / 100000) + "." +
         std::to_string(ASIO_VERSION / 100 % 1000) + "." + std::to_string(ASIO_VERSION % 100) +
         ", default io_context, post() N handlers then run() and restart()";
#else
  return "not built (asio.hpp not found): no Peer_AsioPost and no x_asio";
#endif
}

}  // namespace

int main(int argc, char** argv) {
  // Start and join one thread before anything is measured. Until a process has created a
  // thread, glibc and libstdc++ take single-thread fast paths (__libc_single_threaded: no
  // locked instructions in malloc, stdio or shared_ptr reference counts), which would halve
  // some peers' costs compared with any real, multi-threaded host. The switch is one-way.
  std::thread([] {}).join();

  // The component as a host without tracing runs it: every level off, so the component only
  // asks the logging service and never formats a line (E_TraceLines turns levels on for itself).
  StandIn_LoggingSetEnabledLevels(0);
  // The main thread's client id, before its first call to the component.
  StandIn_CommonSetClientId(or_bench::kMainClientId);
  (void)or_bench::Table();

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  benchmark::AddCustomContext("thread_started_before_measuring",
                              std::string("yes: one std::thread started and joined at startup, "
                                          "__libc_single_threaded = ") +
                                  (__libc_single_threaded ? "1" : "0"));
  benchmark::AddCustomContext("compiler", CompilerText());
  benchmark::AddCustomContext("build_type", OR_BENCH_BUILD_TYPE);
  benchmark::AddCustomContext("asio_peer", AsioText());
  benchmark::AddCustomContext("ns_per_op",
                              "wall-clock nanoseconds per operation (per handler for the peers); "
                              "F_Threads: aggregate over all its threads");
  benchmark::AddCustomContext(
      "x_asio",
      "ns_per_op divided by Peer_AsioPost's ns_per_op at the same batch size N; the "
      "asio peer is registered first, so it has run before every benchmark that "
      "divides by it");
  benchmark::AddCustomContext(
      "allocation_counting",
      "replacement operator new/delete and malloc/calloc/realloc/free/memalign wrappers in the "
      "benchmark binary, per-thread counters; bytes_per_op counts usable size + 8-byte chunk "
      "header of the blocks still allocated");
  benchmark::AddCustomContext("logging",
                              "all levels disabled (StandIn_LoggingSetEnabledLevels(0)) except "
                              "in E_TraceLines, whose sink discards the lines");

  or_bench::RegisterPeerBenchmarks();
  or_bench::RegisterLifecycleBenchmarks();
  or_bench::RegisterThreadBenchmarks();
  or_bench::RegisterScaleBenchmarks();

  benchmark::RunSpecifiedBenchmarks();
  or_bench::EnsurePopulation(0);
  benchmark::Shutdown();
  return 0;
}
