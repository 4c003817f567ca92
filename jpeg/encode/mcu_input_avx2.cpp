// RGB, BGR and four-byte RGB MCUs to YCbCr blocks with AVX2: the same
// values as the portable kernels (mcu_input.cpp), sixteen pixels a line at
// once. The products go through _mm256_madd_epi16 with the 15-bit
// constants, whose sums stay inside 32 bits as the portable ones do.

#include <immintrin.h>

#include "jpeg/cpu/routine_table.h"
#include "jpeg/encode/mcu_input.h"
#include "jpeg/encode/simd_encode.h"

namespace jpegcodec {

namespace {

// The shuffles that take byte `channel` of each of sixteen 3-byte pixels
// from the three 16-byte pieces of their line (bytes 0-15, 16-31, 32-47):
// [channel][piece], -1 where the piece has no byte for a lane.
struct Gathers {
  alignas(16) int8_t index[3][3][16];
};
constexpr Gathers kGathers = [] {
  Gathers g{};
  for (int channel = 0; channel < 3; ++channel) {
    for (int i = 0; i < 16; ++i) {
      const int at = 3 * i + channel;
      for (int piece = 0; piece < 3; ++piece) {
        const int local = at - 16 * piece;
        g.index[channel][piece][i] = static_cast<int8_t>(local >= 0 && local < 16 ? local : -1);
      }
    }
  }
  return g;
}();

inline __m128i gather(__m128i a, __m128i b, __m128i c, int channel) {
  const auto& index = kGathers.index[channel];
  auto mask = [&](int piece) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(index[piece]));
  };
  return _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(a, mask(0)), _mm_shuffle_epi8(b, mask(1))),
                      _mm_shuffle_epi8(c, mask(2)));
}

// Red, green and blue of eight or sixteen pixels as 16-bit lanes (eight
// pixels fill the low half). Reads exactly the pixels' bytes.
struct Rgb {
  __m256i r, g, b;
};
template <int kBytes, int kR, int kG, int kB, int kCount>
inline Rgb load_pixels(const uint8_t* px) {
  static_assert(kBytes == 3 || kBytes == 4);
  __m128i red, green, blue;
  if constexpr (kBytes == 4) {
    // Four bytes a pixel: 32-bit lanes, each channel masked out.
    const __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(px));
    const __m256i second = kCount == 16
                               ? _mm256_loadu_si256(reinterpret_cast<const __m256i*>(px + 32))
                               : _mm256_setzero_si256();
    auto channel = [&](int offset) {
      const __m256i byte = _mm256_set1_epi32(0xFF);
      const __m256i lo = _mm256_and_si256(_mm256_srli_epi32(first, 8 * offset), byte);
      const __m256i hi = _mm256_and_si256(_mm256_srli_epi32(second, 8 * offset), byte);
      // packs works within 128-bit halves: put the eight values back in order.
      return _mm256_permute4x64_epi64(_mm256_packus_epi32(lo, hi), 0xD8);
    };
    return Rgb{channel(kR), channel(kG), channel(kB)};
  } else {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(px));
    const __m128i b = kCount == 16 ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(px + 16))
                                   : _mm_loadl_epi64(reinterpret_cast<const __m128i*>(px + 16));
    const __m128i c = kCount == 16 ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(px + 32))
                                   : _mm_setzero_si128();
    red = gather(a, b, c, kR);
    green = gather(a, b, c, kG);
    blue = gather(a, b, c, kB);
    return Rgb{_mm256_cvtepu8_epi16(red), _mm256_cvtepu8_epi16(green), _mm256_cvtepu8_epi16(blue)};
  }
}

inline __m256i pair(int16_t k0, int16_t k1) {
  return _mm256_set1_epi32(static_cast<int32_t>(
      static_cast<uint32_t>(static_cast<uint16_t>(k1)) << 16 | static_cast<uint16_t>(k0)));
}

// k_r·R + k_g·G + k_b·B + offset, >> 15, for sixteen 16-bit lanes.
inline __m256i combine(const Rgb& p, __m256i rg, int16_t kb, int32_t offset) {
  const __m256i b_one = pair(kb, 0);
  const __m256i add = _mm256_set1_epi32(offset);
  const __m256i low =
      _mm256_add_epi32(_mm256_add_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi16(p.r, p.g), rg),
                                        _mm256_madd_epi16(_mm256_unpacklo_epi16(p.b, p.b), b_one)),
                       add);
  const __m256i high =
      _mm256_add_epi32(_mm256_add_epi32(_mm256_madd_epi16(_mm256_unpackhi_epi16(p.r, p.g), rg),
                                        _mm256_madd_epi16(_mm256_unpackhi_epi16(p.b, p.b), b_one)),
                       add);
  return _mm256_packs_epi32(_mm256_srai_epi32(low, 15), _mm256_srai_epi32(high, 15));
}

