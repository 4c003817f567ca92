// The YCbCr-to-RGB MCU kernels with AVX2: the same bytes as the portable
// kernels in mcu_output.cpp, sixteen pixels at a time.
//
// The chroma terms are computed exactly as there, as pairs of 16-bit
// values multiplied and summed into 32-bit lanes, then narrowed to 16 bits
// (they lie within ±228 for samples of 0..255); each
// pixel is its luma plus the terms with 16-bit saturating arithmetic, and
// the bytes are clamped by the saturating pack, which is clamp_byte for
// every sum of a sample and a term.

#include <immintrin.h>

#include <array>
#include <cstring>

#include "jpeg/cpu/routine_table.h"
#include "jpeg/decode/output_internal.h"

namespace jpegcodec {

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

// Two 16-bit constants for _mm256_madd_epi16 over pairs (x, y): x k0 + y k1.
inline __m256i pair_constant(int16_t k0, int16_t k1) {
  return _mm256_set1_epi32(static_cast<int32_t>(
      static_cast<uint32_t>(static_cast<uint16_t>(k1)) << 16 | static_cast<uint16_t>(k0)));
}

// (a k0 + b k1) >> 8 for sixteen pairs of samples, as 16-bit values in the
// samples' order (unpacking and packing within each 128-bit half cancel).
inline __m256i weighted(__m256i a, __m256i b, int16_t k0, int16_t k1, int32_t offset) {
  const __m256i k = pair_constant(k0, k1), add = _mm256_set1_epi32(offset);
  const __m256i low = _mm256_madd_epi16(_mm256_unpacklo_epi16(a, b), k);
  const __m256i high = _mm256_madd_epi16(_mm256_unpackhi_epi16(a, b), k);
  return _mm256_packs_epi32(_mm256_srai_epi32(_mm256_add_epi32(low, add), 8),
                            _mm256_srai_epi32(_mm256_add_epi32(high, add), 8));
}

// Two rows of eight pixels: bytes 0-7 of r, g, b are the first row's, bytes
// 8-15 the second's. Three-channel layouts interleave both rows at once,
// one in each half of a register.
template <Order O>
inline void store_two_rows(uint8_t* first, uint8_t* second, __m128i r, __m128i g, __m128i b) {
  if constexpr (O == Order::Rgba) {
    store_pixels<O>(first, r, g, b, 8);
    store_pixels<O>(second, _mm_srli_si128(r, 8), _mm_srli_si128(g, 8), _mm_srli_si128(b, 8), 8);
  } else {
    auto rows = [](__m128i x) { return _mm256_set_m128i(_mm_srli_si128(x, 8), x); };
    const __m256i lead = rows(O == Order::Rgb ? r : b), mid = rows(g);
    const __m256i tail = rows(O == Order::Rgb ? b : r);
    auto mask = [](int k, int c) { return _mm256_broadcastsi128_si256(shuffle_mask(k, c)); };
    __m256i v[2];
    for (int k = 0; k < 2; ++k) {
      v[k] = _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(lead, mask(k, 0)),
                                             _mm256_shuffle_epi8(mid, mask(k, 1))),
                             _mm256_shuffle_epi8(tail, mask(k, 2)));
    }
    // 24 bytes a row: the first half's sixteen and eight of the second.
    _mm_storeu_si128(reinterpret_cast<__m128i*>(first), _mm256_castsi256_si128(v[0]));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(first + 16), _mm256_castsi256_si128(v[1]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(second), _mm256_extracti128_si256(v[0], 1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(second + 16), _mm256_extracti128_si256(v[1], 1));
  }
}

// The three chroma terms of sixteen chroma samples (two rows of a block),
// as 16-bit values. The products and sums are the portable kernels' own,
// exact in 32 bits: 359 cr - 45813 is taken as the pair (cr, 3) by
// (359, -15271), 454 cb - 57984 as (cb, 12) by (454, -4832).
struct Terms {
  __m256i r, g, b;
};
// Green is Y + ((34806 - s) >> 8), that is Y - ((s - 34806 + 255) >> 8).
inline Terms chroma_terms_of(__m256i cb16, __m256i cr16) {
  return {weighted(cr16, _mm256_set1_epi16(3), 359, -15271, 0),
          weighted(cb16, cr16, 88, 183, -34806 + 255),
          weighted(cb16, _mm256_set1_epi16(12), 454, -4832, 0)};
}
inline Terms chroma_terms(const int16_t* cb, const int16_t* cr) {
  return chroma_terms_of(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(cb)),
                         _mm256_loadu_si256(reinterpret_cast<const __m256i*>(cr)));
}

