// Dequantization: takes a block's coefficients and a prepared table, gives
// the values the inverse transforms take. Called through the routine table.

#include "jpeg/cpu/routine_table.h"
#include "jpeg/decode/idct.h"

namespace jpegcodec {

int16_t dequantize_value(int16_t value, int16_t q, bool accurate) {
  if (accurate) {
    // Held to 16 bits, as the scan decoders hold it.
    const int32_t product = int32_t{value} * q;
    return static_cast<int16_t>(product < -32768 ? -32768 : (product > 32767 ? 32767 : product));
  }
  const int64_t product = int64_t{value} * q;
  return static_cast<int16_t>(static_cast<uint16_t>((product + 64) >> 7));
}

void dequantize_accurate(int16_t* block, const int16_t* table) {
  for (int i = 0; i < 64; ++i) block[i] = dequantize_value(block[i], table[i], true);
}

void dequantize_fast(int16_t* block, const int16_t* table) {
  for (int i = 0; i < 64; ++i) block[i] = dequantize_value(block[i], table[i], false);
}

void select_transform_family(RoutineTable* t, int32_t dct_family) {
  // Chosen already: not written again (threads decoding scans may be
  // reading the table meanwhile).
  const bool accurate = dct_family == 1;
  if (t->dequantize_block == (accurate ? t->dequantize_accurate : t->dequantize_fast) &&
      t->idct_8x8 == (accurate ? t->idct_accurate_8x8 : t->idct_fast_8x8) &&
      t->idct_4x4 == (accurate ? t->idct_accurate_4x4 : t->idct_fast_4x4) &&
      t->idct_2x2 == (accurate ? t->idct_accurate_2x2 : t->idct_fast_2x2) &&
      t->idct_1x1 == (accurate ? t->idct_accurate_1x1 : t->idct_fast_1x1)) {
    return;
  }
  if (dct_family == 1) {
    t->idct_8x8 = t->idct_accurate_8x8;
    t->idct_4x4 = t->idct_accurate_4x4;
    t->idct_2x2 = t->idct_accurate_2x2;
    t->idct_1x1 = t->idct_accurate_1x1;
    t->dequantize_block = t->dequantize_accurate;
  } else {
    t->idct_8x8 = t->idct_fast_8x8;
    t->idct_4x4 = t->idct_fast_4x4;
    t->idct_2x2 = t->idct_fast_2x2;
    t->idct_1x1 = t->idct_fast_1x1;
    t->dequantize_block = t->dequantize_fast;
  }
}

}  // namespace jpegcodec
