// Dequantization with AVX2: each product held to 16 bits, as the portable
// routine holds it.

#include <immintrin.h>

#include "jpeg/decode/idct.h"

namespace jpegcodec {

void dequantize_accurate_avx2(int16_t* block, const int16_t* table) {
  for (int i = 0; i < 64; i += 16) {
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + i));
    const __m256i q = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(table + i));
    // The 32-bit products from their halves, packed back with saturation.
    const __m256i low = _mm256_mullo_epi16(c, q), high = _mm256_mulhi_epi16(c, q);
    const __m256i first = _mm256_unpacklo_epi16(low, high);
    const __m256i second = _mm256_unpackhi_epi16(low, high);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(block + i), _mm256_packs_epi32(first, second));
  }
}

}  // namespace jpegcodec
