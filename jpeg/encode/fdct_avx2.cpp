// The accurate forward transform with AVX2: the same values as
// fdct_accurate_portable, eight lines at once in 16-bit lanes. Every sum of
// the portable routine fits where it is kept here: samples are -128..127,
// so a row pass's outputs (4·U) stay within ±4096 and the column pass's
// sums of eight of them within -32768..32640; the products go through
// _mm_madd_epi16 into 32 bits, as the portable routine's int32 sums do.

#include <immintrin.h>

#include "jpeg/encode/fdct.h"
#include "jpeg/encode/simd_encode.h"

namespace {

// Pairs of constants for _mm_madd_epi16 over interleaved (x, y): x k0 + y k1.
inline __m128i pair(int16_t k0, int16_t k1) {
  return _mm_set1_epi32(static_cast<int32_t>(
      static_cast<uint32_t>(static_cast<uint16_t>(k1)) << 16 | static_cast<uint16_t>(k0)));
}

// a·x + b·y in 32 bits for the eight lanes of x and y, rounded and shifted
// down by `down`, back to 16 bits.
template <int kDown>
inline __m128i weighted(__m128i x, __m128i y, __m128i ab) {
  const __m128i round = _mm_set1_epi32(1 << (kDown - 1));
  const __m128i low =
      _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(x, y), ab), round), kDown);
  const __m128i high =
      _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(x, y), ab), round), kDown);
  return _mm_packs_epi32(low, high);
}

// The same for four terms: a·x + b·y + c·z + d·w.
template <int kDown>
inline __m128i weighted4(__m128i x, __m128i y, __m128i ab, __m128i z, __m128i w, __m128i cd) {
  const __m128i round = _mm_set1_epi32(1 << (kDown - 1));
  const __m128i low = _mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(x, y), ab),
                                    _mm_madd_epi16(_mm_unpacklo_epi16(z, w), cd));
  const __m128i high = _mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(x, y), ab),
                                     _mm_madd_epi16(_mm_unpackhi_epi16(z, w), cd));
  return _mm_packs_epi32(_mm_srai_epi32(_mm_add_epi32(low, round), kDown),
                         _mm_srai_epi32(_mm_add_epi32(high, round), kDown));
}

// Eight rows of eight 16-bit values, transposed in place.
inline void transpose(__m128i* v) {
  const __m128i a0 = _mm_unpacklo_epi16(v[0], v[1]), a1 = _mm_unpackhi_epi16(v[0], v[1]);
  const __m128i a2 = _mm_unpacklo_epi16(v[2], v[3]), a3 = _mm_unpackhi_epi16(v[2], v[3]);
  const __m128i a4 = _mm_unpacklo_epi16(v[4], v[5]), a5 = _mm_unpackhi_epi16(v[4], v[5]);
  const __m128i a6 = _mm_unpacklo_epi16(v[6], v[7]), a7 = _mm_unpackhi_epi16(v[6], v[7]);
  const __m128i b0 = _mm_unpacklo_epi32(a0, a2), b1 = _mm_unpackhi_epi32(a0, a2);
  const __m128i b2 = _mm_unpacklo_epi32(a1, a3), b3 = _mm_unpackhi_epi32(a1, a3);
  const __m128i b4 = _mm_unpacklo_epi32(a4, a6), b5 = _mm_unpackhi_epi32(a4, a6);
  const __m128i b6 = _mm_unpacklo_epi32(a5, a7), b7 = _mm_unpackhi_epi32(a5, a7);
  v[0] = _mm_unpacklo_epi64(b0, b4);
  v[1] = _mm_unpackhi_epi64(b0, b4);
  v[2] = _mm_unpacklo_epi64(b1, b5);
  v[3] = _mm_unpackhi_epi64(b1, b5);
  v[4] = _mm_unpacklo_epi64(b2, b6);
  v[5] = _mm_unpackhi_epi64(b2, b6);
  v[6] = _mm_unpacklo_epi64(b3, b7);
  v[7] = _mm_unpackhi_epi64(b3, b7);
}

// One pass over the eight lines held in the lanes (x[n]: input n of every
// line); the exact sums scaled as the portable pass scales them.
template <bool kRows>
inline void pass(__m128i* x) {
  // a_j · 2^13, as in the portable routine.
  const __m128i a2a6 = pair(10703, 4433), a6_a2 = pair(4433, -10703);
  const __m128i a1a3 = pair(11363, 9633), a5a7 = pair(6436, 2260);
  const __m128i a3_a7 = pair(9633, -2260), _a1_a5 = pair(-11363, -6436);
  const __m128i a5_a1 = pair(6436, -11363), a7a3 = pair(2260, 9633);
  const __m128i a7_a5 = pair(2260, -6436), a3_a1 = pair(9633, -11363);
  constexpr int kDown = kRows ? 11 : 15;
  const __m128i s0 = _mm_add_epi16(x[0], x[7]), s1 = _mm_add_epi16(x[1], x[6]);
  const __m128i s2 = _mm_add_epi16(x[2], x[5]), s3 = _mm_add_epi16(x[3], x[4]);
  const __m128i d0 = _mm_sub_epi16(x[0], x[7]), d1 = _mm_sub_epi16(x[1], x[6]);
  const __m128i d2 = _mm_sub_epi16(x[2], x[5]), d3 = _mm_sub_epi16(x[3], x[4]);
  const __m128i sum = _mm_add_epi16(_mm_add_epi16(s0, s3), _mm_add_epi16(s1, s2));
  const __m128i difference = _mm_sub_epi16(_mm_add_epi16(s0, s3), _mm_add_epi16(s1, s2));
  if (kRows) {
    x[0] = _mm_slli_epi16(sum, 2);
    x[4] = _mm_slli_epi16(difference, 2);
  } else {
    const __m128i two = _mm_set1_epi16(2);
    x[0] = _mm_srai_epi16(_mm_add_epi16(sum, two), 2);
    x[4] = _mm_srai_epi16(_mm_add_epi16(difference, two), 2);
  }
  const __m128i e0 = _mm_sub_epi16(s0, s3), e1 = _mm_sub_epi16(s1, s2);
  x[2] = weighted<kDown>(e0, e1, a2a6);
  x[6] = weighted<kDown>(e0, e1, a6_a2);
  x[1] = weighted4<kDown>(d0, d1, a1a3, d2, d3, a5a7);
  x[3] = weighted4<kDown>(d0, d1, a3_a7, d2, d3, _a1_a5);
  x[5] = weighted4<kDown>(d0, d1, a5_a1, d2, d3, a7a3);
  x[7] = weighted4<kDown>(d0, d1, a7_a5, d2, d3, a3_a1);
}

}  // namespace

void fdct_accurate_avx2(int16_t* block) {
  __m128i v[8];
  for (int r = 0; r < 8; ++r)
    v[r] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 8 * r));
  // Rows: with the block transposed, lane r holds row r.
  transpose(v);
  pass<true>(v);
  // Columns: v[k] holds output k of every row; transposed, lane k holds
  // column k, and v[u] comes out as row u of the result.
  transpose(v);
  pass<false>(v);
  for (int r = 0; r < 8; ++r) _mm_storeu_si128(reinterpret_cast<__m128i*>(block + 8 * r), v[r]);
}
