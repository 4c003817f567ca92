// The accurate forward transform with AVX2: the same values as
// fdct_accurate_portable, eight lines at once in 16-bit lanes. Every sum of
// the portable routine fits where it is kept here: samples are -128..127,
// so a row pass's outputs (4·U) stay within ±4096 and the column pass's
// sums of eight of them within -32768..32640; the products go through
// madd into 32 bits, as the portable routine's int32 sums do. One block
// fills the eight lanes of a 128-bit register; two blocks, one in each
// half of a 256-bit register, go through the same instructions (each works
// within its half) at nearly the cost of one.

#include <immintrin.h>

#include "jpeg/cpu/transpose.h"
#include "jpeg/encode/fdct.h"
#include "jpeg/encode/simd_encode.h"

namespace jpegcodec {

namespace {

// The instructions of the transform at both widths.
VECTOR_OP(add16, add_epi16)
VECTOR_OP(sub16, sub_epi16)
VECTOR_OP(add32, add_epi32)
VECTOR_OP(madd, madd_epi16)
VECTOR_OP(pack32, packs_epi32)
#define FDCT_SHIFT_BOTH_WIDTHS(name, op)                  \
  template <int kBits>                                    \
  [[gnu::always_inline]] inline __m128i name(__m128i a) { \
    return _mm_##op(a, kBits);                            \
  }                                                       \
  template <int kBits>                                    \
  [[gnu::always_inline]] inline __m256i name(__m256i a) { \
    return _mm256_##op(a, kBits);                         \
  }
FDCT_SHIFT_BOTH_WIDTHS(shift_left16, slli_epi16)
FDCT_SHIFT_BOTH_WIDTHS(shift_right16, srai_epi16)
FDCT_SHIFT_BOTH_WIDTHS(shift_right32, srai_epi32)
#undef FDCT_SHIFT_BOTH_WIDTHS
template <typename V>
V broadcast32(int32_t value);
template <>
[[gnu::always_inline]] inline __m128i broadcast32(int32_t value) {
  return _mm_set1_epi32(value);
}
template <>
[[gnu::always_inline]] inline __m256i broadcast32(int32_t value) {
  return _mm256_set1_epi32(value);
}

// Pairs of constants for madd over interleaved (x, y): x k0 + y k1.
template <typename V>
[[gnu::always_inline]] inline V pair(int16_t k0, int16_t k1) {
  return broadcast32<V>(static_cast<int32_t>(
      static_cast<uint32_t>(static_cast<uint16_t>(k1)) << 16 | static_cast<uint16_t>(k0)));
}

// a·x + b·y in 32 bits for the eight lanes of x and y, rounded and shifted
// down by kDown, back to 16 bits.
template <int kDown, typename V>
[[gnu::always_inline]] inline V weighted(V x, V y, V ab) {
  const V round = broadcast32<V>(1 << (kDown - 1));
  const V low = shift_right32<kDown>(add32(madd(interleave_low16(x, y), ab), round));
  const V high = shift_right32<kDown>(add32(madd(interleave_high16(x, y), ab), round));
  return pack32(low, high);
}

// The same for four terms: a·x + b·y + c·z + d·w.
template <int kDown, typename V>
[[gnu::always_inline]] inline V weighted4(V x, V y, V ab, V z, V w, V cd) {
  const V round = broadcast32<V>(1 << (kDown - 1));
  const V low = add32(madd(interleave_low16(x, y), ab), madd(interleave_low16(z, w), cd));
  const V high = add32(madd(interleave_high16(x, y), ab), madd(interleave_high16(z, w), cd));
  return pack32(shift_right32<kDown>(add32(low, round)), shift_right32<kDown>(add32(high, round)));
}

// One pass over the eight lines held in the lanes (x[n]: input n of every
// line); the exact sums scaled as the portable pass scales them.
template <bool kRows, typename V>
[[gnu::always_inline]] inline void pass(V* x) {
  // a_j · 2^13, as in the portable routine.
  const V a2a6 = pair<V>(10703, 4433), a6_a2 = pair<V>(4433, -10703);
  const V a1a3 = pair<V>(11363, 9633), a5a7 = pair<V>(6436, 2260);
  const V a3_a7 = pair<V>(9633, -2260), _a1_a5 = pair<V>(-11363, -6436);
  const V a5_a1 = pair<V>(6436, -11363), a7a3 = pair<V>(2260, 9633);
  const V a7_a5 = pair<V>(2260, -6436), a3_a1 = pair<V>(9633, -11363);
  constexpr int kDown = kRows ? 11 : 15;
  const V s0 = add16(x[0], x[7]), s1 = add16(x[1], x[6]);
  const V s2 = add16(x[2], x[5]), s3 = add16(x[3], x[4]);
  const V d0 = sub16(x[0], x[7]), d1 = sub16(x[1], x[6]);
  const V d2 = sub16(x[2], x[5]), d3 = sub16(x[3], x[4]);
  const V sum = add16(add16(s0, s3), add16(s1, s2));
  const V difference = sub16(add16(s0, s3), add16(s1, s2));
  if (kRows) {
    x[0] = shift_left16<2>(sum);
    x[4] = shift_left16<2>(difference);
  } else {
    const V two = pair<V>(2, 2);  // 2 in every 16-bit lane
    x[0] = shift_right16<2>(add16(sum, two));
    x[4] = shift_right16<2>(add16(difference, two));
  }
  const V e0 = sub16(s0, s3), e1 = sub16(s1, s2);
  x[2] = weighted<kDown>(e0, e1, a2a6);
  x[6] = weighted<kDown>(e0, e1, a6_a2);
  x[1] = weighted4<kDown>(d0, d1, a1a3, d2, d3, a5a7);
  x[3] = weighted4<kDown>(d0, d1, a3_a7, d2, d3, _a1_a5);
  x[5] = weighted4<kDown>(d0, d1, a5_a1, d2, d3, a7a3);
  x[7] = weighted4<kDown>(d0, d1, a7_a5, d2, d3, a3_a1);
}

// Both passes: rows (with the block transposed, lane r holds row r), then
// columns (v[k] holds output k of every row; transposed, lane k holds
// column k, and v[u] comes out as row u of the result).
template <typename V>
[[gnu::always_inline]] inline void transform(V* v) {
  transpose_8x8_epi16(v);
  pass<true>(v);
  transpose_8x8_epi16(v);
  pass<false>(v);
}

}  // namespace

void fdct_accurate_avx2(int16_t* block) {
  __m128i v[8];
  for (int r = 0; r < 8; ++r)
    v[r] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 8 * r));
  transform(v);
  for (int r = 0; r < 8; ++r) _mm_storeu_si128(reinterpret_cast<__m128i*>(block + 8 * r), v[r]);
}

