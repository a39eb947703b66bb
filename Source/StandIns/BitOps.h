// BitOps.h
//
// Bit-level reads and writes on arrays of 64-bit words, in the library's bit order: bit i is bit
// i % 64 of word i / 64. Callers check ranges; these functions assume them and stay branch-light,
// because the component reads values bit-field by bit-field in its hot paths.
#ifndef STAND_INS_BIT_OPS_H_
#define STAND_INS_BIT_OPS_H_

#include <cstdint>

namespace standin::bits {

inline uint64_t LowMask(unsigned count) {
  return count >= 64 ? ~uint64_t{0} : (uint64_t{1} << count) - 1;
}

// Words needed for `bits` bits.
inline uint64_t WordCount(uint64_t bits) { return bits / 64 + (bits % 64 != 0 ? 1 : 0); }

// Bits offset .. offset + count - 1 (count 1..64) as a number, bit offset lowest.
inline uint64_t Read(const uint64_t* words, uint64_t offset, unsigned count) {
  const uint64_t index = offset / 64;
  const unsigned shift = static_cast<unsigned>(offset % 64);
  uint64_t value = words[index] >> shift;
  if (shift != 0 && shift + count > 64) value |= words[index + 1] << (64 - shift);
  return value & LowMask(count);
}

// Sets bits offset .. offset + count - 1 (count 1..64) to the low `count` bits of `value` and
// leaves every other bit as it was.
inline void Write(uint64_t* words, uint64_t offset, unsigned count, uint64_t value) {
  const uint64_t mask = LowMask(count);
  value &= mask;
  const uint64_t index = offset / 64;
  const unsigned shift = static_cast<unsigned>(offset % 64);
  words[index] = (words[index] & ~(mask << shift)) | (value << shift);
  if (shift != 0 && shift + count > 64) {
    const unsigned written = 64 - shift;
    words[index + 1] = (words[index + 1] & ~(mask >> written)) | (value >> written);
  }
}

inline bool Get(const uint64_t* words, uint64_t bit) {
  return ((words[bit / 64] >> (bit % 64)) & 1u) != 0;
}

inline void Set(uint64_t* words, uint64_t bit, bool value) {
  const uint64_t mask = uint64_t{1} << (bit % 64);
  words[bit / 64] = value ? (words[bit / 64] | mask) : (words[bit / 64] & ~mask);
}

// Copies `count` bits lowest first, 64 at a time. Also right for overlapping ranges in one
// array when the destination starts at or below the source: each chunk is read before any
// write reaches it.
inline void CopyUp(const uint64_t* source, uint64_t sourceOffset, uint64_t* destination,
                   uint64_t destinationOffset, uint64_t count) {
  for (uint64_t done = 0; done < count; done += 64) {
    const unsigned chunk = static_cast<unsigned>(count - done < 64 ? count - done : 64);
    Write(destination, destinationOffset + done, chunk, Read(source, sourceOffset + done, chunk));
  }
}

// As CopyUp but highest chunk first, for overlapping ranges where the destination starts above
// the source.
inline void CopyDown(const uint64_t* source, uint64_t sourceOffset, uint64_t* destination,
                     uint64_t destinationOffset, uint64_t count) {
  uint64_t left = count;
  while (left != 0) {
    const unsigned chunk = static_cast<unsigned>(left < 64 ? left : 64);
    left -= chunk;
    Write(destination, destinationOffset + left, chunk, Read(source, sourceOffset + left, chunk));
  }
}

}  // namespace standin::bits

#endif  // STAND_INS_BIT_OPS_H_
