// The YCbCr-to-RGB MCU kernels with AVX2: the same bytes as the portable
// kernels in mcu_output.cpp, sixteen pixels at a time.
//
// The chroma terms are computed exactly as there, in 32-bit lanes, then
// narrowed to 16 bits (they lie within ±228 for samples of 0..255); each
// pixel is its luma plus the terms with 16-bit saturating arithmetic, and
// the bytes are clamped by the saturating pack, which is clamp_byte for
// every sum of a sample and a term.

#include <immintrin.h>

#include <array>

#include "jpeg/cpu/routine_table.h"
#include "jpeg/decode/output_internal.h"

namespace {

enum class Order { Rgb, Bgr, Rgba };
enum class Sampling { H1V1, H2V1, H2V2 };

// Byte shuffles that interleave three 16-byte planes into 48 bytes of
// three-channel pixels: kShuffle[k][c] picks, for output vector k, the
// bytes of plane c (others zero).
using Shuffles = std::array<std::array<std::array<int8_t, 16>, 3>, 3>;
constexpr Shuffles make_shuffles() {
  Shuffles s{};
  for (int o = 0; o < 48; ++o) {
    for (int c = 0; c < 3; ++c) s[o / 16][c][o % 16] = o % 3 == c ? static_cast<int8_t>(o / 3) : -1;
  }
  return s;
}
constexpr Shuffles kShuffle = make_shuffles();

inline __m128i shuffle_mask(int k, int c) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(kShuffle[k][c].data()));
}

// Stores `pixels` (1..16) pixels of the three planes (bytes in pixel order).
template <Order O>
inline void store_pixels(uint8_t* out, __m128i r, __m128i g, __m128i b, int pixels) {
  if constexpr (O == Order::Rgba) {
    const __m128i opaque = _mm_set1_epi8(static_cast<char>(0xFF));
    const __m128i rg_lo = _mm_unpacklo_epi8(r, g), rg_hi = _mm_unpackhi_epi8(r, g);
    const __m128i ba_lo = _mm_unpacklo_epi8(b, opaque), ba_hi = _mm_unpackhi_epi8(b, opaque);
    __m128i* o = reinterpret_cast<__m128i*>(out);
    _mm_storeu_si128(o, _mm_unpacklo_epi16(rg_lo, ba_lo));
    _mm_storeu_si128(o + 1, _mm_unpackhi_epi16(rg_lo, ba_lo));
    if (pixels > 8) {
      _mm_storeu_si128(o + 2, _mm_unpacklo_epi16(rg_hi, ba_hi));
      _mm_storeu_si128(o + 3, _mm_unpackhi_epi16(rg_hi, ba_hi));
    }
  } else {
    const __m128i first = O == Order::Rgb ? r : b;
    const __m128i last = O == Order::Rgb ? b : r;
    __m128i v[3];
    for (int k = 0; k < 3; ++k) {
      v[k] = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(first, shuffle_mask(k, 0)),
                                       _mm_shuffle_epi8(g, shuffle_mask(k, 1))),
                          _mm_shuffle_epi8(last, shuffle_mask(k, 2)));
    }
    __m128i* o = reinterpret_cast<__m128i*>(out);
    _mm_storeu_si128(o, v[0]);
    if (pixels > 8) {
      _mm_storeu_si128(o + 1, v[1]);
      _mm_storeu_si128(o + 2, v[2]);
    } else {
      _mm_storel_epi64(o + 1, v[1]);  // 24 bytes for 8 pixels
    }
  }
}

