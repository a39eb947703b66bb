/* BitDataLibrary.h
 *
 * The framework's bit-data library, as the component calls it. A BitData is a managed bit
 * buffer whose first field is its length in bits; the component reads that field and nothing
 * else of the structure. Results of Resize, Copy, ReadIndices and WriteIndices are not relied on.
 */
#ifndef OPERATION_RECEIPT_SERVICES_BIT_DATA_LIBRARY_H_
#define OPERATION_RECEIPT_SERVICES_BIT_DATA_LIBRARY_H_

#include <stdint.h>
#include <string.h>

#include "OperationReceipt.h"

#ifdef __cplusplus
extern "C" {
#endif

BitData* BitData_CreateManaged(uint64_t bits);
BitData* BitData_CreateManagedFromBitData(const BitData* source);
void BitData_FreeManaged(BitData* data); /* NULL is accepted */
uint32_t BitData_Resize(BitData* data, uint64_t bits);
uint32_t BitData_Copy(const BitData* source, uint64_t sourceOffset, BitData* destination,
                      uint64_t destinationOffset, uint64_t bitCount);
uint32_t BitData_ReadIndices(const BitData* source, const IndexList* indices,
                             BitData* destination);
uint32_t BitData_WriteIndices(BitData* destination, const IndexList* indices,
                              const BitData* source);
uint64_t BitData_GetUpToUInt64(const BitData* data, uint64_t offset, uint64_t bitCount);

#ifdef __cplusplus
}
#endif

/* The length in bits, read from the structure's first field. Not a library call. */
static inline uint64_t BitDataLengthInBits(const BitData* data) {
  uint64_t bits;
  memcpy(&bits, (const void*)data, sizeof bits);
  return bits;
}

#endif /* OPERATION_RECEIPT_SERVICES_BIT_DATA_LIBRARY_H_ */
