// ComponentTest.cpp

#include "ComponentTest.h"

#include <cstdio>

namespace operation_receipt_test {

const OperationReceiptComponent& Table() {
  static const OperationReceiptComponent* table = [] {
    const OperationReceiptComponent* fetched = nullptr;
    EXPECT_EQ(Quorvel_GetOperationReceipt(&fetched), 0u);
    return fetched;
  }();
  return *table;
}

std::vector<Line> RecordedLines() {
  std::vector<Line> lines;
  const uint64_t count = StandIn_LoggingRecordedCount();
  for (uint64_t i = 0; i < count; ++i) {
    lines.push_back({StandIn_LoggingRecordedLevel(i), StandIn_LoggingRecordedText(i),
                     StandIn_LoggingRecordedDelta(i)});
  }
  return lines;
}

std::vector<std::string> RecordedTexts() {
  std::vector<std::string> texts;
  for (const Line& line : RecordedLines()) texts.push_back(line.text);
  return texts;
}

std::vector<Post> Posts() {
  std::vector<Post> posts;
  const uint32_t count = StandIn_ErrorPostCount();
  for (uint32_t i = 0; i < count; ++i) {
    posts.push_back({StandIn_ErrorPostCode(i), StandIn_ErrorPostMessage(i),
                     StandIn_ErrorPostFile(i)});
  }
  return posts;
}

namespace {

uint32_t ProbeExecute(uint64_t token, void* context) {
  Probe& probe = *static_cast<Probe*>(context);
  ++probe.executed;
  probe.lastToken = token;
  if (probe.onExecute != nullptr) probe.onExecute(probe, token);
  return probe.executeResult;
}

uint32_t ProbeValue(uint64_t token, void* context, BitData* /*value*/) {
  Probe& probe = *static_cast<Probe*>(context);
  ++probe.valuesSeen;
  probe.lastToken = token;
  return probe.valueResult;
}

void ProbeDestroy(void* context) {
  Probe& probe = *static_cast<Probe*>(context);
  ++probe.destroyed;
  if (probe.onDestroy != nullptr) probe.onDestroy(probe);
}

}  // namespace

OperationDescriptor ProbeDescriptor(Probe& probe, const char* name, bool hasValue,
                                    bool alwaysExecute) {
  OperationDescriptor descriptor{};
  descriptor.name = name;
  descriptor.executeCallback = ProbeExecute;
  descriptor.valueCallback = ProbeValue;
  descriptor.context = &probe;
  descriptor.destroyCallback = ProbeDestroy;
  descriptor.hasValue = hasValue ? 1 : 0;
  descriptor.alwaysExecute = alwaysExecute ? 1 : 0;
  return descriptor;
}

std::string Hex(uint64_t token) {
  char text[19];
  std::snprintf(text, sizeof text, "0x%016llx", static_cast<unsigned long long>(token));
  return text;
}

BitData* MakeBits(uint64_t bits, uint64_t value) {
  BitData* data = BitData_CreateManaged(bits);
  if (bits != 0) BitData_SetUpToUInt64(data, 0, bits < 64 ? bits : 64, value);
  return data;
}

void ComponentTest::SetUp() {
  StandIn_CommonSetClientId(kMainClient);
  StandIn_LoggingSetEnabledLevels(kAllLevels);
  StandIn_LoggingSetSuppressed(false);
  StandIn_LoggingSetSink(StandIn_LoggingDiscardSink, nullptr);
  StandIn_LoggingStartRecording();
  StandIn_LoggingClearRecorded();
  StandIn_ErrorClearPosts();
  liveBitsAtStart_ = StandIn_BitDataLiveCount();
}

void ComponentTest::TearDown() {
  uint32_t pending = 0;
  uint32_t executed = 0;
  ASSERT_EQ(table_.GetPendingOperationCount(kMainClient, &pending), 0u);
  ASSERT_EQ(table_.GetExecutedOperationCount(kMainClient, &executed), 0u);
  EXPECT_EQ(pending, 0u) << "operations of the test's client left pending";
  EXPECT_EQ(executed, 0u) << "operations of the test's client left alive";
  ASSERT_EQ(table_.GetExecutedOperationCount(-1, &executed), 0u);
  EXPECT_EQ(executed, 0u) << "immediate operations left alive";
  EXPECT_EQ(StandIn_BitDataLiveCount(), liveBitsAtStart_) << "bit buffers leaked or lost";
  StandIn_LoggingStopRecording();
  StandIn_LoggingClearRecorded();
}

uint64_t ComponentTest::Create(const OperationDescriptor* descriptor) {
  uint64_t token = 0;
  EXPECT_EQ(table_.CreateOperation(descriptor, &token), 0u);
  return token;
}

uint32_t ComponentTest::State(uint64_t token) {
  uint32_t state = 99;
  EXPECT_EQ(table_.GetOperationState(token, &state), 0u);
  return state;
}

uint32_t ComponentTest::Code(uint64_t token) {
  uint32_t code = 99;
  EXPECT_EQ(table_.GetErrorCode(token, &code), 0u);
  return code;
}

}  // namespace operation_receipt_test
