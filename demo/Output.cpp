// Output.cpp
//
// The trace sink, narration and the summary table.

#include "Output.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <thread>

#include "StandInServices.h"

namespace demo {
namespace {

std::mutex gOutputMutex;
thread_local std::string tThreadLabel;
// Static initialisation runs on the main thread.
const std::thread::id gMainThread = std::this_thread::get_id();

// The component writes at levels 0 to 3; see --help.
const char* LevelTag(uint32_t level) {
  switch (level) {
    case 0: return "life ";
    case 1: return "exec ";
    case 2: return "flush";
    case 3: return "disc ";
    default: return "L?   ";
  }
}

// The thread's label; a thread the demo did not start and label is the event broker's.
std::string LabelPrefix() {
  if (!tThreadLabel.empty()) return tThreadLabel + ": ";
  return std::this_thread::get_id() == gMainThread ? "" : "event thread: ";
}

// Trace lines sit below the narration, two spaces further in per nesting level.
void TraceSink(void* /*context*/, uint32_t level, const char* text, int32_t /*nestingDelta*/,
               int32_t depth) {
  const size_t indent = 4 + 2 * static_cast<size_t>(std::clamp(depth, 0, 20));
  PrintLine(std::string(indent, ' ') + "[" + LevelTag(level) + "] " + LabelPrefix() + text);
}

}  // namespace

std::string Hex(uint64_t value, int digits) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
  return text;
}

int HexDigits(unsigned widthBits) { return static_cast<int>((widthBits + 3) / 4); }

std::string StateName(uint32_t state) {
  static const char* const kNames[] = {"Pending", "Executing", "Executed", "Canceled", "Failed"};
  if (state < sizeof kNames / sizeof kNames[0]) return kNames[state];
  return "state " + std::to_string(state);
}

void InstallTraceSink(uint32_t levelMask) {
  StandIn_LoggingSetEnabledLevels(levelMask);
  StandIn_LoggingSetSink(levelMask != 0 ? &TraceSink : &StandIn_LoggingDiscardSink, nullptr);
}

void SetThreadLabel(const std::string& label) { tThreadLabel = label; }

void PrintLine(const std::string& text) {
  std::lock_guard<std::mutex> lock(gOutputMutex);
  std::cout << text << '\n';
}

void PrintHeading(int scene, const std::string& title, const std::string& explanation) {
  const std::string heading = "== Scene " + std::to_string(scene) + ": " + title + " ";
  PrintLine("");
  PrintLine(heading + std::string(heading.size() < 78 ? 78 - heading.size() : 2, '='));
  PrintLine(explanation);
}

void Say(const std::string& text) { PrintLine("  > " + LabelPrefix() + text); }

void Summary::Add(SummaryRow row) {
  std::lock_guard<std::mutex> lock(mutex_);
  rows_.push_back(std::move(row));
}

void Summary::Print() const {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string sceneTitle = "scene";
  const std::string operationTitle = "operation";
  const std::string stateTitle = "state";
  size_t operationWidth = operationTitle.size();
  for (const SummaryRow& row : rows_)
    operationWidth = std::max(operationWidth, row.operation.size());

  const auto pad = [](std::string text, size_t width) {
    text.resize(std::max(text.size(), width), ' ');
    return text;
  };
  const auto line = [&](const std::string& scene, const std::string& operation,
                        const std::string& state, const std::string& code,
                        const std::string& value) {
    PrintLine("  " + pad(scene, 6) + pad(operation, operationWidth + 2) + pad(state, 10) +
              pad(code, 12) + value);
  };
  line(sceneTitle, operationTitle, stateTitle, "code", "value");
  line("-----", std::string(operationWidth, '-'), "---------", "----------", "----------");
  for (const SummaryRow& row : rows_) {
    line(std::to_string(row.scene), row.operation, StateName(row.state), Hex(row.code, 8),
         row.hasValue ? Hex(row.value, HexDigits(row.widthBits)) : "-");
  }
}

}  // namespace demo
