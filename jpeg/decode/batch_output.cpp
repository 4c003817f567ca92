// Writing a batch of MCUs at once: the sequential decoder decodes and
// transforms MCUs in batches, and grey MCUs of one block (at any scale),
// and YCbCr MCUs at 1/8 (a pixel or a few each), go into the caller's rows
// left to right in long runs instead of one small square at a time. The
// same bytes as the MCU writers (the grey copy, three equal channels with
// 255 as a fourth, the fused conversion of the reduced scales). Called by
// the sequential decoder.

#include "jpeg/decode/batch_output.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "jpeg/decode/idct.h"
#include "jpeg/decode/output_internal.h"
#include "jpeg/decode/scan_context.h"

namespace jpegcodec {

namespace {

// One row of `side` samples of each of `count` blocks `room` values apart,
// as bytes of `channels` (1, 3 or 4) each.
template <int kChannels>
void grey_row(const int16_t* first, int32_t room, int32_t count, int side, uint8_t* out) {
  for (int32_t m = 0; m < count; ++m) {
    const int16_t* s = first + int64_t{room} * m;
    for (int x = 0; x < side; ++x) {
      const auto v = static_cast<uint8_t>(s[x]);
      if constexpr (kChannels == 1) {
        *out++ = v;
      } else {
        out[0] = out[1] = out[2] = v;
        if constexpr (kChannels == 4) out[3] = 255;
        out += kChannels;
      }
    }
  }
}

// One channel: the row of eight (or four) samples of two (or four) blocks
// packed at a time.
void grey_row_bytes(const int16_t* first, int32_t room, int32_t count, int side, uint8_t* out) {
#if defined(__SSE2__)
  auto at = [first, room](int32_t m) { return first + int64_t{room} * m; };
  int32_t m = 0;
  if (side == 8) {
    for (; m + 2 <= count; m += 2, out += 16) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at(m)));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at(m + 1)));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(a, b));
    }
  } else if (side == 4) {
    auto four = [&](int32_t k) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(at(k))); };
    for (; m + 4 <= count; m += 4, out += 16) {
      const __m128i ab = _mm_unpacklo_epi64(four(m), four(m + 1));
      const __m128i cd = _mm_unpacklo_epi64(four(m + 2), four(m + 3));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(ab, cd));
    }
  }
  grey_row<1>(at(m), room, count - m, side, out);
#else
  grey_row<1>(first, room, count, side, out);
#endif
}

// Whether `count` MCUs of width x height pixels from (col, row) on lie
// whole inside the image (their first and last do), and where the first
// one's top-left pixel lands.
bool whole_inside(const JPEG_PROPERTIES* p, int width, int height, int32_t col, int32_t row,
                  int32_t count, int32_t bytes, uint8_t** position) {
  uint8_t* last = nullptr;
  ClipRect first_visible, last_visible;
  return clip_mcu(p, width, height, col, row, bytes, position, &first_visible) == JpegSuccess &&
         clip_mcu(p, width, height, col + count - 1, row, bytes, &last, &last_visible) ==
             JpegSuccess &&
         first_visible.right == width && first_visible.bottom == height &&
         last_visible.right == width && last_visible.bottom == height;
}

}  // namespace

bool grey_batches_apply(const ScanContext& ctx) {
  const JPEG_PROPERTIES* p = ctx.props;
  const int32_t n = p->out_channels;
  return ctx.plan_blocks == 1 && ctx.coef == nullptr && p->frame.component_count == 1 &&
         p->jpeg_color == ColorGray && p->convert_color == 0 && p->upsample == 0 &&
         (n == 1 || ((n == 3 || n == 4) && p->out_color != ColorYcbcr)) && !region_active(p);
}

bool write_grey_batch(const ScanContext& ctx, int32_t col, int32_t row, int32_t count,
                      const int16_t* mcus, int32_t room) {
  if (count <= 0) return true;
  const JPEG_PROPERTIES* p = ctx.props;
  const int side = 8 / ctx.scale;
  const int32_t n = p->out_channels;
  uint8_t* position = nullptr;
  if (!whole_inside(p, side, side, col, row, count, n, &position)) return false;
#if KNOT_X86_SIMD
  // Spread by the AVX2 kernel where the table holds the AVX2 grey kernel.
  const bool spread_avx2 = (side == 8 || side == 4) && p->routines->out_gray == out_gray_avx2;
#endif
  if (ctx.dc_samples_in_writer) {
    // One pixel a block, from its DC as decoded (see dc_samples_in_writer).
    for (int32_t m = 0; m < count; ++m, position += n) {
      const auto v = static_cast<uint8_t>(accurate_dc_sample(mcus[int64_t{room} * m]));
      position[0] = v;
      if (n >= 3) position[1] = position[2] = v;
      if (n == 4) position[3] = 255;
    }
    return true;
  }
  for (int y = 0; y < side; ++y) {
    uint8_t* out = position + static_cast<intptr_t>(y) * p->out_line_bytes;
    const int16_t* first = mcus + 8 * y;
    if (n == 1) {
      grey_row_bytes(first, room, count, side, out);
      continue;
    }
    int32_t done = 0;
#if KNOT_X86_SIMD
    if (spread_avx2) {
      done = grey_spread_avx2(first, room, count, side, n, out);
      first += int64_t{room} * done;
      out += static_cast<intptr_t>(done) * side * n;
    }
#endif
    if (n == 3) {
      grey_row<3>(first, room, count - done, side, out);
    } else {
      grey_row<4>(first, room, count - done, side, out);
    }
  }
  return true;
}

bool eighth_ycc_batches_apply(const ScanContext& ctx) {
  const JPEG_PROPERTIES* p = ctx.props;
  return ctx.scale == 8 && ctx.coef == nullptr && ctx.plan_blocks != 0 && !region_active(p) &&
         fused_scaled_ycc_applies(p, false, ctx.enlarge_single_blocks);
}

bool write_eighth_ycc_batch(const ScanContext& ctx, int32_t col, int32_t row, int32_t count,
                            const int16_t* mcus, int32_t room) {
  if (count <= 0) return true;
  const JPEG_PROPERTIES* p = ctx.props;
  const int across = p->frame.max_h, down = p->frame.max_v;
  uint8_t* position = nullptr;
  if (!whole_inside(p, across, down, col, row, count, 3, &position)) return false;
  const ChromaShift chroma = chroma_shift(p->frame, ctx.enlarge_single_blocks);
  const bool bgr = p->out_color == ColorBgr;
  // The blocks' DCs as decoded (see dc_samples_in_writer), or their samples.
  const bool from_dc = ctx.dc_samples_in_writer;
  auto sample = [from_dc](int16_t v) -> int32_t { return from_dc ? accurate_dc_sample(v) : v; };
  for (int y = 0; y < down; ++y) {
    uint8_t* out = position + static_cast<intptr_t>(y) * p->out_line_bytes;
    for (int32_t m = 0; m < count; ++m) {
      // Luma: block (y, x) of the MCU, one sample each; chroma at the
      // reduced resolution, row stride 8.
      const int16_t* luma = mcus + int64_t{room} * m;
      const int16_t* cb = luma + 64 * across * down;
      const int16_t* cr = cb + 64;
      for (int x = 0; x < across; ++x, out += 3) {
        const int32_t at = 8 * (y >> chroma.y) + (x >> chroma.x);
        put_ycc_pixel(out, sample(luma[64 * (y * across + x)]), sample(cb[at]), sample(cr[at]),
                      bgr);
      }
    }
  }
  return true;
}

}  // namespace jpegcodec
