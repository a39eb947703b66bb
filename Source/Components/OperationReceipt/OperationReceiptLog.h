// OperationReceiptLog.h
//
// The bridge to the framework's logging service through which every trace line is written.
//
// A line that the service does not want costs no formatting: a plain line asks
// Quorvel_LoggingIsLogEnabled at its call site (LogLine) before anything is built, and
// Logger::Log asks again, then asks whether logging is suppressed, and only then formats the
// line into a fresh string stream. So the service sees two enabled questions per written plain
// line. A LogScope brackets an activity between an opening line (nesting delta +1) and a closing
// line (-1) written by its destructor, so the closing line also appears when an exception leaves
// the activity. Each of the two lines is tested for enabled on its own.
//
// Lines go to logger id 6 at these levels:
//   0  operation lifecycle, "Flush complete", the post-flush callback lines
//   1  execution of one operation
//   2  a flush
//   3  operations left behind by a disconnected client
#ifndef OPERATION_RECEIPT_LOG_H_
#define OPERATION_RECEIPT_LOG_H_

#include <cstdint>
#include <functional>
#include <iomanip>
#include <sstream>
#include <utility>

#include "services/LoggingService.h"

namespace operation_receipt {

using LogLevel = uint32_t;
inline constexpr LogLevel kLogLifecycle = 0;
inline constexpr LogLevel kLogExecution = 1;
inline constexpr LogLevel kLogFlush = 2;
inline constexpr LogLevel kLogDisconnect = 3;
inline constexpr int32_t kComponentLoggerId = 6;

// Writes the text of one line into the stream it is given. The bridge takes any callable of
// this shape; a formatter held in this wrapper may also be empty, which is a programming error.
using LogFormatter = std::function<void(std::stringstream&)>;

// Logger id 6 of the logging service. Never copied; one owner holds it.
class Logger {
 public:
  Logger() : handle_(Quorvel_LoggingGetLogger(kComponentLoggerId)) {}
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  bool IsEnabled(LogLevel level) const { return Quorvel_LoggingIsLogEnabled(handle_, level); }

  // Formats and writes one line when `level` is enabled and logging is not suppressed.
  // `format` is called with a fresh string stream; calling an empty LogFormatter throws
  // std::bad_function_call, and the component never passes one. Formatters are taken as they
  // are rather than wrapped, so a line costs no wrapper when nothing is written.
  template <class Format>
  void Log(LogLevel level, const Format& format, int32_t nestingDelta) const {
    if (!Quorvel_LoggingIsLogEnabled(handle_, level)) return;
    if (Quorvel_LoggingIsLoggingSuppressed()) return;
    std::stringstream stream(std::ios::in | std::ios::out);
    format(stream);
    const std::string text = stream.str();
    Quorvel_LoggingLog(handle_, level, text.c_str(), nestingDelta);
  }

  LoggerHandle handle() const { return handle_; }
  int32_t loggerId() const { return kComponentLoggerId; }

 private:
  const LoggerHandle handle_;
};

// Writes a plain line (nesting delta 0). Nothing is built unless the level is enabled.
template <class Format>
void LogLine(const Logger& logger, LogLevel level, const Format& format) {
  if (!logger.IsEnabled(level)) return;
  logger.Log(level, format, 0);
}

// Writes `begin` now (delta +1) and `end` when the scope is left (delta -1), also by exception.
template <class End>
class LogScope {
 public:
  template <class Begin>
  LogScope(const Logger& logger, LogLevel level, const Begin& begin, End end)
      : logger_(&logger), level_(level), endFormatter_(std::move(end)) {
    logger_->Log(level_, begin, +1);
  }
  ~LogScope() { logger_->Log(level_, endFormatter_, -1); }
  LogScope(const LogScope&) = delete;
  LogScope& operator=(const LogScope&) = delete;

 private:
  const Logger* logger_;
  LogLevel level_;
  End endFormatter_;
};

template <class Begin, class End>
LogScope(const Logger&, LogLevel, const Begin&, End) -> LogScope<End>;

// Pieces of the lines. A token is "0x" and exactly 16 lower-case hex digits; the stream is
// switched back to decimal afterwards so that counts that follow print in decimal.
struct TokenPiece {
  uint64_t token;
};
inline std::ostream& operator<<(std::ostream& stream, TokenPiece piece) {
  stream << "0x" << std::hex << std::setfill('0') << std::setw(16) << piece.token << std::dec
         << std::setfill(' ');
  return stream;
}

struct NamePiece {
  const char* name;
};
inline std::ostream& operator<<(std::ostream& stream, NamePiece piece) {
  return stream << '\'' << piece.name << '\'';
}

}  // namespace operation_receipt

#endif  // OPERATION_RECEIPT_LOG_H_
