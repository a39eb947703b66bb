// DisconnectTest.cpp
//
// Releasing the operations a disconnected client left behind, when the event broker reports
// "Disconnected" for the client's id, and the subscription that the component gives back when
// it shuts down. (Disconnects racing clients on other threads are in the stress test.)

#include <cstdio>
#include <cstdlib>

#include "ComponentTest.h"

namespace operation_receipt_test {
namespace {

// The pool subscribes to client events when it is first used, after this check is registered
// (before main), so the check runs after the library's shutdown at exit and fails the process
// when the subscription is left behind. The stand-in broker stays usable during exit.
const bool kShutdownUnsubscribeChecked = std::atexit([] {
  if (StandIn_EventSubscriberCount("Client") != 0) {
    std::fputs("The component left its client-event subscription behind at shutdown\n", stderr);
    std::_Exit(1);
  }
}) == 0;

using Disconnect = ComponentTest;

// Each live operation keyed to the client loses one reference, the buffer's alone included.
TEST_F(Disconnect, ReleasesOneReferenceOfEachOperationLeftBehind) {
  Probe probes[4];
  const std::vector<uint64_t> tokens = {Make(probes[0], "Left"), Make(probes[1], "Left"),
                                        Make(probes[2], "Left")};
  EXPECT_TRUE(kShutdownUnsubscribeChecked);
  ASSERT_EQ(table_.Flush(), 0u);
  Release({tokens[1]});                               // destroyed: not matched any more
  ASSERT_EQ(table_.AcquireOperation(tokens[2]), 0u);  // held elsewhere too
  const uint64_t buffered = Make(probes[3], "Buffered");
  Release({buffered});  // only the buffer holds it
  StandIn_LoggingClearRecorded();
  ASSERT_EQ(StandIn_PublishClientDisconnected(kMainClient), 0u);
  for (const uint64_t token : {tokens[0], tokens[2], buffered}) {
    EXPECT_EQ(CountLines("Client 100 did not destroy operation " + Hex(token)), 1);
  }
  EXPECT_EQ(CountLines("Client 100 did not destroy operation " + Hex(tokens[1])), 0);
  EXPECT_EQ(RecordedLines().at(0).level, 3u);
  EXPECT_EQ(probes[0].destroyed + probes[3].destroyed, 2);  // their last references went
  EXPECT_EQ(probes[2].destroyed, 0);
  EXPECT_EQ(probes[3].executed, 0);
  Release({tokens[2]});
  EXPECT_EQ(probes[2].destroyed, 1);  // the disconnect left it one reference
  EXPECT_EQ(table_.Flush(), OR_INVALID_OPERATION_TOKEN);  // the gone token was still buffered
}

TEST_F(Disconnect, ImmediateOperationsAreMatchedOnlyByClientMinusOne) {
  Probe outer, immediate;
  uint64_t immediateToken = 0;
  outer.onExecute = [&](uint64_t) { immediateToken = Make(immediate, "Immediate"); };
  const uint64_t token = Make(outer, "Outer");
  ASSERT_EQ(table_.Flush(), 0u);
  Release({token});
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

}  // namespace
}  // namespace operation_receipt_test
