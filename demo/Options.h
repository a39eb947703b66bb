// Options.h
//
// The demo's command line, parsed by hand.
#ifndef OPERATION_RECEIPT_DEMO_OPTIONS_H_
#define OPERATION_RECEIPT_DEMO_OPTIONS_H_

#include <cstdint>
#include <ostream>
#include <string>

namespace demo {

inline constexpr uint32_t kAllTraceLevels = 0xFu;  // the component writes levels 0 to 3
inline constexpr uint64_t kDefaultOps = 100000;
inline constexpr uint64_t kMaxOps = 100000000;
inline constexpr uint32_t kDefaultThreads = 2;
inline constexpr uint32_t kMaxThreads = 256;
inline constexpr uint64_t kDefaultSeed = 7;  // sets a bit in every field of scene 2

struct Options {
  bool help = false;
  uint32_t traceLevels = kAllTraceLevels;  // bit n: print trace level n
  bool throughput = false;                 // --ops or --threads given
  uint64_t ops = kDefaultOps;
  uint32_t threads = kDefaultThreads;
  uint64_t seed = kDefaultSeed;
};

// Fills `options` from the command line. On a wrong option, returns false with a description
// of the problem in `problem`.
bool ParseOptions(int argc, const char* const* argv, Options& options, std::string& problem);

// The --help text.
void PrintHelp(std::ostream& out);

// "0,1,2,3", "none", ...: the levels of `mask` as --trace-levels takes them.
std::string TraceLevelsText(uint32_t mask);

}  // namespace demo

#endif  // OPERATION_RECEIPT_DEMO_OPTIONS_H_
