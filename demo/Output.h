// Output.h
//
// Everything the demo prints: the component's trace lines (through a sink installed in the
// logging service), scene headings, narration, and the summary table at the end. Lines come from
// several threads; each is written whole, under one lock, to stdout.
#ifndef OPERATION_RECEIPT_DEMO_OUTPUT_H_
#define OPERATION_RECEIPT_DEMO_OUTPUT_H_

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace demo {

// "0x" and `digits` upper-case hexadecimal digits.
std::string Hex(uint64_t value, int digits);
// The digits a register of `widthBits` needs: 2, 4 or 8.
int HexDigits(unsigned widthBits);
// Pending, Executing, Executed, Canceled, Failed (or "state <n>").
std::string StateName(uint32_t state);

// Routes the logging service's lines to stdout and sets which levels it writes.
void InstallTraceSink(uint32_t levelMask);
// Names the calling thread in trace and narration lines ("client 2"); the main thread has none.
void SetThreadLabel(const std::string& label);

// Writes one line to stdout as it is.
void PrintLine(const std::string& text);
// A scene heading and its one-line explanation.
void PrintHeading(int scene, const std::string& title, const std::string& explanation);
// A line of narration: what the demo did or found.
void Say(const std::string& text);

// One operation as the summary table shows it.
struct SummaryRow {
  int scene = 0;
  std::string operation;
  uint32_t state = 0;
  uint32_t code = 0;
  bool hasValue = false;
  uint64_t value = 0;
  unsigned widthBits = 32;
};

// Rows gathered by the scenes, printed as one aligned table. Any thread may add rows.
class Summary {
 public:
  void Add(SummaryRow row);
  void Print() const;

 private:
  mutable std::mutex mutex_;
  std::vector<SummaryRow> rows_;
};

}  // namespace demo

#endif  // OPERATION_RECEIPT_DEMO_OUTPUT_H_
