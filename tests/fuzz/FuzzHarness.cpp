// FuzzHarness.cpp
//
// The fuzzer's model, its worker threads and the callbacks of the operations it creates.
// The actions themselves (create, release, reads, links, ...) are in FuzzActions.cpp.

#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>

#include "FuzzHarness.h"
#include "FuzzInternal.h"

namespace or_fuzz {

Harness& H() {
  static Harness harness;
  return harness;
}

thread_local int tSlot = 0;

constexpr uint64_t kMaxRetirements = 100000;

void Trace(const char* format, ...) {
  if (!H().trace) return;
  std::va_list arguments;
  va_start(arguments, format);
  std::fprintf(stderr, "[slot %d depth %d] ", tSlot, H().depth);
  std::vfprintf(stderr, format, arguments);
  std::fputc('\n', stderr);
  va_end(arguments);
}

[[noreturn]] void Fail(const char* what, const Track* track, uint64_t detail) {
  std::fprintf(stderr, "\n*** operation-receipt fuzzer: %s (detail 0x%llx)\n", what,
               static_cast<unsigned long long>(detail));
  if (track != nullptr) {
    std::fprintf(stderr,
                 "    token %llu held %d executions %d destroys %d counted %d immediate %d "
                 "dead %d tainted %d pinned %d slot %d\n",
                 static_cast<unsigned long long>(track->token), track->held, track->executions,
                 track->destroys, track->counted, track->immediate, track->dead, track->tainted,
                 track->pinned, track->ownerSlot);
  }
  std::abort();
}

// ---- Worker threads: each runs one handed-over task at a time, while the fuzzer's thread waits.

namespace {

class Worker {
 public:
  explicit Worker(int slot) : slot_(slot) { Start(); }

  void Run(const std::function<void()>& task) {
    std::unique_lock<std::mutex> lock(mutex_);
    task_ = &task;
    changed_.notify_all();
    changed_.wait(lock, [&] { return task_ == nullptr; });
  }

  void Restart() {
    Stop();
    Start();
  }

  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      quit_ = true;
      changed_.notify_all();
    }
    thread_.join();
    quit_ = false;
  }

 private:
  void Start() {
    thread_ = std::thread([this] {
      tSlot = slot_;
      StandIn_CommonSetClientId(kClientBase + slot_);
      std::unique_lock<std::mutex> lock(mutex_);
      for (;;) {
        changed_.wait(lock, [&] { return task_ != nullptr || quit_; });
        if (task_ == nullptr) return;  // quit
        const std::function<void()>* task = task_;
        lock.unlock();
        (*task)();
        lock.lock();
        task_ = nullptr;
        changed_.notify_all();
      }
    });
  }

  const int slot_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  const std::function<void()>* task_ = nullptr;
  bool quit_ = false;
};

// Never destroyed: the workers wait for tasks until the process exits, when they end (so that
// their per-thread state in the component and the services is torn down before the leak check).
Worker* workers[kSlots] = {};

void StopWorkers() {
  for (Worker* worker : workers) {
    if (worker != nullptr) worker->Stop();
  }
}

}  // namespace

int CurrentSlot() { return tSlot; }

void OnSlot(int slot, const std::function<void()>& task) {
  if (slot == 0) {
    task();
  } else {
    workers[slot]->Run(task);
  }
}

void OnCurrentThread(void (*body)(void*), void* argument) {
  OnSlot(H().current, [&] { body(argument); });
}

void SwitchTo(int slot) { H().current = slot % kSlots; }

void RetireCurrentWorker() {
  const int slot = H().current;
  if (slot == 0) return;
  // Its buffer is flushed first: a thread that ends abandons what it still buffers.
  OnSlot(slot, [] { Flush(); });
  // The logging stand-in keeps a small counter block for every thread that ever logged, so
  // thread ends are capped to keep a long run's memory flat; past the cap a retire only flushes.
  static uint64_t retired = 0;
  if (++retired > kMaxRetirements) return;
  workers[slot]->Restart();
  ++H().generation[slot];
}

// ---- Callbacks. The context is the operation's Track (or null).

namespace {

void LearnToken(Track* track, uint64_t token) {
  if (track->token == 0) {
    track->token = token;
  } else if (track->token != token) {
    Fail("a callback was given another token than the operation's", track, token);
  }
}

}  // namespace

uint32_t OnExecute(uint64_t token, void* context) {
  Track* track = static_cast<Track*>(context);
  if (track == nullptr) return 0;
  LearnToken(track, token);
  Trace("execute %llu", static_cast<unsigned long long>(token));
  if (++track->executions > 1) Fail("an operation was executed twice", track);
  uint32_t state = 99;
  if (H().table->GetOperationState(token, &state) != 0 || state != OperationState_Executing) {
    Fail("an executing operation does not answer Executing", track, state);
  }
  bool immediate = false;
  if (H().table->IsImmediateMode(&immediate) != 0 || !immediate) {
    Fail("an execute callback runs outside immediate mode", track);
  }
  RunActions(track->executeActions, track);
  return track->executeResult;
}

