// OperationReceiptFuzzer.cpp
//
// libFuzzer target: a byte of log levels, then steps, each an entry of kActions (by weight), its
// target and arguments; callbacks of busy operations take steps too. Answers are checked against
// a model of each operation (Op); at the end no operation, bit buffer or error context is left.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <deque>

#include "ModelChecks.h"

namespace {

using or_model::Table;
using C = OperationReceiptComponent;
constexpr uint32_t kInvalid = OR_INVALID_OPERATION_TOKEN;
// The codes callbacks return and SetError sets: with the component's own, all an entry may answer.
const uint32_t kCodes[] = {0, 0, 1, 0x7F0000AAu, 0xFFFFFFFFu};
const char* const kNames[] = {nullptr, "", "op", "with %s and\na break"};
const uint64_t kBits[] = {1, 8, 33, 64, 65, 200};
const uint64_t kBig[] = {0, 1, 3, 7, 64, 65, 130, 1u << 20, (1u << 28) + 1, 1ull << 32, ~0ull};

// What the harness knows of an operation. exact: its value is setBits bits of pattern, set by its
// execute callback; linkedFrom: a link may hold it.
struct Op {
  uint64_t token = 0;  // 0: not known
  bool dead = false, busy = false, mayHaveValue = false;
  int held = 0;  // the harness's references
  uint32_t executeCode = 0, valueCode = 0;
  uint64_t setBits = 0, pattern = 0;
  int runs = 0, destroys = 0;
  bool exact = false, linkedFrom = false;
};
FuzzedDataProvider* in;
std::deque<Op> ops;  // stable addresses
Op strays[] = {{0, true}, {~0ull, true}, {1ull << 63, true}, {1ull << 32, true}};  // never live
int depth = 0;
uint8_t postFlush = 0;  // its code (kCodes[postFlush % 5]) and whether it takes steps (& 8)
bool ending = false, alignedOnly = false;

void Expect(bool ok, const char* what, const Op* op = nullptr, unsigned long long detail = 0) {
  if (ok) return;
  std::fprintf(stderr, "\n*** %s (token %llu, 0x%llx)\n", what, op ? 0ull + op->token : 0, detail);
  std::abort();
}
Op* Pick() {  // a tracked operation (as token 0 while its token is not known), or a stray
  const uint8_t b = in->ConsumeIntegral<uint8_t>();
  Op* op = b >= 224 || ops.empty() ? &strays[b % 4] : &ops[b % ops.size()];
  return op->token ? op : &strays[0];
}

// An answer is a documented code; with kT, "invalid token" if `x` was known dead (`gone`), but 0
// for token 0 with kToken0; with kHeld, not that while the harness holds `x` (kZero: only 0).
enum : uint8_t { kT = 1, kHeld = 2, kZero = 4, kToken0 = 8 };
uint32_t Answer(uint32_t result, const Op* x, bool gone, uint8_t flags, int what = -1) {
  bool ok = result == 0 || result == OR_NULL_POINTER || result == kInvalid ||
            result == OR_OPERATION_HAS_NO_VALUE || result == OR_OPERATION_ALREADY_EXECUTED;
  for (uint32_t code : kCodes) ok |= result == code;
  if ((flags & kT) && gone) ok &= result == (!x->token && (flags & kToken0) ? 0 : kInvalid);
  if ((flags & kHeld) && x->held) ok &= result != kInvalid && (!(flags & kZero) || !result);
  Expect(ok, "a wrong answer (detail: action << 32 | result)", x, (0ull + what) << 32 | result);
  return result;
}

uint32_t State(Op* x) {  // the state, or 99 when the token names nothing (x is then dead)
  uint32_t state = 99;
  if (Answer(Table().GetOperationState(x->token, &state), x, x->dead, kT | kHeld)) x->dead = true;
  Expect(x->dead ? state == 99 : or_model::StateAgrees(state, x->runs, true), "a state", x, state);
  return state;
}
uint64_t Writes(Op* op, bool reshapes) {  // before a call that may give `op` a value
  op->mayHaveValue = true;
  op->exact = false;
  if (reshapes) op->setBits = 0;  // sized or linked into: the execute callback sets none
  return op->token;
}

void Step();
void Callback(Op* op, uint64_t token, bool busy) {  // busy: takes up to two steps
  if (token) op->token = token;  // learnt, for an operation created without one
  if (!busy || ending || depth >= 3) return;
  ++depth;
  for (int n = in->ConsumeIntegralInRange(0, 2); n > 0; --n) Step();
  --depth;
}
uint32_t OnExecute(uint64_t token, void* context) {
  Op& op = *static_cast<Op*>(context);
  Expect(++op.runs == 1 && !or_model::ExecutingProblem(token, false), "an execution", &op);
  Callback(&op, token, op.busy);
  if (!op.setBits) return op.executeCode;
  op.mayHaveValue = op.exact = true;  // last: what a read must find until another write
  const bool gone = op.dead;
  Answer(or_model::SetBits(token, op.setBits, op.pattern), &op, gone, kT | kHeld);
  return op.executeCode;
}
uint32_t OnValue(uint64_t token, void* context, BitData* value) {
  Op& op = *static_cast<Op*>(context);
  Expect(value && !op.dead && op.mayHaveValue, "an unexpected value callback", &op);
  Callback(&op, token, op.busy);
  return op.valueCode;
}
void OnDestroy(void* context) {
  Op& op = *static_cast<Op*>(context);
  op.dead = true;
  Expect(++op.destroys == 1 && !op.held && (!op.token || State(&op) == 99), "a destroy", &op);
  Callback(&op, 0, op.busy);
}
uint32_t OnPostFlush() {
  Callback(&strays[0], 0, postFlush & 8);
  return ending ? 0 : kCodes[postFlush % 5];
}

uint32_t Create(Op*) {
  if (ops.size() >= 40) return 0;
  const uint8_t flags = in->ConsumeIntegral<uint8_t>(), codes = in->ConsumeIntegral<uint8_t>();
  const bool immediate = or_model::Immediate(), wantToken = !(flags & 1);  // held from the start
  ops.push_back({0, false, (flags & 2) != 0, (flags & 4) != 0, wantToken, kCodes[codes % 5],
                 kCodes[codes / 5 % 5], flags & 8 ? in->PickValueInArray(kBits) : 0,
                 flags & 8 ? in->ConsumeIntegral<uint64_t>() : 0});
  Op& op = ops.back();
  const OperationDescriptor d{kNames[codes / 25 % 4],          OnExecute, OnValue, &op, OnDestroy,
                              static_cast<uint8_t>(flags & 4),  {0xA5, 0xA5, 0xA5},
                              static_cast<uint8_t>(flags & 16), {0xA5, 0xA5, 0xA5}};
  const uint32_t result = Table().CreateOperation(&d, wantToken ? &op.token : nullptr);
  Expect(immediate ? op.runs == 1 : !result && (!wantToken || State(&op) == OperationState_Pending),
         "a creation", &op, result);
  return result;
}

// Drops a reference of the harness's, from the model first (a destroy callback must see it gone);
// outside callbacks, a settled operation no link holds must be gone after the harness's last.
void Release(Op& op) {
  const uint32_t before = !depth && op.held == 1 && !op.linkedFrom ? State(&op) : 99;
  const auto release = op.held-- % 2 ? Table().ReleaseOperation : Table().ReleaseOperation2;
  Expect(!release(op.token), "a held reference was refused", &op);
  Expect(before == 99 || before == OperationState_Pending || (State(&op) == 99 && op.destroys),
         "an operation outlived the harness's last reference", &op, before);
}

uint32_t Read(Op* x) {  // how % 8: 0-3, the value's first 8 << how bits; 4, all; 5-7, the rest
  const uint8_t how = in->ConsumeIntegral<uint8_t>() % 72;
  uint64_t got = 0, length = x->setBits, width = how % 8 < 4 ? 8u << how % 8 : 64;
  uint32_t out = 0;
  char text[8];  // ASan catches a write past it
  BitData* copy = nullptr;
  const auto read = [&](auto entry, auto value) {
    const uint32_t result = (Table().*entry)(x->token, &value);
    return got = value, result;
  };
  if (how % 8 == 5) return State(x) == 99 ? kInvalid : 0;
  if (how % 8 == 6) return Table().GetErrorCode(x->token, &out);
  if (how % 8 == 7) return Table().GetErrorMessage(x->token, text, how / 8, &out);
  const uint32_t result = how % 8 == 0   ? read(&C::GetValueUInt8, uint8_t{0})
                          : how % 8 == 1 ? read(&C::GetValueUInt16, uint16_t{0})
                          : how % 8 == 2 ? read(&C::GetValueUInt32, uint32_t{0})
                          : how % 8 == 3 ? read(&C::GetValueUInt64, uint64_t{0})
                                         : Table().GetValue(x->token, &copy);
  if (copy) length = BitData_GetLength(copy);
  if (copy) got = BitData_GetUpToUInt64(copy, 0, std::min<uint64_t>(length, 64));
  BitData_FreeManaged(copy);
  Expect(result || (x->mayHaveValue &&
                    (!x->exact || (length == x->setBits &&
                                   got == (x->pattern & ~0ull >> (64 - std::min(width, length)))))),
         "a value read differs from what was set", x, got);
  return result;
}

uint32_t Link(Op* to) {
  Op* from = Pick();
  // Either side's index list: one run of up to two positions, or a range's start and length; its
  // count right or one off; its end (unless OR_FUZZ_ALIGNED_ONLY=1) maybe not a whole item on.
  const uint8_t shape = in->ConsumeIntegral<uint8_t>();
  const uint64_t v[2] = {in->PickValueInArray(kBig), in->PickValueInArray(kBig)}, n = shape / 4 % 3;
  const int skew = shape & 16 && n && !alignedOnly ? 3 : 0;
  const IndexRun run{static_cast<uint8_t>(shape & 1), static_cast<uint8_t>(shape & 2), {}, v,
                     reinterpret_cast<const uint64_t*>(reinterpret_cast<const char*>(v + n) - skew),
                     nullptr};
  const IndexList list{&run, &run + 1, nullptr, (shape & 1 ? v[1] : n) + !(shape & 32)};
  const IndexList* lists[] = {nullptr, &list};
  if (!to->dead && !from->dead && to->token <= from->token) return 0;  // into later ones: no cycle
  from->linkedFrom = true;
  const uint32_t result =
      Table().LinkValue(Writes(to, true), from->token, lists[shape >> 6 & 1], lists[shape >> 7]);
  Expect(from->dead ? result == kInvalid : !to->held || !from->held || !result, "link", to, result);
  return result;
}

struct Action { unsigned weight; uint8_t flags; uint32_t (*run)(Op*); };  // flags 0: no target
const Action kActions[] = {
    {4, 0, Create},
    {1, 0, [](Op*) { return Table().CreateOperation(nullptr, nullptr); }},
    {2, kT | kToken0, [](Op* x) -> uint32_t {  // only the harness's references
       if (x->held) return Release(*x), 0;
       return x->dead ? Table().ReleaseOperation(x->token) : 0;  // a buffer or link may hold it
     }},
    {1, kT | kHeld | kZero | kToken0, [](Op* x) -> uint32_t {
       const uint32_t result = x->held >= 8 ? 0 : Table().AcquireOperation(x->token);
       if (x->held < 8 && !x->dead) result ? x->dead = true : ++x->held;
       return result;
     }},
    {2, 0, [](Op*) { return Table().Flush(); }},
    {1, kT | kHeld, [](Op* x) { return Table().FlushOperation(x->token); }},
    {1, kT | kHeld, [](Op* x) { return Table().CancelOperation(x->token); }},
    {4, kT | kHeld, Read},
    {1, kT | kHeld | kZero, [](Op* x) {
       const uint8_t b = in->ConsumeIntegral<uint8_t>();
       return Table().SetError(x->token, kCodes[b % 5], kNames[b / 5 % 4]);
     }},
    {1, kT | kHeld, [](Op* x) {
       const uint64_t bits = in->PickValueInArray(kBits);
       return or_model::SetBits(Writes(x, false), bits, in->ConsumeIntegral<uint64_t>());
     }},
    {1, kT | kHeld,
     [](Op* x) { return Table().SetValueSize(Writes(x, true), in->PickValueInArray(kBig)); }},
    {2, kT, Link},
    {1, 0, [](Op*) { return postFlush = in->ConsumeIntegral<uint8_t>(), 0u; }},
};

void Step() {
  unsigned roll = in->ConsumeIntegral<uint8_t>() % 22;  // the sum of the weights
  const Action* a = kActions;
  for (; roll >= a->weight; ++a) roll -= a->weight;
  Op* x = a->flags ? Pick() : nullptr;
  const bool gone = x && x->dead;
  Answer(a->run(x), x, gone, a->flags, static_cast<int>(a - kActions));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  StandIn_CommonSetClientId(900);  // the client whose operations are counted
  StandIn_LoggingSetSink(StandIn_LoggingDiscardSink, nullptr);
  StandIn_LoggingStopRecording();
  Expect(!Table().SetPostFlushCallback(OnPostFlush), "the post-flush callback was refused");
  alignedOnly = std::getenv("OR_FUZZ_ALIGNED_ONLY") && *std::getenv("OR_FUZZ_ALIGNED_ONLY") == '1';
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider provider(data, size);
  in = &provider;
  ops.clear();
  postFlush = ending = false;
  StandIn_LoggingSetEnabledLevels(in->ConsumeIntegral<uint8_t>() & 0xF);
  for (int step = 0; step < 160 && in->remaining_bytes() > 0; ++step) Step();
  ending = true;  // callbacks take no more steps
  Table().Flush();
  for (Op& op : ops)
    while (op.held) Release(op);
  for (Op& op : ops)
    Expect(op.destroys == 1 && (!op.token || State(&op) == 99), "an operation outlived all", &op);
  for (int32_t key : {900, -1}) {
    uint32_t pending = 1, executed = 1;
    Expect(!Table().GetPendingOperationCount(key, &pending) &&
               !Table().GetExecutedOperationCount(key, &executed) && pending + executed == 0,
           "operations are left in the pool", nullptr, key);
  }
  Expect(!StandIn_BitDataLiveCount() && !StandIn_ErrorOpenContextCount(),
         "a bit buffer is left live or an error context open", nullptr, StandIn_BitDataLiveCount());
  return 0;
}
