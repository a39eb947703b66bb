// StressModel.h
//
// What the concurrency stress test knows about each operation it creates, and how it tells a
// fault from the effect of a client disconnect.
//
// Every operation's context is a Track in one array allocated up front, so callbacks on any
// thread find it by address. The harness counts the references it holds (`held`): it adds one
// after a successful CreateOperation or AcquireOperation and takes one away just before each
// ReleaseOperation, so while `held` is above zero a reference provably exists.
//
// A "Disconnected" event drops one reference of every live operation of that client id, which
// the client believes it still holds. So for an operation whose client id has been
// disconnected since the operation was created, a refused release, acquire or read
// (OR_INVALID_OPERATION_TOKEN) and a destruction while `held` > 0 are expected. An operation is
// "exposed" when a disconnect of its key began after the disconnects finished before its
// creation: `started[key]` at the time of the check exceeds `finished[key]` read just before
// CreateOperation. Anything else (a destroy callback run twice, an execution twice, a destroy
// while provably held by an unexposed operation) is a fault.
#ifndef OPERATION_RECEIPT_STRESS_MODEL_H_
#define OPERATION_RECEIPT_STRESS_MODEL_H_

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace or_stress {

// Client ids: thread generation g of slot s works as kClientBase + 2 * s + g. Operations
// created in immediate mode carry key -1.
inline constexpr int32_t kClientBase = 700;
inline constexpr int kKeys = 17;  // index 0 for key -1, then 700 .. 715

inline int KeyIndex(int32_t key) { return key < 0 ? 0 : 1 + (key - kClientBase); }

struct Track {
  std::atomic<uint64_t> token{0};
  std::atomic<int> held{0};
  std::atomic<int> executions{0};
  std::atomic<int> destroys{0};
  int32_t key = -1;
  uint64_t finishedBefore = 0;  // disconnects of `key` finished before the creation
  int ownerThread = -1;         // the creating thread (slot * 2 + generation)
  bool hasExecute = false;
  bool abandoned = false;       // left buffered by a thread that ended
  uint8_t behaviour = 0;        // what the execute callback does
  uint32_t executeResult = 0;
};

struct Model {
  explicit Model(size_t capacity) : tracks(new Track[capacity]), capacity(capacity) {}

  Track* NewTrack() {
    const size_t index = used.fetch_add(1);
    if (index >= capacity) return nullptr;  // out of tracks: the caller skips the creation
    return &tracks[index];
  }
  size_t Used() const { return std::min(used.load(), capacity); }

  bool Exposed(const Track& track) const {
    return started[KeyIndex(track.key)].load() > track.finishedBefore;
  }

  // Records a broken invariant; the test reports them all at its end.
  void Violation(const std::string& what, const Track* track) {
    std::lock_guard<std::mutex> lock(mutex);
    ++violations;
    if (messages.size() < 20) {
      messages.push_back(what + (track == nullptr
                                     ? std::string()
                                     : " (token " + std::to_string(track->token.load()) +
                                           ", key " + std::to_string(track->key) + ")"));
    }
  }

  std::unique_ptr<Track[]> tracks;
  const size_t capacity;
  std::atomic<size_t> used{0};
  std::atomic<uint64_t> started[kKeys] = {};
  std::atomic<uint64_t> finished[kKeys] = {};

  // Answers and destructions accepted only because a disconnect could explain them.
  std::atomic<uint64_t> tolerated{0};

  std::mutex mutex;
  int violations = 0;
  std::vector<std::string> messages;
};

}  // namespace or_stress

#endif  // OPERATION_RECEIPT_STRESS_MODEL_H_
