// The accurate 8x8 inverse transform with AVX2 as an inline function:
// idct_accurate_avx2.cpp makes the routine of it, and the AVX2 batch
// decoder (huffman_decode_avx2.cpp) transforms blocks with it between the
// blocks it decodes, without a call. Only for files compiled with AVX2.
//
// The portable routine sums in 64 bits. Here both passes take 16-bit inputs
// and sum in 32 bits, which is exact whenever the inputs keep every sum
// inside 32 bits:
// with A the largest |c0| or |c4| of a line and B the largest of its other
// inputs, no sum exceeds 65536 A + 228511 B plus the rounding terms. A block
// whose coefficients, or whose row pass's outputs, could pass that bound
// (only corrupt data come near it) goes to the portable routine instead.
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "jpeg/decode/idct.h"

namespace jpegcodec {

namespace {

// 2^31, less room for the rounding terms (2^20 and 2048, and the 5793 of a
// rounded product).
constexpr int64_t kLimit = (int64_t{1} << 31) - (int64_t{1} << 21);

inline bool sums_fit(int64_t a, int64_t b) {
  return 65536 * a + 228511 * b <= kLimit;
}

// Two 16-bit constants for _mm256_madd_epi16 over pairs (x, y): x k0 + y k1.
inline __m256i pair_constant(int16_t k0, int16_t k1) {
  return _mm256_set1_epi32(static_cast<int32_t>(
      static_cast<uint32_t>(static_cast<uint16_t>(k1)) << 16 | static_cast<uint16_t>(k0)));
}

// One transform over eight lines at once (lane i: line i), from the pairs of
// each line's 16-bit inputs (c1, c7), (c5, c3), (c2, c6), (c0, c4); the
// eight results with `rounding` added, before their final shift. Products come from
// pairs of inputs (madd), which sums exactly as
// the portable routine while the sums stay inside 32 bits. 42813 does not
// fit a signed 16-bit constant: x 42813 = x (42813 - 65536) + (x << 16).
struct Sums {
  __m256i s[8];
};
inline Sums transform_pairs(__m256i p17, __m256i p53, __m256i p26, __m256i p04, int32_t rounding) {
  const __m256i h = _mm256_madd_epi16(p17, pair_constant(32138, 6393));
  const __m256i f = _mm256_madd_epi16(p17, pair_constant(6393, -32138));
  const __m256i l = _mm256_madd_epi16(p53, pair_constant(18205, 27246));
  const __m256i g = _mm256_madd_epi16(p53, pair_constant(27246, -18205));
  // c2 42813 + c6 17734, and c2 17734 - c6 42813.
  const __m256i w = _mm256_add_epi32(_mm256_madd_epi16(p26, pair_constant(42813 - 65536, 17734)),
                                     _mm256_slli_epi32(p26, 16));
  const __m256i z =
      _mm256_sub_epi32(_mm256_madd_epi16(p26, pair_constant(17734, 65536 - 42813)),
                       _mm256_and_si256(p26, _mm256_set1_epi32(static_cast<int32_t>(0xFFFF0000u))));
  // The final rounding term rides on the even part, which every result takes.
  const __m256i rounding_term = _mm256_set1_epi32(rounding);
  const __m256i sum04 = _mm256_add_epi32(
      _mm256_slli_epi32(_mm256_madd_epi16(p04, pair_constant(1, 1)), 15), rounding_term);
  const __m256i dif04 = _mm256_add_epi32(
      _mm256_slli_epi32(_mm256_madd_epi16(p04, pair_constant(1, -1)), 15), rounding_term);
  const __m256i round = _mm256_set1_epi32(2048);
  const __m256i k5793 = _mm256_set1_epi32(5793);
  const __m256i t1 = _mm256_mullo_epi32(
      _mm256_srai_epi32(_mm256_add_epi32(_mm256_add_epi32(h, l), round), 12), k5793);
  const __m256i t2 = _mm256_mullo_epi32(
      _mm256_srai_epi32(_mm256_add_epi32(_mm256_add_epi32(f, g), round), 12), k5793);
  const __m256i hl = _mm256_sub_epi32(h, l), fg = _mm256_sub_epi32(f, g);
  const __m256i a = _mm256_add_epi32(hl, fg);
  const __m256i b = _mm256_sub_epi32(hl, fg);
  const __m256i e0 = _mm256_add_epi32(sum04, w), e3 = _mm256_sub_epi32(sum04, w);
  const __m256i e1 = _mm256_add_epi32(dif04, z), e2 = _mm256_sub_epi32(dif04, z);
  Sums out;
  out.s[0] = _mm256_add_epi32(e0, t1);
  out.s[1] = _mm256_add_epi32(e1, a);
  out.s[2] = _mm256_add_epi32(e2, b);
  out.s[3] = _mm256_add_epi32(e3, t2);
  out.s[4] = _mm256_sub_epi32(e3, t2);
  out.s[5] = _mm256_sub_epi32(e2, b);
  out.s[6] = _mm256_sub_epi32(e1, a);
  out.s[7] = _mm256_sub_epi32(e0, t1);
  return out;
}

// The largest of eight unsigned 16-bit values.
inline int64_t largest(__m128i x) {
  const __m128i ones = _mm_set1_epi16(-1);
  return 0xFFFF - (_mm_cvtsi128_si32(_mm_minpos_epu16(_mm_xor_si128(x, ones))) & 0xFFFF);
}

// The exact bound, for a block past the quick limits: `magnitudes` holds
// the largest |input| of each 16-bit position over the pass's lines, and
// `first_or_fourth` marks the positions of c0 and c4.
inline bool fits_exactly(__m256i magnitudes, __m256i first_or_fourth) {
  const __m256i a = _mm256_and_si256(magnitudes, first_or_fourth);
  const __m256i b = _mm256_andnot_si256(first_or_fourth, magnitudes);
  return sums_fit(
      largest(_mm_max_epu16(_mm256_castsi256_si128(a), _mm256_extracti128_si256(a, 1))),
      largest(_mm_max_epu16(_mm256_castsi256_si128(b), _mm256_extracti128_si256(b, 1))));
}

// The same values as idct_accurate_8x8, eight lines at once in 32-bit
// lanes.
[[gnu::always_inline]] inline void accurate_8x8_avx2(int16_t* block) {
  // Two rows a register; 16-bit lanes 0 and 4 of each row hold c0 and c4.
  __m256i rows[4];
  for (int i = 0; i < 4; ++i) {
    rows[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 16 * i));
  }
  const __m256i not_dc =
      _mm256_setr_epi16(0, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m256i any_ac =
      _mm256_or_si256(_mm256_or_si256(_mm256_and_si256(rows[0], not_dc), rows[1]),
                      _mm256_or_si256(rows[2], rows[3]));
  if (_mm256_testz_si256(any_ac, any_ac)) {
    // The DC alone: one value, as in the portable routine.
    const int32_t value = ((int32_t{block[0]} + 4) >> 3) + 128;
    const __m256i fill =
        _mm256_set1_epi16(static_cast<int16_t>(value < 0 ? 0 : (value > 255 ? 255 : value)));
    for (int i = 0; i < 4; ++i)
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(block + 16 * i), fill);
    return;
  }
  // The row pass's bound, on the rows as loaded: the quick form, then the
  // exact one.
  const __m256i limits = _mm256_setr_epi16(16383, 4689, 4689, 4689, 16383, 4689, 4689, 4689, 16383,
                                           4689, 4689, 4689, 16383, 4689, 4689, 4689);
  __m256i largest_abs = _mm256_abs_epi16(rows[0]);
  for (int i = 1; i < 4; ++i)
    largest_abs = _mm256_max_epu16(largest_abs, _mm256_abs_epi16(rows[i]));
  const __m256i over = _mm256_subs_epu16(largest_abs, limits);
  if (!_mm256_testz_si256(over, over) &&
      !fits_exactly(largest_abs,
                    _mm256_setr_epi16(-1, 0, 0, 0, -1, 0, 0, 0, -1, 0, 0, 0, -1, 0, 0, 0))) {
    idct_accurate_8x8(block);
    return;
  }
  // Each row's inputs as the pairs the transform takes, (c1, c7), (c5, c3),
  // (c2, c6), (c0, c4); then one register a pair, the rows as lanes in the
  // order 0, 2, 4, 6, 1, 3, 5, 7.
  const __m256i order = _mm256_setr_epi8(2, 3, 14, 15, 10, 11, 6, 7, 4, 5, 12, 13, 0, 1, 8, 9, 2, 3,
                                         14, 15, 10, 11, 6, 7, 4, 5, 12, 13, 0, 1, 8, 9);
  for (__m256i& r : rows) r = _mm256_shuffle_epi8(r, order);
  const __m256i low01 = _mm256_unpacklo_epi32(rows[0], rows[1]);
  const __m256i high01 = _mm256_unpackhi_epi32(rows[0], rows[1]);
  const __m256i low23 = _mm256_unpacklo_epi32(rows[2], rows[3]);
  const __m256i high23 = _mm256_unpackhi_epi32(rows[2], rows[3]);
  // Row pass: results with a gain of 8 (>> 12 of a 2^15 scale); s[x] holds
  // output x of every row (in that order).
  const Sums row_sums = transform_pairs(
      _mm256_unpacklo_epi64(low01, low23), _mm256_unpackhi_epi64(low01, low23),
      _mm256_unpacklo_epi64(high01, high23), _mm256_unpackhi_epi64(high01, high23), 2048);
  auto rounded = [&](int x) { return _mm256_srai_epi32(row_sums.s[x], 12); };
  // Outputs x and x + 4 of every row in one register, 16 bits each: in the
  // low half rows 0, 2, 4, 6 of x then of x + 4, in the high half rows 1,
  // 3, 5, 7. A result past 16 bits saturates, and then fails the column
  // pass's bound.
  __m256i q[4];
  for (int x = 0; x < 4; ++x) q[x] = _mm256_packs_epi32(rounded(x), rounded(x + 4));
  // The column pass's bound: rows 0 and 4 (the low half's even values)
  // against the first limit, the others the second.
  const __m256i column_limits =
      _mm256_setr_epi16(16383, 4689, 16383, 4689, 16383, 4689, 16383, 4689, 4689, 4689, 4689, 4689,
                        4689, 4689, 4689, 4689);
  __m256i column_abs = _mm256_abs_epi16(q[0]);
  for (int x = 1; x < 4; ++x) column_abs = _mm256_max_epu16(column_abs, _mm256_abs_epi16(q[x]));
  const __m256i column_over = _mm256_subs_epu16(column_abs, column_limits);
  if (!_mm256_testz_si256(column_over, column_over) &&
      !fits_exactly(column_abs,
                    _mm256_setr_epi16(-1, 0, -1, 0, -1, 0, -1, 0, 0, 0, 0, 0, 0, 0, 0, 0))) {
    idct_accurate_8x8(block);
    return;
  }
  // Each register's values as the column pass's pairs: in the low half
  // (row 2, row 6) and (0, 4) of x, then of x + 4; in the high half (1, 7)
  // and (5, 3). Then one register a pair, the columns as lanes in order.
  const __m256i pair_order = _mm256_setr_epi8(2, 3, 6, 7, 0, 1, 4, 5, 10, 11, 14, 15, 8, 9, 12, 13,
                                              0, 1, 6, 7, 4, 5, 2, 3, 8, 9, 14, 15, 12, 13, 10, 11);
  for (__m256i& r : q) r = _mm256_shuffle_epi8(r, pair_order);
  const __m256i u01 = _mm256_unpacklo_epi32(q[0], q[1]), u01h = _mm256_unpackhi_epi32(q[0], q[1]);
  const __m256i u23 = _mm256_unpacklo_epi32(q[2], q[3]), u23h = _mm256_unpackhi_epi32(q[2], q[3]);
  const __m256i l = _mm256_unpacklo_epi64(u01, u23), lh = _mm256_unpacklo_epi64(u01h, u23h);
  const __m256i h = _mm256_unpackhi_epi64(u01, u23), hh = _mm256_unpackhi_epi64(u01h, u23h);
  // Column pass: divide by 2^21, level shift, clamp to 0..255.
  const Sums columns = transform_pairs(
      _mm256_permute2x128_si256(l, lh, 0x31), _mm256_permute2x128_si256(h, hh, 0x31),
      _mm256_permute2x128_si256(l, lh, 0x20), _mm256_permute2x128_si256(h, hh, 0x20), 1 << 20);
  // The level shift after narrowing, with saturation: a value too large or
  // too small for 16 bits clamps to 255 or 0 all the same.
  const __m256i shift = _mm256_set1_epi16(128);
  const __m256i low = _mm256_setzero_si256(), high = _mm256_set1_epi16(255);
  for (int y = 0; y < 8; y += 2) {
    // packs works within 128-bit halves: put rows y and y + 1 back in order.
    __m256i both =
        _mm256_permute4x64_epi64(_mm256_packs_epi32(_mm256_srai_epi32(columns.s[y], 21),
                                                    _mm256_srai_epi32(columns.s[y + 1], 21)),
                                 0xD8);
    both = _mm256_min_epi16(_mm256_max_epi16(_mm256_adds_epi16(both, shift), low), high);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(block + 8 * y), both);
  }
}

}  // namespace

}  // namespace jpegcodec
