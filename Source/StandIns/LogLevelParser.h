// LogLevelParser.h
//
// Turns the QUORVEL_LOG_LEVELS setting into the enabled-level mask. Kept apart from the logging
// service, which reads the environment only once per process, so the rules can be tested
// directly; it is linked into the library and into its tests but not exported.
#ifndef STAND_INS_LOG_LEVEL_PARSER_H_
#define STAND_INS_LOG_LEVEL_PARSER_H_

#include <cstdint>

namespace standin {

// A comma-separated list of items, spaces around items allowed. An item is a decimal level
// (0..31 sets that bit; larger levels can never be enabled and are skipped), "all" (every bit)
// or "none" (nothing), the words in any case. NULL, empty text and items that are none of these
// contribute nothing, so a typo disables logging rather than enabling something unexpected.
uint32_t ParseLogLevels(const char* text);

}  // namespace standin

#endif  // STAND_INS_LOG_LEVEL_PARSER_H_
