/* Compiled as C so that a C host can use the stand-ins' headers. */
#include "BitData.h"
#include "StandInServices.h"

uint64_t StandInHeadersCompileAsC(BitData* data, StandInClientEventData event);

uint64_t StandInHeadersCompileAsC(BitData* data, StandInClientEventData event) {
  StandInLogSink sink = StandIn_LoggingDiscardSink;
  (void)sink;
  return BitData_GetLength(data) + (uint64_t)event.clientId + STANDIN_BITDATA_MAX_BITS;
}
