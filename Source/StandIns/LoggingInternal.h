// LoggingInternal.h
//
// The hand-over from the logging service's entry points (levels, counters) to its output side
// (nesting depth, sink, recording).
#ifndef STAND_INS_LOGGING_INTERNAL_H_
#define STAND_INS_LOGGING_INTERNAL_H_

#include <cstdint>

#include "services/LoggingService.h"

namespace standin {

// Applies `nestingDelta` to the calling thread's depth, records the line if recording is on and
// passes it to the current sink. `text` is not null.
void DeliverLogLine(LoggerHandle logger, uint32_t level, const char* text, int32_t nestingDelta);

}  // namespace standin

#endif  // STAND_INS_LOGGING_INTERNAL_H_
