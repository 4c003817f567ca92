// The block's Huffman encoding with AVX2 and BMI2: the same bits as
// encode_block_portable. The non-zero coefficients are found with vector
// compares, in natural order, and their mask turned into zig-zag order a
// row at a time through tables; the symbols are written by the same
// inlined code (compiled here with BMI's bit instructions).

#include <immintrin.h>

#include "jpeg/encode/huffman_encode.h"
#include "jpeg/encode/simd_encode.h"
#include "jpeg/stream/coding_tables.h"

namespace jpegcodec {

namespace {

// The block's non-zero coefficients as mask bits, natural order.
inline uint64_t nonzero_natural(const int16_t* block) {
  const __m256i zero = _mm256_setzero_si256();
  auto half = [&](const int16_t* from) {
    const __m256i a =
        _mm256_cmpeq_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(from)), zero);
    const __m256i b =
        _mm256_cmpeq_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + 16)), zero);
    // Bytes in the 128-bit halves' order, put back in order.
    const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packs_epi16(a, b), 0xD8);
    return static_cast<uint32_t>(_mm256_movemask_epi8(bytes));
  };
  const uint64_t zeros = half(block) | uint64_t{half(block + 32)} << 32;
  return ~zeros;
}

}  // namespace

void encode_block_avx2(EntropyWriter* writer, const int16_t* block, int16_t* dc_pred,
                       const HuffEncodeTable* dc, const HuffEncodeTable* ac) {
  const uint64_t natural = nonzero_natural(block) & ~uint64_t{1};
  encode_block_symbols(writer, block, zigzag_mask(natural), dc_pred, dc, ac);
}

}  // namespace jpegcodec
