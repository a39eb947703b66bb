// OperationReceiptFuzzer.cpp
//
// libFuzzer target. An input is a byte of log levels, then steps: a byte picks an action of
// kActions by weight, its arguments follow; callbacks of operations created "busy" (and a busy
// post-flush callback) take actions from the input too. Steps run one at a time on the fuzzer's
// thread or on one of two workers that run only what they are handed, so a run is deterministic.
// Each operation's Track (its callbacks' context) counts the references the harness holds, and
// every answer is checked against it. Link cycles are allowed: their members keep their last
// reference until the end of the input builds their values. At the end every thread flushes,
// everything is released, and the pool, its counts and the bit-data library must be as before.

#include <fuzzer/FuzzedDataProvider.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <type_traits>
#include <unordered_set>
#include <vector>

#include "ModelChecks.h"

namespace {

using or_model::Table;
constexpr uint32_t kInvalid = OR_INVALID_OPERATION_TOKEN;
constexpr int kSlots = 3, kMaxSteps = 160, kCreationBudget = 48;  // slot 0: the fuzzer's thread
constexpr int32_t kClientBase = 900;                              // client id of slot s: 900 + s

struct Track {
  uint64_t token = 0;  // 0 while unknown (created without one, not yet seen by a callback)
  int held = 0, executions = 0, destroys = 0, slot = 0;
  uint32_t generation = 0, executeResult = 0, valueResult = 0;
  bool counted = false;     // context and destroy callback set: every destruction is seen
  bool hasExecute = false;  // context and execute callback set: every execution is seen
  bool busy = false;        // its callbacks take actions from the input
  bool dead = false, tainted = false /* over-released */, valueMaybe = false,
       pinned = false /* on a cycle */;
  std::vector<Track*> sources;  // value links made with this operation as destination
};

struct State {
  FuzzedDataProvider* in = nullptr;
  std::deque<Track> tracks;  // stable addresses
  int current = 0, depth = 0, budget = 0;
  uint32_t generation[kSlots] = {}, postFlushCode = 0;
  bool cleaning = false, alignedOnly = false, postFlushBusy = false;
  uint64_t highestToken = 0, liveBits = 0, retired = 0;
} S;
thread_local int tSlot = 0;

[[noreturn]] void Fail(const char* what, const Track* t, uint64_t detail) {
  std::fprintf(stderr, "\n*** operation-receipt fuzzer: %s (token %llu, detail 0x%llx)\n", what,
               t ? static_cast<unsigned long long>(t->token) : 0ull,
               static_cast<unsigned long long>(detail));
  std::abort();
}
void Expect(bool ok, const char* what, const Track* t = nullptr, uint64_t detail = 0) {
  if (!ok) Fail(what, t, detail);
}

// Workers run one handed-over task at a time while the fuzzer's thread waits. Ended at exit, so
// that their threads' state is torn down before the leak check.
std::mutex mutex;
std::condition_variable changed;
const std::function<void()>* tasks[kSlots] = {};
bool quit[kSlots] = {};
std::thread workers[kSlots];

void StartWorker(int slot) {
  workers[slot] = std::thread([slot] {
    tSlot = slot;
    StandIn_CommonSetClientId(kClientBase + slot);
    std::unique_lock<std::mutex> lock(mutex);
    for (; changed.wait(lock, [&] { return tasks[slot] || quit[slot]; }), tasks[slot];
         changed.notify_all()) {
      lock.unlock();
      (*tasks[slot])();
      lock.lock();
      tasks[slot] = nullptr;
    }
  });
}
void StopWorker(int slot) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    quit[slot] = true;
    changed.notify_all();
  }
  workers[slot].join();
  quit[slot] = false;
}
void OnSlot(int slot, const std::function<void()>& task) {
  if (slot == 0) return task();
  std::unique_lock<std::mutex> lock(mutex);
  tasks[slot] = &task;
  changed.notify_all();
  changed.wait(lock, [&] { return tasks[slot] == nullptr; });
}

