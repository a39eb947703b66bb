// StressTest.cpp
//
// Concurrency stress through the table: four slots each run two threads in turn, which take
// weighted steps from one action table on their own and shared operations and end with some
// buffered, while (in the second run) an observer reports the clients of slots 2 and 3
// disconnected. The seed is printed; OR_TEST_SEED replays a run's choices, not its interleaving.

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <random>
#include <thread>

#include "ModelChecks.h"

namespace {

using or_model::State;
using or_model::Table;
constexpr uint32_t kInvalid = OR_INVALID_OPERATION_TOKEN, kRefused = 99;  // no state: refused
constexpr int32_t kClientBase = 700;  // thread generation g of slot s works as 700 + 2s + g
constexpr int kSlots = 4, kSteps = 3000;
constexpr size_t kCapacity = 100000;

struct Track {  // also the context of the operation's callbacks
  std::atomic<uint64_t> token{0};
  std::atomic<int> executions{0}, destroys{0};
  int32_t key = -1, owner = -1;  // owner: the creating worker's client; key -1: immediate mode
  bool hasExecute = false, abandoned = false;
  uint8_t behaviour = 0;  // what the execute callback does
};

struct Model {
  std::vector<Track> tracks = std::vector<Track>(kCapacity);
  std::atomic<size_t> used{0}, failures{0};
  bool strict = true;          // no disconnects in this run
  std::mutex mutex;            // guards `shared`
  std::vector<Track*> shared;  // published operations, one reference each

  bool Exposed(const Track& t) const { return !strict && t.key >= kClientBase + 4; }
  void Expect(bool ok, const char* what, const Track* t = nullptr, uint64_t detail = 0) {
    if (!ok && failures++ < 20)
      ADD_FAILURE() << what << " " << detail << " (token " << (t ? t->token.load() : 0) << ")";
  }
};
Model models[2];  // for the whole process: a leaked operation's callbacks find their contexts
Model* M = nullptr;
thread_local struct Worker* tWorker = nullptr;

// How an answer is judged (an action that checks its own returns 0). kHeld: not refused unless
// "exposed", of a client the observer disconnects (tokens are never reissued: this finds early
// destroys). kRead (may flush or build a value): with disconnects, also refused as passed on from
// a link source. kOwn: as kRead on its own thread, else refused.
enum Answer { kHeld, kRead, kOwn };

struct Worker {
  int32_t id;  // the client
  std::mt19937_64 random;
  std::vector<Track*> handles;  // one entry per reference held

  unsigned Roll(size_t n) { return static_cast<unsigned>(random() % n); }
  void Judge(uint32_t result, const Track& t, Answer answer, const char* what) {
    M->Expect(answer == kOwn && t.owner != id
                  ? result == kInvalid
                  : result != kInvalid || M->Exposed(t) || (answer != kHeld && !M->strict),
              what, &t, result);
  }
  Track* Create(bool wantToken) {
    const size_t index = M->used.fetch_add(1);
    if (index >= kCapacity) return nullptr;
    Track& t = M->tracks[index];
    const bool immediate = or_model::Immediate();
    t.key = immediate ? -1 : id;
    t.owner = id;
    t.hasExecute = Roll(8) != 0;
    t.behaviour = immediate ? 0 : static_cast<uint8_t>(Roll(32));
    const OperationDescriptor d{"Stress", t.hasExecute ? OnExecute : nullptr, OnValue, &t,
                                OnDestroy, Roll(3) == 0, {}, Roll(5) == 0, {}};
    uint64_t token = 0;
    const uint32_t result = Table().CreateOperation(&d, wantToken ? &token : nullptr);
    if (!immediate) Judge(result, t, kHeld, "a buffered creation");
    if (!wantToken) return nullptr;
    t.token = token;
    return handles.push_back(&t), &t;
  }
  uint32_t Take(Track& t) {
    const uint32_t result = Table().AcquireOperation(t.token);
    if (result == 0) handles.push_back(&t);
    return result;
  }
  uint32_t Drop(Track* t) {
    handles.erase(std::find(handles.begin(), handles.end(), t));
    return Table().ReleaseOperation(t->token);
  }
  uint32_t Flush() {  // which leaves none of the client's operations pending
    uint32_t pending = 1;
    (void)Table().Flush();
    return M->Expect(Table().GetPendingOperationCount(id, &pending) == 0 && !pending, "a flush"), 0;
  }

