// An 8x8 transpose of 16-bit values, for the transforms of both directions:
// in SSE2 registers, and where the including file is compiled for AVX2 also
// in 256-bit registers, two 8x8 blocks at once (one in each 128-bit half,
// as AVX2's interleaves work within halves). Internal linkage: each file
// that includes it is compiled for its own instruction set and keeps its
// own copy.
#pragma once

#include <immintrin.h>

namespace jpegcodec {

namespace {

// `name` for 128-bit registers (SSE2's `_mm_op`) and, in a file compiled
// for AVX2, for 256-bit ones (`_mm256_op`): the transpose's interleaves
// here, and the transforms' arithmetic where they are written for both
// widths.
#if defined(__AVX2__)
#define VECTOR_WIDE_OP(name, op)                                     \
  [[gnu::always_inline]] inline __m256i name(__m256i a, __m256i b) { \
    return _mm256_##op(a, b);                                        \
  }
#else
#define VECTOR_WIDE_OP(name, op)
#endif
#define VECTOR_OP(name, op)                                          \
  [[gnu::always_inline]] inline __m128i name(__m128i a, __m128i b) { \
    return _mm_##op(a, b);                                           \
  }                                                                  \
  VECTOR_WIDE_OP(name, op)

VECTOR_OP(interleave_low16, unpacklo_epi16)
VECTOR_OP(interleave_high16, unpackhi_epi16)
VECTOR_OP(interleave_low32, unpacklo_epi32)
VECTOR_OP(interleave_high32, unpackhi_epi32)
VECTOR_OP(interleave_low64, unpacklo_epi64)
VECTOR_OP(interleave_high64, unpackhi_epi64)

// Eight rows of eight 16-bit values (in each 128-bit half), transposed in
// place.
template <typename V>
[[gnu::always_inline]] inline void transpose_8x8_epi16(V* v) {
  const V a0 = interleave_low16(v[0], v[1]), a1 = interleave_high16(v[0], v[1]);
  const V a2 = interleave_low16(v[2], v[3]), a3 = interleave_high16(v[2], v[3]);
  const V a4 = interleave_low16(v[4], v[5]), a5 = interleave_high16(v[4], v[5]);
  const V a6 = interleave_low16(v[6], v[7]), a7 = interleave_high16(v[6], v[7]);
  const V b0 = interleave_low32(a0, a2), b1 = interleave_high32(a0, a2);
  const V b2 = interleave_low32(a1, a3), b3 = interleave_high32(a1, a3);
  const V b4 = interleave_low32(a4, a6), b5 = interleave_high32(a4, a6);
  const V b6 = interleave_low32(a5, a7), b7 = interleave_high32(a5, a7);
  v[0] = interleave_low64(b0, b4);
  v[1] = interleave_high64(b0, b4);
  v[2] = interleave_low64(b1, b5);
  v[3] = interleave_high64(b1, b5);
  v[4] = interleave_low64(b2, b6);
  v[5] = interleave_high64(b2, b6);
  v[6] = interleave_low64(b3, b7);
  v[7] = interleave_high64(b3, b7);
}

}  // namespace

}  // namespace jpegcodec