// Sixteen pixels' bytes of luma `y` plus the terms, saturated as the
// portable kernels clamp: lanes 0-7 and 8-15 of each result.
struct Bytes {
  __m128i r, g, b;
};
inline Bytes pixel_bytes(__m256i y, __m256i tr, __m256i tg, __m256i tb) {
  auto bytes = [](__m256i x) {
    return _mm_packus_epi16(_mm256_castsi256_si128(x), _mm256_extracti128_si256(x, 1));
  };
  return {bytes(_mm256_adds_epi16(y, tr)), bytes(_mm256_subs_epi16(y, tg)),
          bytes(_mm256_adds_epi16(y, tb))};
}

// Rows cy and cy + 1 of an 8 x 8 block of pixels, one chroma sample each.
template <Order O>
inline void two_rows_h1v1(const int16_t* y, const int16_t* cb, const int16_t* cr, uint8_t* out,
                          int32_t stride, int cy) {
  // Chroma rows cy and cy + 1: their terms in the low and high halves.
  const Terms t = chroma_terms(cb + 8 * cy, cr + 8 * cy);
  const Bytes p =
      pixel_bytes(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(y + 8 * cy)), t.r, t.g, t.b);
  store_two_rows<O>(out + static_cast<intptr_t>(cy) * stride,
                    out + static_cast<intptr_t>(cy + 1) * stride, p.r, p.g, p.b);
}

template <Order O, Sampling S>
void kernel(const int16_t* y, const int16_t* cb, const int16_t* cr, uint8_t* out, int32_t stride) {
  for (int cy = 0; cy < 8; cy += 2) {
    if constexpr (S == Sampling::H1V1) {
      two_rows_h1v1<O>(y, cb, cr, out, stride, cy);
    } else {
      // Chroma rows cy and cy + 1: their terms in the low and high halves.
      const Terms t = chroma_terms(cb + 8 * cy, cr + 8 * cy);
      // Each chroma sample serves two pixels across.
      auto spread = [](__m128i x) {
        return _mm256_set_m128i(_mm_unpackhi_epi16(x, x), _mm_unpacklo_epi16(x, x));
      };
      for (int row = 0; row < 2; ++row) {
        const __m256i tr =
            spread(row == 0 ? _mm256_castsi256_si128(t.r) : _mm256_extracti128_si256(t.r, 1));
        const __m256i tg =
            spread(row == 0 ? _mm256_castsi256_si128(t.g) : _mm256_extracti128_si256(t.g, 1));
        const __m256i tb =
            spread(row == 0 ? _mm256_castsi256_si128(t.b) : _mm256_extracti128_si256(t.b, 1));
        constexpr int kRows = S == Sampling::H2V2 ? 2 : 1;
        for (int half = 0; half < kRows; ++half) {
          const int py = kRows * (cy + row) + half;
          const int16_t* left = y + 64 * ((py >> 3) * 2) + 8 * (py & 7);
          const __m256i luma =
              _mm256_set_m128i(_mm_loadu_si128(reinterpret_cast<const __m128i*>(left + 64)),
                               _mm_loadu_si128(reinterpret_cast<const __m128i*>(left)));
          const Bytes p = pixel_bytes(luma, tr, tg, tb);
          store_pixels<O>(out + static_cast<intptr_t>(py) * stride, p.r, p.g, p.b, 16);
        }
      }
    }
  }
}

