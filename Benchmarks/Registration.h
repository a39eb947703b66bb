// Registration.h
//
// Each benchmark file registers its benchmarks through one function, and BenchmarkMain.cpp calls
// them in a fixed order, because Google Benchmark runs benchmarks in registration order and the
// component benchmarks divide by results of the peers (x_asio) and of the lifecycle benchmark
// (the trace-line cost). Static registration would leave the order between files to the linker.
#ifndef OR_BENCH_REGISTRATION_H_
#define OR_BENCH_REGISTRATION_H_

namespace or_bench {

// Peers: asio io_context, deque of std::function, function-pointer loop. Must run first.
void RegisterPeerBenchmarks();
// The component on one thread: lifecycle, values, immediate mode, links, trace lines.
void RegisterLifecycleBenchmarks();
// The component on one and two threads of their own, aggregate cost.
void RegisterThreadBenchmarks();
// Bytes per live operation, the lifecycle with many live operations, and compaction.
void RegisterScaleBenchmarks();

}  // namespace or_bench

#endif  // OR_BENCH_REGISTRATION_H_
