// OperationReceiptFuzzer.cpp
//
// libFuzzer entry: decodes an input into at most kMaxSteps table calls, run one at a time on
// the fuzzer's thread or on one of two worker threads, then cleans up and checks that the
// component is back where it started (FuzzHarness.h). Every input leaves the process-wide pool
// empty, so millions of inputs run in one process without its state growing.
//
// Layout of an input, as FuzzedDataProvider reads it: a header (log levels), then steps, each an
// opcode followed by its arguments; an input that runs out of bytes simply ends.

#include <fuzzer/FuzzedDataProvider.h>

#include <functional>
#include <vector>

#include "FuzzHarness.h"
#include "FuzzInternal.h"

namespace or_fuzz {
namespace {

constexpr int kMaxSteps = 160;
constexpr int kCreationBudget = 48;

const char* const kNames[] = {nullptr, "", "Op", "with %s and %n", "line\nbreak",
                              "a rather long operation name that goes on and on and on"};
const uint32_t kCodes[] = {0, 0, 1, 2, 0x7F000002u, 0x12345u, 0xFFFFFFFFu, 0x80000000u};
const uint64_t kBits[] = {0, 1, 5, 8, 16, 33, 64, 65, 200, 4096};
const uint64_t kSizes[] = {0,          1,           7,
                           8,          63,          64,
                           65,         1000,        1u << 20,
                           (1ull << 28) + 1, 1ull << 32, (1ull << 32) + 3,
                           UINT64_MAX};
const uint64_t kPositions[] = {0,          1,          2,           3,
                               7,          8,          63,          64,
                               65,         127,        1000,        1u << 20,
                               1ull << 32, 1ull << 63, UINT64_MAX - 63, UINT64_MAX - 1,
                               UINT64_MAX};

Target DecodeTarget(FuzzedDataProvider& in) {
  const uint8_t kind = in.ConsumeIntegral<uint8_t>();
  const uint8_t index = in.ConsumeIntegral<uint8_t>();
  return PickTarget(kind, index);
}

// Storage of one decoded index list; the list points into it.
struct ListStore {
  std::vector<std::vector<uint64_t>> values;
  std::vector<IndexRun> runs;
  IndexList list{};
};

// How a pair of begin/end pointers is laid over an array of `n` items.
template <class Item>
void Lay(uint8_t form, Item* data, size_t n, bool alignedOnly, const Item** begin,
         const Item** end) {
  *begin = data;
  *end = data + n;
  switch (form % 8) {
    case 1: *begin = *end = nullptr; break;                     // an empty element
    case 2: *end = *begin; break;                               // empty, not null
    case 3: if (n != 0) { *begin = data + n; *end = data; } break;  // runs backwards
    case 4: *begin = nullptr; break;                            // one end missing
    case 5:                                                     // not a whole number of items
      if (n != 0 && !alignedOnly) {
        *end = reinterpret_cast<const Item*>(reinterpret_cast<const char*>(data + n) - 3);
      }
      break;
    default: break;
  }
}

const IndexList* DecodeList(FuzzedDataProvider& in, ListStore& store) {
  const uint8_t shape = in.ConsumeIntegral<uint8_t>();
  if (shape % 4 == 0) return nullptr;
  const bool alignedOnly = H().alignedOnly;
  const size_t elements = in.ConsumeIntegralInRange<size_t>(0, 4);
  store.values.resize(elements);
  store.runs.assign(elements, IndexRun{});
  uint64_t named = 0;
  for (size_t e = 0; e < elements; ++e) {
    IndexRun& run = store.runs[e];
    const uint8_t kind = in.ConsumeIntegral<uint8_t>();
    run.isRange = (kind & 3) == 0 ? 0 : (kind & 3) == 3 ? 0x80 : 1;
    run.ascending = (kind & 4) ? 0 : (kind & 8) ? 7 : 1;
    const size_t count = run.isRange && (kind & 0x30) != 0 ? 2 : in.ConsumeIntegralInRange<size_t>(0, 3);
    std::vector<uint64_t>& values = store.values[e];
    values.resize(count);
    for (uint64_t& value : values) {
      value = in.ConsumeBool() ? in.PickValueInArray(kPositions) : in.ConsumeIntegral<uint64_t>() % 300;
    }
    named += run.isRange ? (count == 2 ? values[1] : 0) : count;
    Lay(in.ConsumeIntegral<uint8_t>(), values.data(), values.size(), alignedOnly,
        &run.valuesBegin, &run.valuesEnd);
    run.valuesCapacityEnd = reinterpret_cast<const uint64_t*>(uintptr_t{0x10});  // not read
  }
  Lay(shape >> 2, store.runs.data(), store.runs.size(), alignedOnly, &store.list.elementsBegin,
      &store.list.elementsEnd);
  store.list.elementsCapacityEnd = reinterpret_cast<const IndexRun*>(uintptr_t{0x10});
  const uint64_t kCounts[] = {named, named, named, named + 1, named - 1, 0, 1,
                              (1ull << 28) + 1, UINT64_MAX};
  store.list.count = in.PickValueInArray(kCounts);
  return &store.list;
}

CreateArgs DecodeCreate(FuzzedDataProvider& in) {
  CreateArgs args;
  const uint16_t flags = in.ConsumeIntegral<uint16_t>();
  args.nullDescriptor = (flags & 0xF) == 0;
  args.withContext = (flags & 0x10) == 0 || (flags & 0x20) == 0;
  args.withExecute = (flags & 0x40) == 0;
  args.withValue = (flags & 0x80) == 0;
  args.withDestroy = (flags & 0x100) == 0;
  args.wantToken = (flags & 0x600) != 0;
  args.name = in.PickValueInArray(kNames);
  args.hasValue = in.PickValueInArray({0, 0, 1, 2, 0xFF});
  args.alwaysExecute = in.PickValueInArray({0, 0, 1, 0x80});
  args.executeActions = in.ConsumeIntegral<uint8_t>();
  args.valueActions = in.ConsumeIntegral<uint8_t>();
  args.destroyActions = in.ConsumeIntegral<uint8_t>();
  args.pick = in.ConsumeIntegral<uint8_t>();
  args.child = in.ConsumeIntegral<uint8_t>();
  args.executeResult = in.PickValueInArray(kCodes);
  args.valueResult = in.PickValueInArray({0u, 0u, 1u, 0x7F0000AAu});
  return args;
}

// Runs one step on the current slot's thread.
void Run(const std::function<void()>& step) { OnSlot(H().current, step); }

void Step(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 21)) {
    case 0:
    case 1: {
      const CreateArgs args = DecodeCreate(in);
      Run([&] { Create(args); });
      break;
    }
    case 2: {
      const Target target = DecodeTarget(in);
      const bool second = in.ConsumeBool();
      Run([&] { Release(target, second); });
      break;
    }
    case 3: {
      const Target target = DecodeTarget(in);
      Run([&] { Acquire(target); });
      break;
    }
    case 4: Run([] { Flush(); }); break;
    case 5: {
      const Target target = DecodeTarget(in);
      Run([&] { FlushOne(target); });
      break;
    }
    case 6: {
      const Target target = DecodeTarget(in);
      Run([&] { Cancel(target); });
      break;
    }
    case 7: {
      const Target target = DecodeTarget(in);
      const uint8_t how = in.ConsumeIntegral<uint8_t>();
      Run([&] {
        if (how % 5 == 4) {
          ReadValue(target);
        } else {
          ReadUnsigned(target, 8u << (how % 4));
        }
      });
      break;
    }
    case 8: {
      const Target target = DecodeTarget(in);
      Run([&] { ReadErrorCode(target); });
      break;
    }
    case 9: {
      const Target target = DecodeTarget(in);
      const uint32_t size = in.PickValueInArray({0u, 1u, 2u, 5u, 64u});
      const uint8_t outputs = in.ConsumeIntegral<uint8_t>();
      Run([&] { ReadErrorMessage(target, size, (outputs & 1) != 0, (outputs & 2) != 0); });
      break;
    }
    case 10: {
      const Target target = DecodeTarget(in);
      const uint32_t code = in.PickValueInArray(kCodes);
      const char* message = in.PickValueInArray(kNames);
      Run([&] { SetError(target, code, message); });
      break;
    }
    case 11: {
      const Target target = DecodeTarget(in);
      Run([&] { ReadState(target); });
      break;
    }
    case 12: {
      const Target target = DecodeTarget(in);
      const uint64_t bits = in.PickValueInArray(kBits);
      const uint64_t pattern = in.ConsumeIntegral<uint64_t>();
      Run([&] { SetValue(target, bits, pattern); });
      break;
    }
    case 13: {
      const Target target = DecodeTarget(in);
      const uint64_t bits = in.PickValueInArray(kSizes);
      Run([&] { SetValueSize(target, bits); });
      break;
    }
    case 14: {
      const Target destination = DecodeTarget(in);
      const Target source = DecodeTarget(in);
      ListStore destinationStore, sourceStore;
      const IndexList* destinationList = DecodeList(in, destinationStore);
      const IndexList* sourceList = DecodeList(in, sourceStore);
      Run([&] { Link(destination, source, destinationList, sourceList); });
      break;
    }
    case 15: SwitchTo(in.ConsumeIntegral<uint8_t>()); break;
    case 16: RetireCurrentWorker(); break;
    case 17: {
      Track* track = PickTrack(in.ConsumeIntegral<uint8_t>());
      if (track != nullptr) Run([&] { OverRelease(track); });
      break;
    }
    case 18: {
      const int32_t key = in.PickValueInArray({kClientBase, kClientBase + 1, kClientBase + 2, -1,
                                               0, INT32_MIN, INT32_MAX});
      Run([&] { Counts(key); });
      break;
    }
    case 19: {
      const Target target = DecodeTarget(in);
      Run([&] { NullPointerCalls(target); });
      break;
    }
    default: {
      Harness& h = H();
      h.postFlushCode = in.PickValueInArray(kCodes);
      h.postFlushActions = in.ConsumeIntegral<uint8_t>();
      h.postFlushPick = in.ConsumeIntegral<uint8_t>();
      break;
    }
  }
}

}  // namespace
}  // namespace or_fuzz

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  or_fuzz::InitializeOnce();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace or_fuzz;
  FuzzedDataProvider in(data, size);
  BeginInput(kCreationBudget);
  StandIn_LoggingSetEnabledLevels(in.ConsumeIntegral<uint8_t>() & 0xF);
  for (int step = 0; step < kMaxSteps && in.remaining_bytes() > 0; ++step) Step(in);
  EndInput();
  return 0;
}
