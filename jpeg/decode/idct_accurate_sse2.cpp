// The accurate inverse transform at full size with SSE2, for processors
// without AVX2: the same values as idct_accurate_8x8, the rows of a block
// four at a time in 32-bit lanes.
//
// As in the AVX2 variant, both passes take 16-bit inputs, multiply them in
// pairs (pmaddwd) and sum in 32 bits, which is exact while every |c0| and
// |c4| of the pass's lines is at most 16383 and every other input at most
// 4689 (65536 A + 228511 B stays below 2^31 less the rounding terms). A
// block past those limits, which only corrupt data come near, goes to the
// portable routine.

#include <emmintrin.h>

#include <initializer_list>

#include "jpeg/cpu/routine_table.h"
#include "jpeg/cpu/transpose.h"
#include "jpeg/decode/idct.h"
#include "jpeg/decode/portable_routines.h"

namespace jpegcodec {

namespace {

// Two 16-bit constants for _mm_madd_epi16 over pairs (x, y): x k0 + y k1.
inline __m128i pair_constant(int16_t k0, int16_t k1) {
  return _mm_set1_epi32(static_cast<int32_t>(
      static_cast<uint32_t>(static_cast<uint16_t>(k1)) << 16 | static_cast<uint16_t>(k0)));
}

// The low 32 bits of each lane times k (SSE2 has no 32-bit multiply).
inline __m128i times(__m128i x, int32_t k) {
  const __m128i factor = _mm_set1_epi32(k);
  const __m128i even = _mm_mul_epu32(x, factor);
  const __m128i odd = _mm_mul_epu32(_mm_srli_epi64(x, 32), factor);
  return _mm_unpacklo_epi32(_mm_shuffle_epi32(even, 0x08), _mm_shuffle_epi32(odd, 0x08));
}

// Half of the lines (lanes 0-3 or 4-7 of the inputs) in 32-bit lanes.
struct Half {
  __m128i s[8];
};

// One transform over four lines (lane i: line i) from the pairs of their
// inputs (c1, c7), (c5, c3), (c2, c6), (c0, c4), interleaved 16-bit values;
// the eight results, before their final rounding shift.
inline Half transform_half(__m128i p17, __m128i p53, __m128i p26, __m128i p04) {
  const __m128i h = _mm_madd_epi16(p17, pair_constant(32138, 6393));
  const __m128i f = _mm_madd_epi16(p17, pair_constant(6393, -32138));
  const __m128i l = _mm_madd_epi16(p53, pair_constant(18205, 27246));
  const __m128i g = _mm_madd_epi16(p53, pair_constant(27246, -18205));
  // c2 42813 + c6 17734 and c2 17734 - c6 42813, with 42813 = 65536 - 22723.
  const __m128i w = _mm_add_epi32(_mm_madd_epi16(p26, pair_constant(42813 - 65536, 17734)),
                                  _mm_slli_epi32(p26, 16));
  const __m128i z =
      _mm_sub_epi32(_mm_madd_epi16(p26, pair_constant(17734, 65536 - 42813)),
                    _mm_and_si128(p26, _mm_set1_epi32(static_cast<int32_t>(0xFFFF0000u))));
  const __m128i sum04 = _mm_slli_epi32(_mm_madd_epi16(p04, pair_constant(1, 1)), 15);
  const __m128i dif04 = _mm_slli_epi32(_mm_madd_epi16(p04, pair_constant(1, -1)), 15);
  const __m128i round = _mm_set1_epi32(2048);
  const __m128i t1 = times(_mm_srai_epi32(_mm_add_epi32(_mm_add_epi32(h, l), round), 12), 5793);
  const __m128i t2 = times(_mm_srai_epi32(_mm_add_epi32(_mm_add_epi32(f, g), round), 12), 5793);
  const __m128i hl = _mm_sub_epi32(h, l), fg = _mm_sub_epi32(f, g);
  const __m128i a = _mm_add_epi32(hl, fg);
  const __m128i b = _mm_sub_epi32(hl, fg);
  const __m128i e0 = _mm_add_epi32(sum04, w), e3 = _mm_sub_epi32(sum04, w);
  const __m128i e1 = _mm_add_epi32(dif04, z), e2 = _mm_sub_epi32(dif04, z);
  Half out;
  out.s[0] = _mm_add_epi32(e0, t1);
  out.s[1] = _mm_add_epi32(e1, a);
  out.s[2] = _mm_add_epi32(e2, b);
  out.s[3] = _mm_add_epi32(e3, t2);
  out.s[4] = _mm_sub_epi32(e3, t2);
  out.s[5] = _mm_sub_epi32(e2, b);
  out.s[6] = _mm_sub_epi32(e1, a);
  out.s[7] = _mm_sub_epi32(e0, t1);
  return out;
}

// The transform over eight lines whose inputs are c[0..7] (lane i: line i,
// 16-bit): results[k] for lines 0-3 in low[k], lines 4-7 in high[k].
inline void transform(const __m128i* c, Half* low, Half* high) {
  *low = transform_half(_mm_unpacklo_epi16(c[1], c[7]), _mm_unpacklo_epi16(c[5], c[3]),
                        _mm_unpacklo_epi16(c[2], c[6]), _mm_unpacklo_epi16(c[0], c[4]));
  *high = transform_half(_mm_unpackhi_epi16(c[1], c[7]), _mm_unpackhi_epi16(c[5], c[3]),
                         _mm_unpackhi_epi16(c[2], c[6]), _mm_unpackhi_epi16(c[0], c[4]));
}

// How far a 16-bit value's magnitude passes `limit` (0 when it does not);
// |-32768| is 32768 as an unsigned value.
inline __m128i over(__m128i x, int16_t limit) {
  const __m128i magnitude = _mm_max_epi16(x, _mm_sub_epi16(_mm_setzero_si128(), x));
  return _mm_subs_epu16(magnitude, _mm_set1_epi16(limit));
}

inline bool all_zero(__m128i x) {
  return _mm_movemask_epi8(_mm_cmpeq_epi8(x, _mm_setzero_si128())) == 0xFFFF;
}

// Whether a pass over lines with inputs c[0..7] stays within the limits.
inline bool pass_fits(const __m128i* c) {
  __m128i any = _mm_or_si128(over(c[0], 16383), over(c[4], 16383));
  for (int i : {1, 2, 3, 5, 6, 7}) any = _mm_or_si128(any, over(c[i], 4689));
  return all_zero(any);
}

}  // namespace

void idct_accurate_8x8_sse2(int16_t* block) {
  __m128i v[8];
  __m128i any_ac = _mm_setzero_si128();
  for (int r = 0; r < 8; ++r) {
    v[r] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 8 * r));
    any_ac = _mm_or_si128(any_ac, r == 0 ? _mm_srli_si128(v[r], 2) : v[r]);
  }
  if (all_zero(any_ac)) {
    // The DC alone: one value, as in the portable routine.
    const int32_t value = ((int32_t{block[0]} + 4) >> 3) + 128;
    const __m128i fill =
        _mm_set1_epi16(static_cast<int16_t>(value < 0 ? 0 : (value > 255 ? 255 : value)));
    for (int r = 0; r < 8; ++r) _mm_storeu_si128(reinterpret_cast<__m128i*>(block + 8 * r), fill);
    return;
  }
  // Lines as lanes: v[j] holds coefficient j of every row.
  transpose_8x8_epi16(v);
  if (!pass_fits(v)) {
    idct_accurate_8x8(block);
    return;
  }
  // Row pass: results with a gain of 8 (>> 12 of a 2^15 scale), narrowed to
  // 16 bits (a result past them saturates and then fails the column pass's
  // limits); v[x] holds output x of every row.
  Half low, high;
  transform(v, &low, &high);
  const __m128i round_rows = _mm_set1_epi32(2048);
  for (int x = 0; x < 8; ++x) {
    v[x] = _mm_packs_epi32(_mm_srai_epi32(_mm_add_epi32(low.s[x], round_rows), 12),
                           _mm_srai_epi32(_mm_add_epi32(high.s[x], round_rows), 12));
  }
  // Columns as lanes: v[y] holds row y's outputs.
  transpose_8x8_epi16(v);
  if (!pass_fits(v)) {
    idct_accurate_8x8(block);
    return;
  }
  // Column pass: divide by 2^21, level shift, clamp to 0..255.
  transform(v, &low, &high);
  const __m128i round_columns = _mm_set1_epi32(1 << 20);
  const __m128i shift = _mm_set1_epi32(128);
  const __m128i zero = _mm_setzero_si128(), top = _mm_set1_epi16(255);
  for (int y = 0; y < 8; ++y) {
    const __m128i left =
        _mm_add_epi32(_mm_srai_epi32(_mm_add_epi32(low.s[y], round_columns), 21), shift);
    const __m128i right =
        _mm_add_epi32(_mm_srai_epi32(_mm_add_epi32(high.s[y], round_columns), 21), shift);
    const __m128i row = _mm_min_epi16(_mm_max_epi16(_mm_packs_epi32(left, right), zero), top);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(block + 8 * y), row);
  }
}

void install_transforms_sse2(RoutineTable* t) {
  t->idct_accurate_8x8 = idct_accurate_8x8_sse2;
}

}  // namespace jpegcodec