// Luma of h x v blocks with chroma of one (h 1 and v even: 4:4:0, 1x4; h 4:
// 4:1:1, 4x2, 4x4), a chroma row at a time: its eight samples' terms serve
// the v luma rows under it, each sample h pixels across. The bytes of the
// portable one-pass kernel.
template <Order O, int h, int v>
void any_sampling(const int16_t* y, const int16_t* cb, const int16_t* cr, uint8_t* out,
                  int32_t stride) {
  for (int cy = 0; cy < 8; ++cy) {
    auto row_of = [cy](const int16_t* c) {
      return _mm256_broadcastsi128_si256(
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(c + 8 * cy)));
    };
    const Terms t = chroma_terms_of(row_of(cb), row_of(cr));
    if constexpr (h == 1) {
      // Two luma rows at once, one in each half, over the same chroma row.
      for (int half = 0; half < v; half += 2) {
        const int py = v * cy + half;
        const int16_t* rows = y + 64 * (py >> 3) + 8 * (py & 7);
        const Bytes p =
            pixel_bytes(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows)), t.r, t.g, t.b);
        store_two_rows<O>(out + static_cast<intptr_t>(py) * stride,
                          out + static_cast<intptr_t>(py + 1) * stride, p.r, p.g, p.b);
      }
    } else {
      // Each term four times across: pixels 0-15 and 16-31 of the row.
      auto spread = [](__m256i x, bool second) {
        const __m128i eight = _mm256_castsi256_si128(x);
        const __m128i two =
            second ? _mm_unpackhi_epi16(eight, eight) : _mm_unpacklo_epi16(eight, eight);
        return _mm256_set_m128i(_mm_unpackhi_epi16(two, two), _mm_unpacklo_epi16(two, two));
      };
      const __m256i r0 = spread(t.r, false), r1 = spread(t.r, true);
      const __m256i g0 = spread(t.g, false), g1 = spread(t.g, true);
      const __m256i b0 = spread(t.b, false), b1 = spread(t.b, true);
      for (int half = 0; half < v; ++half) {
        const int py = v * cy + half;
        const int16_t* base = y + 64 * ((py >> 3) * 4) + 8 * (py & 7);
        auto load = [base](int block) {
          return _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + 64 * block));
        };
        uint8_t* o = out + static_cast<intptr_t>(py) * stride;
        const Bytes a = pixel_bytes(_mm256_set_m128i(load(1), load(0)), r0, g0, b0);
        store_pixels<O>(o, a.r, a.g, a.b, 16);
        const Bytes b = pixel_bytes(_mm256_set_m128i(load(3), load(2)), r1, g1, b1);
        store_pixels<O>(o + 16 * (O == Order::Rgba ? 4 : 3), b.r, b.g, b.b, 16);
      }
    }
  }
}

// The same at 1/2: blocks of 4 x 4 samples (row stride 8), luma h x v of
// them (h 1 or 4) and one chroma block. Four luma samples of four blocks
// across (h 4), or of four rows of one block (h 1), make sixteen lanes.
inline __m256i four_quarters(const int16_t* a, const int16_t* b, const int16_t* c,
                             const int16_t* d) {
  auto quarter = [](const int16_t* x) {
    return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(x));
  };
  return _mm256_set_m128i(_mm_unpacklo_epi64(quarter(c), quarter(d)),
                          _mm_unpacklo_epi64(quarter(a), quarter(b)));
}

template <Order O, int h, int v>
void any_sampling_half(const int16_t* y, const int16_t* cb, const int16_t* cr, uint8_t* out,
                       int32_t stride) {
  constexpr int kBytes = O == Order::Rgba ? 4 : 3;
  if constexpr (h == 4) {
    for (int cy = 0; cy < 4; ++cy) {
      // The terms of the row's four chroma samples, each four times across.
      const Terms t =
          chroma_terms_of(_mm256_broadcastsi128_si256(
                              _mm_loadu_si128(reinterpret_cast<const __m128i*>(cb + 8 * cy))),
                          _mm256_broadcastsi128_si256(
                              _mm_loadu_si128(reinterpret_cast<const __m128i*>(cr + 8 * cy))));
      auto spread = [](__m256i x) {
        const __m128i two =
            _mm_unpacklo_epi16(_mm256_castsi256_si128(x), _mm256_castsi256_si128(x));
        return _mm256_set_m128i(_mm_unpackhi_epi32(two, two), _mm_unpacklo_epi32(two, two));
      };
      const __m256i tr = spread(t.r), tg = spread(t.g), tb = spread(t.b);
      for (int half = 0; half < v; ++half) {
        const int py = v * cy + half;
        const int16_t* base = y + 64 * ((py >> 2) * 4) + 8 * (py & 3);
        const Bytes p =
            pixel_bytes(four_quarters(base, base + 64, base + 128, base + 192), tr, tg, tb);
        store_pixels<O>(out + static_cast<intptr_t>(py) * stride, p.r, p.g, p.b, 16);
      }
    }
  } else {
    // Four rows of four pixels at a time; rows py of luma block py / 4 and
    // chroma row py / v.
    for (int py = 0; py < 4 * v; py += 4) {
      const int16_t* luma = y + 64 * (py >> 2);
      auto rows = [py](const int16_t* c) {
        return four_quarters(c + 8 * (py / v), c + 8 * ((py + 1) / v), c + 8 * ((py + 2) / v),
                             c + 8 * ((py + 3) / v));
      };
      const Terms t = chroma_terms_of(rows(cb), rows(cr));
      const Bytes p =
          pixel_bytes(four_quarters(luma, luma + 8, luma + 16, luma + 24), t.r, t.g, t.b);
      alignas(16) uint8_t pixels[16 * 4];
      store_pixels<O>(pixels, p.r, p.g, p.b, 16);
      for (int r = 0; r < 4; ++r) {
        memcpy(out + static_cast<intptr_t>(py + r) * stride, pixels + 4 * kBytes * r, 4 * kBytes);
      }
    }
  }
}

