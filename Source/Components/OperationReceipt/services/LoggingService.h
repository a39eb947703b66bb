/* LoggingService.h
 *
 * The framework's logging service, as the component calls it. The component asks whether a level
 * is wanted before it formats anything, then hands over finished lines with a nesting delta
 * (+1 opens a bracketed activity, -1 closes it, 0 otherwise).
 */
#ifndef OPERATION_RECEIPT_SERVICES_LOGGING_SERVICE_H_
#define OPERATION_RECEIPT_SERVICES_LOGGING_SERVICE_H_

#include <stdint.h>

#ifndef __cplusplus
#include <stdbool.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A logger, opaque to the component and never given back. */
typedef uint64_t LoggerHandle;

LoggerHandle Quorvel_LoggingGetLogger(int32_t loggerId);

/* True when lines of `level` are wanted on `logger`. */
bool Quorvel_LoggingIsLogEnabled(LoggerHandle logger, uint32_t level);

/* True while the service wants no lines at all. */
bool Quorvel_LoggingIsLoggingSuppressed(void);

/* Writes one finished line. Result not relied on. */
uint32_t Quorvel_LoggingLog(LoggerHandle logger, uint32_t level, const char* text,
                            int32_t nestingDelta);

#ifdef __cplusplus
}
#endif

#endif /* OPERATION_RECEIPT_SERVICES_LOGGING_SERVICE_H_ */
