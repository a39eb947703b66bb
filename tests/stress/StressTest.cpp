// StressTest.cpp
//
// Concurrency stress through the table: four slots each run two threads in turn (the first ends
// with operations still buffered), taking weighted steps from one action table on their own and
// on shared operations, while (in the second run) an observer reports the clients of slots 2
// and 3 disconnected. A disconnect drops one reference of each operation of its client; so only
// an "exposed" operation (a disconnect of its key began after those finished before its creation)
// may be refused or destroyed while the harness holds it. At the end only the ended threads'
// abandoned operations live, and a disconnect of each client takes just the buffer's reference.
// The seed is printed; OR_TEST_SEED replays a run's choices (not its interleaving).

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "ModelChecks.h"

namespace {

using or_model::Table;
constexpr uint32_t kInvalid = OR_INVALID_OPERATION_TOKEN;
constexpr int32_t kClientBase = 700;  // thread generation g of slot s works as 700 + 2s + g
constexpr int kSlots = 4, kSteps = 3000, kKeys = 1 + 2 * kSlots;
constexpr size_t kCapacity = 100000;

int KeyIndex(int32_t key) { return key < 0 ? 0 : 1 + (key - kClientBase); }

struct Track {  // also the context of the operation's callbacks
  std::atomic<uint64_t> token{0};
  std::atomic<int> held{0}, executions{0}, destroys{0};
  int32_t key = -1, owner = -1;  // key -1: created in immediate mode; owner: the creating thread
  uint64_t finishedBefore = 0;   // disconnects of `key` finished before the creation
  bool hasExecute = false, abandoned = false;
  uint8_t behaviour = 0;  // what the execute callback does
};

thread_local struct {
  uint8_t u8;
  uint32_t u32;
  uint64_t u64, token;
  char text[16];
} scratch;  // out-parameters
struct Model {
  std::unique_ptr<Track[]> tracks{new Track[kCapacity]};
  std::atomic<size_t> used{0};
  std::atomic<uint64_t> started[kKeys] = {}, finished[kKeys] = {};
  bool strict = true;  // no disconnects in this run
  std::mutex mutex;    // guards the two below
  std::vector<std::string> messages;
  std::vector<std::pair<Track*, int>>
      shared;  // published (operation, publisher), one reference each

  size_t Used() const { return std::min(used.load(), kCapacity); }
  bool Exposed(const Track& track) const {
    return started[KeyIndex(track.key)] > track.finishedBefore;
  }
  void Expect(bool ok, const char* what, const Track* t = nullptr, uint64_t detail = 0) {
    if (ok) return;
    std::lock_guard<std::mutex> lock(mutex);
    if (messages.size() < 20)
      messages.push_back(what + (" " + std::to_string(detail)) + " (token " +
                         std::to_string(t ? t->token.load() : 0) + ")");
  }
};
Model models[2];  // for the whole process: a leaked operation's callbacks find their contexts
Model* M = nullptr;

// How an action's answer is judged. kHeld: 0, or refused only when exposed. kRead (a call that
// may flush or build a value): any code of its own, refused also when the refusal was passed on
// from a neighbour or a link source gone to a disconnect. kOwn: as kRead on the calling thread's
// own operation, refused on another thread's. kAny: the action checks what it needs.
enum Answer { kHeld, kRead, kOwn, kAny };

struct Worker {
  int thread;
  int32_t id;
  std::mt19937_64 random;
  std::vector<Track*> handles, published;  // one entry per reference held

