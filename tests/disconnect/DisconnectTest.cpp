// DisconnectTest.cpp
//
// Releasing the operations a disconnected client left behind, when the event broker reports
// "Disconnected" for the client's id, and the subscription that the component gives back when
// it shuts down. (Disconnects racing clients on other threads are in the stress test.)

#include <cstdio>
#include <cstdlib>
#include <string>

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

// The line written for an operation that `client` left behind.
std::string Left(int32_t client, uint64_t token) {
  return "Client " + std::to_string(client) + " did not destroy operation " + Hex(token);
}

// Each live operation keyed to the client loses one reference, the buffer's alone included;
// operations made in immediate mode are keyed to client -1 and matched only by it. Other events,
// other spellings of the event, an event without data and other clients touch nothing.
TEST_F(Disconnect, ReleasesOneReferenceOfEachOperationLeftBehind) {
  Probe probes[5];
  uint64_t immediate = 0;
  probes[0].onExecute = [&](uint64_t) { immediate = Make(probes[4], "Immediate"); };
  const std::vector<uint64_t> tokens = {Make(probes[0], "Left"), Make(probes[1], "Left"),
                                        Make(probes[2], "Left")};
  EXPECT_TRUE(kShutdownUnsubscribeChecked);
  ASSERT_EQ(table_.Flush(), 0u);
  Release({tokens[1]});                               // destroyed: not matched any more
  ASSERT_EQ(table_.AcquireOperation(tokens[2]), 0u);  // held elsewhere too
  const uint64_t buffered = Make(probes[3], "Buffered");
  Release({buffered});  // only the buffer holds it
  StandIn_LoggingClearRecorded();
  const StandInClientEventData data{STANDIN_CLIENT_EVENT_DISCONNECTED, kMainClient};
  for (const char* name : {"disconnected", "Disconnected ", "Connected"})
    ASSERT_EQ(StandIn_PublishEvent("Client", name, &data), 0u);
  ASSERT_EQ(StandIn_PublishEvent("Client", "Disconnected", nullptr), 0u);
  ASSERT_EQ(StandIn_PublishClientDisconnected(kMainClient + 1), 0u);
  EXPECT_TRUE(RecordedLines().empty());

  ASSERT_EQ(StandIn_PublishClientDisconnected(kMainClient), 0u);
  EXPECT_EQ(CountLines("Client " + std::to_string(kMainClient) + " did not"), 3);  // these:
  for (const uint64_t token : {tokens[0], tokens[2], buffered})
    EXPECT_EQ(CountLines(Left(kMainClient, token)), 1);
  EXPECT_EQ(RecordedLines().at(0).level, 3u);
  EXPECT_EQ(probes[0].destroyed + probes[3].destroyed, 2);  // their last references went
  EXPECT_EQ(probes[2].destroyed + probes[3].executed, 0);
  Release({tokens[2]});
  EXPECT_EQ(probes[2].destroyed, 1);  // the disconnect left it one reference
  EXPECT_EQ(table_.Flush(), OR_INVALID_OPERATION_TOKEN);  // the gone token was still buffered
  StandIn_LoggingClearRecorded();
  ASSERT_EQ(StandIn_PublishClientDisconnected(-1), 0u);
  EXPECT_EQ(probes[4].destroyed, 1);
  EXPECT_EQ(RecordedTexts().at(0), Left(-1, immediate));
}

}  // namespace
}  // namespace operation_receipt_test
