// PeerBenchmarks.cpp
//
// Peers doing the same deferred work as the component's buffered lifecycle: N units of work are
// queued, then run oldest first, each incrementing a counter.
//   Peer_AsioPost            N handlers posted to a standalone-asio io_context, then run()
//   Peer_DequeFunction       N std::function<void()> pushed to a std::deque, then popped and called
//   Peer_FunctionPointerLoop N calls through function pointers read from memory (the floor)
// The asio peer stores its ns/op per N (key "asio/N"); every later benchmark's x_asio divides by
// it, which is why these are registered before everything else.

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "Registration.h"

#if defined(OR_BENCH_HAVE_ASIO)
#include <asio.hpp>
#endif

namespace or_bench {
namespace {

constexpr int64_t kBatchSizes[] = {1, 64, 4096};

#if defined(OR_BENCH_HAVE_ASIO)
void Peer_AsioPost(benchmark::State& state) {
  const int64_t batch = state.range(0);
  asio::io_context context;
  uint64_t counter = 0;
  Measurement measurement;
  for (auto _ : state) {
    for (int64_t i = 0; i < batch; ++i) asio::post(context, [&counter] { ++counter; });
    context.run();
    context.restart();
  }
  measurement.Stop();
  const double operations = static_cast<double>(state.iterations()) * static_cast<double>(batch);
  if (FailIf(state, counter != static_cast<uint64_t>(operations), "handlers missed")) return;
  // No x_asio on the asio peer itself: it is the denominator.
  StoreResult("asio/" + std::to_string(batch), measurement.Report(state, operations, 0));
}
#endif

void Peer_DequeFunction(benchmark::State& state) {
  const int64_t batch = state.range(0);
  std::deque<std::function<void()>> queue;
  uint64_t counter = 0;
  Measurement measurement;
  for (auto _ : state) {
    for (int64_t i = 0; i < batch; ++i) queue.emplace_back([&counter] { ++counter; });
    while (!queue.empty()) {
      queue.front()();
      queue.pop_front();
    }
  }
  measurement.Stop();
  const double operations = static_cast<double>(state.iterations()) * static_cast<double>(batch);
  if (FailIf(state, counter != static_cast<uint64_t>(operations), "handlers missed")) return;
  StoreResult("deque/" + std::to_string(batch), measurement.Report(state, operations, batch));
}

using Handler = void (*)(uint64_t*);

// Kept out of line so that each call is a real indirect call.
__attribute__((noinline)) void IncrementHandler(uint64_t* counter) { ++*counter; }

void Peer_FunctionPointerLoop(benchmark::State& state) {
  const int64_t batch = state.range(0);
  std::vector<Handler> handlers(static_cast<size_t>(batch), &IncrementHandler);
  uint64_t counter = 0;
  Measurement measurement;
  for (auto _ : state) {
    // The pointers may have changed as far as the compiler knows: no call is devirtualised.
    benchmark::DoNotOptimize(handlers.data());
    for (const Handler handler : handlers) handler(&counter);
    benchmark::ClobberMemory();
  }
  measurement.Stop();
  const double operations = static_cast<double>(state.iterations()) * static_cast<double>(batch);
  if (FailIf(state, counter != static_cast<uint64_t>(operations), "handlers missed")) return;
  StoreResult("direct/" + std::to_string(batch), measurement.Report(state, operations, batch));
}

void ForEachBatch(benchmark::internal::Benchmark* benchmark) {
  benchmark->ArgName("N");
  for (const int64_t batch : kBatchSizes) benchmark->Arg(batch);
  benchmark->UseRealTime()->MinTime(kMinTime);
}

}  // namespace

void RegisterPeerBenchmarks() {
#if defined(OR_BENCH_HAVE_ASIO)
  benchmark::RegisterBenchmark("Peer_AsioPost", Peer_AsioPost)->Apply(ForEachBatch);
#endif
  benchmark::RegisterBenchmark("Peer_DequeFunction", Peer_DequeFunction)->Apply(ForEachBatch);
  benchmark::RegisterBenchmark("Peer_FunctionPointerLoop", Peer_FunctionPointerLoop)
      ->Apply(ForEachBatch);
}

}  // namespace or_bench