// The three chroma terms of eight chroma samples, as 16-bit values.
struct Terms {
  __m128i r, g, b;
};
inline Terms chroma_terms(const int16_t* cb, const int16_t* cr) {
  const __m256i cb32 = _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(cb)));
  const __m256i cr32 = _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(cr)));
  const __m256i r = _mm256_srai_epi32(
      _mm256_sub_epi32(_mm256_mullo_epi32(cr32, _mm256_set1_epi32(359)), _mm256_set1_epi32(45813)),
      8);
  const __m256i g = _mm256_srai_epi32(
      _mm256_sub_epi32(_mm256_add_epi32(_mm256_mullo_epi32(cb32, _mm256_set1_epi32(88)),
                                        _mm256_mullo_epi32(cr32, _mm256_set1_epi32(183))),
                       _mm256_set1_epi32(34806)),
      8);
  const __m256i b = _mm256_srai_epi32(
      _mm256_sub_epi32(_mm256_mullo_epi32(cb32, _mm256_set1_epi32(454)), _mm256_set1_epi32(57937)),
      8);
  auto narrow = [](__m256i x) {
    return _mm_packs_epi32(_mm256_castsi256_si128(x), _mm256_extracti128_si256(x, 1));
  };
  return {narrow(r), narrow(g), narrow(b)};
}

// One row of `n` (8 or 16) pixels from luma `y` (16-bit, two halves of
// eight) and terms already spread to one per pixel.
template <Order O>
inline void convert_row(const int16_t* y_left, const int16_t* y_right, __m256i tr, __m256i tg,
                        __m256i tb, uint8_t* out, int n) {
  const __m128i yl = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y_left));
  const __m128i yr =
      n > 8 ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(y_right)) : _mm_setzero_si128();
  const __m256i y = _mm256_set_m128i(yr, yl);
  const __m256i r = _mm256_adds_epi16(y, tr);
  const __m256i g = _mm256_subs_epi16(y, tg);
  const __m256i b = _mm256_adds_epi16(y, tb);
  auto bytes = [](__m256i x) {
    return _mm_packus_epi16(_mm256_castsi256_si128(x), _mm256_extracti128_si256(x, 1));
  };
  store_pixels<O>(out, bytes(r), bytes(g), bytes(b), n);
}

template <Order O, Sampling S>
void kernel(const int16_t* y, const int16_t* cb, const int16_t* cr, uint8_t* out, int32_t stride) {
  for (int cy = 0; cy < 8; ++cy) {
    const Terms t = chroma_terms(cb + 8 * cy, cr + 8 * cy);
    if constexpr (S == Sampling::H1V1) {
      const __m256i tr = _mm256_castsi128_si256(t.r), tg = _mm256_castsi128_si256(t.g),
                    tb = _mm256_castsi128_si256(t.b);
      convert_row<O>(y + 8 * cy, nullptr, tr, tg, tb, out + static_cast<intptr_t>(cy) * stride, 8);
    } else {
      // Each chroma sample serves two pixels across.
      auto spread = [](__m128i x) {
        return _mm256_set_m128i(_mm_unpackhi_epi16(x, x), _mm_unpacklo_epi16(x, x));
      };
      const __m256i tr = spread(t.r), tg = spread(t.g), tb = spread(t.b);
      constexpr int kRows = S == Sampling::H2V2 ? 2 : 1;
      for (int half = 0; half < kRows; ++half) {
        const int py = kRows * cy + half;
        const int16_t* left = y + 64 * ((py >> 3) * 2) + 8 * (py & 7);
        convert_row<O>(left, left + 64, tr, tg, tb, out + static_cast<intptr_t>(py) * stride, 16);
      }
    }
  }
}

}  // namespace

void install_output_kernels_avx2(RoutineTable* t) {
  t->out_ycc_rgb = kernel<Order::Rgb, Sampling::H1V1>;
  t->out_ycc422_rgb = kernel<Order::Rgb, Sampling::H2V1>;
  t->out_ycc420_rgb = kernel<Order::Rgb, Sampling::H2V2>;
  t->out_ycc_bgr = kernel<Order::Bgr, Sampling::H1V1>;
  t->out_ycc422_bgr = kernel<Order::Bgr, Sampling::H2V1>;
  t->out_ycc420_bgr = kernel<Order::Bgr, Sampling::H2V2>;
  t->out_ycc_rgba = kernel<Order::Rgba, Sampling::H1V1>;
  t->out_ycc422_rgba = kernel<Order::Rgba, Sampling::H2V1>;
  t->out_ycc420_rgba = kernel<Order::Rgba, Sampling::H2V2>;
}
