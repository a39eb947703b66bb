// StressWorker.cpp

#include "StressWorker.h"

#include <string>

namespace or_stress {
namespace {

constexpr uint32_t kInvalid = OR_INVALID_OPERATION_TOKEN;
constexpr uint32_t kFailedExecution = 5;
constexpr uint32_t kCallbackError = 0x66;

Model* currentModel = nullptr;
thread_local Worker* currentWorker = nullptr;

uint32_t OnExecute(uint64_t token, void* context) {
  Track& track = *static_cast<Track*>(context);
  Model& model = *currentModel;
  track.token.store(token);
  if (track.executions.fetch_add(1) != 0) model.Violation("an operation was executed twice", &track);
  uint32_t state = 99;
  const uint32_t result = Table().GetOperationState(token, &state);
  if (result == 0 ? state != OperationState_Executing : !model.Exposed(track)) {
    model.Violation("an executing operation does not answer Executing", &track);
  }
  bool immediate = false;
  if (Table().IsImmediateMode(&immediate) != 0 || !immediate) {
    model.Violation("an execute callback runs outside immediate mode", &track);
  }
  if (currentWorker != nullptr) currentWorker->FromExecute(track, token);
  return track.executeResult;
}

uint32_t OnValue(uint64_t /*token*/, void* context, BitData* value) {
  if (value == nullptr) currentModel->Violation("a value callback was told of no value", nullptr);
  (void)context;
  return 0;
}

void OnDestroy(void* context) {
  Track& track = *static_cast<Track*>(context);
  Model& model = *currentModel;
  if (track.destroys.fetch_add(1) != 0) model.Violation("an operation was destroyed twice", &track);
  if (track.held.load() > 0) {
    if (!model.Exposed(track)) {
      model.Violation("an operation was destroyed while a reference is held", &track);
    } else {
      model.tolerated.fetch_add(1);
    }
  }
}

BitData* MakeBits(uint64_t bits, uint64_t pattern) {
  BitData* data = BitData_CreateManaged(bits);
  if (data != nullptr && bits != 0) BitData_SetUpToUInt64(data, 0, bits < 64 ? bits : 64, pattern);
  return data;
}

}  // namespace

const OperationReceiptComponent& Table() {
  static const OperationReceiptComponent* table = [] {
    const OperationReceiptComponent* fetched = nullptr;
    Quorvel_GetOperationReceipt(&fetched);
    return fetched;
  }();
  return *table;
}

void SetCurrentModel(Model* model) { currentModel = model; }

Worker::Worker(Model& model, SharedPool& pool, int slot, int generation, uint64_t seed,
               bool strict)
    : model_(model),
      pool_(pool),
      thread_(slot * 2 + generation),
      id_(kClientBase + slot * 2 + generation),
      strict_(strict),
      random_(seed * 1000003u + static_cast<uint64_t>(slot * 2 + generation)) {}

void Worker::Run(int steps) {
  StandIn_CommonSetClientId(id_);
  currentWorker = this;
  for (int i = 0; i < steps; ++i) Step();
  Flush();
  while (!published_.empty()) Unpublish();
  while (!handles_.empty()) ReleaseHandle(handles_.size() - 1);
  Flush();
  // A few operations stay buffered: the thread's end abandons them, pending and referenced
  // by the buffer alone.
  for (int i = 0; i < 3; ++i) {
    if (Track* track = Create(/*wantToken=*/true)) {
      track->abandoned = true;
      ReleaseHandle(handles_.size() - 1);
    }
  }
  currentWorker = nullptr;
}

Track* Worker::Pick() {
  if (handles_.empty()) return nullptr;
  return handles_[random_() % handles_.size()];
}

void Worker::Step() {
  const unsigned roll = random_() % 100;
  Track* track = Pick();
  if (roll < 22 || track == nullptr) {
    Create(random_() % 10 != 0);
  } else if (roll < 36) {
    ReleaseHandle(random_() % handles_.size());
  } else if (roll < 40) {
    Acquire(track);
  } else if (roll < 47) {
    Flush();
  } else if (roll < 52) {
    FlushOne(track);
  } else if (roll < 57) {
    Cancel(track);
  } else if (roll < 68) {
    Read(track);
  } else if (roll < 73) {
    SetValue(track);
  } else if (roll < 76) {
    const uint64_t sizes[] = {0, 1, 8, 64, 100, 1000};
    ExpectHeldAnswer(Table().SetValueSize(track->token.load(), sizes[random_() % 6]), *track,
                     "SetValueSize");
  } else if (roll < 79) {
    ExpectHeldAnswer(Table().SetError(track->token.load(), kCallbackError,
                                      random_() % 2 ? "stress error" : nullptr),
                     *track, "SetError");
  } else if (roll < 86) {
    Link(track, Pick());
  } else if (roll < 91) {
    Publish(track);
  } else if (roll < 94) {
    Unpublish();
  } else {
    Borrow();
  }
}

Track* Worker::Create(bool wantToken) {
  Track* track = model_.NewTrack();
  if (track == nullptr) return nullptr;
  bool immediate = false;
  Table().IsImmediateMode(&immediate);
  track->key = immediate ? -1 : id_;
  track->finishedBefore = model_.finished[KeyIndex(track->key)].load();
  track->ownerThread = thread_;
  track->hasExecute = random_() % 8 != 0;
  track->behaviour = immediate ? 0 : static_cast<uint8_t>(random_() % 16);
  track->executeResult = random_() % 12 == 0 ? kFailedExecution : 0;
  OperationDescriptor descriptor{};
  descriptor.name = "Stress";
  descriptor.executeCallback = track->hasExecute ? OnExecute : nullptr;
  descriptor.valueCallback = OnValue;
  descriptor.context = track;
  descriptor.destroyCallback = OnDestroy;
  descriptor.hasValue = random_() % 3 == 0;
  descriptor.alwaysExecute = random_() % 5 == 0;
  uint64_t token = 0;
  if (wantToken) track->held.store(1);  // the creator's reference exists from allocation on
  const uint32_t result = Table().CreateOperation(&descriptor, wantToken ? &token : nullptr);
  // Without a token for the caller, creation gives its own reference back before it returns:
  // disconnects meanwhile may have destroyed the operation, and the release is then refused.
  if (!immediate && result != 0 && !(result == kInvalid && !wantToken && model_.Exposed(*track))) {
    model_.Violation("a buffered creation answered " + std::to_string(result), track);
  }
  if (!wantToken) return nullptr;
  track->token.store(token);
  handles_.push_back(track);
  return track;
}

// Runs inside the execute callback of one of this thread's operations, in immediate mode.
void Worker::FromExecute(Track& track, uint64_t token) {
  if (track.behaviour & 1) Create(random_() % 2 == 0);  // executes at once
  if (track.behaviour & 2) {
    BitData* value = MakeBits(16, token);
    if (Table().SetValue(token, value) == kInvalid) BitData_FreeManaged(value);
  }
  if (track.behaviour & 4) (void)Table().SetError(token, kCallbackError, "from execute");
}

void Worker::ReleaseHandle(size_t index) {
  Track* track = handles_[index];
  handles_[index] = handles_.back();
  handles_.pop_back();
  track->held.fetch_sub(1);  // before the call: its destroy callback must see it gone
  ExpectHeldAnswer(Table().ReleaseOperation(track->token.load()), *track, "ReleaseOperation");
}

void Worker::Acquire(Track* track) {
  const uint32_t result = Table().AcquireOperation(track->token.load());
  ExpectHeldAnswer(result, *track, "AcquireOperation");
  if (result != 0) return;
  track->held.fetch_add(1);
  handles_.push_back(track);
}

void Worker::Flush() {
  bool immediate = true;
  Table().IsImmediateMode(&immediate);
  if (immediate) model_.Violation("a worker is in immediate mode between calls", nullptr);
  (void)Table().Flush();
  uint32_t pending = 1;
  if (Table().GetPendingOperationCount(id_, &pending) != 0 || pending != 0) {
    model_.Violation("a flush left operations of its client pending", nullptr);
  }
}

void Worker::FlushOne(Track* track) {
  const uint64_t token = track->token.load();
  const uint32_t result = Table().FlushOperation(token);
  if (track->ownerThread != thread_) {
    if (result != kInvalid) model_.Violation("FlushOperation flushed a foreign operation", track);
    return;
  }
  ExpectReadAnswer(result, *track, "FlushOperation");
  uint32_t state = 99;
  const uint32_t read = Table().GetOperationState(token, &state);
  ExpectHeldAnswer(read, *track, "GetOperationState after FlushOperation");
  if (read == 0 && state == OperationState_Pending) {
    model_.Violation("FlushOperation left its operation pending", track);
  }
}

void Worker::Cancel(Track* track) {
  const uint64_t token = track->token.load();
  uint32_t before = 99;
  if (Table().GetOperationState(token, &before) != 0) return;  // gone to a disconnect
  const uint32_t result = Table().CancelOperation(token);
  if (track->ownerThread != thread_) {
    if (result != kInvalid) model_.Violation("CancelOperation canceled a foreign operation", track);
    return;
  }
  if (result == kInvalid) {
    ExpectHeldAnswer(result, *track, "CancelOperation");
    return;
  }
  const uint32_t expected = before == OperationState_Executed ? OR_OPERATION_ALREADY_EXECUTED : 0;
  if (result != expected) model_.Violation("CancelOperation answered " + std::to_string(result), track);
  uint32_t after = 99;
  if (Table().GetOperationState(token, &after) != 0) return;
  if (before == OperationState_Pending ? after != OperationState_Canceled : after != before) {
    model_.Violation("a cancel left the state " + std::to_string(after), track);
  }
}

void Worker::Read(Track* track) {
  const uint64_t token = track->token.load();
  switch (random_() % 5) {
    case 0: {
      BitData* value = reinterpret_cast<BitData*>(uintptr_t{8});
      const uint32_t result = Table().GetValue(token, &value);
      if (result == 0) BitData_FreeManaged(value);
      if (result != 0 && value != nullptr) model_.Violation("GetValue wrote on failure", track);
      if (result != OR_OPERATION_HAS_NO_VALUE) ExpectReadAnswer(result, *track, "GetValue");
      break;
    }
    case 1: {
      uint64_t value = 0;
      uint32_t result;
      switch (random_() % 4) {
        case 0: result = Table().GetValueUInt8(token, reinterpret_cast<uint8_t*>(&value)); break;
        case 1: result = Table().GetValueUInt16(token, reinterpret_cast<uint16_t*>(&value)); break;
        case 2: result = Table().GetValueUInt32(token, reinterpret_cast<uint32_t*>(&value)); break;
        default: result = Table().GetValueUInt64(token, &value); break;
      }
      if (result != OR_OPERATION_HAS_NO_VALUE) ExpectReadAnswer(result, *track, "GetValueUInt");
      break;
    }
    case 2: {
      uint32_t code = 0;
      ExpectReadAnswer(Table().GetErrorCode(token, &code), *track, "GetErrorCode");
      break;
    }
    case 3: {
      char buffer[16];
      uint32_t size = 0;
      ExpectReadAnswer(Table().GetErrorMessage(token, buffer, sizeof buffer, &size), *track,
                       "GetErrorMessage");
      break;
    }
    default: {
      uint32_t state = 99;
      const uint32_t result = Table().GetOperationState(token, &state);
      ExpectHeldAnswer(result, *track, "GetOperationState");
      if (result == 0) CheckState(*track, state);
      break;
    }
  }
}

// Pending and Canceled operations have not run; Executed ones ran once. Another thread's
// Pending operation may start any time, so only its final states are checked.
void Worker::CheckState(const Track& track, uint32_t state) {
  if (state > OperationState_Failed) model_.Violation("an unknown state", &track);
  if (!track.hasExecute) return;
  const int runs = track.executions.load();
  if (state == OperationState_Executed && runs != 1) {
    model_.Violation("an Executed operation ran " + std::to_string(runs) + " times", &track);
  }
  if (state == OperationState_Canceled && runs != 0) model_.Violation("a Canceled operation ran", &track);
  if (state == OperationState_Pending && track.ownerThread == thread_ && runs != 0) {
    model_.Violation("a Pending operation ran", &track);
  }
}

void Worker::SetValue(Track* track) {
  BitData* value = MakeBits(1 + random_() % 100, random_());
  const uint32_t result = Table().SetValue(track->token.load(), value);
  // The operation owns the value as soon as it finds the token; otherwise the caller does.
  if (result == kInvalid) BitData_FreeManaged(value);
  ExpectHeldAnswer(result, *track, "SetValue");
}

// Links run from a younger operation to an older one only, so they never form a cycle.
void Worker::Link(Track* destination, Track* source) {
  uint64_t to = destination->token.load();
  uint64_t from = source->token.load();
  if (to == from) return;
  if (to < from) {
    std::swap(to, from);
    std::swap(destination, source);
  }
  const uint64_t run[2] = {random_() % 8, 1 + random_() % 16};
  const IndexRun element{1, 1, {}, run, run + 2, run + 2};
  const IndexList list{&element, &element + 1, &element + 1, run[1]};
  const bool withList = random_() % 3 == 0;
  const uint32_t result =
      Table().LinkValue(to, from, withList ? &list : nullptr, withList ? &list : nullptr);
  if (result == 0) return;
  if (result != kInvalid || (!model_.Exposed(*destination) && !model_.Exposed(*source))) {
    model_.Violation("LinkValue of two held operations answered " + std::to_string(result),
                     destination);
  }
}

void Worker::Publish(Track* track) {
  const uint32_t result = Table().AcquireOperation(track->token.load());
  ExpectHeldAnswer(result, *track, "AcquireOperation to publish");
  if (result != 0) return;
  track->held.fetch_add(1);
  std::lock_guard<std::mutex> lock(pool_.mutex);
  pool_.entries.emplace_back(track, thread_);
  published_.push_back(track);
}

void Worker::Unpublish() {
  if (published_.empty()) return;
  Track* track = published_.back();
  published_.pop_back();
  {
    std::lock_guard<std::mutex> lock(pool_.mutex);
    for (size_t i = 0; i < pool_.entries.size(); ++i) {
      if (pool_.entries[i] == std::make_pair(track, thread_)) {
        pool_.entries[i] = pool_.entries.back();
        pool_.entries.pop_back();
        break;
      }
    }
  }
  track->held.fetch_sub(1);
  ExpectHeldAnswer(Table().ReleaseOperation(track->token.load()), *track, "ReleaseOperation");
}

// Takes a reference of its own on a published operation while the entry's reference keeps it.
void Worker::Borrow() {
  std::lock_guard<std::mutex> lock(pool_.mutex);
  if (pool_.entries.empty()) return;
  Track* track = pool_.entries[random_() % pool_.entries.size()].first;
  const uint32_t result = Table().AcquireOperation(track->token.load());
  ExpectHeldAnswer(result, *track, "AcquireOperation of a published operation");
  if (result != 0) return;
  track->held.fetch_add(1);
  handles_.push_back(track);
}

void Worker::ExpectHeldAnswer(uint32_t result, const Track& track, const char* what) {
  if (result == 0) return;
  if (result == kInvalid && model_.Exposed(track)) {
    model_.tolerated.fetch_add(1);
    return;
  }
  model_.Violation(std::string(what) + " of a held operation answered " + std::to_string(result),
                   &track);
}

void Worker::ExpectReadAnswer(uint32_t result, const Track& track, const char* what) {
  if (result != kInvalid) return;  // the flush's, the value callback's or a link's own result
  model_.tolerated.fetch_add(1);
  if (model_.Exposed(track)) return;
  // A refusal passed on from another operation: only a disconnect removes one that a buffer or
  // a link still holds.
  uint32_t state = 0;
  if (!strict_ && Table().GetOperationState(track.token.load(), &state) == 0) return;
  model_.Violation(std::string(what) + " of a held operation was refused", &track);
}

}  // namespace or_stress
