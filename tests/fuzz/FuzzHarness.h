// FuzzHarness.h
//
// The model and the actions of the operation-receipt fuzzer. The decoder
// (OperationReceiptFuzzer.cpp) turns an input into a sequence of actions; the callbacks of the
// operations it creates run actions of their own. Every action goes through the functions below,
// which keep a model of the references the harness holds and check the component's answers
// against it as they go. Everything happens one step at a time: the worker threads run only
// what the fuzzer's thread hands them and wait for it to finish, so a run is deterministic.
//
// The model of one operation (Track) is also its callbacks' context. The harness knows exactly
// how many references it holds on each operation; the component holds more (the creating
// thread's buffer, value links), which the model does not need to know: an operation must never
// be destroyed while the harness holds a reference, must be destroyed exactly once, and must be
// gone once the harness has released everything and every thread has flushed.
#ifndef OPERATION_RECEIPT_FUZZ_HARNESS_H_
#define OPERATION_RECEIPT_FUZZ_HARNESS_H_

#include <cstdint>
#include <deque>
#include <vector>

#include "BitData.h"
#include "OperationReceipt.h"
#include "StandInServices.h"

namespace or_fuzz {

// Slot 0 is the fuzzer's own thread; slots 1 and 2 are worker threads. The client id of slot s
// is kClientBase + s.
inline constexpr int kSlots = 3;
inline constexpr int32_t kClientBase = 900;

// What a callback does, as bits of an action byte.
enum Action : uint8_t {
  kActCreate = 1,     // creates an operation (its children's behaviour comes from `child`)
  kActFlush = 2,      // Flush
  kActCancel = 4,     // CancelOperation of the picked operation
  kActRelease = 8,    // releases one reference the harness holds on the picked operation
  kActSetError = 16,  // SetError on itself
  kActSetValue = 32,  // SetValue on itself
  kActFlushOne = 64,  // FlushOperation of the picked operation
  kActRead = 128,     // GetValueUInt64 of the picked operation
};

struct Track {
  uint64_t token = 0;  // written by CreateOperation, or learned by a callback; 0 while unknown
  int held = 0;        // references the harness holds
  int executions = 0;
  int destroys = 0;
  bool counted = false;     // context and destroy callback set: every destruction is seen
  bool hasExecute = false;  // context and execute callback set: every execution is seen
  bool immediate = false;   // created in immediate mode (executed at once)
  int ownerSlot = 0;
  uint32_t ownerGeneration = 0;
  bool dead = false;         // known to be destroyed
  bool tainted = false;      // the harness released a reference it did not hold (over-release)
  bool valueMaybe = false;   // a value may have been installed or built
  bool pinned = false;       // on a link cycle: its last reference waits for the cleanup
  uint8_t executeActions = 0, valueActions = 0, destroyActions = 0;
  uint8_t pick = 0;   // which operation the callbacks' actions address
  uint8_t child = 0;  // action byte of operations created by its callbacks
  uint32_t executeResult = 0;
  uint32_t valueResult = 0;
  std::vector<Track*> sources;  // value links made with this operation as destination
};

// What the decoder or a callback asks for, resolved to a token.
struct Target {
  enum Kind { kTrack, kZero, kNeverGiven, kOdd } kind = kZero;
  Track* track = nullptr;
  uint64_t token = 0;
};

struct CreateArgs {
  bool nullDescriptor = false;
  const char* name = nullptr;
  bool withContext = true;
  bool withExecute = true, withValue = true, withDestroy = true;
  uint8_t hasValue = 0, alwaysExecute = 0;
  uint8_t executeActions = 0, valueActions = 0, destroyActions = 0, pick = 0, child = 0;
  uint32_t executeResult = 0, valueResult = 0;
  bool wantToken = true;
};

// The state of the input being run.
struct Harness {
  const OperationReceiptComponent* table = nullptr;
  std::deque<Track> tracks;  // stable addresses
  int current = 0;           // slot whose thread runs the next action
  uint32_t generation[kSlots] = {};
  int budget = 0;            // operations the input may still create
  int depth = 0;             // callback nesting
  bool cleaning = false;     // callbacks only count while the input is being cleaned up
  bool alignedOnly = false;  // index lists never have a misaligned end pointer
  bool trace = false;
  uint32_t postFlushCode = 0;
  uint8_t postFlushActions = 0, postFlushPick = 0;
  uint64_t highestToken = 0;
  uint64_t liveBitsAtStart = 0;
};

Harness& H();

// Sets up the process once: client ids, worker threads, the post-flush callback, logging.
void InitializeOnce();
// Starts an input: fresh model, the calling thread on slot 0.
void BeginInput(int budget);
// Flushes every thread, resolves and releases everything the harness holds, then checks that
// nothing is left: no operation, no bit buffer, every destruction exactly once.
void EndInput();

// Runs `body` on the thread of the current slot and waits for it.
void OnCurrentThread(void (*body)(void*), void* argument);
void SwitchTo(int slot);
// The current worker flushes, ends, and a new thread takes its slot (and client id).
void RetireCurrentWorker();

Target PickTarget(unsigned kind, unsigned index);
Target TargetOf(Track* track);
Track* PickTrack(unsigned index);

void Create(const CreateArgs& args);
// Releases one reference the harness holds (none held: only checks a destroyed one's answer).
void ReleaseHeld(Track* track, bool secondEntry);
void Release(const Target& target, bool secondEntry);
void OverRelease(Track* track);
void Acquire(const Target& target);
void Flush();
void FlushOne(const Target& target);
void Cancel(const Target& target);
void ReadValue(const Target& target);
void ReadUnsigned(const Target& target, unsigned width);
void ReadErrorCode(const Target& target);
void ReadErrorMessage(const Target& target, uint32_t bufferSize, bool withBuffer, bool withSize);
void SetError(const Target& target, uint32_t code, const char* message);
void ReadState(const Target& target);
void SetValue(const Target& target, uint64_t bits, uint64_t pattern);
void SetValueSize(const Target& target, uint64_t bits);
void Link(const Target& destination, const Target& source, const IndexList* destinationIndices,
          const IndexList* sourceIndices);
void Counts(int32_t setKey);
void NullPointerCalls(const Target& target);

// Writes a line to stderr when the environment variable OR_FUZZ_TRACE is 1 (to read a
// reproducer's run step by step).
void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Aborts with a description of what broke.
[[noreturn]] void Fail(const char* what, const Track* track = nullptr, uint64_t detail = 0);

}  // namespace or_fuzz

#endif  // OPERATION_RECEIPT_FUZZ_HARNESS_H_