// The kernel for luma h x v at full size, or at 1/2 with kHalf; null for
// samplings without one.
template <Order O, bool kHalf>
AnySamplingFn any_sampling_for(int h, int v) {
  auto pick = []<int kH, int kV>() -> AnySamplingFn {
    if constexpr (kHalf) {
      return any_sampling_half<O, kH, kV>;
    } else {
      return any_sampling<O, kH, kV>;
    }
  };
  if (h == 1 && v == 2) return pick.template operator()<1, 2>();
  if (h == 1 && v == 4) return pick.template operator()<1, 4>();
  if (h == 4 && v == 1) return pick.template operator()<4, 1>();
  if (h == 4 && v == 2) return pick.template operator()<4, 2>();
  if (h == 4 && v == 3) return pick.template operator()<4, 3>();
  if (h == 4 && v == 4) return pick.template operator()<4, 4>();
  return nullptr;
}

}  // namespace

// Grey samples to bytes, two rows a load (the transform stores two rows
// at once, and a load of the same width takes them straight from there).
void out_gray_avx2(const int16_t* y, uint8_t* out, int32_t stride) {
  for (int row = 0; row < 8; row += 2) {
    const __m256i two = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(y + 8 * row));
    const __m128i bytes =
        _mm_packus_epi16(_mm256_castsi256_si128(two), _mm256_extracti128_si256(two, 1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + static_cast<intptr_t>(row) * stride), bytes);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + static_cast<intptr_t>(row + 1) * stride),
                     _mm_srli_si128(bytes, 8));
  }
}

// Grey bytes spread to three equal channels (and 255 as a fourth): sixteen
// pixels of one 16-byte load at a time.
int32_t grey_spread_avx2(const int16_t* first, int32_t room, int32_t count, int side, int channels,
                         uint8_t* out) {
  const int per = 16 / side;  // blocks a load of sixteen samples takes
  auto at = [first, room](int32_t m) { return first + int64_t{room} * m; };
  int32_t m = 0;
  for (; m + per <= count; m += per) {
    __m128i grey;
    if (side == 8) {
      grey = _mm_packus_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at(m))),
                              _mm_loadu_si128(reinterpret_cast<const __m128i*>(at(m + 1))));
    } else {
      auto four = [&](int32_t k) {
        return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(at(k)));
      };
      grey = _mm_packus_epi16(_mm_unpacklo_epi64(four(m), four(m + 1)),
                              _mm_unpacklo_epi64(four(m + 2), four(m + 3)));
    }
    if (channels == 3) {
      // The three planes all grey: the colour kernels' interleaving
      // shuffles, each byte's index that of its own plane (the others'
      // are all ones there).
      __m128i* o = reinterpret_cast<__m128i*>(out);
      for (int k = 0; k < 3; ++k) {
        const __m128i picks = _mm_and_si128(_mm_and_si128(shuffle_mask(k, 0), shuffle_mask(k, 1)),
                                            shuffle_mask(k, 2));
        _mm_storeu_si128(o + k, _mm_shuffle_epi8(grey, picks));
      }
      out += 48;
    } else {
      store_pixels<Order::Rgba>(out, grey, grey, grey, 16);
      out += 64;
    }
  }
  return m;
}

void out_ycc_rgb_avx2(const int16_t* y, const int16_t* cb, const int16_t* cr, uint8_t* out,
                      int32_t stride) {
  kernel<Order::Rgb, Sampling::H1V1>(y, cb, cr, out, stride);
}

