// The accurate inverse transforms with AVX2: the same values as the
// portable routines. The 8x8 transform itself is in idct_accurate_avx2.h
// (inlined by the AVX2 batch decoder too).

#include <immintrin.h>

#include <cstring>
#include <initializer_list>

#include "jpeg/cpu/routine_table.h"
#include "jpeg/decode/idct.h"
#include "jpeg/decode/idct_accurate_avx2.h"
#include "jpeg/decode/portable_routines.h"

namespace jpegcodec {

void idct_accurate_8x8_avx2(int16_t* block) {
  accurate_8x8_avx2(block);
}

namespace {

// Row-pass weights of the 4x4 transform: output j of a row is the sum of
// x_i K[i][j] over its work values x0..x3, x5..x7 (x4 has no weight), in
// four 16-bit pairs per output, (x0, x2), (x6, x1), (x3, x5) and (x7, -).
inline __m256i row_weights(int16_t j0a, int16_t j0b, int16_t j1a, int16_t j1b, int16_t j2a,
                           int16_t j2b, int16_t j3a, int16_t j3b) {
  return _mm256_setr_epi16(j0a, j0b, j1a, j1b, j2a, j2b, j3a, j3b, j0a, j0b, j1a, j1b, j2a, j2b,
                           j3a, j3b);
}

// The pairs (x_a, x_b) of one row in each 128-bit half, repeated for the
// four outputs; b = 8 picks zero.
inline __m256i pairs_of(__m256i rows, int a, int b) {
  const int8_t la = static_cast<int8_t>(2 * a), lb = static_cast<int8_t>(b == 8 ? -128 : 2 * b);
  const int8_t ha = static_cast<int8_t>(la + 1), hb = static_cast<int8_t>(b == 8 ? -128 : lb + 1);
  const __m128i pick =
      _mm_setr_epi8(la, ha, lb, hb, la, ha, lb, hb, la, ha, lb, hb, la, ha, lb, hb);
  return _mm256_shuffle_epi8(rows, _mm256_broadcastsi128_si256(pick));
}

// The 16-bit pairs (a_i, b_i) of two rows as 32-bit lanes, columns 0-3 in
// the low half and 4-7 in the high one.
inline __m256i column_pairs(__m128i a, __m128i b) {
  return _mm256_set_m128i(_mm_unpackhi_epi16(a, b), _mm_unpacklo_epi16(a, b));
}

// Whether a value of the rows is larger in size than `limit`.
template <typename... Rows>
inline bool any_beyond(int16_t limit, Rows... rows) {
  __m128i largest = _mm_setzero_si128();
  ((largest = _mm_max_epu16(largest, _mm_abs_epi16(rows))), ...);
  const __m128i over = _mm_subs_epu16(largest, _mm_set1_epi16(limit));
  return !_mm_testz_si128(over, over);
}

// Two rows of work values (one in each half) to their four outputs each:
// (sum + 2^18) >> 19, level-shifted.
inline __m256i row_pass(__m256i rows) {
  __m256i sum = _mm256_madd_epi16(
      pairs_of(rows, 0, 2), row_weights(16384, 15137, 16384, -15137, 16384, -15137, 16384, 15137));
  sum = _mm256_add_epi32(
      sum, _mm256_madd_epi16(pairs_of(rows, 6, 1),
                             row_weights(-6270, 20995, 6270, 8697, 6270, -8697, -6270, -20995)));
  sum = _mm256_add_epi32(
      sum, _mm256_madd_epi16(pairs_of(rows, 3, 5),
                             row_weights(7373, -4926, -17799, 11893, 17799, -11893, -7373, 4926)));
  sum = _mm256_add_epi32(sum, _mm256_madd_epi16(pairs_of(rows, 7, 8),
                                                row_weights(-4176, 0, -1730, 0, 1730, 0, 4176, 0)));
  return _mm256_add_epi32(_mm256_srai_epi32(_mm256_add_epi32(sum, _mm256_set1_epi32(0x40000)), 19),
                          _mm256_set1_epi32(128));
}

}  // namespace

// The 4x4 transform in 16-bit pairs (madd) throughout. Every sum is exact
// in 32 bits when the coefficients are at most 27563 in size (16384 a +
// 61526 b + 2048 stays below 2^31) and the work values between the passes
// within [-16384, 16383] (likewise with the row pass's 2^18): then the
// bytes are the portable routine's, and a block outside those bounds (no
// real data come near) is left to it.
void idct_accurate_4x4_avx2(int16_t* block) {
  __m128i r[8];
  for (int i : {0, 1, 2, 3, 5, 6, 7}) {
    r[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 8 * i));
  }
  {
    // The DC alone: the 8x8 transform's value, on the 4x4 corner.
    const __m128i not_dc = _mm_setr_epi16(0, -1, -1, -1, -1, -1, -1, -1);
    __m128i any_ac = _mm_or_si128(_mm_and_si128(r[0], not_dc),
                                  _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 32)));
    for (int i : {1, 2, 3, 5, 6, 7}) any_ac = _mm_or_si128(any_ac, r[i]);
    if (_mm_testz_si128(any_ac, any_ac)) {
      const int32_t value = ((int32_t{block[0]} + 4) >> 3) + 128;
      const __m128i fill =
          _mm_set1_epi16(static_cast<int16_t>(value < 0 ? 0 : (value > 255 ? 255 : value)));
      for (int y = 0; y < 4; ++y) _mm_storel_epi64(reinterpret_cast<__m128i*>(block + 8 * y), fill);
      return;
    }
  }
  if (any_beyond(27563, r[0], r[1], r[2], r[3], r[5], r[6], r[7])) {
    idct_accurate_4x4(block);
    return;
  }
  // Column pass, the eight columns as 32-bit lanes.
  const __m256i p13 = column_pairs(r[1], r[3]), p57 = column_pairs(r[5], r[7]);
  const __m256i p26 = column_pairs(r[2], r[6]);
  const __m256i even = _mm256_madd_epi16(p26, pair_constant(15137, -6270));
  const __m256i base = _mm256_slli_epi32(_mm256_cvtepi16_epi32(r[0]), 14);
  const __m256i e0 = _mm256_add_epi32(base, even), e1 = _mm256_sub_epi32(base, even);
  const __m256i o0 = _mm256_add_epi32(_mm256_madd_epi16(p13, pair_constant(20995, 7373)),
                                      _mm256_madd_epi16(p57, pair_constant(-4926, -4176)));
  const __m256i o1 = _mm256_add_epi32(_mm256_madd_epi16(p13, pair_constant(8697, -17799)),
                                      _mm256_madd_epi16(p57, pair_constant(11893, -1730)));
  const __m256i round = _mm256_set1_epi32(2048);
  auto work = [&](__m256i sum) { return _mm256_srai_epi32(_mm256_add_epi32(sum, round), 12); };
  const __m256i w0 = work(_mm256_add_epi32(e0, o0)), w1 = work(_mm256_add_epi32(e1, o1));
  const __m256i w2 = work(_mm256_sub_epi32(e1, o1)), w3 = work(_mm256_sub_epi32(e0, o0));
  // Work values within [-16384, 16383]: each plus 16384 has no bit above 14.
  const __m256i bias = _mm256_set1_epi32(16384);
  const __m256i outside =
      _mm256_or_si256(_mm256_or_si256(_mm256_srai_epi32(_mm256_add_epi32(w0, bias), 15),
                                      _mm256_srai_epi32(_mm256_add_epi32(w1, bias), 15)),
                      _mm256_or_si256(_mm256_srai_epi32(_mm256_add_epi32(w2, bias), 15),
                                      _mm256_srai_epi32(_mm256_add_epi32(w3, bias), 15)));
  if (!_mm256_testz_si256(outside, outside)) {
    idct_accurate_4x4(block);
    return;
  }
  // Work rows as 16-bit values, one row per 128-bit half: rows 0 and 1,
  // then rows 2 and 3.
  const __m256i rows01 = _mm256_permute4x64_epi64(_mm256_packs_epi32(w0, w1), 0xD8);
  const __m256i rows23 = _mm256_permute4x64_epi64(_mm256_packs_epi32(w2, w3), 0xD8);
  // Outputs: rows 0 and 2 in the low half, 1 and 3 in the high one.
  __m256i out = _mm256_packs_epi32(row_pass(rows01), row_pass(rows23));
  out = _mm256_min_epi16(_mm256_max_epi16(out, _mm256_setzero_si256()), _mm256_set1_epi16(255));
  const __m128i low = _mm256_castsi256_si128(out), high = _mm256_extracti128_si256(out, 1);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(block), low);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(block + 8), high);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(block + 16), _mm_srli_si128(low, 8));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(block + 24), _mm_srli_si128(high, 8));
}

