// BitDataSlabs.h
//
// Where buffer slots live: 64 KiB slabs, each aligned to its size, carved into 24-byte slots,
// and a map of every slab's address that answers "is this pointer a slot?" for any pointer at
// all, reading only the map. Slabs are never released: a freed buffer's slot stays readable (its
// state says it is free), which is what lets a call refuse a stale pointer without following
// freed memory, and what lets the registry be used without a lock on its look-up path.
//
// Slabs stay reachable from a chain through their headers, so leak checkers at exit see the
// values still held by live operations as reachable, never as lost.
//
// In an AddressSanitizer build the length field of a free slot is poisoned, so a caller that
// reads the length of a buffer after freeing it (the one field callers read directly) is
// reported; the library itself reads only the state of a slot that it has not yet held.
#ifndef STAND_INS_BIT_DATA_SLABS_H_
#define STAND_INS_BIT_DATA_SLABS_H_

#include <cstddef>

#include "BitDataBuffer.h"

namespace standin::bitdata {

// The slot `pointer` names, or null when it is not the start of a slot of a slab of this
// library. Any value is accepted; may be called from any thread without a lock.
BitData* SlotAt(const void* pointer);

// Allocates and maps a new slab of free slots and writes its slots to `*first` and `*count`.
// False (nothing allocated) when memory runs out or the slab lies outside the mappable
// addresses. The caller serialises calls (the registry's lock).
bool AddSlab(BitData** first, size_t* count);

// Marks the length of a free slot as unreadable (AddressSanitizer builds) and back.
void PoisonLength(BitData& slot);
void UnpoisonLength(BitData& slot);

}  // namespace standin::bitdata

#endif  // STAND_INS_BIT_DATA_SLABS_H_
