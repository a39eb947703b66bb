// OperationReceiptLog.h
//
// The bridge to the framework's logging service through which every trace line is written.
//
// A line that the service does not want costs no formatting: a plain line asks
// Quorvel_LoggingIsLogEnabled at its call site (LogLine) before anything is built, and
// Logger::Log asks again, then asks whether logging is suppressed, and only then formats the
// line. So the service sees two enabled questions per written plain line. A LogScope brackets an
// activity between an opening line (nesting delta +1) and a closing line (-1) written by its
// destructor, so the closing line also appears when an exception leaves the activity. Each of
// the two lines is tested for enabled on its own, when it is written.
//
// Lines are built from fixed pieces (literal text, a quoted name, a token as "0x" and 16
// lower-case hex digits, decimal numbers) by a LineWriter into a buffer on the writer's stack;
// only a line longer than that buffer (a client's very long operation name) takes a heap block.
// Writing a line never throws: when that block cannot be had, the line is written cut after its
// last piece that fits the stack buffer. So no entry fails, and no record is left half changed,
// because a trace line could not be formatted, and a closing line in a destructor is safe. A
// LogScope still takes the block of a long closing line when it opens, so that the closing line
// is whole whenever the opening one could be.
//
// Lines go to logger id 6 at these levels:
//   0  operation lifecycle, "Flush complete", the post-flush callback lines
//   1  execution of one operation
//   2  a flush
//   3  operations left behind by a disconnected client
#ifndef OPERATION_RECEIPT_LOG_H_
#define OPERATION_RECEIPT_LOG_H_

#include <charconv>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "services/LoggingService.h"

namespace operation_receipt {

using LogLevel = uint32_t;
inline constexpr LogLevel kLogLifecycle = 0;
inline constexpr LogLevel kLogExecution = 1;
inline constexpr LogLevel kLogFlush = 2;
inline constexpr LogLevel kLogDisconnect = 3;
inline constexpr int32_t kComponentLoggerId = 6;

// Pieces of the lines that are not plain text.
struct TokenPiece {  // "0x" and exactly 16 lower-case hex digits
  uint64_t token;
};
struct NamePiece {  // the name between two "'"
  const char* name;
};

// Appends the pieces of one line to a caller's buffer, never allocating. It counts what does not
// fit instead of writing it, so the caller learns the whole length and can format again into a
// buffer of that size; with a capacity of 0 it only measures.
class LineWriter {
 public:
  static constexpr size_t kTokenLength = 18;

  LineWriter(char* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {}

  // The length of the whole line, written or not, without its terminating zero.
  size_t length() const { return length_; }
  // The line and its terminating zero fit the buffer: the text is complete.
  bool Fits() const { return length_ < capacity_; }
  // Ends the text with its zero; only for a line that fits.
  const char* Terminate() {
    buffer_[length_] = '\0';
    return buffer_;
  }
  // Ends the text after the last piece that fitted whole; for a line that does not fit.
  const char* TerminateCut() {
    buffer_[written_] = '\0';
    return buffer_;
  }

  // Literal text; its length is known when the line is compiled.
  template <size_t N>
  LineWriter& operator<<(const char (&text)[N]) {
    Append(text, N - 1);
    return *this;
  }
  LineWriter& operator<<(char c) {
    Append(&c, 1);
    return *this;
  }
  LineWriter& operator<<(NamePiece piece) {
    *this << '\'';
    Append(piece.name, std::strlen(piece.name));
    return *this << '\'';
  }
  LineWriter& operator<<(TokenPiece piece) {
    if (length_ + kTokenLength < capacity_) {
      WriteToken(buffer_ + length_, piece.token);
      written_ = length_ + kTokenLength;
    }
    length_ += kTokenLength;
    return *this;
  }
  // Whole numbers in decimal (counts, client ids, buffer sizes).
  template <class Integer, class = std::enable_if_t<std::is_integral_v<Integer> &&
                                                    !std::is_same_v<Integer, bool> &&
                                                    !std::is_same_v<Integer, char>>>
  LineWriter& operator<<(Integer value) {
    char digits[24] = {};
    const std::to_chars_result end = std::to_chars(digits, digits + sizeof digits, value);
    Append(digits, static_cast<size_t>(end.ptr - digits));
    return *this;
  }

 private:
  static void WriteToken(char* out, uint64_t token) {
    static constexpr char kHex[] = "0123456789abcdef";
    out[0] = '0';
    out[1] = 'x';
    for (int digit = 0; digit < 16; ++digit) out[17 - digit] = kHex[(token >> (4 * digit)) & 0xF];
  }

  void Append(const char* text, size_t size) {
    if (length_ + size < capacity_) {
      std::memcpy(buffer_ + length_, text, size);
      written_ = length_ + size;
    }
    length_ += size;
  }

  char* buffer_;
  size_t capacity_;
  size_t length_ = 0;
  size_t written_ = 0;  // the length of the pieces that fitted whole
};

// Writes the text of one line into the writer it is given. The bridge takes any callable of this
// shape; a formatter held in this wrapper may also be empty, which is a programming error.
using LogFormatter = std::function<void(LineWriter&)>;

// The heap block of a line too long for the stack. Taken without throwing: empty when the
// allocation fails.
struct LineBlock {
  static std::unique_ptr<char[]> Take(size_t length) {
    return std::unique_ptr<char[]>(new (std::nothrow) char[length + 1]);
  }
  std::unique_ptr<char[]> data;
  size_t length = 0;
};

// Logger id 6 of the logging service. Never copied; one owner holds it.
class Logger {
 public:
  // Lines up to this length (without the terminator) are built on the stack.
  static constexpr size_t kStackLine = 256;