// The 2x2 transform (the means of the 8x8 transform's 4x4 quadrants), from
// the frequencies 0, 1, 3, 5 and 7 that weigh in them: the column pass on
// eight columns at once in 32-bit lanes, the row pass on both rows' work
// values as 16-bit pairs. Every sum is exact in 32 bits when those
// coefficients are at most 2048 in size (the row pass's largest sum is then
// 897,900 x 2048 + 2^19, below 2^31, and every work value within 16 bits);
// a block beyond that (no real data come near) is left to the portable
// routine. Writes the 2x2 corner alone, as it does.
void idct_accurate_2x2_avx2(int16_t* block) {
  auto row = [block](int i) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 8 * i));
  };
  const __m128i r0 = row(0), r1 = row(1), r3 = row(3), r5 = row(5), r7 = row(7);
  const __m128i not_dc = _mm_setr_epi16(0, -1, -1, -1, -1, -1, -1, -1);
  const __m128i any_ac = _mm_or_si128(_mm_or_si128(_mm_and_si128(r0, not_dc), r1),
                                      _mm_or_si128(r3, _mm_or_si128(r5, r7)));
  if (_mm_testz_si128(any_ac, any_ac)) {
    const int16_t value = accurate_dc_sample(block[0]);
    block[0] = block[1] = block[8] = block[9] = value;
    return;
  }
  if (any_beyond(2048, r0, r1, r3, r5, r7)) {
    idct_accurate_2x2(block);
    return;
  }
  // Column pass: odd = 29692 c1 - 10426 c3 + 6967 c5 - 5906 c7 for each
  // column; work rows (c0 2^15 +- odd + 2^12) >> 13.
  const __m256i odd =
      _mm256_add_epi32(_mm256_madd_epi16(column_pairs(r1, r3), pair_constant(29692, -10426)),
                       _mm256_madd_epi16(column_pairs(r5, r7), pair_constant(6967, -5906)));
  const __m256i base =
      _mm256_add_epi32(_mm256_slli_epi32(_mm256_cvtepi16_epi32(r0), 15), _mm256_set1_epi32(0x1000));
  const __m256i w0 = _mm256_srai_epi32(_mm256_add_epi32(base, odd), 13);
  const __m256i w1 = _mm256_srai_epi32(_mm256_sub_epi32(base, odd), 13);
  // Both rows as 16-bit values: columns 0-3 of rows 0 and 1 in the low
  // half, columns 4-7 in the high one. Pairs (x0, x1), (x2, x3), (x4, x5),
  // (x6, x7) weighted (0, 29692), (0, -10426), (0, 6967), (0, -5906).
  const __m256i packed = _mm256_packs_epi32(w0, w1);
  const __m256i weights = _mm256_setr_epi16(0, 29692, 0, -10426, 0, 29692, 0, -10426, 0, 6967, 0,
                                            -5906, 0, 6967, 0, -5906);
  const __m256i terms = _mm256_madd_epi16(packed, weights);
  // Lanes: row 0's two terms, row 1's two, in each half; summed across.
  const __m128i quarter =
      _mm_add_epi32(_mm256_castsi256_si128(terms), _mm256_extracti128_si256(terms, 1));
  const __m128i sums = _mm_hadd_epi32(quarter, quarter);  // odd of row 0, row 1, twice
  // Outputs (row 0: +odd, -odd; row 1: +odd, -odd): (w 2^15 +- odd + 2^19)
  // >> 20, level-shifted and clamped.
  const __m128i signed_odd = _mm_sign_epi32(_mm_shuffle_epi32(sums, _MM_SHUFFLE(1, 1, 0, 0)),
                                            _mm_setr_epi32(1, -1, 1, -1));
  const int32_t c00 = _mm256_extract_epi32(w0, 0), c10 = _mm256_extract_epi32(w1, 0);
  const __m128i dc = _mm_setr_epi32(c00, c00, c10, c10);
  __m128i out =
      _mm_add_epi32(_mm_add_epi32(_mm_slli_epi32(dc, 15), signed_odd), _mm_set1_epi32(0x80000));
  out = _mm_add_epi32(_mm_srai_epi32(out, 20), _mm_set1_epi32(128));
  out = _mm_packs_epi32(out, out);
  out = _mm_min_epi16(_mm_max_epi16(out, _mm_setzero_si128()), _mm_set1_epi16(255));
  const uint32_t top = static_cast<uint32_t>(_mm_cvtsi128_si32(out));
  const uint32_t bottom = static_cast<uint32_t>(_mm_extract_epi32(out, 1));
  std::memcpy(block, &top, sizeof top);
  std::memcpy(block + 8, &bottom, sizeof bottom);
}

void install_transforms_avx2(RoutineTable* t) {
  t->idct_accurate_8x8 = idct_accurate_8x8_avx2;
  t->idct_accurate_4x4 = idct_accurate_4x4_avx2;
  t->idct_accurate_2x2 = idct_accurate_2x2_avx2;
  t->dequantize_accurate = dequantize_accurate_avx2;
}

}  // namespace jpegcodec
