// The block's Huffman encoding with AVX2 and BMI2: the same bits as
// encode_block_portable. The non-zero coefficients are found with vector
// compares, in natural order, and their mask turned into zig-zag order a
// row at a time through tables; the run from one to the next is the
// distance between set bits.

#include <immintrin.h>

#include "jpeg/decode/huffman.h"
#include "jpeg/encode/huffman_encode.h"
#include "jpeg/encode/simd_encode.h"

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
  EntropyWriter w = *writer;
  auto put = [&w](const HuffEncodeTable* t, int symbol, uint32_t bits, int bit_count) {
    put_bits(w, static_cast<uint32_t>(t->code[symbol]) << bit_count | bits,
             t->length[symbol] + bit_count);
  };
  const int32_t diff = int32_t{block[0]} - *dc_pred;
  *dc_pred = block[0];
  const int dc_category = magnitude_category(diff);
  put(dc, dc_category, magnitude_bits(diff, dc_category), dc_category);
  const uint64_t natural = nonzero_natural(block) & ~uint64_t{1};
  uint64_t nonzero = 0;
  for (int row = 0; row < 8; ++row) nonzero |= kZigzagRowMasks[row][(natural >> (8 * row)) & 0xFF];
  int last = 0;
  while (nonzero != 0) {
    const int k = static_cast<int>(_tzcnt_u64(nonzero));
    nonzero = _blsr_u64(nonzero);
    int run = k - last - 1;
    for (; run > 15; run -= 16) put(ac, 0xF0, 0, 0);  // sixteen zeros (ZRL)
    const int32_t value = block[natural_order[k]];
    const int category = magnitude_category(value);
    put(ac, (run << 4) | category, magnitude_bits(value, category), category);
    last = k;
  }
  if (last != 63) put(ac, 0x00, 0, 0);  // end of block
  *writer = w;
}
