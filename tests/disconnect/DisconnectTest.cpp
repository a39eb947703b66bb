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

TEST_F(Disconnect, ReleasesOneReferenceOfEachOperationLeftBehind) {
  Probe probes[3];
  const std::vector<uint64_t> tokens = {Make(probes[0], "Left"), Make(probes[1], "Left"),
                                        Make(probes[2], "Left")};
  ASSERT_EQ(table_.Flush(), 0u);
  Release({tokens[1]});                               // destroyed: not matched any more
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
  Release({tokens[2]});
  EXPECT_EQ(probes[2].destroyed, 1);  // the disconnect left it one reference
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

TEST_F(Disconnect, ImmediateOperationsAreMatchedOnlyByClientMinusOne) {
  Probe outer, immediate;
  uint64_t immediateToken = 0;
  outer.onExecute = [&](uint64_t) { immediateToken = Make(immediate, "Immediate"); };
  const uint64_t token = Make(outer, "Outer");
  ASSERT_EQ(table_.Flush(), 0u);
  Release({token});
  ASSERT_EQ(immediate.executed, 1);
  ASSERT_EQ(StandIn_PublishClientDisconnected(kMainClient), 0u);
  EXPECT_EQ(State(immediateToken), kExecuted);
  StandIn_LoggingClearRecorded();
  ASSERT_EQ(StandIn_PublishClientDisconnected(-1), 0u);
  EXPECT_EQ(immediate.destroyed, 1);
  EXPECT_EQ(RecordedTexts().at(0), "Client -1 did not destroy operation " + Hex(immediateToken));
}

TEST_F(Disconnect, OtherEventsAndOtherSpellingsAreIgnored) {
  Probe probe;
  const uint64_t token = Make(probe, "Kept");
  const StandInClientEventData data{STANDIN_CLIENT_EVENT_DISCONNECTED, kMainClient};
  ASSERT_EQ(StandIn_PublishEvent("Client", "disconnected", &data), 0u);
  ASSERT_EQ(StandIn_PublishEvent("Client", "Disconnected ", &data), 0u);
  ASSERT_EQ(StandIn_PublishEvent("Client", "Connected", &data), 0u);
  ASSERT_EQ(StandIn_PublishEvent("Client", "Disconnected", nullptr), 0u);
  ASSERT_EQ(StandIn_PublishClientDisconnected(kMainClient + 1), 0u);
  EXPECT_EQ(probe.destroyed, 0);
  EXPECT_EQ(RecordedLines().size(), 2u);  // Creating and Acquiring only
  ASSERT_EQ(table_.Flush(), 0u);
  Release({token});
}

// Two clients create, flush, read and release while the broker keeps disconnecting them.
// Whatever interleaving happens, every operation is destroyed exactly once.
TEST_F(Disconnect, ConcurrentDisconnectsDestroyEveryOperationExactlyOnce) {
  StandIn_LoggingSetEnabledLevels(0);
  constexpr int kPerClient = 3000;
  const auto destroyed = std::make_unique<std::atomic<int>[]>(2 * kPerClient);
  std::atomic<bool> done{false};

  auto client = [&](int clientIndex) {
    StandIn_CommonSetClientId(500 + clientIndex);
    for (int i = 0; i < kPerClient; ++i) {
      OperationDescriptor descriptor{};
      descriptor.name = "Raced";
      descriptor.context = &destroyed[clientIndex * kPerClient + i];
      descriptor.destroyCallback = [](void* count) {
        static_cast<std::atomic<int>*>(count)->fetch_add(1);
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
  for (int i = 0; i < 2 * kPerClient; ++i) EXPECT_EQ(destroyed[i].load(), 1) << i;
}

}  // namespace
}  // namespace operation_receipt_test
