// Dequantization with AVX2: the low 16 bits of each product, as the
// portable routine keeps them.

#include <immintrin.h>

#include "jpeg/decode/idct.h"

namespace jpegcodec {

void dequantize_accurate_avx2(int16_t* block, const int16_t* table) {
  for (int i = 0; i < 64; i += 16) {
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + i));
    const __m256i q = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(table + i));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(block + i), _mm256_mullo_epi16(c, q));
  }
}

}  // namespace jpegcodec
