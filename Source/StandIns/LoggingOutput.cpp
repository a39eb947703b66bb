// LoggingOutput.cpp
//
// Where logged lines go: the per-thread nesting depth, the host's sink (stderr by default) and
// the optional recording a test reads back.
//
// The sink is called without any lock held, so a sink may itself log or change the sink; the
// default sink writes each line with a single fwrite so lines from different threads do not mix.
// Delivering a line takes no lock either (the sink is read as a versioned pair, below), so with
// a sink that discards, a line costs its count, the depth update and a few loads.
// Recorded lines live in a deque, which never moves its elements, so a recorded text handed to
// the host stays put while other threads keep logging.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <new>
#include <string>

#include "LoggingInternal.h"
#include "SpinLock.h"
#include "StandInServices.h"

namespace {

// Bounds the depth so that unbalanced +1 lines cannot overflow it, and the default sink's
// indentation so that such a caller does not produce megabytes of spaces per line.
constexpr int64_t kMaxDepth = int64_t{1} << 20;
constexpr int32_t kMaxIndentedDepth = 100;

thread_local int32_t tDepth __attribute__((tls_model("initial-exec"))) = 0;

struct SinkChoice {
  StandInLogSink sink;  // null: the default sink
  void* context;
};

// The sink and its context change together. A writer makes `version_` odd, stores both and
// makes it even again; a reader keeps the pair only when it read both within one even version,
// so a line never reaches one sink with another's context. Writers take a mutex among
// themselves; readers take nothing.
class PublishedSink {
 public:
  SinkChoice Read() const {
    unsigned spins = 0;
    while (true) {
      const uint32_t before = version_.load(std::memory_order_acquire);
      // Acquire loads: the version below cannot be read before them.
      const SinkChoice choice{sink_.load(std::memory_order_acquire),
                              context_.load(std::memory_order_acquire)};
      if ((before & 1u) == 0 && version_.load(std::memory_order_relaxed) == before) return choice;
      standin::PauseWhileContended(spins);
    }
  }

  void Write(SinkChoice choice) {
    std::lock_guard<std::mutex> lock(writers_);
    const uint32_t version = version_.load(std::memory_order_relaxed);
    version_.store(version + 1, std::memory_order_relaxed);
    // Release stores: the odd version is visible before either new value.
    sink_.store(choice.sink, std::memory_order_release);
    context_.store(choice.context, std::memory_order_release);
    version_.store(version + 2, std::memory_order_release);
  }

 private:
  std::mutex writers_;
  std::atomic<uint32_t> version_{0};
  std::atomic<StandInLogSink> sink_{nullptr};
  std::atomic<void*> context_{nullptr};
};

PublishedSink gSink;

struct RecordedLine {
  LoggerHandle logger;
  uint32_t level;
  int32_t nestingDelta;
  std::string text;
};

struct Recording {
  std::mutex mutex;
  std::deque<RecordedLine> lines;
};

std::atomic<bool> gRecordingOn{false};

Recording& TheRecording() {
  static Recording* const recording = new Recording;  // never destroyed: usable during exit
  return *recording;
}

void DefaultSink(void* /*context*/, uint32_t level, const char* text, int32_t /*nestingDelta*/,
                 int32_t depth) {
  try {
    std::string line(2 * static_cast<size_t>(std::min(depth, kMaxIndentedDepth)), ' ');
    line += "[L";
    line += std::to_string(level);
    line += "] ";
    line += text;
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
  } catch (const std::bad_alloc&) {
    // A line that cannot be built is dropped; logging never fails its caller.
  }
}

void Record(LoggerHandle logger, uint32_t level, const char* text, int32_t nestingDelta) {
  Recording& recording = TheRecording();
  try {
    std::lock_guard<std::mutex> lock(recording.mutex);
    recording.lines.push_back(RecordedLine{logger, level, nestingDelta, text});
  } catch (const std::bad_alloc&) {
    // As above: the line is lost, the caller is not told.
  }
}

// Runs `read` on the recorded line `index` under the recording's lock, or returns `missing`.
template <typename T, typename Read>
T ReadRecorded(uint64_t index, T missing, Read read) {
  Recording& recording = TheRecording();
  std::lock_guard<std::mutex> lock(recording.mutex);
  if (index >= recording.lines.size()) return missing;
  return read(recording.lines[static_cast<size_t>(index)]);
}

}  // namespace

namespace standin {

void DeliverLogLine(LoggerHandle logger, uint32_t level, const char* text, int32_t nestingDelta) {
  int32_t shownDepth = tDepth;
  if (nestingDelta < 0) {
    tDepth = static_cast<int32_t>(std::max<int64_t>(0, int64_t{tDepth} + nestingDelta));
    shownDepth = tDepth;
  } else {
    tDepth = static_cast<int32_t>(std::min(kMaxDepth, int64_t{tDepth} + nestingDelta));
  }

  if (gRecordingOn.load(std::memory_order_acquire)) Record(logger, level, text, nestingDelta);

  const SinkChoice choice = gSink.Read();
  StandInLogSink sink = choice.sink == nullptr ? DefaultSink : choice.sink;
  sink(choice.context, level, text, nestingDelta, shownDepth);
}

}  // namespace standin

extern "C" {

STANDIN_API void StandIn_LoggingSetSink(StandInLogSink sink, void* context) {
  gSink.Write(SinkChoice{sink, sink == nullptr ? nullptr : context});
}

STANDIN_API void StandIn_LoggingDiscardSink(void* /*context*/, uint32_t /*level*/,
                                            const char* /*text*/, int32_t /*nestingDelta*/,
                                            int32_t /*depth*/) {}

STANDIN_API void StandIn_LoggingStartRecording(void) {
  gRecordingOn.store(true, std::memory_order_release);
}

STANDIN_API void StandIn_LoggingStopRecording(void) {
  gRecordingOn.store(false, std::memory_order_release);
}

STANDIN_API void StandIn_LoggingClearRecorded(void) {
  Recording& recording = TheRecording();
  std::lock_guard<std::mutex> lock(recording.mutex);
  recording.lines.clear();
}

STANDIN_API uint64_t StandIn_LoggingRecordedCount(void) {
  Recording& recording = TheRecording();
  std::lock_guard<std::mutex> lock(recording.mutex);
  return recording.lines.size();
}

STANDIN_API const char* StandIn_LoggingRecordedText(uint64_t index) {
  return ReadRecorded<const char*>(index, "",
                                   [](const RecordedLine& line) { return line.text.c_str(); });
}

STANDIN_API uint32_t StandIn_LoggingRecordedLevel(uint64_t index) {
  return ReadRecorded<uint32_t>(index, 0, [](const RecordedLine& line) { return line.level; });
}

STANDIN_API int32_t StandIn_LoggingRecordedDelta(uint64_t index) {
  return ReadRecorded<int32_t>(index, 0,
                               [](const RecordedLine& line) { return line.nestingDelta; });
}

STANDIN_API LoggerHandle StandIn_LoggingRecordedLogger(uint64_t index) {
  return ReadRecorded<LoggerHandle>(index, 0,
                                    [](const RecordedLine& line) { return line.logger; });
}

}  // extern "C"