void scaled_ycc_rgb_avx2(const int16_t* y, const int16_t* cb, const int16_t* cr, uint8_t* out,
                         int32_t stride, int32_t rows) {
  for (int cy = 0; cy < rows; cy += 2) two_rows_h1v1<Order::Rgb>(y, cb, cr, out, stride, cy);
}
void scaled_ycc_bgr_avx2(const int16_t* y, const int16_t* cb, const int16_t* cr, uint8_t* out,
                         int32_t stride, int32_t rows) {
  for (int cy = 0; cy < rows; cy += 2) two_rows_h1v1<Order::Bgr>(y, cb, cr, out, stride, cy);
}

namespace {

template <Order O>
void ycc_row(const int16_t* y, const int16_t* cb, const int16_t* cr, uint8_t* out, int32_t pixels) {
  auto convert = [](const int16_t* yy, const int16_t* b, const int16_t* r) {
    const Terms t = chroma_terms(b, r);
    return pixel_bytes(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(yy)), t.r, t.g, t.b);
  };
  int32_t x = 0;
  for (; x + 16 <= pixels; x += 16) {
    const Bytes p = convert(y + x, cb + x, cr + x);
    store_pixels<O>(out + 3 * x, p.r, p.g, p.b, 16);
  }
  if (x == pixels) return;
  if (pixels >= 16) {
    // The last sixteen pixels again, ending at the row's end.
    x = pixels - 16;
    const Bytes p = convert(y + x, cb + x, cr + x);
    store_pixels<O>(out + 3 * x, p.r, p.g, p.b, 16);
    return;
  }
  // A short row through a buffer: nothing past it is read or written.
  alignas(32) int16_t yy[16] = {}, b[16] = {}, r[16] = {};
  for (int32_t i = 0; i < pixels; ++i) {
    yy[i] = y[i];
    b[i] = cb[i];
    r[i] = cr[i];
  }
  uint8_t bytes[48];
  const Bytes p = convert(yy, b, r);
  store_pixels<O>(bytes, p.r, p.g, p.b, 16);
  for (int32_t i = 0; i < 3 * pixels; ++i) out[i] = bytes[i];
}

}  // namespace

void ycc_row_rgb_avx2(const int16_t* y, const int16_t* cb, const int16_t* cr, uint8_t* out,
                      int32_t pixels) {
  ycc_row<Order::Rgb>(y, cb, cr, out, pixels);
}
void ycc_row_bgr_avx2(const int16_t* y, const int16_t* cb, const int16_t* cr, uint8_t* out,
                      int32_t pixels) {
  ycc_row<Order::Bgr>(y, cb, cr, out, pixels);
}

void install_output_kernels_avx2(RoutineTable* t) {
  t->out_gray = out_gray_avx2;
  t->out_ycc_rgb = out_ycc_rgb_avx2;
  t->out_ycc422_rgb = kernel<Order::Rgb, Sampling::H2V1>;
  t->out_ycc420_rgb = kernel<Order::Rgb, Sampling::H2V2>;
  t->out_ycc_bgr = kernel<Order::Bgr, Sampling::H1V1>;
  t->out_ycc422_bgr = kernel<Order::Bgr, Sampling::H2V1>;
  t->out_ycc420_bgr = kernel<Order::Bgr, Sampling::H2V2>;
  t->out_ycc_rgba = kernel<Order::Rgba, Sampling::H1V1>;
  t->out_ycc422_rgba = kernel<Order::Rgba, Sampling::H2V1>;
  t->out_ycc420_rgba = kernel<Order::Rgba, Sampling::H2V2>;
}

AnySamplingFn any_sampling_avx2(int bytes, bool bgr, int h, int v) {
  if (bytes == 4) return any_sampling_for<Order::Rgba, false>(h, v);
  return bgr ? any_sampling_for<Order::Bgr, false>(h, v)
             : any_sampling_for<Order::Rgb, false>(h, v);
}

AnySamplingFn any_sampling_half_avx2(int bytes, bool bgr, int h, int v) {
  if (bytes == 4) return any_sampling_for<Order::Rgba, true>(h, v);
  return bgr ? any_sampling_for<Order::Bgr, true>(h, v) : any_sampling_for<Order::Rgb, true>(h, v);
}

}  // namespace jpegcodec
