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
  const bool accurate = dct_family == 1;
  // A slot that holds its routine already is not written again (threads
  // decoding scans may be reading the table meanwhile).
  auto choose = [accurate](auto& slot, auto accurate_routine, auto fast_routine) {
    const auto wanted = accurate ? accurate_routine : fast_routine;
    if (slot != wanted) slot = wanted;
  };
  choose(t->idct_8x8, t->idct_accurate_8x8, t->idct_fast_8x8);
  choose(t->idct_4x4, t->idct_accurate_4x4, t->idct_fast_4x4);
  choose(t->idct_2x2, t->idct_accurate_2x2, t->idct_fast_2x2);
  choose(t->idct_1x1, t->idct_accurate_1x1, t->idct_fast_1x1);
  choose(t->dequantize_block, t->dequantize_accurate, t->dequantize_fast);
}

}  // namespace jpegcodec
