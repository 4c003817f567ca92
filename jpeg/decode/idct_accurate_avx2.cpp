// The accurate inverse transform at full size with AVX2: the same values as
// idct_accurate_8x8, eight lines at once in 32-bit lanes.
//
// The portable routine sums in 64 bits. Here both passes sum in 32 bits,
// which is exact whenever the pass's inputs keep every sum inside 32 bits:
// with A the largest |c0| or |c4| of a line and B the largest of its other
// inputs, no sum exceeds 65536 A + 228511 B plus the rounding terms. A block
// whose coefficients, or whose row pass's outputs, could pass that bound
// (only corrupt data come near it) goes to the portable routine instead.

#include <immintrin.h>

#include <initializer_list>

#include "jpeg/cpu/routine_table.h"
#include "jpeg/decode/idct.h"
#include "jpeg/decode/portable_routines.h"

namespace {

// 2^31, less room for the rounding terms (2^20 and 2048, and the 5793 of a
// rounded product).
constexpr int64_t kLimit = (int64_t{1} << 31) - (int64_t{1} << 21);

inline bool sums_fit(int64_t a, int64_t b) {
  return 65536 * a + 228511 * b <= kLimit;
}

inline __m256i mul(__m256i x, int32_t k) {
  return _mm256_mullo_epi32(x, _mm256_set1_epi32(k));
}

// One transform over eight lines at once (lane i: line i), with the line's
// inputs c[0..7]; the eight results, before their final rounding shift.
struct Sums {
  __m256i s[8];
};
inline Sums transform(const __m256i* c) {
  const __m256i h = _mm256_add_epi32(mul(c[1], 32138), mul(c[7], 6393));
  const __m256i f = _mm256_sub_epi32(mul(c[1], 6393), mul(c[7], 32138));
  const __m256i l = _mm256_add_epi32(mul(c[5], 18205), mul(c[3], 27246));
  const __m256i g = _mm256_sub_epi32(mul(c[5], 27246), mul(c[3], 18205));
  const __m256i round = _mm256_set1_epi32(2048);
  const __m256i t1 =
      mul(_mm256_srai_epi32(_mm256_add_epi32(_mm256_add_epi32(h, l), round), 12), 5793);
  const __m256i t2 =
      mul(_mm256_srai_epi32(_mm256_add_epi32(_mm256_add_epi32(f, g), round), 12), 5793);
  const __m256i hl = _mm256_sub_epi32(h, l), fg = _mm256_sub_epi32(f, g);
  const __m256i a = _mm256_add_epi32(hl, fg);
  const __m256i b = _mm256_sub_epi32(hl, fg);
  const __m256i w = _mm256_add_epi32(mul(c[2], 42813), mul(c[6], 17734));
  const __m256i z = _mm256_sub_epi32(mul(c[2], 17734), mul(c[6], 42813));
  const __m256i sum04 = _mm256_slli_epi32(_mm256_add_epi32(c[0], c[4]), 15);
  const __m256i dif04 = _mm256_slli_epi32(_mm256_sub_epi32(c[0], c[4]), 15);
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

// Transposes eight rows of eight 32-bit values.
inline void transpose(__m256i* v) {
  const __m256i t0 = _mm256_unpacklo_epi32(v[0], v[1]), t1 = _mm256_unpackhi_epi32(v[0], v[1]);
  const __m256i t2 = _mm256_unpacklo_epi32(v[2], v[3]), t3 = _mm256_unpackhi_epi32(v[2], v[3]);
  const __m256i t4 = _mm256_unpacklo_epi32(v[4], v[5]), t5 = _mm256_unpackhi_epi32(v[4], v[5]);
  const __m256i t6 = _mm256_unpacklo_epi32(v[6], v[7]), t7 = _mm256_unpackhi_epi32(v[6], v[7]);
  const __m256i u0 = _mm256_unpacklo_epi64(t0, t2), u1 = _mm256_unpackhi_epi64(t0, t2);
  const __m256i u2 = _mm256_unpacklo_epi64(t1, t3), u3 = _mm256_unpackhi_epi64(t1, t3);
  const __m256i u4 = _mm256_unpacklo_epi64(t4, t6), u5 = _mm256_unpackhi_epi64(t4, t6);
  const __m256i u6 = _mm256_unpacklo_epi64(t5, t7), u7 = _mm256_unpackhi_epi64(t5, t7);
  v[0] = _mm256_permute2x128_si256(u0, u4, 0x20);
  v[1] = _mm256_permute2x128_si256(u1, u5, 0x20);
  v[2] = _mm256_permute2x128_si256(u2, u6, 0x20);
  v[3] = _mm256_permute2x128_si256(u3, u7, 0x20);
  v[4] = _mm256_permute2x128_si256(u0, u4, 0x31);
  v[5] = _mm256_permute2x128_si256(u1, u5, 0x31);
  v[6] = _mm256_permute2x128_si256(u2, u6, 0x31);
  v[7] = _mm256_permute2x128_si256(u3, u7, 0x31);
}

inline int64_t largest(__m256i x) {
  __m256i m = _mm256_max_epi32(x, _mm256_shuffle_epi32(x, 0x4E));
  m = _mm256_max_epi32(m, _mm256_shuffle_epi32(m, 0xB1));
  const __m128i both = _mm_max_epi32(_mm256_castsi256_si128(m), _mm256_extracti128_si256(m, 1));
  return _mm_cvtsi128_si32(both);
}

// Whether a pass over lines whose inputs are v[0..7] (lane i: line i) stays
// inside 32 bits. |x| of -2^31 cannot arise: inputs are 16-bit values or
// row outputs, which are far smaller.
inline bool pass_fits(const __m256i* v) {
  const __m256i a = _mm256_max_epi32(_mm256_abs_epi32(v[0]), _mm256_abs_epi32(v[4]));
  __m256i b = _mm256_abs_epi32(v[1]);
  for (int i : {2, 3, 5, 6, 7}) b = _mm256_max_epi32(b, _mm256_abs_epi32(v[i]));
  return sums_fit(largest(a), largest(b));
}

}  // namespace

void idct_accurate_8x8_avx2(int16_t* block) {
  __m256i v[8];
  __m128i any_ac = _mm_setzero_si128();
  for (int r = 0; r < 8; ++r) {
    const __m128i row = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 8 * r));
    any_ac = _mm_or_si128(any_ac, r == 0 ? _mm_srli_si128(row, 2) : row);
    v[r] = _mm256_cvtepi16_epi32(row);
  }
  if (_mm_testz_si128(any_ac, any_ac)) {
    // The DC alone: one value, as in the portable routine.
    const int32_t value = ((int32_t{block[0]} + 4) >> 3) + 128;
    const __m128i fill =
        _mm_set1_epi16(static_cast<int16_t>(value < 0 ? 0 : (value > 255 ? 255 : value)));
    for (int r = 0; r < 8; ++r) _mm_storeu_si128(reinterpret_cast<__m128i*>(block + 8 * r), fill);
    return;
  }
  // Lines as lanes: after the transpose v[j] holds coefficient j of every row.
  transpose(v);
  if (!pass_fits(v)) {
    idct_accurate_8x8(block);
    return;
  }
  // Row pass: results with a gain of 8 (>> 12 of a 2^15 scale); v[x] then
  // holds output x of every row.
  Sums rows = transform(v);
  const __m256i round_rows = _mm256_set1_epi32(2048);
  for (int x = 0; x < 8; ++x) v[x] = _mm256_srai_epi32(_mm256_add_epi32(rows.s[x], round_rows), 12);
  // Columns as lanes: v[y] holds row y's outputs.
  transpose(v);
  if (!pass_fits(v)) {
    idct_accurate_8x8(block);
    return;
  }
  // Column pass: divide by 2^21, level shift, clamp to 0..255.
  const Sums columns = transform(v);
  const __m256i round_columns = _mm256_set1_epi32(1 << 20);
  const __m256i shift = _mm256_set1_epi32(128);
  const __m128i low = _mm_setzero_si128(), high = _mm_set1_epi16(255);
  for (int y = 0; y < 8; ++y) {
    const __m256i value = _mm256_add_epi32(
        _mm256_srai_epi32(_mm256_add_epi32(columns.s[y], round_columns), 21), shift);
    __m128i row =
        _mm_packs_epi32(_mm256_castsi256_si128(value), _mm256_extracti128_si256(value, 1));
    row = _mm_min_epi16(_mm_max_epi16(row, low), high);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(block + 8 * y), row);
  }
}

void install_transforms_avx2(RoutineTable* t) {
  t->idct_accurate_8x8 = idct_accurate_8x8_avx2;
}
