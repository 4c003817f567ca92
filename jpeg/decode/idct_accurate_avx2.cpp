// The accurate inverse transform at full size with AVX2: the same values as
// idct_accurate_8x8, eight lines at once in 32-bit lanes.
//
// The portable routine sums in 64 bits. Here both passes take 16-bit inputs
// and sum in 32 bits, which is exact whenever the inputs keep every sum
// inside 32 bits:
// with A the largest |c0| or |c4| of a line and B the largest of its other
// inputs, no sum exceeds 65536 A + 228511 B plus the rounding terms. A block
// whose coefficients, or whose row pass's outputs, could pass that bound
// (only corrupt data come near it) goes to the portable routine instead.

#include <immintrin.h>

#include <cstring>
#include <initializer_list>

#include "jpeg/cpu/routine_table.h"
#include "jpeg/decode/idct.h"
#include "jpeg/decode/portable_routines.h"

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

}  // namespace

void idct_accurate_8x8_avx2(int16_t* block) {
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
