// StressTest.cpp
//
// Concurrency stress of the component through its table: four worker slots, each running two
// threads one after the other (the first ends with operations still buffered while the others
// go on), create, release, acquire, flush, cancel, read, set values and errors, and link values
// among their own operations and operations other workers published. In the second test one
// more thread keeps reporting the workers of two slots as disconnected.
//
// At the end: no operation ran twice or was destroyed twice; everything not abandoned by an
// ended thread is destroyed; each abandoned operation is still pending unless a disconnect could
// have taken its reference; reporting every client disconnected then removes those, and the
// pool and the bit-data library are back where they started.
//
// Seeded: OR_TEST_SEED (decimal or 0x...) replays a run's choices; the seed is printed. The
// interleaving of the threads is not replayed, so the checks hold for every interleaving.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>

#include "StressWorker.h"

namespace or_stress {

void SetCurrentModel(Model* model);

namespace {

constexpr int kSlots = 4;
constexpr int kGenerations = 2;
constexpr int kStepsPerThread = 3000;  // 6000 per slot
constexpr size_t kTrackCapacity = 100000;

uint64_t Seed() {
  const char* text = std::getenv("OR_TEST_SEED");
  const uint64_t seed = text != nullptr ? std::strtoull(text, nullptr, 0)
                                        : (uint64_t{std::random_device{}()} << 32) ^
                                              std::random_device{}();
  std::printf("OR_TEST_SEED=%llu\n", static_cast<unsigned long long>(seed));
  ::testing::Test::RecordProperty("OR_TEST_SEED", std::to_string(seed));
  return seed;
}

uint32_t Count(int32_t key, bool pending) {
  uint32_t count = 0xFFFFFFFFu;
  const uint32_t result = pending ? Table().GetPendingOperationCount(key, &count)
                                  : Table().GetExecutedOperationCount(key, &count);
  EXPECT_EQ(result, 0u);
  return count;
}

std::string Report(const Model& model) {
  std::string text;
  for (const std::string& message : model.messages) text += "\n  " + message;
  return text;
}

// Publishes "Disconnected" for the ids of slots 2 and 3 (strict: never), and reads counts,
// until the workers are done.
void Observer(Model& model, std::atomic<bool>& done, bool disconnect, uint64_t seed) {
  std::mt19937_64 random(seed ^ 0xD15C0);
  StandIn_CommonSetClientId(kClientBase + 100);
  for (int round = 0; round < 20000 && !done.load(); ++round) {
    const int32_t key = kClientBase + 4 + static_cast<int32_t>(random() % 4);
    if (disconnect) {
      model.started[KeyIndex(key)].fetch_add(1);
      StandIn_PublishClientDisconnected(key);
      model.finished[KeyIndex(key)].fetch_add(1);
    }
    uint32_t count = 0;
    if (Table().GetPendingOperationCount(key, &count) != 0 || count > model.Used() ||
        Table().GetExecutedOperationCount(-1, &count) != 0 || count > model.Used()) {
      model.Violation("a count failed or exceeds the operations made", nullptr);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
}

void RunStress(bool disconnect) {
  const uint64_t seed = Seed();
  StandIn_LoggingSetSink(StandIn_LoggingDiscardSink, nullptr);
  StandIn_LoggingSetEnabledLevels(seed % 2 ? 0xFu : 0u);
  const uint64_t liveBitsAtStart = StandIn_BitDataLiveCount();
  // Kept to the end of the process: should a fault leave operations alive, their callbacks
  // may still run later (in another test) and must find their contexts.
  static std::vector<std::unique_ptr<Model>> models;
  models.push_back(std::make_unique<Model>(kTrackCapacity));
  Model& model = *models.back();
  SetCurrentModel(&model);
  SharedPool pool;
  std::atomic<bool> done{false};
  std::thread observer(Observer, std::ref(model), std::ref(done), disconnect, seed);
  std::vector<std::thread> slots;
  std::atomic<int> ready{0};
  for (int slot = 0; slot < kSlots; ++slot) {
    slots.emplace_back([&, slot] {
      // The slots start together, so that their first threads overlap.
      ready.fetch_add(1);
      while (ready.load() < kSlots) std::this_thread::yield();
      for (int generation = 0; generation < kGenerations; ++generation) {
        std::thread worker([&, slot, generation] {
          Worker(model, pool, slot, generation, seed, !disconnect).Run(kStepsPerThread);
        });
        worker.join();  // the thread ends; its set abandons what it still buffers
      }
    });
  }
  for (std::thread& slot : slots) slot.join();
  done.store(true);
  observer.join();

  ASSERT_TRUE(pool.entries.empty());
  size_t executed = 0, exposed = 0, abandoned = 0;
  uint64_t disconnects = 0;
  for (size_t i = 0; i < model.Used(); ++i) {
    executed += model.tracks[i].executions.load();
    exposed += model.Exposed(model.tracks[i]) ? 1 : 0;
    abandoned += model.tracks[i].abandoned ? 1 : 0;
  }
  for (const auto& count : model.started) disconnects += count.load();
  std::printf(
      "operations %zu, executed %zu, abandoned %zu, disconnects %llu, exposed %zu, "
      "answers and destructions explained by a disconnect %llu\n",
      model.Used(), executed, abandoned, static_cast<unsigned long long>(disconnects), exposed,
      static_cast<unsigned long long>(model.tolerated.load()));
  // Before any clean-up: only abandoned operations may be alive, and each one that no
  // disconnect could have touched is still pending.
  size_t abandonedLeft[kKeys] = {};
  for (size_t i = 0; i < model.Used(); ++i) {
    const Track& track = model.tracks[i];
    EXPECT_LE(track.executions.load(), 1) << "token " << track.token.load();
    if (!track.abandoned) {
      EXPECT_EQ(track.destroys.load(), 1) << "token " << track.token.load() << " key " << track.key;
      continue;
    }
    EXPECT_EQ(track.executions.load(), 0);
    if (track.destroys.load() == 0) ++abandonedLeft[KeyIndex(track.key)];
    if (model.Exposed(track)) continue;
    EXPECT_EQ(track.destroys.load(), 0) << "an abandoned operation went without a disconnect";
    uint32_t state = 99;
    EXPECT_EQ(Table().GetOperationState(track.token.load(), &state), 0u);
    EXPECT_EQ(state, static_cast<uint32_t>(OperationState_Pending));
  }
  for (int32_t key = kClientBase; key < kClientBase + 2 * kSlots; ++key) {
    EXPECT_EQ(Count(key, true), abandonedLeft[KeyIndex(key)]) << "client " << key;
    EXPECT_EQ(Count(key, false), 0u) << "client " << key;
  }
  EXPECT_EQ(Count(-1, true), 0u);
  EXPECT_EQ(Count(-1, false), 0u);

  // The buffers of ended threads are released only by reporting their clients disconnected.
  // A reference of this thread keeps each abandoned operation through its client's disconnect,
  // which must take exactly one reference (the buffer's): the operation stays, pending.
  std::vector<Track*> kept;
  for (size_t i = 0; i < model.Used(); ++i) {
    Track& track = model.tracks[i];
    if (!track.abandoned || track.destroys.load() != 0) continue;
    ASSERT_EQ(Table().AcquireOperation(track.token.load()), 0u);
    track.held.fetch_add(1);
    kept.push_back(&track);
  }
  for (int32_t key = kClientBase; key < kClientBase + 2 * kSlots; ++key) {
    EXPECT_EQ(StandIn_PublishClientDisconnected(key), 0u);
    EXPECT_EQ(Count(key, true), abandonedLeft[KeyIndex(key)]) << "client " << key;
  }
  for (Track* track : kept) {
    EXPECT_EQ(track->destroys.load(), 0) << "a disconnect took more than one reference";
    uint32_t state = 99;
    EXPECT_EQ(Table().GetOperationState(track->token.load(), &state), 0u);
    EXPECT_EQ(state, static_cast<uint32_t>(OperationState_Pending));
    track->held.fetch_sub(1);
    EXPECT_EQ(Table().ReleaseOperation(track->token.load()), 0u);
  }
  for (size_t i = 0; i < model.Used(); ++i) {
    EXPECT_EQ(model.tracks[i].destroys.load(), 1) << "token " << model.tracks[i].token.load();
  }
  for (int32_t key = kClientBase; key < kClientBase + 2 * kSlots; ++key) {
    EXPECT_EQ(Count(key, true), 0u) << "client " << key;
  }
  EXPECT_EQ(StandIn_BitDataLiveCount(), liveBitsAtStart) << "bit buffers leaked or lost";
  EXPECT_EQ(model.violations, 0) << Report(model);
}

TEST(Stress, WorkersShareOperationsAndThreadsEnd) { RunStress(/*disconnect=*/false); }

TEST(Stress, WorkersShareOperationsWhileClientsDisconnect) { RunStress(/*disconnect=*/true); }

}  // namespace
}  // namespace or_stress