inline void store8(int16_t* out, __m128i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
}

template <int kBytes, int kR, int kG, int kB, int kMaxH, int kMaxV>
void rgb_to_ycc(const McuSource* s, int16_t* blocks) {
  constexpr int kWidth = 8 * kMaxH, kHeight = 8 * kMaxV;
  int16_t* const luma = blocks;
  int16_t* const cb = blocks + 64 * kMaxH * kMaxV;
  int16_t* const cr = cb + 64;
  const __m256i y_rg = pair(9798, 19235), cb_rg = pair(-5529, -10855), cr_rg = pair(16384, -13720);
  const __m256i level = _mm256_set1_epi16(128);
  // Chroma sums of the line pair (4:2:0) or line (4:2:2), kept between lines.
  __m256i cb_sum = _mm256_setzero_si256(), cr_sum = _mm256_setzero_si256();
  for (int y = 0; y < kHeight; ++y) {
    const uint8_t* px = s->pixels + static_cast<intptr_t>(y) * s->stride;
    const Rgb p = load_pixels<kBytes, kR, kG, kB, kWidth>(px);
    const __m256i luma_line = _mm256_sub_epi16(combine(p, y_rg, 3735, 16384), level);
    const __m256i cb_line = combine(p, cb_rg, 16384, kChromaOffset);
    const __m256i cr_line = combine(p, cr_rg, -2664, kChromaOffset);
    // Luma: the left block's line, then the right one's.
    int16_t* luma_block = luma + 64 * ((y / 8) * kMaxH) + 8 * (y % 8);
    store8(luma_block, _mm256_castsi256_si128(luma_line));
    if (kMaxH == 2) store8(luma_block + 64, _mm256_extracti128_si256(luma_line, 1));
    if (kMaxH == 1) {
      store8(cb + 8 * y, _mm256_castsi256_si128(_mm256_sub_epi16(cb_line, level)));
      store8(cr + 8 * y, _mm256_castsi256_si128(_mm256_sub_epi16(cr_line, level)));
      continue;
    }
    // Across: each pair of samples summed (madd by ones keeps them in order).
    const __m256i ones = _mm256_set1_epi16(1);
    cb_sum = _mm256_add_epi32(cb_sum, _mm256_madd_epi16(cb_line, ones));
    cr_sum = _mm256_add_epi32(cr_sum, _mm256_madd_epi16(cr_line, ones));
    if (kMaxV == 2 && (y & 1) == 0) continue;
    // Rounded half up and half down by turns along the line; the mean, less 128.
    constexpr int kShift = kMaxV == 2 ? 2 : 1;
    const __m256i bias = kMaxV == 2 ? _mm256_setr_epi32(1, 2, 1, 2, 1, 2, 1, 2)
                                    : _mm256_setr_epi32(0, 1, 0, 1, 0, 1, 0, 1);
    auto finish = [&](__m256i sum) {
      const __m256i mean = _mm256_srai_epi32(_mm256_add_epi32(sum, bias), kShift);
      const __m256i packed = _mm256_packs_epi32(mean, mean);  // per half: 4 values twice
      const __m128i line =
          _mm_unpacklo_epi64(_mm256_castsi256_si128(packed), _mm256_extracti128_si256(packed, 1));
      return _mm_sub_epi16(line, _mm_set1_epi16(128));
    };
    const int row = kMaxV == 2 ? y / 2 : y;
    store8(cb + 8 * row, finish(cb_sum));
    store8(cr + 8 * row, finish(cr_sum));
    cb_sum = cr_sum = _mm256_setzero_si256();
  }
}

}  // namespace

void install_mcu_input_avx2(RoutineTable* t) {
  t->enc_input[1] = rgb_to_ycc<3, 0, 1, 2, 1, 1>;
  t->enc_input[2] = rgb_to_ycc<3, 0, 1, 2, 2, 1>;
  t->enc_input[3] = rgb_to_ycc<3, 0, 1, 2, 2, 2>;
  t->enc_input[4] = rgb_to_ycc<3, 2, 1, 0, 1, 1>;
  t->enc_input[5] = rgb_to_ycc<3, 2, 1, 0, 2, 1>;
  t->enc_input[6] = rgb_to_ycc<3, 2, 1, 0, 2, 2>;
  t->enc_input[7] = rgb_to_ycc<4, 0, 1, 2, 1, 1>;
  t->enc_input[8] = rgb_to_ycc<4, 0, 1, 2, 2, 1>;
  t->enc_input[9] = rgb_to_ycc<4, 0, 1, 2, 2, 2>;
}

}  // namespace jpegcodec