// What an action addresses: a tracked operation, or a token naming nothing (0, never handed
// out), or one from the range of free slots (`odd`: no answer assumed).
struct Target {
  Track* t = nullptr;
  uint64_t token = 0;
  bool odd = false;
};
Target Of(Track* t) { return {t, t->token}; }
Target DecodeTarget() {
  static const uint64_t kNever[] = {UINT64_MAX, 1ull << 63, (1ull << 63) + 12345,
                                    0xFFFFFFFFFFFF0000ull};
  const uint8_t kind = S.in->ConsumeIntegral<uint8_t>(), index = S.in->ConsumeIntegral<uint8_t>();
  if (kind % 8 == 6)
    return {nullptr, index % 5 == 4 ? S.highestToken + (1ull << 32) : kNever[index % 4]};
  if (kind % 8 == 7) return {nullptr, index % 2 ? 0xFFFFFFFFull : 0x100000000ull, true};
  return kind % 8 == 5 || S.tracks.empty() ? Target{} : Of(&S.tracks[index % S.tracks.size()]);
}
bool Invalid(const Target& x) { return !x.odd && (x.token == 0 || (x.t && x.t->dead)); }
bool Live(const Target& x) { return x.t && x.token && x.t->held > 0; }
bool Own(const Track* t) { return t->slot == tSlot && t->generation == S.generation[tSlot]; }
// `invalid`: Invalid() before the call, which may itself destroy what it addresses.
void Check(const Target& x, bool invalid, uint32_t result, const char* what,
           bool heldAnswers = false) {
  if (invalid) Expect(result == kInvalid, what, x.t, result);
  if (heldAnswers && Live(x)) Expect(result == 0, what, x.t, result);
}

// The state, or 99 when the token names nothing (which then becomes known).
uint32_t QueryState(const Target& x) {
  uint32_t state = 99;
  const uint32_t result = Table().GetOperationState(x.token, &state);
  Check(x, Invalid(x), result, "GetOperationState of a token naming nothing", true);
  if (result != 0) {
    Expect(state == 99, "GetOperationState wrote on failure", x.t, state);
    if (x.t && x.token) x.t->dead = true;
    return 99;
  }
  if (x.t && x.t->hasExecute)
    Expect(or_model::StateAgrees(state, x.t->executions, true), "state and runs disagree", x.t,
           state);
  return state;
}

// The operations whose values building `from`'s value may build.
std::unordered_set<Track*> Reach(Track* from) {
  std::unordered_set<Track*> seen;
  for (std::vector<Track*> stack{from}; !stack.empty();) {
    Track* t = stack.back();
    stack.pop_back();
    if (seen.insert(t).second) stack.insert(stack.end(), t->sources.begin(), t->sources.end());
  }
  return seen;
}
void MarkValues(const Target& x) {
  if (x.t)
    for (Track* t : Reach(x.t)) t->valueMaybe = true;
}

// Where an action may run: at the top of a step, or from a callback of each kind. kControl
// actions run on the fuzzer's thread, the others on the current slot's.
enum Where : uint8_t { kTop = 1, kExecute = 2, kValue = 4, kDestroy = 8, kPostFlush = 16, kControl = 32 };
void RunAction(uint8_t where, Track* self);