uint32_t OnValue(uint64_t token, void* context, BitData* value) {
  Track* track = static_cast<Track*>(context);
  if (track == nullptr) return 0;
  LearnToken(track, token);
  Trace("value callback %llu", static_cast<unsigned long long>(token));
  if (value == nullptr) Fail("a value callback was told of no value", track);
  if (track->dead) Fail("a value callback ran for a destroyed operation", track);
  RunActions(track->valueActions & (kActCreate | kActFlush | kActRead | kActSetError), track);
  return track->valueResult;
}

void OnDestroy(void* context) {
  Track* track = static_cast<Track*>(context);
  track->dead = true;
  Trace("destroy %llu", static_cast<unsigned long long>(track->token));
  if (++track->destroys > 1) Fail("an operation was destroyed twice", track);
  if (track->held > 0) Fail("an operation was destroyed while the harness holds it", track);
  if (track->token != 0) {
    uint32_t state = 99;
    const uint32_t result = H().table->GetOperationState(track->token, &state);
    if (result != OR_INVALID_OPERATION_TOKEN || state != 99) {
      Fail("a token still answers in its destroy callback", track, result);
    }
  }
  RunActions(track->destroyActions & ~kActSetError, track);
}

uint32_t OnPostFlush() {
  Harness& h = H();
  if (h.cleaning) return 0;
  RunActions(h.postFlushActions & ~(kActSetError | kActSetValue | kActRelease), nullptr);
  return h.postFlushCode;
}

// ---- Set-up and the end of an input.

void InitializeOnce() {
  Harness& h = H();
  if (Quorvel_GetOperationReceipt(&h.table) != 0 || h.table == nullptr) Fail("no table");
  StandIn_CommonSetClientId(kClientBase);
  StandIn_LoggingSetSink(StandIn_LoggingDiscardSink, nullptr);
  StandIn_LoggingStopRecording();
  if (h.table->SetPostFlushCallback(OnPostFlush) != 0) Fail("post-flush callback refused");
  for (int slot = 1; slot < kSlots; ++slot) workers[slot] = new Worker(slot);
  std::atexit(StopWorkers);
  const char* aligned = std::getenv("OR_FUZZ_ALIGNED_ONLY");
  h.alignedOnly = aligned != nullptr && aligned[0] == '1';
  const char* trace = std::getenv("OR_FUZZ_TRACE");
  h.trace = trace != nullptr && trace[0] == '1';
}

void BeginInput(int budget) {
  Harness& h = H();
  h.tracks.clear();
  h.current = 0;
  h.budget = budget;
  h.depth = 0;
  h.cleaning = false;
  h.postFlushCode = 0;
  h.postFlushActions = 0;
  h.postFlushPick = 0;
  h.liveBitsAtStart = StandIn_BitDataLiveCount();
  StandIn_ErrorClearPosts();
}

void EndInput() {
  Harness& h = H();
  h.cleaning = true;
  h.current = 0;
  for (int slot = 0; slot < kSlots; ++slot) OnSlot(slot, [] { Flush(); });
  // Values are resolved before the last references go: a value link holds its source until its
  // destination's value is built, so links on a cycle would otherwise hold each other forever.
  // A read that returns a flush's error has not built the value yet; the second one does.
  for (Track& track : h.tracks) {
    if (track.held == 0 || track.dead) continue;
    for (int i = 0; i < 2; ++i) {
      BitData* copy = nullptr;
      if (h.table->GetValue(track.token, &copy) == 0) BitData_FreeManaged(copy);
    }
  }
  for (Track& track : h.tracks) {
    while (track.held > 0) ReleaseHeld(&track, false);
  }
  for (Track& track : h.tracks) {
    if (track.counted && track.destroys != 1) Fail("an operation was never destroyed", &track);
    if (track.token != 0) {
      uint32_t state = 99;
      if (h.table->GetOperationState(track.token, &state) != OR_INVALID_OPERATION_TOKEN) {
        Fail("an operation outlived every reference", &track, state);
      }
    }
  }
  for (int32_t key : {kClientBase, kClientBase + 1, kClientBase + 2, -1}) {
    uint32_t pending = 1, executed = 1;
    if (h.table->GetPendingOperationCount(key, &pending) != 0 ||
        h.table->GetExecutedOperationCount(key, &executed) != 0 || pending != 0 ||
        executed != 0) {
      Fail("operations are left in the pool", nullptr,
           (static_cast<uint64_t>(pending) << 32) | executed);
    }
  }
  if (StandIn_BitDataLiveCount() != h.liveBitsAtStart) {
    Fail("bit buffers leaked or freed twice", nullptr,
         StandIn_BitDataLiveCount() - h.liveBitsAtStart);
  }
  h.tracks.clear();
  h.cleaning = false;
}

}  // namespace or_fuzz