  Logger() : handle_(Quorvel_LoggingGetLogger(kComponentLoggerId)) {}
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  bool IsEnabled(LogLevel level) const { return Quorvel_LoggingIsLogEnabled(handle_, level); }

  // Formats and writes one line when `level` is enabled and logging is not suppressed.
  // Calling an empty LogFormatter throws std::bad_function_call; the component never passes
  // one. A line longer than kStackLine takes a heap block; without one it is written cut.
  template <class Format>
  void Log(LogLevel level, const Format& format, int32_t nestingDelta) const {
    if (!IsWanted(level)) return;
    char line[kStackLine + 1];
    LineWriter writer(line, sizeof line);
    format(writer);
    if (writer.Fits()) {
      Quorvel_LoggingLog(handle_, level, writer.Terminate(), nestingDelta);
      return;
    }
    const std::unique_ptr<char[]> block = LineBlock::Take(writer.length());
    if (block == nullptr) {
      Quorvel_LoggingLog(handle_, level, writer.TerminateCut(), nestingDelta);
      return;
    }
    WriteInto(block.get(), writer.length(), level, format, nestingDelta);
  }

  // The same for a line whose heap block, if it needs one and could have it, `reserved`
  // already is (the line's length and its terminator): never allocates.
  template <class Format>
  void LogReserved(LogLevel level, const Format& format, int32_t nestingDelta,
                   const LineBlock& reserved) const {
    if (!IsWanted(level)) return;
    if (reserved.data != nullptr) {
      WriteInto(reserved.data.get(), reserved.length, level, format, nestingDelta);
      return;
    }
    char line[kStackLine + 1];
    LineWriter writer(line, sizeof line);
    format(writer);
    Quorvel_LoggingLog(handle_, level, writer.Fits() ? writer.Terminate() : writer.TerminateCut(),
                       nestingDelta);
  }

  LoggerHandle handle() const { return handle_; }
  int32_t loggerId() const { return kComponentLoggerId; }

 private:
  bool IsWanted(LogLevel level) const {
    return Quorvel_LoggingIsLogEnabled(handle_, level) && !Quorvel_LoggingIsLoggingSuppressed();
  }

  // Formats into `block`, which holds the line's `length` characters and a terminator, and
  // writes the line.
  template <class Format>
  void WriteInto(char* block, size_t length, LogLevel level, const Format& format,
                 int32_t nestingDelta) const {
    LineWriter writer(block, length + 1);
    format(writer);
    if (writer.Fits()) Quorvel_LoggingLog(handle_, level, writer.Terminate(), nestingDelta);
  }

  const LoggerHandle handle_;
};

// Writes a plain line (nesting delta 0). Nothing is built unless the level is enabled.
template <class Format>
void LogLine(const Logger& logger, LogLevel level, const Format& format) {
  if (!logger.IsEnabled(level)) return;
  logger.Log(level, format, 0);
}

// Writes `begin` now (delta +1) and `end` when the scope is left (delta -1), also by exception.
// The closing line is measured here, and a long one gets its block here, because the destructor
// must not allocate; its pieces (a name, a token) are the same then as now.
template <class End>
class LogScope {
 public:
  template <class Begin>
  LogScope(const Logger& logger, LogLevel level, const Begin& begin, End end)
      : logger_(&logger), level_(level), endFormatter_(std::move(end)) {
    LineWriter measure(nullptr, 0);
    endFormatter_(measure);
    if (measure.length() > Logger::kStackLine) {
      closingLine_.data = LineBlock::Take(measure.length());
      closingLine_.length = measure.length();
    }
    logger_->Log(level_, begin, +1);
  }
  ~LogScope() { logger_->LogReserved(level_, endFormatter_, -1, closingLine_); }
  LogScope(const LogScope&) = delete;
  LogScope& operator=(const LogScope&) = delete;

 private:
  const Logger* logger_;
  LogLevel level_;
  End endFormatter_;
  LineBlock closingLine_;  // empty unless the closing line is too long for the stack
};

template <class Begin, class End>
LogScope(const Logger&, LogLevel, const Begin&, End) -> LogScope<End>;

}  // namespace operation_receipt

#endif  // OPERATION_RECEIPT_LOG_H_
