// DisconnectTest.cpp
//
// Releasing the operations a disconnected client left behind, when the event broker reports
// "Disconnected" for the client's id.

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "ComponentTest.h"

namespace operation_receipt_test {
namespace {

using Disconnect = ComponentTest;

uint32_t ReferenceCountShownByAcquire(uint64_t token) {
  // The Acquiring line shows the count after the increase; give the reference straight back.
  StandIn_LoggingClearRecorded();
  EXPECT_EQ(Table().AcquireOperation(token), 0u);
  const std::string line = RecordedTexts().at(0);
  EXPECT_EQ(Table().ReleaseOperation(token), 0u);
  const size_t at = line.find("reference count = ");
  return static_cast<uint32_t>(std::stoul(line.substr(at + 18))) - 1;
}

TEST_F(Disconnect, ReleasesOneReferenceOfEachOperationLeftBehind) {
  Probe probes[3];
  uint64_t tokens[3];
  for (int i = 0; i < 3; ++i) {
    const OperationDescriptor descriptor = ProbeDescriptor(probes[i], "Left");
    tokens[i] = Create(&descriptor);
  }
  ASSERT_EQ(table_.Flush(), 0u);
  ASSERT_EQ(table_.ReleaseOperation(tokens[1]), 0u);  // destroyed: not matched any more
  ASSERT_EQ(table_.AcquireOperation(tokens[2]), 0u);  // held elsewhere too
  StandIn_LoggingClearRecorded();

  ASSERT_EQ(StandIn_PublishClientDisconnected(kMainClient), 0u);

  std::vector<Line> lines = RecordedLines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, "Client 100 did not destroy operation " + Hex(tokens[0]));
  EXPECT_EQ(lines[0].level, 3u);
  EXPECT_EQ(lines[0].delta, 0);
  EXPECT_EQ(lines[1].text, "Client 100 did not destroy operation " + Hex(tokens[2]));
  EXPECT_EQ(probes[0].destroyed, 1);  // its last reference was the client's
  EXPECT_EQ(probes[2].destroyed, 0);
  EXPECT_EQ(ReferenceCountShownByAcquire(tokens[2]), 1u);
  ASSERT_EQ(table_.ReleaseOperation(tokens[2]), 0u);
  EXPECT_EQ(probes[2].destroyed, 1);
}

TEST_F(Disconnect, MatchesAnOperationTheClientReleasedButTheBufferHolds) {
  Probe probe;
  const OperationDescriptor descriptor = ProbeDescriptor(probe, "Buffered");
  ASSERT_EQ(table_.CreateOperation(&descriptor, nullptr), 0u);  // only the buffer holds it
  ASSERT_EQ(StandIn_PublishClientDisconnected(kMainClient), 0u);
  EXPECT_EQ(probe.destroyed, 1);  // the buffer's reference went
  EXPECT_EQ(probe.executed, 0);
  StandIn_ErrorClearPosts();
  EXPECT_EQ(table_.Flush(), OR_INVALID_OPERATION_TOKEN);  // its token is still buffered
}

Probe immediateProbe;
uint64_t immediateToken = 0;

void CreateInImmediateMode(Probe& /*outer*/, uint64_t /*token*/) {
  const OperationDescriptor descriptor = ProbeDescriptor(immediateProbe, "Immediate");
  EXPECT_EQ(Table().CreateOperation(&descriptor, &immediateToken), 0u);
}

TEST_F(Disconnect, ImmediateOperationsAreMatchedOnlyByClientMinusOne) {
  Probe outer;
  outer.onExecute = CreateInImmediateMode;
  const OperationDescriptor descriptor = ProbeDescriptor(outer, "Outer");
  const uint64_t token = Create(&descriptor);
  ASSERT_EQ(table_.Flush(), 0u);
  ASSERT_EQ(table_.ReleaseOperation(token), 0u);
  ASSERT_EQ(immediateProbe.executed, 1);
  ASSERT_EQ(StandIn_PublishClientDisconnected(kMainClient), 0u);
  EXPECT_EQ(State(immediateToken), static_cast<uint32_t>(OperationState_Executed));
  StandIn_LoggingClearRecorded();
  ASSERT_EQ(StandIn_PublishClientDisconnected(-1), 0u);
  EXPECT_EQ(immediateProbe.destroyed, 1);
  EXPECT_EQ(RecordedTexts().at(0), "Client -1 did not destroy operation " + Hex(immediateToken));
}

TEST_F(Disconnect, OtherEventsAndOtherSpellingsAreIgnored) {
  Probe probe;
  const OperationDescriptor descriptor = ProbeDescriptor(probe, "Kept");
  const uint64_t token = Create(&descriptor);
  const StandInClientEventData data{STANDIN_CLIENT_EVENT_DISCONNECTED, kMainClient};
  ASSERT_EQ(StandIn_PublishEvent("Client", "disconnected", &data), 0u);
  ASSERT_EQ(StandIn_PublishEvent("Client", "Disconnected ", &data), 0u);
  ASSERT_EQ(StandIn_PublishEvent("Client", "Connected", &data), 0u);
  ASSERT_EQ(StandIn_PublishEvent("Client", "Disconnected", nullptr), 0u);
  ASSERT_EQ(StandIn_PublishClientDisconnected(kMainClient + 1), 0u);
  EXPECT_EQ(probe.destroyed, 0);
  EXPECT_TRUE(RecordedLines().size() == 2u);  // Creating and Acquiring only
  ASSERT_EQ(table_.Flush(), 0u);
  ASSERT_EQ(table_.ReleaseOperation(token), 0u);
}

// Two clients create, flush, read and release while the broker keeps disconnecting them.
// Whatever interleaving happens, every operation is destroyed exactly once.
TEST_F(Disconnect, ConcurrentDisconnectsDestroyEveryOperationExactlyOnce) {
  StandIn_LoggingSetEnabledLevels(0);
  constexpr int kPerClient = 3000;
  struct Counter {
    std::atomic<int> destroyed{0};
  };
  std::vector<std::unique_ptr<Counter>> counters(2 * kPerClient);
  for (auto& counter : counters) counter = std::make_unique<Counter>();
  std::atomic<bool> done{false};

  auto client = [&](int clientIndex) {
    StandIn_CommonSetClientId(500 + clientIndex);
    for (int i = 0; i < kPerClient; ++i) {
      OperationDescriptor descriptor{};
      descriptor.name = "Raced";
      descriptor.context = counters[clientIndex * kPerClient + i].get();
      descriptor.destroyCallback = [](void* context) {
        static_cast<Counter*>(context)->destroyed.fetch_add(1);
      };
      uint64_t token = 0;
      Table().CreateOperation(&descriptor, &token);
      if (i % 8 == 7) Table().Flush();
      uint32_t code = 0;
      Table().GetErrorCode(token, &code);  // flushes on demand when still buffered
      Table().ReleaseOperation(token);
    }
    Table().Flush();
  };
  // The events reach the component on the broker's own delivery thread, as a broker would
  // deliver them, while the clients keep working on theirs.
  std::thread publisher([&] {
    while (!done.load()) {
      for (int32_t client : {500, 501}) {
        const StandInClientEventData data{STANDIN_CLIENT_EVENT_DISCONNECTED, client};
        StandIn_PublishEventAsync("Client", "Disconnected", &data, sizeof data);
      }
      StandIn_EventFlushAsync();
    }
    StandIn_EventStopDeliveryThread();
  });
  std::thread first(client, 0);
  std::thread second(client, 1);
  first.join();
  second.join();
  done.store(true);
  publisher.join();
  for (const auto& counter : counters) EXPECT_EQ(counter->destroyed.load(), 1);
}

}  // namespace
}  // namespace operation_receipt_test
