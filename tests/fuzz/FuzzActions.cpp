// FuzzActions.cpp
//
// The fuzzer's actions: each calls one table entry on the calling thread, keeps the model of the
// references the harness holds, and checks the answer against what the model proves:
// - a token that names nothing (0, never handed out, or an operation known to be destroyed)
//   answers OR_INVALID_OPERATION_TOKEN from every entry that takes one;
// - an operation the harness holds a reference on answers the entries that neither flush nor
//   build a value, and is never destroyed;
// - out-parameters are left alone on failure; the state agrees with the callbacks seen;
// - CancelOperation and FlushOperation act only on the calling thread's own operations, and a
//   Flush outside immediate mode leaves none of the thread's client's operations pending.

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "FuzzInternal.h"

namespace or_fuzz {
namespace {

constexpr uint32_t kInvalid = OR_INVALID_OPERATION_TOKEN;

const OperationReceiptComponent& T() { return *H().table; }

bool MustBeInvalid(const Target& target) {
  switch (target.kind) {
    case Target::kZero:
    case Target::kNeverGiven:
      return true;
    case Target::kTrack:
      return target.token == 0 || target.track->dead;
    default:
      return false;
  }
}

bool ProvablyLive(const Target& target) {
  return target.kind == Target::kTrack && target.token != 0 && target.track->held > 0;
}

// The calling thread's own operation: created on this thread's current set.
bool Own(const Track* track) {
  const int slot = CurrentSlot();
  return track->ownerSlot == slot && track->ownerGeneration == H().generation[slot];
}

void Expect(bool condition, const char* what, const Target& target, uint64_t detail) {
  if (!condition) Fail(what, target.kind == Target::kTrack ? target.track : nullptr, detail);
}

// `invalid`: MustBeInvalid before the call (a call may itself destroy what it reads).
void ExpectInvalidIf(bool invalid, const Target& target, uint32_t result, const char* what) {
  if (invalid) Expect(result == kInvalid, what, target, result);
}

bool Immediate() {
  bool immediate = false;
  if (T().IsImmediateMode(&immediate) != 0) Fail("IsImmediateMode failed");
  return immediate;
}

// The state agrees with the callbacks seen: not yet run while Pending or Canceled, run once when
// Executing or Executed, at most once when Failed.
void CheckState(Track* track, uint32_t state) {
  if (state > OperationState_Failed) Fail("an unknown state", track, state);
  if (!track->hasExecute) return;
  const int runs = track->executions;
  const bool agrees = state == OperationState_Pending || state == OperationState_Canceled
                          ? runs == 0
                          : state == OperationState_Failed ? runs <= 1 : runs == 1;
  if (!agrees) Fail("the state disagrees with the execute callbacks seen", track, state);
}

// Returns the state, or 99 when the token names nothing (which then becomes known).
uint32_t QueryState(const Target& target) {
  const bool invalid = MustBeInvalid(target);
  uint32_t state = 99;
  const uint32_t result = T().GetOperationState(target.token, &state);
  ExpectInvalidIf(invalid, target, result, "GetOperationState answered for a dead token");
  if (ProvablyLive(target)) Expect(result == 0, "a held operation is gone", target, result);
  if (result != 0) {
    Expect(state == 99, "GetOperationState wrote its state on failure", target, state);
    if (target.kind == Target::kTrack && target.token != 0) target.track->dead = true;
    return 99;
  }
  if (target.kind == Target::kTrack) CheckState(target.track, state);
  return state;
}

// Reading a value (or a code or message, which flush on demand) may build the values of the
// operation and of every source its links lead to.
void MarkValues(const Target& target) {
  if (target.kind != Target::kTrack) return;
  std::vector<Track*> stack{target.track};
  std::unordered_set<Track*> seen;
  while (!stack.empty()) {
    Track* track = stack.back();
    stack.pop_back();
    if (!seen.insert(track).second) continue;
    track->valueMaybe = true;
    for (Track* source : track->sources) stack.push_back(source);
  }
}

void Reachable(Track* from, std::unordered_set<Track*>* seen) {
  std::vector<Track*> stack{from};
  while (!stack.empty()) {
    Track* track = stack.back();
    stack.pop_back();
    if (!seen->insert(track).second) continue;
    for (Track* source : track->sources) stack.push_back(source);
  }
}

BitData* MakeBits(uint64_t bits, uint64_t pattern) {
  BitData* data = BitData_CreateManaged(bits);
  if (data != nullptr && bits != 0) BitData_SetUpToUInt64(data, 0, std::min<uint64_t>(bits, 64), pattern);
  return data;
}

}  // namespace

Target TargetOf(Track* track) {
  Target target;
  target.kind = Target::kTrack;
  target.track = track;
  target.token = track->token;
  return target;
}

Track* PickTrack(unsigned index) {
  std::deque<Track>& tracks = H().tracks;
  return tracks.empty() ? nullptr : &tracks[index % tracks.size()];
}

Target PickTarget(unsigned kind, unsigned index) {
  Target target;
  switch (kind % 8) {
    case 5:
      target.kind = Target::kZero;
      return target;
    case 6: {
      static const uint64_t kNever[] = {UINT64_MAX, 1ull << 63, (1ull << 63) + 12345,
                                        0xFFFFFFFFFFFF0000ull};
      target.kind = Target::kNeverGiven;
      target.token = index % 5 == 4 ? H().highestToken + (1ull << 32) : kNever[index % 4];
      return target;
    }
    case 7:
      // Another token from the range a record uses for free slots: no answer is assumed.
      target.kind = Target::kOdd;
      target.token = index % 2 ? 0xFFFFFFFFull : 0x100000000ull;
      return target;
    default:
      if (Track* track = PickTrack(index)) return TargetOf(track);
      target.kind = Target::kZero;
      return target;
  }
}

void Create(const CreateArgs& args) {
  Trace("create want=%d nullDescriptor=%d", args.wantToken, args.nullDescriptor);
  Harness& h = H();
  if (h.budget <= 0) return;
  --h.budget;
  h.tracks.emplace_back();
  Track* track = &h.tracks.back();
  const bool immediate = Immediate();
  const bool withContext = !args.nullDescriptor && args.withContext;
  track->counted = withContext && args.withDestroy;
  track->hasExecute = withContext && args.withExecute;
  track->immediate = immediate;
  track->ownerSlot = CurrentSlot();
  track->ownerGeneration = h.generation[track->ownerSlot];
  track->executeActions = args.executeActions;
  track->valueActions = args.valueActions;
  track->destroyActions = args.destroyActions;
  track->pick = args.pick;
  track->child = args.child;
  track->executeResult = args.executeResult;
  track->valueResult = args.valueResult;

  OperationDescriptor descriptor;
  std::memset(&descriptor, 0xA5, sizeof descriptor);  // reserved bytes are not read
  descriptor.name = args.name;
  descriptor.executeCallback = args.withExecute ? OnExecute : nullptr;
  descriptor.valueCallback = args.withValue ? OnValue : nullptr;
  descriptor.context = withContext ? track : nullptr;
  descriptor.destroyCallback = args.withDestroy ? OnDestroy : nullptr;
  descriptor.hasValue = args.hasValue;
  descriptor.alwaysExecute = args.alwaysExecute;

  const uint64_t highestBefore = h.highestToken;
  if (args.wantToken) track->held = 1;  // the creator's reference exists from allocation on
  const uint32_t result =
      T().CreateOperation(args.nullDescriptor ? nullptr : &descriptor,
                          args.wantToken ? &track->token : nullptr);
  if (args.wantToken) {
    if (track->token <= highestBefore) Fail("a token was handed out of order", track, highestBefore);
    h.highestToken = std::max(h.highestToken, track->token);
  }
  if (!immediate) {
    if (result != 0) Fail("a buffered creation failed", track, result);
    if (args.wantToken && QueryState(TargetOf(track)) != OperationState_Pending) {
      Fail("a buffered operation is not Pending", track);
    }
    return;
  }
  if (track->hasExecute && track->executions != 1) Fail("an immediate operation did not run once", track);
  if (!args.wantToken && track->counted && track->destroys != 1) {
    Fail("an immediate operation nobody holds outlived its creation", track);
  }
  if (track->held > 0) {
    const uint32_t state = QueryState(TargetOf(track));
    if (state != OperationState_Executed && state != OperationState_Failed) {
      Fail("an immediate operation has not finished", track, state);
    }
  }
}

void ReleaseHeld(Track* track, bool secondEntry) {
  Trace("release %llu (held %d)", static_cast<unsigned long long>(track->token), track->held);
  if (track->held == 0) {
    if (track->dead && track->token != 0) {
      const uint32_t result = T().ReleaseOperation(track->token);
      if (result != kInvalid) Fail("a destroyed operation was released", track, result);
    }
    return;
  }
  // The last reference on a link cycle waits for the cleanup, which builds the values first.
  if (track->pinned && track->held == 1 && !H().cleaning) return;
  --track->held;  // before the call: a destroy callback run by it must see the reference gone
  const uint32_t result = secondEntry ? T().ReleaseOperation2(track->token)
                                      : T().ReleaseOperation(track->token);
  if (result != 0) Fail("a held reference was refused", track, result);
}

void Release(const Target& target, bool secondEntry) {
  if (target.kind == Target::kTrack && target.token != 0) {
    ReleaseHeld(target.track, secondEntry);
    return;
  }
  const uint32_t result = secondEntry ? T().ReleaseOperation2(target.token)
                                      : T().ReleaseOperation(target.token);
  if (target.kind == Target::kOdd) return;  // tokens this high are not reached in a fuzzing run
  Expect(result == (target.token == 0 ? 0u : kInvalid), "Release of a token naming nothing",
         target, result);
}

void OverRelease(Track* track) {
  Trace("over-release %llu", static_cast<unsigned long long>(track->token));
  if (track->held != 0 || track->dead || track->pinned || track->token == 0) return;
  // Takes a reference the buffer or a link holds: the operation may go early, never twice.
  track->tainted = true;
  const uint32_t result = T().ReleaseOperation(track->token);
  if (result != 0 && result != kInvalid) Fail("an over-release answered oddly", track, result);
}

void Acquire(const Target& target) {
  const bool invalid = MustBeInvalid(target);
  Trace("Acquire %llu", static_cast<unsigned long long>(target.token));
  if (target.kind == Target::kTrack && (target.track->tainted || target.track->held >= 64)) return;
  const uint32_t result = T().AcquireOperation(target.token);
  if (target.token == 0) {
    Expect(result == 0, "Acquire(0) refused", target, result);
    return;
  }
  ExpectInvalidIf(invalid, target, result, "a dead token was acquired");
  if (ProvablyLive(target)) Expect(result == 0, "a held operation refused a reference", target, result);
  if (target.kind != Target::kTrack || target.token == 0) return;
  if (result == 0) {
    ++target.track->held;
  } else {
    target.track->dead = true;
  }
}

void Flush() {
  Trace("Flush");
  const bool immediate = Immediate();
  (void)T().Flush();
  if (immediate) return;
  uint32_t pending = 1;
  if (T().GetPendingOperationCount(kClientBase + CurrentSlot(), &pending) != 0 || pending != 0) {
    Fail("a flush left operations of its thread pending", nullptr, pending);
  }
}

void FlushOne(const Target& target) {
  const bool invalid = MustBeInvalid(target);
  Trace("FlushOne %llu", static_cast<unsigned long long>(target.token));
  const bool immediate = Immediate();
  const bool live = ProvablyLive(target);
  const uint32_t before = live ? QueryState(target) : 99;
  const uint32_t result = T().FlushOperation(target.token);
  MarkValues(target);
  ExpectInvalidIf(invalid, target, result, "FlushOperation answered for a dead token");
  if (!live) return;
  if (!Own(target.track)) {
    Expect(result == kInvalid, "FlushOperation flushed another thread's operation", target, result);
    return;
  }
  // A callback run by the flush may have released the harness's reference meanwhile.
  if (before == OperationState_Pending && !immediate && ProvablyLive(target)) {
    Expect(QueryState(target) != OperationState_Pending, "FlushOperation left it pending", target,
           result);
  }
}

void Cancel(const Target& target) {
  const bool invalid = MustBeInvalid(target);
  Trace("Cancel %llu", static_cast<unsigned long long>(target.token));
  const bool live = ProvablyLive(target);
  const uint32_t before = live ? QueryState(target) : 99;
  const uint32_t result = T().CancelOperation(target.token);
  ExpectInvalidIf(invalid, target, result, "CancelOperation answered for a dead token");
  if (!live) return;
  if (!Own(target.track)) {
    Expect(result == kInvalid, "CancelOperation canceled another thread's operation", target, result);
    return;
  }
  if (before == OperationState_Executed) {
    Expect(result == OR_OPERATION_ALREADY_EXECUTED, "an executed operation was canceled", target,
           result);
    return;
  }
  Expect(result == 0, "a cancel of an own operation failed", target, result);
  // A destroy callback run by the cancel's releases may have released the harness's reference.
  if (!ProvablyLive(target)) return;
  const uint32_t after = QueryState(target);
  if (before == OperationState_Pending) {
    Expect(after == OperationState_Canceled, "a canceled operation is not Canceled", target, after);
  } else {
    Expect(after == before, "a cancel changed a finished operation", target, after);
  }
}

void ReadValue(const Target& target) {
  const bool invalid = MustBeInvalid(target);
  Trace("ReadValue %llu", static_cast<unsigned long long>(target.token));
  BitData* value = reinterpret_cast<BitData*>(uintptr_t{8});
  const uint32_t result = T().GetValue(target.token, &value);
  MarkValues(target);
  ExpectInvalidIf(invalid, target, result, "GetValue answered for a dead token");
  if (result == 0) {
    BitData_FreeManaged(value);
  } else {
    Expect(value == nullptr, "GetValue left its out-parameter set on failure", target, result);
  }
}

void ReadUnsigned(const Target& target, unsigned width) {
  const bool invalid = MustBeInvalid(target);
  Trace("ReadUnsigned%u %llu", width, static_cast<unsigned long long>(target.token));
  constexpr uint64_t kUntouched = 0x5A5A5A5A5A5A5A5Aull;
  uint64_t value = kUntouched;
  uint32_t result;
  switch (width) {
    case 8: result = T().GetValueUInt8(target.token, reinterpret_cast<uint8_t*>(&value)); break;
    case 16: result = T().GetValueUInt16(target.token, reinterpret_cast<uint16_t*>(&value)); break;
    case 32: result = T().GetValueUInt32(target.token, reinterpret_cast<uint32_t*>(&value)); break;
    default: result = T().GetValueUInt64(target.token, &value); break;
  }
  MarkValues(target);
  ExpectInvalidIf(invalid, target, result, "GetValueUInt answered for a dead token");
  if (result != 0) Expect(value == kUntouched, "GetValueUInt wrote on failure", target, result);
}

void ReadErrorCode(const Target& target) {
  const bool invalid = MustBeInvalid(target);
  Trace("ReadErrorCode %llu", static_cast<unsigned long long>(target.token));
  uint32_t code = 0xC0DEC0DEu;
  const uint32_t result = T().GetErrorCode(target.token, &code);
  MarkValues(target);
  ExpectInvalidIf(invalid, target, result, "GetErrorCode answered for a dead token");
  if (result != 0) Expect(code == 0xC0DEC0DEu, "GetErrorCode wrote on failure", target, result);
}

void ReadErrorMessage(const Target& target, uint32_t bufferSize, bool withBuffer, bool withSize) {
  const bool invalid = MustBeInvalid(target);
  Trace("ReadErrorMessage %llu", static_cast<unsigned long long>(target.token));
  std::vector<char> buffer(bufferSize + 8, 'Z');
  uint32_t size = 0xFFFFFFFFu;
  const uint32_t result = T().GetErrorMessage(target.token, withBuffer ? buffer.data() : nullptr,
                                              bufferSize, withSize ? &size : nullptr);
  MarkValues(target);
  if (!withBuffer && !withSize) {
    Expect(result == OR_NULL_POINTER, "GetErrorMessage without outputs", target, result);
    return;
  }
  ExpectInvalidIf(invalid, target, result, "GetErrorMessage answered for a dead token");
  for (size_t i = bufferSize; i < buffer.size(); ++i) {
    Expect(buffer[i] == 'Z', "GetErrorMessage wrote past its buffer", target, i);
  }
  if (result != 0) {
    Expect(size == 0xFFFFFFFFu, "GetErrorMessage wrote a size on failure", target, result);
    return;
  }
  if (withBuffer && withSize && bufferSize != 0) {
    const size_t copied = strnlen(buffer.data(), bufferSize);
    Expect(copied == std::min<size_t>(size, bufferSize - 1), "message and size disagree", target,
           copied);
  }
}

void SetError(const Target& target, uint32_t code, const char* message) {
  const bool invalid = MustBeInvalid(target);
  Trace("SetError %llu 0x%x", static_cast<unsigned long long>(target.token), code);
  const uint32_t result = T().SetError(target.token, code, message);
  ExpectInvalidIf(invalid, target, result, "SetError answered for a dead token");
  if (ProvablyLive(target)) Expect(result == 0, "SetError on a held operation failed", target, result);
}

void ReadState(const Target& target) {
  Trace("ReadState %llu", static_cast<unsigned long long>(target.token)); (void)QueryState(target); }

void SetValue(const Target& target, uint64_t bits, uint64_t pattern) {
  const bool invalid = MustBeInvalid(target);
  Trace("SetValue %llu bits %llu", static_cast<unsigned long long>(target.token), static_cast<unsigned long long>(bits));
  if (target.kind == Target::kTrack && target.track->pinned) return;
  BitData* value = MakeBits(bits, pattern);
  if (value == nullptr) return;
  const uint32_t result = T().SetValue(target.token, value);
  if (target.kind == Target::kTrack) target.track->valueMaybe = true;
  ExpectInvalidIf(invalid, target, result, "SetValue answered for a dead token");
  if (ProvablyLive(target)) Expect(result != kInvalid, "SetValue refused a held operation", target, 0);
  // The operation owns the value as soon as it finds the token; otherwise the caller does.
  if (result == kInvalid) BitData_FreeManaged(value);
}

void SetValueSize(const Target& target, uint64_t bits) {
  const bool invalid = MustBeInvalid(target);
  Trace("SetValueSize %llu", static_cast<unsigned long long>(target.token));
  const uint32_t result = T().SetValueSize(target.token, bits);
  ExpectInvalidIf(invalid, target, result, "SetValueSize answered for a dead token");
  if (ProvablyLive(target)) Expect(result == 0, "SetValueSize on a held operation failed", target, result);
}

// A link whose source leads back to its destination closes a cycle. Such links are made only
// among operations the harness holds and that have never had a value, and those operations keep
// their last reference until the cleanup has built their values (which releases the links).
void Link(const Target& destination, const Target& source, const IndexList* destinationIndices,
          const IndexList* sourceIndices) {
  Trace("Link %llu <- %llu", static_cast<unsigned long long>(destination.token), static_cast<unsigned long long>(source.token));
  std::unordered_set<Track*> cycle;
  const bool bothTracked = destination.kind == Target::kTrack && source.kind == Target::kTrack &&
                           !MustBeInvalid(destination) && !MustBeInvalid(source);
  if (bothTracked) {
    std::unordered_set<Track*> reach;
    Reachable(source.track, &reach);
    if (reach.count(destination.track) != 0) {
      cycle = reach;
      for (Track* member : cycle) {
        if (member->held == 0 || member->dead || member->tainted || member->valueMaybe ||
            member->token == 0) {
          return;
        }
      }
    }
  }
  const bool invalid = MustBeInvalid(destination) || MustBeInvalid(source);
  const uint32_t result =
      T().LinkValue(destination.token, source.token, destinationIndices, sourceIndices);
  if (invalid) {
    Expect(result == kInvalid, "LinkValue accepted a dead token", destination, result);
  }
  if (ProvablyLive(destination) && ProvablyLive(source)) {
    Expect(result == 0, "LinkValue refused held operations", destination, result);
  }
  if (result != 0 || !bothTracked) return;
  destination.track->sources.push_back(source.track);
  for (Track* member : cycle) member->pinned = true;
}

void Counts(int32_t setKey) {
  uint32_t count = 0;
  if (T().GetPendingOperationCount(setKey, &count) != 0) Fail("GetPendingOperationCount failed");
  if (T().GetExecutedOperationCount(setKey, &count) != 0) Fail("GetExecutedOperationCount failed");
  if (T().GetPendingOperationCount(setKey, nullptr) != OR_NULL_POINTER) Fail("count into null");
}

void NullPointerCalls(const Target& target) {
  const OperationReceiptComponent& t = T();
  const uint64_t token = target.token;
  if (t.GetValue(token, nullptr) != OR_NULL_POINTER) Fail("GetValue into null");
  if (t.GetErrorCode(token, nullptr) != OR_NULL_POINTER) Fail("GetErrorCode into null");
  if (t.GetOperationState(token, nullptr) != OR_NULL_POINTER) Fail("GetOperationState into null");
  if (t.SetValue(token, nullptr) != OR_NULL_POINTER) Fail("SetValue of null");
  if (t.IsImmediateMode(nullptr) != OR_NULL_POINTER) Fail("IsImmediateMode into null");
  if (t.SetPostFlushCallback(nullptr) != OR_NULL_POINTER) Fail("null post-flush callback");
  if (Quorvel_GetOperationReceipt(nullptr) != OR_NULL_POINTER) Fail("table into null");
  const OperationReceiptComponent* again = nullptr;
  if (Quorvel_GetOperationReceipt(&again) != 0 || again != &t) Fail("another table");
}

// ---- What callbacks do.

void RunActions(uint8_t bits, Track* self) {
  Harness& h = H();
  if (h.cleaning || bits == 0 || h.depth >= 4) return;
  ++h.depth;
  const unsigned pick = self != nullptr ? self->pick : h.postFlushPick;
  const uint8_t child = self != nullptr ? self->child : static_cast<uint8_t>(h.postFlushActions >> 1);
  if (bits & kActCreate) {
    CreateArgs args;
    args.name = "Child";
    args.executeActions = child;
    args.valueActions = child & (kActCreate | kActFlush);
    args.destroyActions = child & (kActCreate | kActFlush | kActRelease);
    args.child = static_cast<uint8_t>(child >> 1);
    args.pick = static_cast<uint8_t>(pick + 1);
    args.wantToken = (child & 1) != 0;
    args.hasValue = (child & 2) != 0;
    args.alwaysExecute = (child & 8) != 0;
    args.executeResult = (child & 4) != 0 ? 7u : 0u;
    Create(args);
  }
  if (bits & kActFlush) Flush();
  if (bits & kActCancel) Cancel(PickTarget(0, pick));
  if ((bits & kActRelease) != 0 && PickTrack(pick) != nullptr) ReleaseHeld(PickTrack(pick), false);
  if ((bits & kActSetError) != 0 && self != nullptr) {
    SetError(TargetOf(self), self->executeResult | 0x100u, (pick & 1) ? "set by a callback" : nullptr);
  }
  if ((bits & kActSetValue) != 0 && self != nullptr) SetValue(TargetOf(self), 8 + pick % 80, pick);
  if (bits & kActFlushOne) FlushOne(PickTarget(0, pick));
  if (bits & kActRead) ReadUnsigned(PickTarget(0, pick), 64);
  --h.depth;
}

}  // namespace or_fuzz