void fdct_accurate_pair_avx2(int16_t* first, int16_t* second) {
  __m256i v[8];
  for (int r = 0; r < 8; ++r) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(first + 8 * r));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(second + 8 * r));
    v[r] = _mm256_inserti128_si256(_mm256_castsi128_si256(a), b, 1);
  }
  transform(v);
  for (int r = 0; r < 8; ++r) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(first + 8 * r), _mm256_castsi256_si128(v[r]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(second + 8 * r), _mm256_extracti128_si256(v[r], 1));
  }
}

namespace {

// Eight rows of eight 32-bit values, transposed in place.
inline void transpose32(__m256i* v) {
  const __m256i a0 = _mm256_unpacklo_epi32(v[0], v[1]), a1 = _mm256_unpackhi_epi32(v[0], v[1]);
  const __m256i a2 = _mm256_unpacklo_epi32(v[2], v[3]), a3 = _mm256_unpackhi_epi32(v[2], v[3]);
  const __m256i a4 = _mm256_unpacklo_epi32(v[4], v[5]), a5 = _mm256_unpackhi_epi32(v[4], v[5]);
  const __m256i a6 = _mm256_unpacklo_epi32(v[6], v[7]), a7 = _mm256_unpackhi_epi32(v[6], v[7]);
  const __m256i b0 = _mm256_unpacklo_epi64(a0, a2), b1 = _mm256_unpackhi_epi64(a0, a2);
  const __m256i b2 = _mm256_unpacklo_epi64(a1, a3), b3 = _mm256_unpackhi_epi64(a1, a3);
  const __m256i b4 = _mm256_unpacklo_epi64(a4, a6), b5 = _mm256_unpackhi_epi64(a4, a6);
  const __m256i b6 = _mm256_unpacklo_epi64(a5, a7), b7 = _mm256_unpackhi_epi64(a5, a7);
  v[0] = _mm256_permute2x128_si256(b0, b4, 0x20);
  v[1] = _mm256_permute2x128_si256(b1, b5, 0x20);
  v[2] = _mm256_permute2x128_si256(b2, b6, 0x20);
  v[3] = _mm256_permute2x128_si256(b3, b7, 0x20);
  v[4] = _mm256_permute2x128_si256(b0, b4, 0x31);
  v[5] = _mm256_permute2x128_si256(b1, b5, 0x31);
  v[6] = _mm256_permute2x128_si256(b2, b6, 0x31);
  v[7] = _mm256_permute2x128_si256(b3, b7, 0x31);
}

// (x · k + 512) >> 10, as the portable fast family's multiplies.
inline __m256i times(__m256i x, int32_t k) {
  return _mm256_srai_epi32(
      _mm256_add_epi32(_mm256_mullo_epi32(x, _mm256_set1_epi32(k)), _mm256_set1_epi32(512)), 10);
}

// The fast family's flow graph over the eight lines in the lanes.
inline void fast_pass(__m256i* v) {
  const __m256i t0 = _mm256_add_epi32(v[0], v[7]), t7 = _mm256_sub_epi32(v[0], v[7]);
  const __m256i t1 = _mm256_add_epi32(v[1], v[6]), t6 = _mm256_sub_epi32(v[1], v[6]);
  const __m256i t2 = _mm256_add_epi32(v[2], v[5]), t5 = _mm256_sub_epi32(v[2], v[5]);
  const __m256i t3 = _mm256_add_epi32(v[3], v[4]), t4 = _mm256_sub_epi32(v[3], v[4]);
  const __m256i e10 = _mm256_add_epi32(t0, t3), e13 = _mm256_sub_epi32(t0, t3);
  const __m256i e11 = _mm256_add_epi32(t1, t2), e12 = _mm256_sub_epi32(t1, t2);
  v[0] = _mm256_add_epi32(e10, e11);
  v[4] = _mm256_sub_epi32(e10, e11);
  const __m256i z1 = times(_mm256_add_epi32(e12, e13), 724);
  v[2] = _mm256_add_epi32(e13, z1);
  v[6] = _mm256_sub_epi32(e13, z1);
  const __m256i o10 = _mm256_add_epi32(t4, t5), o11 = _mm256_add_epi32(t5, t6);
  const __m256i o12 = _mm256_add_epi32(t6, t7);
  const __m256i z5 = times(_mm256_sub_epi32(o10, o12), 392);
  const __m256i z2 = _mm256_add_epi32(times(o10, 554), z5);
  const __m256i z4 = _mm256_add_epi32(times(o12, 1338), z5);
  const __m256i z3 = times(o11, 724);
  const __m256i z11 = _mm256_add_epi32(t7, z3), z13 = _mm256_sub_epi32(t7, z3);
  v[5] = _mm256_add_epi32(z13, z2);
  v[3] = _mm256_sub_epi32(z13, z2);
  v[1] = _mm256_add_epi32(z11, z4);
  v[7] = _mm256_sub_epi32(z11, z4);
}

}  // namespace

// The fast forward transform with AVX2: the same values as
// fdct_fast_portable (its constants, its two extra bits, its rounding), in
// 32-bit lanes.
void fdct_fast_avx2(int16_t* block) {
  __m256i v[8];
  for (int r = 0; r < 8; ++r) {
    const __m128i row = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 8 * r));
    v[r] = _mm256_slli_epi32(_mm256_cvtepi16_epi32(row), 2);
  }
  // Rows: transposed, lane r holds row r; then back, for the columns.
  transpose32(v);
  fast_pass(v);
  transpose32(v);
  fast_pass(v);
  const __m256i half = _mm256_set1_epi32(2);
  for (int r = 0; r < 8; r += 2) {
    const __m256i a = _mm256_srai_epi32(_mm256_add_epi32(v[r], half), 2);
    const __m256i b = _mm256_srai_epi32(_mm256_add_epi32(v[r + 1], half), 2);
    // packs interleaves the halves: two rows back in order.
    const __m256i rows = _mm256_permute4x64_epi64(_mm256_packs_epi32(a, b), 0xD8);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(block + 8 * r), rows);
  }
}

}  // namespace jpegcodec