  static uint32_t OnValue(uint64_t, void*, BitData* v) { return M->Expect(v, "a null value"), 0; }
  static void OnDestroy(void* context) { ++static_cast<Track*>(context)->destroys; }
  static uint32_t OnExecute(uint64_t token, void* context) {
    Track& t = *static_cast<Track*>(context);
    const char* problem =
        t.executions++ ? "executed twice" : or_model::ExecutingProblem(token, M->Exposed(t));
    M->Expect(!problem, problem, &t);
    if (t.behaviour & 1) tWorker->Create(t.behaviour & 8);  // executes at once
    if (t.behaviour & 2) or_model::SetBits(token, 16, token);
    if (t.behaviour & 4) (void)Table().SetError(token, 0x66, "from execute");
    return t.behaviour & 16 ? 5 : 0;
  }
};

struct Action {
  const char* name;
  unsigned weight;
  Answer answer;
  uint32_t (*run)(Worker&, Track&);
};
const Action kActions[] = {
    {"CreateOperation", 22, kHeld, [](Worker& w, Track&) { return w.Create(w.Roll(10)), 0u; }},
    {"ReleaseOperation", 14, kHeld, [](Worker& w, Track& t) { return w.Drop(&t); }},
    {"Flush", 7, kHeld, [](Worker& w, Track&) { return w.Flush(); }},
    {"FlushOperation or CancelOperation", 12, kOwn,
     [](Worker& w, Track& t) {
       // The state agrees with the executions seen. On its own thread a flush leaves it not
       // pending; a cancel cancels it if pending, refuses it if executed, else leaves it.
       const uint32_t before = State(t.token);
       if (before == kRefused) return kInvalid;
       M->Expect(!t.hasExecute || or_model::StateAgrees(before, t.executions, t.owner == w.id),
                 "the state disagrees with the executions seen", &t, before);
       const uint32_t cancel = w.Roll(2), result = cancel ? Table().CancelOperation(t.token)
                                                          : Table().FlushOperation(t.token);
       const uint32_t after = State(t.token), executed = OperationState_Executed;
       if (t.owner != w.id || result == kInvalid || after == kRefused) return result;
       M->Expect(cancel ? result == (before == executed ? OR_OPERATION_ALREADY_EXECUTED : 0) &&
                              after == (before ? before : uint32_t{OperationState_Canceled})
                        : after != OperationState_Pending,
                 "a flush or cancel", &t, uint64_t{result} << 32 | after);
       return result;
     }},
    {"a read", 10, kRead,  // may flush: the value, whole or at a width, or the error code
     [](Worker& w, Track& t) {
       uint32_t narrow = 0;
       uint64_t wide = 0;
       BitData* value = nullptr;
       const unsigned width = w.Roll(4);
       const uint32_t result = width == 0   ? Table().GetValue(t.token, &value)
                               : width == 1 ? Table().GetValueUInt32(t.token, &narrow)
                               : width == 2 ? Table().GetValueUInt64(t.token, &wide)
                                            : Table().GetErrorCode(t.token, &narrow);
       return BitData_FreeManaged(value), result;
     }},
    {"a write", 11, kHeld,  // of a value (the caller's still when refused), a size or an error
     [](Worker& w, Track& t) {
       const unsigned choice = w.Roll(3), bits = 1 + w.Roll(100);
       if (choice == 1) return Table().SetValueSize(t.token, bits / 34 * 50);
       if (choice == 2) return Table().SetError(t.token, 0x66, bits % 2 ? "stress" : nullptr);
       return or_model::SetBits(t.token, bits, w.random());
     }},
    {"LinkValue", 14, kRead,
     [](Worker& w, Track& t) {
       // From a younger operation to an older one only, so that links never form a cycle.
       Track* source = w.handles[w.Roll(w.handles.size())];
       if (t.token <= source->token) return 0u;
       const uint64_t run[2] = {w.Roll(8), 1 + w.Roll(16)};
       const IndexRun element{1, 1, {}, run, run + 2, run + 2};
       const IndexList list{&element, &element + 1, &element + 1, run[1]},
           *lists = w.Roll(3) ? nullptr : &list;
       return Table().LinkValue(t.token, source->token, lists, lists);
     }},
    {"a shared operation", 14, kHeld,
     [](Worker& w, Track& own) {
       // Publishes its own, or borrows or gives back a published one, which its entry keeps.
       std::lock_guard<std::mutex> lock(M->mutex);
       const unsigned choice = M->shared.empty() ? 0 : w.Roll(3);
       const size_t index = choice ? w.Roll(M->shared.size()) : 0;
       Track& t = choice ? *M->shared[index] : own;
       if (choice == 2) M->shared[index] = M->shared.back(), M->shared.pop_back();
       const uint32_t result = choice == 0   ? Table().AcquireOperation(t.token)
                               : choice == 1 ? w.Take(t)
                                             : Table().ReleaseOperation(t.token);
       if (choice == 0 && result == 0) M->shared.push_back(&t);
       w.Judge(result, t, kHeld, "a publication, borrow or return");
       return 0u;
     }},
};

void RunWorker(int thread, uint64_t seed) {
  Worker w{kClientBase + thread, std::mt19937_64(seed * 1000003u + thread), {}};
  StandIn_CommonSetClientId(w.id);
  tWorker = &w;
  unsigned total = 0;
  for (const Action& action : kActions) total += action.weight;
  for (int step = 0; step < kSteps; ++step) {
    const Action* action = kActions;
    for (unsigned roll = w.Roll(total); roll >= action->weight;) roll -= action++->weight;
    if (Track* t = w.handles.empty() ? w.Create(true) : w.handles[w.Roll(w.handles.size())])
      w.Judge(action->run(w, *t), *t, action->answer, action->name);
  }
  w.Flush();
  for (Track* t; !w.handles.empty();)
    t = w.handles.back(), w.Judge(w.Drop(t), *t, kHeld, "a last release");
  for (int i = 0; i < 3; ++i)  // left to the thread's end, referenced by the buffer alone
    if (Track* t = w.Create(true)) t->abandoned = true, w.Drop(t);
}

void RunStress(bool disconnects) {
  const char* text = std::getenv("OR_TEST_SEED");
  const uint64_t seed = text ? std::strtoull(text, nullptr, 0)
                             : uint64_t{std::random_device{}()} << 32 ^ std::random_device{}();
  std::printf("OR_TEST_SEED=%llu\n", static_cast<unsigned long long>(seed));
  StandIn_LoggingSetSink(StandIn_LoggingDiscardSink, nullptr);
  StandIn_LoggingSetEnabledLevels(seed % 2 ? 0xFu : 0u);
  const uint64_t liveBitsAtStart = StandIn_BitDataLiveCount();
  M = &models[disconnects];
  M->strict = !disconnects;
  std::atomic<bool> done{false};
  std::thread observer([&] {
    for (int round = 0; round < 20000 && !done && !M->strict; ++round) {
      StandIn_PublishClientDisconnected(kClientBase + 4 + round % 4);
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  });
  std::vector<std::thread> slots;
  std::atomic<int> ready{0};
  for (int slot = 0; slot < kSlots; ++slot)
    slots.emplace_back([&, slot] {
      for (++ready; ready < kSlots;) std::this_thread::yield();  // the first threads overlap
      for (int generation = 0; generation < 2; ++generation)
        std::thread(RunWorker, 2 * slot + generation, seed).join();
    });
  for (std::thread& slot : slots) slot.join();
  done = true;
  observer.join();

  // The published operations are given back; then only abandoned ones live (of an exposed client
  // perhaps not even they), each held across a disconnect that must take just the buffer's.
  Worker w0{0, {}, {}};
  for (Track* t : M->shared) w0.Judge(Table().ReleaseOperation(t->token), *t, kHeld, "a return");
  for (size_t i = 0; i < std::min(M->used.load(), kCapacity); ++i) {
    Track& t = M->tracks[i];
    EXPECT_EQ(t.destroys, !t.abandoned || (t.destroys && M->Exposed(t))) << "token " << t.token;
    EXPECT_TRUE(!t.abandoned || t.destroys || w0.Take(t) == 0) << "token " << t.token;
  }
  for (int32_t key = kClientBase; key < kClientBase + 2 * kSlots; ++key)
    EXPECT_EQ(StandIn_PublishClientDisconnected(key), 0u);
  for (Track* t : w0.handles) {
    EXPECT_EQ(State(t->token), uint32_t{OperationState_Pending}) << "token " << t->token;
    EXPECT_EQ(Table().ReleaseOperation(t->token) + t->destroys, 1u) << "token " << t->token;
  }
  EXPECT_EQ(StandIn_BitDataLiveCount(), liveBitsAtStart) << "bit buffers leaked or lost";
}

TEST(Stress, Strict) { RunStress(false); }
TEST(Stress, WhileClientsDisconnect) { RunStress(true); }

}  // namespace