void FromCallback(uint8_t where, Track* self, uint64_t token) {
  if (self && token) {
    Expect(self->token == 0 || self->token == token, "a callback was given another token", self,
           token);
    self->token = token;
  }
  if (S.cleaning || S.depth >= 4 || !(self ? self->busy : S.postFlushBusy)) return;
  ++S.depth;
  for (int n = S.in->ConsumeIntegralInRange(0, 2); n > 0; --n) RunAction(where, self);
  --S.depth;
}
uint32_t OnExecute(uint64_t token, void* context) {
  Track* t = static_cast<Track*>(context);
  if (t == nullptr) return 0;
  Expect(++t->executions == 1, "an operation was executed twice", t);
  if (const char* problem = or_model::ExecutingProblem(token, false)) Fail(problem, t, token);
  FromCallback(kExecute, t, token);
  return t->executeResult;
}
uint32_t OnValue(uint64_t token, void* context, BitData* value) {
  Track* t = static_cast<Track*>(context);
  if (t == nullptr) return 0;
  Expect(value != nullptr && !t->dead, "a value callback without a value or operation", t);
  FromCallback(kValue, t, token);
  return t->valueResult;
}
void OnDestroy(void* context) {
  Track* t = static_cast<Track*>(context);
  t->dead = true;
  Expect(++t->destroys == 1 && t->held == 0, "destroyed twice or while the harness holds it", t);
  uint32_t state = 99;
  Expect(!t->token || (Table().GetOperationState(t->token, &state) == kInvalid && state == 99),
         "a token still answers in its destroy callback", t);
  FromCallback(kDestroy, t, 0);
}
uint32_t OnPostFlush() {
  if (S.cleaning) return 0;
  FromCallback(kPostFlush, nullptr, 0);
  return S.postFlushCode;
}

const char* const kNames[] = {nullptr, "", "Op", "with %s and %n", "line\nbreak",
                              "a rather long operation name that goes on"};
const uint32_t kCodes[] = {0, 0, 1, 2, 0x7F000002u, 0x12345u, 0xFFFFFFFFu, 0x80000000u};
const uint64_t kPositions[] = {0, 1, 2, 3, 7, 8, 63, 64, 65, 127, 1000, 1u << 20, 1ull << 32,
                               1ull << 63, UINT64_MAX - 63, UINT64_MAX - 1, UINT64_MAX,
                               (1ull << 28) + 1};

void Create(Track*) {
  FuzzedDataProvider& in = *S.in;
  if (S.budget-- <= 0) return;
  Track* t = &S.tracks.emplace_back();
  const uint8_t flags = in.ConsumeIntegral<uint8_t>();
  const bool immediate = or_model::Immediate(), wantToken = flags & 1, withContext = !(flags & 2);
  const OperationDescriptor d{in.PickValueInArray(kNames),
                              flags & 4 ? nullptr : OnExecute,
                              flags & 8 ? nullptr : OnValue,
                              withContext ? t : nullptr,
                              flags & 16 ? nullptr : OnDestroy,
                              in.PickValueInArray<uint8_t>({0, 0, 1, 0xFF}),
                              {0xA5, 0xA5, 0xA5} /* not read */,
                              in.PickValueInArray<uint8_t>({0, 0, 1, 0x80}),
                              {0xA5, 0xA5, 0xA5}};
  t->counted = withContext && !(flags & 16);
  t->busy = flags & 64;
  t->hasExecute = withContext && !(flags & 4);
  t->slot = tSlot;
  t->generation = S.generation[tSlot];
  t->executeResult = in.PickValueInArray(kCodes);
  t->valueResult = in.PickValueInArray({0u, 0u, 1u, 0x7F0000AAu});
  t->held = wantToken;  // the creator's reference exists from allocation on
  const uint64_t highestBefore = S.highestToken;
  const uint32_t result =
      Table().CreateOperation(flags & 32 ? nullptr : &d, wantToken ? &t->token : nullptr);
  if (flags & 32) t->counted = t->hasExecute = false;
  if (wantToken)
    Expect(t->token > highestBefore, "a token was handed out of order", t, highestBefore);
  S.highestToken = std::max(S.highestToken, t->token);
  if (!immediate) {
    Expect(result == 0 && (!wantToken || QueryState(Of(t)) == OperationState_Pending),
           "a buffered creation", t, result);
    return;
  }
  Expect(!t->hasExecute || t->executions == 1, "an immediate operation did not run once", t);
  Expect(wantToken || !t->counted || t->destroys == 1,
         "an immediate operation nobody holds outlived its creation", t);
  const uint32_t state = t->held > 0 ? QueryState(Of(t)) : OperationState_Executed;
  Expect(state == OperationState_Executed || state == OperationState_Failed,
         "an immediate operation not finished", t, state);
}