  unsigned Roll(size_t n) { return static_cast<unsigned>(random() % n); }
  Track* Pick() { return handles.empty() ? nullptr : handles[Roll(handles.size())]; }
  void Judge(uint32_t result, const Track& t, Answer answer, const char* what) {
    uint32_t state = 0;
    const bool passedOn =
        answer != kHeld &&
        (result != kInvalid || (!M->strict && Table().GetOperationState(t.token, &state) == 0));
    M->Expect(answer == kOwn && t.owner != thread ? result == kInvalid
                                                  : result == 0 || passedOn || M->Exposed(t),
              what, &t, result);
  }
  Track* Create(bool wantToken) {
    const size_t index = M->used.fetch_add(1);
    if (index >= kCapacity) return nullptr;
    Track& t = M->tracks[index];
    const bool immediate = or_model::Immediate();
    t.key = immediate ? -1 : id;
    t.finishedBefore = M->finished[KeyIndex(t.key)];
    t.owner = thread;
    t.hasExecute = Roll(8) != 0;
    t.behaviour = immediate ? 0 : static_cast<uint8_t>(Roll(32));
    OperationDescriptor descriptor{"Stress",  t.hasExecute ? OnExecute : nullptr,
                                   OnValue,   &t,
                                   OnDestroy, Roll(3) == 0,
                                   {},        Roll(5) == 0,
                                   {}};
    t.held = wantToken;  // the creator's reference exists from allocation on
    const uint32_t result =
        Table().CreateOperation(&descriptor, wantToken ? &scratch.token : nullptr);
    // Without a token the creation gives its reference back, which a disconnect may have taken.
    M->Expect(immediate || result == 0 || (!wantToken && result == kInvalid && M->Exposed(t)),
              "a buffered creation", &t, result);
    if (!wantToken) return nullptr;
    t.token = scratch.token;
    handles.push_back(&t);
    return &t;
  }
  uint32_t Take(Track& t, bool handle) {
    const uint32_t result = Table().AcquireOperation(t.token);
    if (result == 0 && handle) handles.push_back(&t);
    return t.held += result == 0, result;
  }
  uint32_t Release(Track* t) {
    return --t->held, Table().ReleaseOperation(t->token);
  }  // its destroy sees it gone
  uint32_t Drop(Track* t) {
    return handles.erase(std::find(handles.begin(), handles.end(), t)), Release(t);
  }
  uint32_t Flush() {
    uint32_t pending = 1;
    M->Expect(!or_model::Immediate(), "a worker is in immediate mode between calls");
    (void)Table().Flush();
    M->Expect(Table().GetPendingOperationCount(id, &pending) == 0 && pending == 0,
              "a flush left its client's operations pending");
    return 0;
  }
  uint32_t Unpublish() {
    if (published.empty()) return 0;
    Track* t = published.back();
    published.pop_back();
    std::unique_lock<std::mutex> lock(M->mutex);
    M->shared.erase(std::find(M->shared.begin(), M->shared.end(), std::make_pair(t, thread)));
    lock.unlock();
    Judge(Release(t), *t, kHeld, "ReleaseOperation of a published operation");
    return 0;
  }

