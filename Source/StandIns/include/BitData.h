/* BitData.h
 *
 * The bit-data library (libBitData): managed bit buffers, the calls the operation-receipt
 * component makes (services/BitDataLibrary.h) and the library's own additions.
 *
 * Bit order: bit i of a buffer lives in bit (i % 64) of 64-bit word i / 64, so bit 0 is the least
 * significant bit of the first word. Values read or written as numbers follow the same order:
 * BitData_GetUpToUInt64(data, offset, n) returns buffer bit offset + k as bit k of the result.
 *
 * Only buffers this library created and has not freed are accepted. Every call checks its
 * buffers against a registry of live ones and refuses any other pointer (NULL, freed, foreign)
 * without touching it; that, and every other refused call (range past the end, an invalid index
 * list, a size above STANDIN_BITDATA_MAX_BITS), returns a non-zero result, NULL or 0 and counts
 * one misuse (StandIn_BitDataMisuseCount). A refused call changes nothing: index lists and ranges
 * are checked in full before the first bit is written. BitData_FreeManaged(NULL) is accepted and
 * is not a misuse.
 *
 * Calls may come from any thread. Each call holds its buffers for its own duration, so calls on
 * one buffer are serialised and a buffer being freed waits for calls already working on it.
 * Reading the length straight from the structure (BitDataLengthInBits) is not synchronised with
 * a resize on another thread.
 */
#ifndef STAND_IN_BIT_DATA_H_
#define STAND_IN_BIT_DATA_H_

#include <stdint.h>

#include "services/BitDataLibrary.h"

#if defined(_WIN32)
#define STANDIN_BITDATA_API __declspec(dllexport)
#else
#define STANDIN_BITDATA_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The longest buffer the library creates or resizes to, in bits (32 MiB of data). Index lists
 * naming more positions than this are refused too. */
#define STANDIN_BITDATA_MAX_BITS (1ull << 28)

/* Results of the library's calls. */
#define STANDIN_BITDATA_OK ((uint32_t)0u)
#define STANDIN_BITDATA_E_NOT_LIVE ((uint32_t)0x7F000101u)   /* not a live managed buffer */
#define STANDIN_BITDATA_E_RANGE ((uint32_t)0x7F000102u)      /* offset or count past the end */
#define STANDIN_BITDATA_E_TOO_LARGE ((uint32_t)0x7F000103u)  /* above STANDIN_BITDATA_MAX_BITS */
#define STANDIN_BITDATA_E_INDEX_LIST ((uint32_t)0x7F000104u) /* malformed index list */
#define STANDIN_BITDATA_E_NO_MEMORY ((uint32_t)0x7F000105u)

/* Index lists (IndexList in OperationReceipt.h) name bit positions in order, element by element.
 * An element with isRange == 0 names its values one by one. An element with isRange != 0 holds
 * exactly two values, start and length, and names start, start + 1, ..., start + length - 1 when
 * ascending, or start, start - 1, ..., start - length + 1 when not; a run passing 2^64 - 1 or
 * going below 0 is refused. An element whose end is before its begin, whose pointers are not a
 * whole number of aligned items apart, or with only one of them NULL, is refused; both NULL is an
 * empty element. `count` must equal the number of positions named, and be non-zero. */

/* The component's calls, as this library carries them out:
 * - BitData_CreateManaged(bits): a buffer of zeros; 0 bits is a valid, empty buffer.
 * - BitData_CreateManagedFromBitData(source): an independent copy of a live buffer.
 * - BitData_Resize(data, bits): keeps the low bits and fills new ones with 0.
 * - BitData_Copy(source, sourceOffset, destination, destinationOffset, bitCount): both ranges
 *   must lie inside their buffers; they may be the same buffer and overlap (as memmove does).
 * - BitData_ReadIndices(source, list, destination): destination bit k becomes the source bit at
 *   the k-th listed position. Every position must be inside the source, and the destination at
 *   least `count` bits long; destination bits from `count` up are left as they were.
 * - BitData_WriteIndices(destination, list, source): the destination bit at the k-th listed
 *   position becomes source bit k. Every position must be inside the destination, and the source
 *   at least `count` bits long. A position listed twice ends with the later bit.
 * When source and destination are the same buffer, the source is read in full before writing. */

/* Sets buffer bits offset .. offset + bitCount - 1 to bits 0 .. bitCount - 1 of `value`; higher
 * bits of `value` are ignored. bitCount above 64 or a range past the end is refused. */
STANDIN_BITDATA_API uint32_t BitData_SetUpToUInt64(BitData* data, uint64_t offset,
                                                   uint64_t bitCount, uint64_t value);
/* The buffer's length in bits; 0 (and a misuse) for a pointer that is not a live buffer. */
STANDIN_BITDATA_API uint64_t BitData_GetLength(const BitData* data);

/* Live managed buffers in the process. */
STANDIN_BITDATA_API uint64_t StandIn_BitDataLiveCount(void);
/* Refused calls since the last reset, across all threads. */
STANDIN_BITDATA_API uint64_t StandIn_BitDataMisuseCount(void);
STANDIN_BITDATA_API void StandIn_BitDataResetMisuseCount(void);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* STAND_IN_BIT_DATA_H_ */
