// Options.cpp
//
// Command-line parsing. Every option takes its value as the next argument or after '='
// (--ops 1000, --ops=1000). Numbers are plain decimal digits.

#include "Options.h"

#include <optional>
#include <string_view>

namespace demo {
namespace {

// A decimal number of digits only, without sign or spaces, that fits in 64 bits.
std::optional<uint64_t> ParseNumber(std::string_view text) {
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

// "all", "none", or a comma list of levels 0 to 3.
std::optional<uint32_t> ParseTraceLevels(std::string_view text) {
  if (text == "all") return kAllTraceLevels;
  if (text == "none") return 0u;
  uint32_t mask = 0;
  while (true) {
    const size_t comma = text.find(',');
    const std::string_view item = text.substr(0, comma);
    if (item.size() != 1 || item[0] < '0' || item[0] > '3') return std::nullopt;
    mask |= 1u << (item[0] - '0');
    if (comma == std::string_view::npos) return mask;
    text.remove_prefix(comma + 1);
  }
}

}  // namespace

bool ParseOptions(int argc, const char* const* argv, Options& options, std::string& problem) {
  for (int i = 1; i < argc; ++i) {
    std::string_view argument = argv[i];
    std::string_view name = argument;
    std::optional<std::string_view> attached;
    if (const size_t equals = argument.find('=');
        argument.rfind("--", 0) == 0 && equals != std::string_view::npos) {
      name = argument.substr(0, equals);
      attached = argument.substr(equals + 1);
    }
    const bool takesValue =
        name == "--trace-levels" || name == "--ops" || name == "--threads" || name == "--seed";
    if (!takesValue && attached) {
      problem = "option " + std::string(name) + " takes no value";
      return false;
    }
    std::string_view value;
    if (takesValue) {
      if (attached) {
        value = *attached;
      } else if (i + 1 < argc) {
        value = argv[++i];
      } else {
        problem = "option " + std::string(name) + " needs a value";
        return false;
      }
    }
    const auto number = [&](uint64_t low, uint64_t high) -> std::optional<uint64_t> {
      const std::optional<uint64_t> parsed = ParseNumber(value);
      if (!parsed) {
        const bool digitsOnly =
            !value.empty() && value.find_first_not_of("0123456789") == std::string_view::npos;
        problem = "option " + std::string(name) + ": '" + std::string(value) + "' is " +
                  (digitsOnly ? "too large (at most " + std::to_string(high) + ")"
                              : std::string("not a number"));
        return std::nullopt;
      }
      if (*parsed < low || *parsed > high) {
        problem = "option " + std::string(name) + " must be between " + std::to_string(low) +
                  " and " + std::to_string(high) + ", not " + std::string(value);
        return std::nullopt;
      }
      return parsed;
    };

    if (name == "--help" || name == "-h") {
      options.help = true;
    } else if (name == "--no-trace") {
      options.traceLevels = 0;
    } else if (name == "--trace-levels") {
      const std::optional<uint32_t> levels = ParseTraceLevels(value);
      if (!levels) {
        problem = "option --trace-levels: '" + std::string(value) +
                  "' is not a comma list of levels 0 to 3, 'all' or 'none'";
        return false;
      }
      options.traceLevels = *levels;
    } else if (name == "--ops") {
      const std::optional<uint64_t> ops = number(1, kMaxOps);
      if (!ops) return false;
      options.ops = *ops;
      options.throughput = true;
    } else if (name == "--threads") {
      const std::optional<uint64_t> threads = number(1, kMaxThreads);
      if (!threads) return false;
      options.threads = static_cast<uint32_t>(*threads);
      options.throughput = true;
    } else if (name == "--seed") {
      const std::optional<uint64_t> seed = number(0, UINT64_MAX);
      if (!seed) return false;
      options.seed = *seed;
    } else if (name.rfind("-", 0) == 0) {
      problem = "unknown option '" + std::string(argument) + "'";
      return false;
    } else {
      problem = "unexpected argument '" + std::string(argument) + "'";
      return false;
    }
  }
  return true;
}

void PrintHelp(std::ostream& out) {
  out << "Usage: operation_receipt_demo [options]\n"
         "\n"
         "Plays a short debug session against a simulated register file through the\n"
         "operation-receipt component: buffered reads, a status word built from bit\n"
         "fields, a failing access, canceled writes, concurrent and disconnecting clients.\n"
         "Prints the component's trace scene by scene, then a summary table.\n"
         "\n"
         "Options (a value may also follow '=', as in --ops=1000):\n"
         "  --help              print this text and exit\n"
         "  --trace-levels LIST trace levels to print: a comma list of 0 to 3, 'all' or\n"
         "                      'none' (default: all). 0 operation lifecycle, 1 one\n"
         "                      operation running, 2 flushes, 3 operations released when\n"
         "                      their client disconnected\n"
         "  --no-trace          print no trace lines (same as --trace-levels none)\n"
         "  --seed S            seed of the target's reset register values (default "
      << kDefaultSeed
      << ")\n"
         "  --ops N             throughput mode: operations per thread, 1 to "
      << kMaxOps << "\n                      (default " << kDefaultOps
      << ")\n"
         "  --threads T         throughput mode: client threads, 1 to "
      << kMaxThreads << " (default " << kDefaultThreads
      << ")\n"
         "\n"
         "Throughput mode (--ops or --threads): each thread creates N register reads in\n"
         "batches of 64 per flush, reads every result back and releases it, with the\n"
         "trace off; reported are operations per second per thread and in total, and\n"
         "nanoseconds per operation.\n"
         "\n"
         "Exit status: 0 success; 1 something unexpected happened or was left unreleased;\n"
         "2 wrong options.\n";
}

std::string TraceLevelsText(uint32_t mask) {
  if (mask == 0) return "none";
  std::string text;
  for (uint32_t level = 0; level < 4; ++level) {
    if ((mask >> level) & 1u) text += (text.empty() ? "" : ",") + std::to_string(level);
  }
  return text;
}

}  // namespace demo