void ReleaseHeld(Track* t, bool second) {
  if (t->held == 0) {
    if (t->dead && t->token)
      Expect(Table().ReleaseOperation(t->token) == kInvalid, "a destroyed operation released", t);
    return;
  }
  if (t->pinned && t->held == 1 && !S.cleaning) return;  // on a cycle: kept until the cleanup
  --t->held;  // before the call: a destroy callback run by it must see the reference gone
  Expect((second ? Table().ReleaseOperation2 : Table().ReleaseOperation)(t->token) == 0,
         "a held reference was refused", t);
}

void Flush(Track*) {
  const bool immediate = or_model::Immediate();
  uint32_t pending = 1;
  (void)Table().Flush();
  Expect(immediate ||
             (Table().GetPendingOperationCount(kClientBase + tSlot, &pending) == 0 && pending == 0),
         "a flush left operations of its thread pending", nullptr, pending);
}

// Runs a call that may flush or build values, checks that it wrote no out-parameter on failure.
template <class Out>
void Read(const Target& x, Out out, uint32_t (*call)(uint64_t, Out*), const char* what) {
  const bool invalid = Invalid(x);
  Out copy = out;
  const uint32_t result = call(x.token, &copy);
  MarkValues(x);
  Check(x, invalid, result, what);
  Expect(result == 0 || std::memcmp(&copy, &out, sizeof out) == 0,
         "an out-parameter written on failure", x.t, result);
  if (result == 0 && std::is_same<Out, BitData*>::value)
    BitData_FreeManaged(reinterpret_cast<BitData*&>(copy));
}

// Lays a pair of begin/end pointers over `n` items: whole, empty, reversed, one end missing, or
// (unless OR_FUZZ_ALIGNED_ONLY=1) not a whole number of items long.
template <class Item>
void Lay(uint8_t form, const Item* data, size_t n, const Item** begin, const Item** end) {
  *begin = data;
  *end = data + n;
  if (form % 8 == 1) *begin = *end = nullptr;
  if (form % 8 == 2) *end = *begin;
  if (form % 8 == 3 && n != 0) std::swap(*begin, *end);
  if (form % 8 == 4) *begin = nullptr;
  if (form % 8 == 5 && n != 0 && !S.alignedOnly)
    *end = reinterpret_cast<const Item*>(reinterpret_cast<const char*>(*end) - 3);
}
struct ListStore {
  std::vector<uint64_t> values[4];
  IndexRun runs[4] = {};
  IndexList list{};
};
const IndexList* DecodeList(ListStore& store) {
  FuzzedDataProvider& in = *S.in;
  const uint8_t shape = in.ConsumeIntegral<uint8_t>();
  if (shape % 4 == 0) return nullptr;
  const size_t elements = in.ConsumeIntegralInRange<size_t>(0, 4);
  uint64_t named = 0;
  for (size_t e = 0; e < elements; ++e) {
    IndexRun& run = store.runs[e];
    const uint8_t kind = in.ConsumeIntegral<uint8_t>();
    run.isRange = (kind & 3) == 0 ? 0 : (kind & 3) == 3 ? 0x80 : 1;
    run.ascending = (kind & 4) ? 0 : (kind & 8) ? 7 : 1;
    std::vector<uint64_t>& values = store.values[e];
    values.resize(run.isRange && (kind & 0x30) ? 2 : in.ConsumeIntegralInRange<size_t>(0, 3));
    for (uint64_t& v : values)
      v = in.ConsumeBool() ? in.PickValueInArray(kPositions) : in.ConsumeIntegral<uint64_t>() % 300;
    named += run.isRange ? (values.size() == 2 ? values[1] : 0) : values.size();
    Lay(in.ConsumeIntegral<uint8_t>(), values.data(), values.size(), &run.valuesBegin,
        &run.valuesEnd);
    run.valuesCapacityEnd = reinterpret_cast<const uint64_t*>(uintptr_t{0x10});  // not read
  }
  Lay<IndexRun>(shape >> 2, store.runs, elements, &store.list.elementsBegin,
                &store.list.elementsEnd);
  store.list.count = in.PickValueInArray<uint64_t>(
      {named, named, named, named + 1, named - 1, 0ull, 1ull, (1ull << 28) + 1, ~0ull});
  return &store.list;
}