  static uint32_t OnExecute(uint64_t token, void* context);
  static uint32_t OnValue(uint64_t, void*, BitData* value) {
    return M->Expect(value, "a value callback without a value"), 0;
  }
  static void OnDestroy(void* context) {
    Track& t = *static_cast<Track*>(context);
    M->Expect(t.destroys++ == 0, "an operation was destroyed twice", &t);
    M->Expect(t.held == 0 || M->Exposed(t), "an operation was destroyed while held", &t);
  }
};
thread_local Worker* tWorker = nullptr;

uint32_t Worker::OnExecute(uint64_t token, void* context) {
  Track& t = *static_cast<Track*>(context);
  t.token = token;
  M->Expect(t.executions++ == 0, "an operation was executed twice", &t);
  const char* problem = or_model::ExecutingProblem(token, M->Exposed(t));
  M->Expect(!problem, problem, &t);
  if (t.behaviour & 1) tWorker->Create(t.behaviour & 8);  // executes at once
  BitData* value = t.behaviour & 2 ? or_model::MakeBits(16, token) : nullptr;
  if (value && Table().SetValue(token, value) == kInvalid) BitData_FreeManaged(value);
  if (t.behaviour & 4) (void)Table().SetError(token, 0x66, "from execute");
  return t.behaviour & 16 ? 5 : 0;
}

struct Action {
  const char* name;
  unsigned weight;
  Answer answer;
  uint32_t (*run)(Worker&, Track&);
};
const Action kActions[] = {
    {"CreateOperation", 22, kAny, [](Worker& w, Track&) { return w.Create(w.Roll(10) != 0), 0u; }},
    {"ReleaseOperation", 14, kHeld, [](Worker& w, Track& t) { return w.Drop(&t); }},
    {"AcquireOperation", 4, kHeld, [](Worker& w, Track& t) { return w.Take(t, true); }},
    {"Flush", 7, kAny, [](Worker& w, Track&) { return w.Flush(); }},
    {"FlushOperation", 5, kOwn,
     [](Worker& w, Track& t) {
       uint32_t state = 99;
       const uint32_t result = Table().FlushOperation(t.token);
       M->Expect(t.owner != w.thread || Table().GetOperationState(t.token, &state) != 0 ||
                     state != OperationState_Pending,
                 "FlushOperation left its operation pending", &t);
       return result;
     }},
    {"CancelOperation", 5, kOwn,
     [](Worker& w, Track& t) {
       uint32_t before = 99, after = 99;
       if (Table().GetOperationState(t.token, &before) != 0) return kInvalid;
       const uint32_t result = Table().CancelOperation(t.token);
       M->Expect(
           t.owner != w.thread || result == kInvalid ||
               Table().GetOperationState(t.token, &after) != 0 ||
               (result == (before == OperationState_Executed ? OR_OPERATION_ALREADY_EXECUTED : 0) &&
                after == (before == OperationState_Pending ? uint32_t{OperationState_Canceled}
                                                           : before)),
           "a cancel answered, or left the state", &t, uint64_t{result} << 32 | after);
       return result;
     }},
    {"GetValue", 3, kRead,
     [](Worker&, Track& t) {
       BitData* value = nullptr;
       const uint32_t result = Table().GetValue(t.token, &value);
       return BitData_FreeManaged(value), result;
     }},
    {"GetValueUInt64", 2, kRead,
     [](Worker&, Track& t) { return Table().GetValueUInt64(t.token, &scratch.u64); }},
    {"GetValueUInt8", 1, kRead,
     [](Worker&, Track& t) { return Table().GetValueUInt8(t.token, &scratch.u8); }},
    {"GetErrorCode", 2, kRead,
     [](Worker&, Track& t) { return Table().GetErrorCode(t.token, &scratch.u32); }},
    {"GetErrorMessage", 2, kRead,
     [](Worker&, Track& t) { return Table().GetErrorMessage(t.token, scratch.text, 16, nullptr); }},
    {"GetOperationState", 2, kHeld,
     [](Worker& w, Track& t) {
       uint32_t state = 99;
       const uint32_t result = Table().GetOperationState(t.token, &state);
       M->Expect(result || !t.hasExecute ||
                     or_model::StateAgrees(state, t.executions, t.owner == w.thread),
                 "the state disagrees with the executions seen", &t, state);
       return result;
     }},
    {"SetValue", 5, kHeld,
     [](Worker& w, Track& t) {
       const uint64_t bits = 1 + w.Roll(100);
       BitData* value = or_model::MakeBits(bits, w.random());
       const uint32_t result = Table().SetValue(t.token, value);
       if (result == kInvalid) BitData_FreeManaged(value);  // the caller still owns it
       return result;
     }},
    {"SetValueSize", 3, kHeld,
     [](Worker& w, Track& t) { return Table().SetValueSize(t.token, w.Roll(3) * 50); }},
    {"SetError", 3, kHeld,
     [](Worker& w, Track& t) {
       return Table().SetError(t.token, 0x66, w.Roll(2) ? "stress" : nullptr);
     }},
    {"LinkValue", 7, kAny,
     [](Worker& w, Track& t) {
       // From a younger operation to an older one only, so that links never form a cycle.
       Track* destination = &t;
       Track* source = w.Pick();
       if (destination->token == source->token) return 0u;
       if (destination->token < source->token) std::swap(destination, source);
       const uint64_t run[2] = {w.Roll(8), 1 + w.Roll(16)};
       const IndexRun element{1, 1, {}, run, run + 2, run + 2};
       const IndexList list{&element, &element + 1, &element + 1, run[1]},
           *lists = w.Roll(3) ? nullptr : &list;
       const uint32_t result = Table().LinkValue(destination->token, source->token, lists, lists);
       M->Expect(!result || M->Exposed(*destination) || M->Exposed(*source),
                 "LinkValue of held operations", &t, result);
       return 0u;
     }},
    {"publish", 5, kHeld,
     [](Worker& w, Track& t) {
       std::lock_guard<std::mutex> lock(M->mutex);
       const uint32_t result = w.Take(t, false);
       if (result == 0) M->shared.emplace_back(&t, w.thread), w.published.push_back(&t);
       return result;
     }},
    {"unpublish", 3, kAny, [](Worker& w, Track&) { return w.Unpublish(); }},
    {"borrow", 6, kAny,
     [](Worker& w, Track&) {
       // A reference of its own on a published operation, which the entry's reference keeps.
       std::unique_lock<std::mutex> lock(M->mutex);
       if (M->shared.empty()) return 0u;
       Track& t = *M->shared[w.Roll(M->shared.size())].first;
       const uint32_t result = w.Take(t, true);
       lock.unlock();
       w.Judge(result, t, kHeld, "AcquireOperation of a published operation");
       return 0u;
     }},
};

void RunWorker(int thread, uint64_t seed) {
  Worker w{thread, kClientBase + thread, std::mt19937_64(seed * 1000003u + thread), {}, {}};
  StandIn_CommonSetClientId(w.id);
  tWorker = &w;
  unsigned total = 0;
  for (const Action& action : kActions) total += action.weight;
  for (int step = 0; step < kSteps; ++step) {
    const Action* action = kActions;
    for (unsigned roll = w.Roll(total); roll >= action->weight; roll -= action++->weight) {
    }
    Track* t = w.Pick();
    if (t == nullptr) {
      w.Create(true);
      continue;
    }
    const uint32_t result = action->run(w, *t);
    if (action->answer != kAny) w.Judge(result, *t, action->answer, action->name);
  }
  w.Flush();
  while (!w.published.empty()) w.Unpublish();
  for (Track* t; !w.handles.empty();)
    t = w.handles.back(), w.Judge(w.Drop(t), *t, kHeld, "a last release");
  w.Flush();
  for (int i = 0; i < 3; ++i) {  // left to the thread's end, referenced by the buffer alone
    if (Track* t = w.Create(true)) t->abandoned = true, w.Drop(t);
  }
}

uint32_t Count(int32_t key, bool pending) {
  uint32_t count = 0xFFFFFFFFu;
  EXPECT_EQ(pending ? Table().GetPendingOperationCount(key, &count)
                    : Table().GetExecutedOperationCount(key, &count),
            0u);
  return count;
}

class Stress : public ::testing::TestWithParam<bool> {};

TEST_P(Stress, WorkersShareOperationsAndThreadsEnd) {
  const char* text = std::getenv("OR_TEST_SEED");
  const uint64_t seed = text ? std::strtoull(text, nullptr, 0)
                             : uint64_t{std::random_device{}()} << 32 ^ std::random_device{}();
  std::printf("OR_TEST_SEED=%llu\n", static_cast<unsigned long long>(seed));
  StandIn_LoggingSetSink(StandIn_LoggingDiscardSink, nullptr);
  StandIn_LoggingSetEnabledLevels(seed % 2 ? 0xFu : 0u);
  const uint64_t liveBitsAtStart = StandIn_BitDataLiveCount();
  M = &models[GetParam()];
  M->strict = !GetParam();
  std::atomic<bool> done{false};
  std::thread observer([&] {
    std::mt19937_64 random(seed);
    StandIn_CommonSetClientId(kClientBase + 100);
    for (int round = 0; round < 20000 && !done; ++round) {
      const int32_t key = kClientBase + 4 + static_cast<int32_t>(random() % 4);
      uint32_t count = 0;
      if (!M->strict)
        ++M->started[KeyIndex(key)], StandIn_PublishClientDisconnected(key),
            ++M->finished[KeyIndex(key)];
      M->Expect(Table().GetPendingOperationCount(key, &count) == 0 && count <= M->Used(), "a count",
                nullptr, count);
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  });
  std::vector<std::thread> slots;
  std::atomic<int> ready{0};
  for (int slot = 0; slot < kSlots; ++slot) {
    slots.emplace_back([&, slot] {
      for (++ready; ready < kSlots;) std::this_thread::yield();  // the first threads overlap
      for (int generation = 0; generation < 2; ++generation)
        std::thread(RunWorker, 2 * slot + generation, seed).join();
    });
  }
  for (std::thread& slot : slots) slot.join();
  done = true;
  observer.join();

  // Only abandoned operations live on; each that no disconnect could touch is held across its
  // client's disconnect, which must take just the buffer's reference and leave it pending.
  size_t left[kKeys] = {};
  Worker w0{-1, 0, {}, {}, {}};
  for (size_t i = 0; i < M->Used(); ++i) {
    Track& t = M->tracks[i];
    EXPECT_LE(t.executions, t.abandoned ? 0 : 1) << "token " << t.token;
    EXPECT_EQ(t.destroys, t.abandoned && M->Exposed(t) ? t.destroys.load() : !t.abandoned)
        << "token " << t.token;
    if (t.abandoned && t.destroys == 0) left[KeyIndex(t.key)] += w0.Take(t, true) == 0;
  }
  for (int32_t key = kClientBase; key < kClientBase + 2 * kSlots; ++key) {
    EXPECT_EQ(Count(key, true), left[KeyIndex(key)]) << "client " << key;
    EXPECT_EQ(Count(key, false), 0u) << "client " << key;
    EXPECT_EQ(StandIn_PublishClientDisconnected(key), 0u);
    EXPECT_EQ(Count(key, true), left[KeyIndex(key)]) << "client " << key;
  }
  EXPECT_EQ(Count(-1, true) + Count(-1, false), 0u);
  for (Track* t : w0.handles) {
    uint32_t state = 99;
    EXPECT_EQ(Table().GetOperationState(t->token, &state), 0u);
    EXPECT_EQ(state, uint32_t{OperationState_Pending});
    EXPECT_EQ(w0.Release(t) + t->destroys, 1u) << "token " << t->token;
  }
  for (int32_t key = kClientBase; key < kClientBase + 2 * kSlots; ++key)
    EXPECT_EQ(Count(key, true), 0u);
  EXPECT_EQ(StandIn_BitDataLiveCount(), liveBitsAtStart) << "bit buffers leaked or lost";
  std::string report;
  for (const std::string& message : M->messages) report += "\n  " + message;
  EXPECT_TRUE(M->messages.empty()) << report;
}

INSTANTIATE_TEST_SUITE_P(, Stress, ::testing::Values(false, true), [](const auto& info) {
  return info.param ? "WhileClientsDisconnect" : "Strict";
});

}  // namespace
