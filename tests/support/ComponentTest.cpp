// ComponentTest.cpp

#include "ComponentTest.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

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
  for (uint64_t i = 0; i < StandIn_LoggingRecordedCount(); ++i) {
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

std::vector<std::string> Traced() {
  std::vector<std::string> lines;
  for (const Line& line : RecordedLines()) {
    const char delta = line.delta > 0 ? '+' : (line.delta < 0 ? '-' : ' ');
    lines.push_back(std::to_string(line.level) + delta + ' ' + line.text);
  }
  return lines;
}

int CountLines(const std::string& prefix) {
  int count = 0;
  for (const std::string& text : RecordedTexts()) count += text.rfind(prefix, 0) == 0 ? 1 : 0;
  return count;
}

std::vector<Post> Posts() {
  std::vector<Post> posts;
  for (uint32_t i = 0; i < StandIn_ErrorPostCount(); ++i) {
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
  if (probe.onExecute) probe.onExecute(token);
  return probe.executeResult;
}

uint32_t ProbeValue(uint64_t token, void* context, BitData* value) {
  Probe& probe = *static_cast<Probe*>(context);
  ++probe.valuesSeen;
  probe.lastToken = token;
  probe.valueLength = BitData_GetLength(value);
  probe.valueLow = BitData_GetUpToUInt64(value, 0, std::min<uint64_t>(probe.valueLength, 64));
  if (probe.onValue) probe.onValue();
  return probe.valueResult;
}

void ProbeDestroy(void* context) {
  Probe& probe = *static_cast<Probe*>(context);
  ++probe.destroyed;
  if (probe.onDestroy) probe.onDestroy();
}

}  // namespace

OperationDescriptor ProbeDescriptor(Probe& probe, const char* name, bool hasValue,
                                    bool alwaysExecute) {
  const uint8_t value = hasValue ? 1 : 0, always = alwaysExecute ? 1 : 0;
  return {name, ProbeExecute, ProbeValue, &probe, ProbeDestroy, value, {}, always, {}};
}

uint64_t Make(Probe& probe, const char* name, bool hasValue, bool alwaysExecute) {
  const OperationDescriptor descriptor = ProbeDescriptor(probe, name, hasValue, alwaysExecute);
  return Read<uint64_t>(Table().CreateOperation, &descriptor);
}

uint64_t PlainOperation() { return Read<uint64_t>(Table().CreateOperation, nullptr); }

uint64_t ValueSource(uint64_t bits, uint64_t value) {
  const uint64_t token = PlainOperation();
  EXPECT_EQ(Table().SetValue(token, MakeBits(bits, value)), 0u);
  return token;
}

void Release(const std::vector<uint64_t>& tokens) {
  for (const uint64_t token : tokens) EXPECT_EQ(Table().ReleaseOperation(token), 0u) << token;
}

uint32_t State(uint64_t token) { return Read<uint32_t>(Table().GetOperationState, token); }
uint32_t Code(uint64_t token) { return Read<uint32_t>(Table().GetErrorCode, token); }
uint64_t ValueOf(uint64_t token) { return Read<uint64_t>(Table().GetValueUInt64, token); }
bool Immediate() { return Read<bool>(Table().IsImmediateMode); }
uint32_t Counted(int32_t setKey, bool pending) {
  const OperationReceiptComponent& t = Table();
  return Read<uint32_t>(pending ? t.GetPendingOperationCount : t.GetExecutedOperationCount, setKey);
}

std::string Message(uint64_t token) {
  char buffer[256] = {};
  uint32_t size = 0;
  EXPECT_EQ(Table().GetErrorMessage(token, buffer, sizeof buffer, &size), 0u);
  EXPECT_EQ(size, std::strlen(buffer));
  return buffer;
}

ReadBits ReadValueOf(uint64_t token) {
  ReadBits read;
  BitData* value = nullptr;
  read.result = Table().GetValue(token, &value);
  if (value != nullptr) {
    read.handedOut = true;
    read.length = BitData_GetLength(value);
    read.low = BitData_GetUpToUInt64(value, 0, std::min<uint64_t>(read.length, 64));
    BitData_FreeManaged(value);
  }
  return read;
}

::testing::AssertionResult Holds(uint64_t token, uint64_t length, uint64_t low) {
  const ReadBits read = ReadValueOf(token);
  if (read.result == 0 && read.length == length && read.low == low)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "GetValue(" << Hex(token) << ") returned " << read.result
                                       << " with " << read.length << " bits, low 0x" << std::hex
                                       << read.low;
}

std::string Hex(uint64_t token) {
  char text[19];
  std::snprintf(text, sizeof text, "0x%016llx", static_cast<unsigned long long>(token));
  return text;
}

std::string OpLine(const char* verb, const char* name, uint64_t token, const char* tail) {
  return std::string(verb) + " operation '" + name + "' (token = " + Hex(token) + tail + ")";
}

::testing::AssertionResult Posted(const std::vector<std::pair<uint32_t, std::string>>& expected,
                                  const std::string& file) {
  std::vector<std::string> made, wanted;
  for (const Post& post : Posts())
    made.push_back(std::to_string(post.code) + " '" + post.message + "' " + post.file);
  for (const auto& [code, message] : expected)
    wanted.push_back(std::to_string(code) + " '" + message + "' " + file);
  StandIn_ErrorClearPosts();
  if (made == wanted) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "posts made: " << ::testing::PrintToString(made);
}

std::string NoValueMessage(uint64_t token) {
  return "Operation receipt with token " + Hex(token) + " does not have a value associated with it";
}

BitData* MakeBits(uint64_t bits, uint64_t value) {
  BitData* data = BitData_CreateManaged(bits);
  if (bits != 0) BitData_SetUpToUInt64(data, 0, bits < 64 ? bits : 64, value);
  return data;
}

void ComponentTest::SetUp() {
  StandIn_CommonSetClientId(kMainClient);
  StandIn_LoggingSetEnabledLevels(0xF);
  StandIn_LoggingSetSuppressed(false);
  StandIn_LoggingSetSink(StandIn_LoggingDiscardSink, nullptr);
  StandIn_LoggingStartRecording();
  StandIn_LoggingClearRecorded();
  StandIn_ErrorClearPosts();
  liveBitsAtStart_ = StandIn_BitDataLiveCount();
}

void ComponentTest::TearDown() {
  EXPECT_EQ(Counted(kMainClient, true), 0u) << "operations of the test's client left pending";
  EXPECT_EQ(Counted(kMainClient, false), 0u) << "operations of the test's client left alive";
  EXPECT_EQ(Counted(-1, false), 0u) << "immediate operations left alive";
  EXPECT_EQ(StandIn_BitDataLiveCount(), liveBitsAtStart_) << "bit buffers leaked or lost";
  StandIn_LoggingStopRecording();
  StandIn_LoggingClearRecorded();
}

}  // namespace operation_receipt_test
