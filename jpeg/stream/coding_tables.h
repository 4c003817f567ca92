// The code tables of T.81 every stage shares: zig-zag order, and the
// EXTEND of a coefficient's bits (F.2.2.1). The segment reader, the table
// builders, the decoder and the encoder all read them.
#pragma once

#include <cstdint>

namespace jpegcodec {

// Zig-zag position to natural (row-major) index, T.81 Figure A.6, then 16
// entries of 63 so that a run past position 63 in corrupt data lands on
// coefficient 63 rather than outside the block.
extern const int32_t natural_order[80];
// extend_offset[s] = 1 - 2^s: EXTEND of T.81 F.2.2.1 as one addition.
extern const int32_t extend_offset[16];

// EXTEND: a value of category s read as s bits.
inline int32_t huff_extend(uint32_t value, int s) {
  return (value & (1u << (s - 1))) == 0 ? static_cast<int32_t>(value) + extend_offset[s]
                                        : static_cast<int32_t>(value);
}

}  // namespace jpegcodec