// A link whose source leads back to its destination closes a cycle: made only among operations
// the harness holds that have never had a value, which are then pinned (kept to the cleanup).
void Link(Track*) {
  const Target to = DecodeTarget(), from = DecodeTarget();
  ListStore toStore, fromStore;
  const IndexList* toList = DecodeList(toStore);
  const IndexList* fromList = DecodeList(fromStore);
  const bool invalid = Invalid(to) || Invalid(from), tracked = to.t && from.t && !invalid;
  std::unordered_set<Track*> cycle;
  if (tracked && Reach(from.t).count(to.t)) {
    cycle = Reach(from.t);
    for (Track* t : cycle)
      if (!t->held || t->dead || t->tainted || t->valueMaybe || !t->token) return;
  }
  const uint32_t result = Table().LinkValue(to.token, from.token, toList, fromList);
  Check(to, invalid, result, "LinkValue of a token naming nothing");
  Expect(!Live(to) || !Live(from) || result == 0, "LinkValue refused held operations", to.t,
         result);
  if (result != 0 || !tracked) return;
  to.t->sources.push_back(from.t);
  for (Track* t : cycle) t->pinned = true;
}

void Cancel(Track*) {
  const Target x = DecodeTarget();
  const bool invalid = Invalid(x), live = Live(x);
  const uint32_t before = live ? QueryState(x) : 99, result = Table().CancelOperation(x.token);
  Check(x, invalid, result, "CancelOperation of a token naming nothing");
  if (!live) return;
  if (!Own(x.t))
    return Expect(result == kInvalid, "CancelOperation canceled another thread's operation", x.t,
                  result);
  Expect(result == (before == OperationState_Executed ? OR_OPERATION_ALREADY_EXECUTED : 0),
         "a cancel answered", x.t, result);
  // A destroy callback run by the cancel's releases may have released the harness's reference.
  if (Live(x) && before != OperationState_Executed) {
    Expect(QueryState(x) ==
               (before == OperationState_Pending ? uint32_t{OperationState_Canceled} : before),
           "a cancel's state", x.t);
  }
}

void FlushOne(Track*) {
  const Target x = DecodeTarget();
  const bool invalid = Invalid(x), immediate = or_model::Immediate(), live = Live(x);
  const uint32_t before = live ? QueryState(x) : 99, result = Table().FlushOperation(x.token);
  MarkValues(x);
  Check(x, invalid, result, "FlushOperation of a token naming nothing");
  if (!live) return;
  if (!Own(x.t))
    return Expect(result == kInvalid, "FlushOperation flushed another thread's operation", x.t,
                  result);
  if (before == OperationState_Pending && !immediate && Live(x)) {
    Expect(QueryState(x) != OperationState_Pending, "FlushOperation left it pending", x.t, result);
  }
}

uint32_t ReadUInt8(uint64_t token, uint8_t* out) { return Table().GetValueUInt8(token, out); }
uint32_t ReadUInt16(uint64_t token, uint16_t* out) { return Table().GetValueUInt16(token, out); }
uint32_t ReadUInt32(uint64_t token, uint32_t* out) { return Table().GetValueUInt32(token, out); }
uint32_t ReadUInt64(uint64_t token, uint64_t* out) { return Table().GetValueUInt64(token, out); }
uint32_t ReadValue(uint64_t token, BitData** out) { return Table().GetValue(token, out); }
uint32_t ReadCode(uint64_t token, uint32_t* out) { return Table().GetErrorCode(token, out); }

