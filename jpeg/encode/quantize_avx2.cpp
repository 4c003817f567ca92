// The quantizers with AVX2: (value × table + 16384) >> 15 is what
// _mm256_mulhrs_epi16 computes for a table entry below 2^15, sixteen values
// at once. The accurate family's table is unsigned; one with an entry from
// 2^15 on (only a quantization value of 1 at the fast family's scale comes
// near) goes to the portable routine.

#include <immintrin.h>

#include "jpeg/encode/quantize.h"
#include "jpeg/encode/simd_encode.h"

namespace jpegcodec {

namespace {

inline void quantize_with_mulhrs(int16_t* block, const uint16_t* table) {
  for (int i = 0; i < 64; i += 16) {
    const __m256i values = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + i));
    const __m256i factors = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(table + i));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(block + i),
                        _mm256_mulhrs_epi16(values, factors));
  }
}

}  // namespace

void quantize_fast_avx2(int16_t* block, const uint16_t* table) {
  // The fast family's table is read as signed 16-bit values, as mulhrs reads it.
  quantize_with_mulhrs(block, table);
}

void quantize_accurate_avx2(int16_t* block, const uint16_t* table) {
  __m256i high = _mm256_setzero_si256();
  for (int i = 0; i < 64; i += 16) {
    high = _mm256_or_si256(high, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(table + i)));
  }
  if (_mm256_movemask_epi8(high) & 0xAAAAAAAA) {
    quantize_accurate_portable(block, table);
    return;
  }
  quantize_with_mulhrs(block, table);
}

}  // namespace jpegcodec
