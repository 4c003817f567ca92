// The block's Huffman encoding with AVX2 and BMI2: the same bits as
// encode_block_portable. Vector instructions take every coefficient's
// magnitude and value bits at once, and the mask of the non-zero ones
// straight in zig-zag order (byte shuffles of the compares); the symbols
// are then written by the same inlined code as the portable encoder's,
// each coefficient's category one bit scan of its magnitude.

#include <immintrin.h>

#include "jpeg/encode/huffman_encode.h"
#include "jpeg/encode/simd_encode.h"

namespace jpegcodec {

namespace {

// Byte shuffles that put the non-zero flags of a block, as two 16-bit
// compares packed to bytes hold them, in zig-zag order: for each half of
// the zig-zag positions (0-31, 32-63) and each 16-byte lane of the packed
// flags (copied into both halves of a register), the byte of the lane that
// each position takes, or 0x80 (none) where another lane has it.
struct ZigzagShuffles {
  alignas(32) uint8_t control[2][4][32];
};

constexpr ZigzagShuffles kZigzagShuffles = [] {
  // The packing of two registers of sixteen coefficients leaves, in lane h
  // of packed register x, the coefficients 32x + 8h .. +7 in bytes 0-7 and
  // 32x + 16 + 8h .. +7 in bytes 8-15.
  int place[64] = {};
  for (int x = 0; x < 2; ++x) {
    for (int h = 0; h < 2; ++h) {
      for (int j = 0; j < 16; ++j) {
        const int natural = 32 * x + 8 * h + (j < 8 ? j : 8 + j);
        place[natural] = 16 * (2 * x + h) + j;
      }
    }
  }
  ZigzagShuffles shuffles{};
  for (int k = 0; k < 64; ++k) {
    const int lane = place[kNaturalOfZigzag[k]] / 16;
    for (int l = 0; l < 4; ++l) {
      shuffles.control[k / 32][l][k % 32] =
          static_cast<uint8_t>(l == lane ? place[kNaturalOfZigzag[k]] % 16 : 0x80);
    }
  }
  return shuffles;
}();

// Each coefficient's magnitude and the bits that follow its code before
// they are cut to its category (the value, less one when negative), by
// natural index.
struct BlockMagnitudes {
  alignas(32) uint16_t magnitude[64];
  alignas(32) uint16_t bits[64];
  [[gnu::always_inline]] CodedValue operator()(uint32_t k) const {
    const uint32_t i = kNaturalOfZigzag[k];
    // Only positions that are not zero are asked for.
    const auto category = static_cast<uint32_t>(32 - __builtin_clz(magnitude[i]));
    return {category, _bzhi_u32(bits[i], category)};
  }
};

}  // namespace

void encode_block_avx2(EntropyWriter* writer, const int16_t* block, int16_t* dc_pred,
                       const HuffEncodeTable* dc, const HuffEncodeTable* ac) {
  BlockMagnitudes values;
  const __m256i zero = _mm256_setzero_si256();
  __m256i zeros[2];
  for (int x = 0; x < 2; ++x) {
    const int16_t* from = block + 32 * x;
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + 16));
    auto* magnitude = reinterpret_cast<__m256i*>(values.magnitude + 32 * x);
    auto* bits = reinterpret_cast<__m256i*>(values.bits + 32 * x);
    _mm256_store_si256(magnitude, _mm256_abs_epi16(a));
    _mm256_store_si256(magnitude + 1, _mm256_abs_epi16(b));
    _mm256_store_si256(bits, _mm256_add_epi16(a, _mm256_srai_epi16(a, 15)));
    _mm256_store_si256(bits + 1, _mm256_add_epi16(b, _mm256_srai_epi16(b, 15)));
    zeros[x] = _mm256_packs_epi16(_mm256_cmpeq_epi16(a, zero), _mm256_cmpeq_epi16(b, zero));
  }
  const __m256i lanes[4] = {
      _mm256_permute4x64_epi64(zeros[0], 0x44), _mm256_permute4x64_epi64(zeros[0], 0xEE),
      _mm256_permute4x64_epi64(zeros[1], 0x44), _mm256_permute4x64_epi64(zeros[1], 0xEE)};
  uint64_t zigzag_zeros = 0;
  for (int half = 0; half < 2; ++half) {
    __m256i flags = zero;
    for (int l = 0; l < 4; ++l) {
      const __m256i control =
          _mm256_load_si256(reinterpret_cast<const __m256i*>(kZigzagShuffles.control[half][l]));
      flags = _mm256_or_si256(flags, _mm256_shuffle_epi8(lanes[l], control));
    }
    zigzag_zeros |= uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(flags))} << (32 * half);
  }
  const uint64_t nonzero = ~zigzag_zeros & ~uint64_t{1};
  encode_block_symbols(writer, block[0], nonzero, dc_pred, dc, ac, values);
}

}  // namespace jpegcodec