// One kind of step: its weight among the steps allowed where it runs, and what it does (`self`:
// the operation whose callback runs it).
struct Action {
  const char* name;
  unsigned weight;
  uint8_t where;
  void (*run)(Track* self);
};
constexpr uint8_t kCallbacks = kExecute | kValue | kDestroy | kPostFlush;
const Action kActions[] = {
    {"create", 2, kTop | kCallbacks, Create},
    {"release", 1, kTop | kExecute | kDestroy,
     [](Track*) {
       const Target x = DecodeTarget();
       const bool second = S.in->ConsumeBool();
       if (x.t && x.token) return ReleaseHeld(x.t, second);
       const uint32_t result =
           (second ? Table().ReleaseOperation2 : Table().ReleaseOperation)(x.token);
       Expect(x.odd || result == (x.token == 0 ? 0 : kInvalid),
              "a release of a token naming nothing", nullptr, result);
     }},
    {"acquire", 1, kTop,
     [](Track*) {
       const Target x = DecodeTarget();
       if (x.t && (x.t->tainted || x.t->held >= 64)) return;
       const bool invalid = Invalid(x) && x.token != 0, live = Live(x);
       const uint32_t result = Table().AcquireOperation(x.token);
       Check(x, invalid, result, "a token naming nothing was acquired");
       Expect((!live && x.token) || result == 0, "a held operation or token 0 refused a reference",
              x.t, result);
       if (x.t && x.token && result == 0) ++x.t->held;
       if (x.t && x.token && result != 0) x.t->dead = true;
     }},
    {"flush", 1, kTop | kCallbacks, Flush},
    {"flush one", 1, kTop | kExecute | kDestroy | kPostFlush, FlushOne},
    {"cancel", 1, kTop | kExecute | kDestroy | kPostFlush, Cancel},
    {"read value", 1, kTop | kCallbacks,
     [](Track*) {
       const Target x = DecodeTarget();
       const char* what = "a value read of a token naming nothing";
       switch (S.in->ConsumeIntegralInRange(0, 4)) {
         case 0: return Read<uint8_t>(x, 0x5A, ReadUInt8, what);
         case 1: return Read<uint16_t>(x, 0x5A5A, ReadUInt16, what);
         case 2: return Read<uint32_t>(x, 0x5A5A5A5A, ReadUInt32, what);
         case 3: return Read<uint64_t>(x, ~0ull, ReadUInt64, what);
         default: return Read<BitData*>(x, nullptr, ReadValue, what);
       }
     }},
    {"read code", 1, kTop,
     [](Track*) {
       Read<uint32_t>(DecodeTarget(), 0xC0DEC0DE, ReadCode,
                      "GetErrorCode of a token naming nothing");
     }},
    {"read message", 1, kTop,
     [](Track*) {
       const Target x = DecodeTarget();
       const uint32_t capacity = S.in->PickValueInArray({0u, 1u, 2u, 5u, 64u});
       const uint8_t outputs = S.in->ConsumeIntegral<uint8_t>();
       const bool invalid = Invalid(x);
       std::vector<char> buffer(capacity + 8, 'Z');
       uint32_t size = ~0u;
       const uint32_t result = Table().GetErrorMessage(
           x.token, outputs & 1 ? buffer.data() : nullptr, capacity, outputs & 2 ? &size : nullptr);
       MarkValues(x);
       if ((outputs & 3) == 0)
         return Expect(result == OR_NULL_POINTER, "GetErrorMessage without outputs", x.t, result);
       Check(x, invalid, result, "GetErrorMessage of a token naming nothing");
       for (size_t i = capacity; i < buffer.size(); ++i)
         Expect(buffer[i] == 'Z', "GetErrorMessage wrote past its buffer", x.t, i);
       Expect(result == 0 || size == ~0u, "GetErrorMessage wrote a size on failure", x.t, result);
       Expect(result || (outputs & 3) != 3 || !capacity ||
                  strnlen(buffer.data(), capacity) == std::min<size_t>(size, capacity - 1),
              "message and size disagree", x.t);
     }},
    {"read state", 1, kTop, [](Track*) { QueryState(DecodeTarget()); }},
    {"set error", 1, kTop | kExecute | kValue,
     [](Track* self) {
       const Target x = self ? Of(self) : DecodeTarget();
       const uint32_t code = S.in->PickValueInArray(kCodes);
       Check(x, Invalid(x), Table().SetError(x.token, code, S.in->PickValueInArray(kNames)),
             "SetError", true);
     }},
    {"set value", 1, kTop | kExecute | kDestroy,
     [](Track* self) {
       const Target x = self ? Of(self) : DecodeTarget();
       const uint64_t bits = S.in->PickValueInArray({0, 1, 5, 8, 16, 33, 64, 65, 200, 4096});
       BitData* value = or_model::MakeBits(bits, S.in->ConsumeIntegral<uint64_t>());
       if (value == nullptr || (x.t && x.t->pinned)) return BitData_FreeManaged(value);
       const bool invalid = Invalid(x);
       const uint32_t result = Table().SetValue(x.token, value);
       if (x.t) x.t->valueMaybe = true;
       Check(x, invalid, result, "SetValue of a token naming nothing");
       Expect(!Live(x) || result != kInvalid, "SetValue refused a held operation", x.t);
       if (result == kInvalid) BitData_FreeManaged(value);  // the caller still owns it
     }},
    {"set value size", 1, kTop,
     [](Track*) {
       const Target x = DecodeTarget();
       Check(x, Invalid(x), Table().SetValueSize(x.token, S.in->PickValueInArray(kPositions)),
             "SetValueSize", true);
     }},
    {"link", 1, kTop, Link},
    {"over-release", 1, kTop,
     [](Track*) {  // takes a buffer's or a link's reference: early, never twice
       const Target x = DecodeTarget();
       if (!x.t || x.t->held || x.t->dead || x.t->pinned || !x.token) return;
       x.t->tainted = true;
       const uint32_t result = Table().ReleaseOperation(x.token);
       Expect(result == 0 || result == kInvalid, "an over-release answered oddly", x.t, result);
     }},
    {"counts", 1, kTop,
     [](Track*) {
       const int32_t key = S.in->PickValueInArray(
           {kClientBase, kClientBase + 1, kClientBase + 2, -1, 0, INT32_MIN, INT32_MAX});
       uint32_t count = 0;
       Expect(Table().GetPendingOperationCount(key, &count) == 0 &&
                  Table().GetExecutedOperationCount(key, &count) == 0 &&
                  Table().GetPendingOperationCount(key, nullptr) == OR_NULL_POINTER,
              "the counts", nullptr, count);
     }},
    {"null pointers", 1, kTop,
     [](Track*) {
       const uint64_t token = DecodeTarget().token;
       const OperationReceiptComponent* again = nullptr;
       Expect(Table().GetValue(token, nullptr) == OR_NULL_POINTER &&
                  Table().GetErrorCode(token, nullptr) == OR_NULL_POINTER &&
                  Table().GetOperationState(token, nullptr) == OR_NULL_POINTER &&
                  Table().SetValue(token, nullptr) == OR_NULL_POINTER &&
                  Table().IsImmediateMode(nullptr) == OR_NULL_POINTER &&
                  Table().SetPostFlushCallback(nullptr) == OR_NULL_POINTER &&
                  Quorvel_GetOperationReceipt(nullptr) == OR_NULL_POINTER &&
                  Quorvel_GetOperationReceipt(&again) == 0 && again == &Table(),
              "a null out-parameter was accepted");
     }},
    {"post-flush callback", 1, kTop | kControl,
     [](Track*) {
       S.postFlushCode = S.in->PickValueInArray(kCodes);
       S.postFlushBusy = S.in->ConsumeBool();
     }},
    {"switch thread", 1, kTop | kControl,
     [](Track*) { S.current = S.in->ConsumeIntegral<uint8_t>() % kSlots; }},
    {"retire thread", 1, kTop | kControl,
     [](Track*) {
       // The current worker flushes and ends (a thread that ends abandons what it buffers); a
       // new thread takes its slot. Capped: the logging stand-in keeps a little for every thread.
       if (S.current == 0) return;
       OnSlot(S.current, [] { Flush(nullptr); });
       if (++S.retired > 100000) return;
       StopWorker(S.current);
       StartWorker(S.current);
       ++S.generation[S.current];
     }},
};

