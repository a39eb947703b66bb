// StressWorker.h
//
// One worker thread of the concurrency stress test: a seeded random mix of table calls on its
// own operations and on operations other workers published, checked as it goes against what
// the model proves (StressModel.h).
#ifndef OPERATION_RECEIPT_STRESS_WORKER_H_
#define OPERATION_RECEIPT_STRESS_WORKER_H_

#include <mutex>
#include <random>
#include <utility>
#include <vector>

#include "BitData.h"
#include "OperationReceipt.h"
#include "StandInServices.h"
#include "StressModel.h"

namespace or_stress {

const OperationReceiptComponent& Table();

// Tokens published for other workers, each entry holding a reference of its own that its
// publisher releases when it takes the entry back.
struct SharedPool {
  std::mutex mutex;
  std::vector<std::pair<Track*, int>> entries;  // (operation, publishing thread)
};

class Worker {
 public:
  Worker(Model& model, SharedPool& pool, int slot, int generation, uint64_t seed, bool strict);

  // Sets the thread's client id, runs `steps` random steps, flushes, gives back everything it
  // holds, and leaves a few operations buffered for the thread's end to abandon.
  void Run(int steps);

  // Called by the execute callback of one of this thread's operations.
  void FromExecute(Track& track, uint64_t token);

 private:
  void Step();
  Track* Create(bool wantToken);
  Track* Pick();
  void ReleaseHandle(size_t index);
  void Acquire(Track* track);
  void Flush();
  void FlushOne(Track* track);
  void Cancel(Track* track);
  void Read(Track* track);
  void SetValue(Track* track);
  void Link(Track* destination, Track* source);
  void Publish(Track* track);
  void Unpublish();
  void Borrow();

  // A call on an operation the harness holds answered `result`: 0x50000 is accepted only when
  // the operation may have lost references to a disconnect.
  void ExpectHeldAnswer(uint32_t result, const Track& track, const char* what);
  // The same for a call that may flush or build a value: it may also pass on a refusal met on
  // another operation (a buffered neighbour or a link source gone to a disconnect).
  void ExpectReadAnswer(uint32_t result, const Track& track, const char* what);
  void CheckState(const Track& track, uint32_t state);

  Model& model_;
  SharedPool& pool_;
  const int thread_;
  const int32_t id_;
  const bool strict_;  // no disconnects in this run
  std::mt19937_64 random_;
  std::vector<Track*> handles_;    // one entry per reference held
  std::vector<Track*> published_;  // entries of the shared pool this thread published
};

}  // namespace or_stress

#endif  // OPERATION_RECEIPT_STRESS_WORKER_H_
