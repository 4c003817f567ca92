// Dequantization and inverse DCT (T.81 A.3.3) with the level shift of +128
// and clamping to 0..255, in two families:
//
// - accurate: tables as read, a plain multiply, 32-bit intermediates with
//   15-bit cosine multipliers;
// - fast: tables pre-scaled by the Arai-Agui-Nakajima factors
//   (quant_table.h), dequantization rescaled by 2^-7, 16-bit intermediates.
//
// Blocks are 64 int16 in natural order, reconstructed in place. The reduced
// sizes are not a truncated transform: each output sample is the mean of the
// full-size samples it covers (a 2x2 box for 4x4, a 4x4 box for 2x2, the
// block for 1x1), computed directly from the coefficients, written to the
// block's top-left corner at row stride 8. The accurate reduced routines
// leave every other entry as it was.
#pragma once

#include <cstdint>

struct RoutineTable;

namespace jpegcodec {

// The sample of a block of the DC alone (`dc` dequantized) in the accurate
// family: its 1x1 transform, and every pixel's value at the larger sizes.
inline int16_t accurate_dc_sample(int32_t dc) {
  const int32_t value = ((dc + 4) >> 3) + 128;
  return static_cast<int16_t>(value < 0 ? 0 : (value > 255 ? 255 : value));
}

void idct_accurate_8x8(int16_t* block);
void idct_accurate_4x4(int16_t* block);
void idct_accurate_2x2(int16_t* block);
void idct_accurate_1x1(int16_t* block);
// A block transformed by `transform`, the accurate 1x1 transform taken
// inline (one sum: a call would cost more).
inline void transform_block(void (*transform)(int16_t*), int16_t* block) {
  if (transform == idct_accurate_1x1) {
    block[0] = accurate_dc_sample(block[0]);
  } else {
    transform(block);
  }
}
void idct_fast_8x8(int16_t* block);
void idct_fast_4x4(int16_t* block);
void idct_fast_2x2(int16_t* block);
void idct_fast_1x1(int16_t* block);
// The accurate transforms at full size, 1/2 and 1/4 with AVX2 (the same values).
void idct_accurate_8x8_avx2(int16_t* block);
// The accurate full-size transform with SSE2, for processors without AVX2.
void idct_accurate_8x8_sse2(int16_t* block);
void idct_accurate_4x4_avx2(int16_t* block);
void idct_accurate_2x2_avx2(int16_t* block);

// block[i] = block[i] × table[i], low 16 bits kept.
void dequantize_accurate(int16_t* block, const int16_t* table);
void dequantize_accurate_avx2(int16_t* block, const int16_t* table);
// block[i] = (block[i] × table[i] + 64) >> 7.
void dequantize_fast(int16_t* block, const int16_t* table);
// One value as the accurate or the fast family's dequantizer gives it.
int16_t dequantize_value(int16_t value, int16_t q, bool accurate);

// Points the current transforms and dequantizer at one family: the accurate
// one when dct_family is 1, the fast one otherwise. Run before every scan.
void select_transform_family(RoutineTable* table, int32_t dct_family);

}  // namespace jpegcodec