void RunAction(uint8_t where, Track* self) {
  unsigned total = 0;
  for (const Action& action : kActions) total += action.where & where ? action.weight : 0;
  unsigned roll = S.in->ConsumeIntegral<uint8_t>() % total;
  for (const Action& action : kActions) {
    if (!(action.where & where) || roll >= action.weight) {
      roll -= action.where & where ? action.weight : 0;
      continue;
    }
    if (where != kTop || (action.where & kControl)) return action.run(self);
    return OnSlot(S.current, [&] { action.run(nullptr); });
  }
}

// Flushes every thread, builds the values held (a link holds its source until its destination's
// value is built, so a cycle would hold itself forever), releases everything, checks the rest.
void EndInput() {
  S.cleaning = true;
  for (int slot = 0; slot < kSlots; ++slot) OnSlot(slot, [] { Flush(nullptr); });
  for (Track& t : S.tracks) {
    // Twice: a read that returns a flush's error has not built the value yet.
    for (int i = 0; i < 2 && t.held && !t.dead; ++i) {
      BitData* copy = nullptr;
      if (Table().GetValue(t.token, &copy) == 0) BitData_FreeManaged(copy);
    }
  }
  for (Track& t : S.tracks)
    while (t.held > 0) ReleaseHeld(&t, false);
  for (Track& t : S.tracks) {
    uint32_t state = 99;
    Expect(!t.counted || t.destroys == 1, "an operation was never destroyed", &t);
    Expect(!t.token || Table().GetOperationState(t.token, &state) == kInvalid,
           "an operation outlived every reference", &t);
  }
  for (int32_t key : {kClientBase, kClientBase + 1, kClientBase + 2, -1}) {
    uint32_t pending = 1, executed = 1;
    Expect(Table().GetPendingOperationCount(key, &pending) == 0 &&
               Table().GetExecutedOperationCount(key, &executed) == 0 && pending + executed == 0,
           "operations are left in the pool", nullptr, key);
  }
  Expect(StandIn_BitDataLiveCount() == S.liveBits, "bit buffers leaked or freed twice", nullptr,
         StandIn_BitDataLiveCount());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  StandIn_CommonSetClientId(kClientBase);
  StandIn_LoggingSetSink(StandIn_LoggingDiscardSink, nullptr);
  StandIn_LoggingStopRecording();
  Expect(Table().SetPostFlushCallback(OnPostFlush) == 0, "the post-flush callback was refused");
  for (int slot = 1; slot < kSlots; ++slot) StartWorker(slot);
  std::atexit([] {
    for (int slot = 1; slot < kSlots; ++slot) StopWorker(slot);
  });
  const char* aligned = std::getenv("OR_FUZZ_ALIGNED_ONLY");
  S.alignedOnly = aligned != nullptr && aligned[0] == '1';
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  S.in = &in;
  S.tracks.clear();
  S.current = S.depth = 0;
  S.budget = kCreationBudget;
  S.postFlushCode = 0;
  S.cleaning = S.postFlushBusy = false;
  S.liveBits = StandIn_BitDataLiveCount();
  StandIn_ErrorClearPosts();
  StandIn_LoggingSetEnabledLevels(in.ConsumeIntegral<uint8_t>() & 0xF);
  for (int step = 0; step < kMaxSteps && in.remaining_bytes() > 0; ++step) RunAction(kTop, nullptr);
  EndInput();
  return 0;
}
