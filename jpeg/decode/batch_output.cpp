// Writing a batch of MCUs at once: the sequential decoder decodes and
// transforms MCUs in batches, and grey MCUs of one block (at any scale),
// and YCbCr MCUs at 1/2, 1/4 and 1/8 (a few pixels each), go into the
// caller's rows left to right in long runs instead of one small square at
// a time. The same bytes as the MCU writers (the grey copy, three equal
// channels with 255 as a fourth, the fused conversion of the reduced
// scales). Called by the sequential decoder.

#include "jpeg/decode/batch_output.h"

#include <cstring>

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

namespace {

// Row ty of a batch of reduced MCUs (W x W samples a block, kAcross
// blocks of luma across) as rows of Y, Cb and Cr side by side, chroma at
// the luma's resolution: luma from row ty % W of block row ty / W, chroma
// from its row ty >> chroma.y, each sample over 1 << chroma.x pixels.
// Every copy has its size fixed here: a library call for eight bytes would
// cost more than the copy.
template <int W, int kAcross>
void gather_reduced_row(const int16_t* mcus, int32_t room, int32_t count, int down,
                        ChromaShift chroma, int ty, int16_t* y_out, int16_t* cb_out,
                        int16_t* cr_out) {
  constexpr int kWidth = W * kAcross;
  const int32_t luma_at = 64 * ((ty / W) * kAcross) + 8 * (ty % W);
  const int32_t chroma_at = 64 * kAcross * down + 8 * (ty >> chroma.y);
  for (int32_t m = 0; m < count; ++m, y_out += kWidth, cb_out += kWidth, cr_out += kWidth) {
    const int16_t* mcu = mcus + int64_t{room} * m;
    for (int b = 0; b < kAcross; ++b) {
      std::memcpy(y_out + W * b, mcu + luma_at + 64 * b, sizeof(int16_t) * W);
    }
    const int16_t* cb = mcu + chroma_at;
    const int16_t* cr = cb + 64;
    if (chroma.x == 0) {
      std::memcpy(cb_out, cb, sizeof(int16_t) * kWidth);
      std::memcpy(cr_out, cr, sizeof(int16_t) * kWidth);
      continue;
    }
#if defined(__SSE2__)
    if constexpr (W == 4 && kAcross == 2) {
      const __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(cb));
      const __m128i r = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(cr));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(cb_out), _mm_unpacklo_epi16(b, b));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(cr_out), _mm_unpacklo_epi16(r, r));
      continue;
    }
#endif
    for (int x = 0; x < kWidth; ++x) {
      cb_out[x] = cb[x >> chroma.x];
      cr_out[x] = cr[x >> chroma.x];
    }
  }
}

using GatherRowFn = void (*)(const int16_t* mcus, int32_t room, int32_t count, int down,
                             ChromaShift chroma, int ty, int16_t* y_out, int16_t* cb_out,
                             int16_t* cr_out);

template <int W>
GatherRowFn gather_for(int across) {
  return across == 1 ? gather_reduced_row<W, 1> : gather_reduced_row<W, 2>;
}

int log2_of_side(int side) {
  return side == 4 ? 2 : (side == 2 ? 1 : 0);
}

}  // namespace

bool reduced_ycc_batches_apply(const ScanContext& ctx) {
  const JPEG_PROPERTIES* p = ctx.props;
  if ((ctx.scale != 2 && ctx.scale != 4) || ctx.coef != nullptr || ctx.plan_blocks == 0 ||
      region_active(p)) {
    return false;
  }
  if (fused_scaled_ycc_applies(p, false, ctx.enlarge_single_blocks)) return true;
  // Other samplings of one chroma block an MCU, each chroma sample
  // repeated over the pixels it covers: luma of one or two blocks across
  // and four down (1x4). Four across (4:1:1, 4x2) are left to the one-pass
  // kernels, which convert a chroma sample once for its four pixels and
  // are faster there.
  const int across = p->frame.max_h, down = p->frame.max_v;
  return !ctx.enlarge_single_blocks && single_block_chroma_ycc(p, false) &&
         (across == 1 || across == 2) && (down == 1 || down == 2 || down == 4);
}

bool write_reduced_ycc_batch(const ScanContext& ctx, int32_t col, int32_t row, int32_t count,
                             const int16_t* mcus, int32_t room) {
  if (count <= 0) return true;
  const JPEG_PROPERTIES* p = ctx.props;
  const int w = 8 / ctx.scale;
  const int across = p->frame.max_h, down = p->frame.max_v;
  const int32_t width = w * across;  // an MCU's pixels across
  constexpr int32_t kLongest = kMcuBufferBlocks * 4;
  if (int64_t{count} * width > kLongest) return false;
  uint8_t* position = nullptr;
  if (!whole_inside(p, width, w * down, col, row, count, 3, &position)) return false;
  // Chroma reconstructed at the luma's size (4:2:0), or one block's samples
  // over the MCU.
  const ChromaShift chroma = ctx.enlarge_single_blocks
                                 ? ChromaShift{0, 0}
                                 : ChromaShift{log2_of_side(across), log2_of_side(down)};
  const YccRowFn convert = ycc_row_kernel_for(p->routines, p->out_color == ColorBgr);
  const GatherRowFn gather = w == 4 ? gather_for<4>(across) : gather_for<2>(across);
  // Rows are gathered eight at a time before any of them is converted: the
  // converter's wide loads of samples stored a few at a time moments before
  // would wait for the stores to reach the cache.
  constexpr int kRows = 8;
  alignas(32) int16_t samples[3][kRows][kLongest];
  const int rows = w * down;
  for (int first = 0; first < rows; first += kRows) {
    const int last = first + kRows < rows ? first + kRows : rows;
    for (int ty = first; ty < last; ++ty) {
      gather(mcus, room, count, down, chroma, ty, samples[0][ty - first], samples[1][ty - first],
             samples[2][ty - first]);
    }
    for (int ty = first; ty < last; ++ty) {
      convert(samples[0][ty - first], samples[1][ty - first], samples[2][ty - first],
              position + static_cast<intptr_t>(ty) * p->out_line_bytes, count * width);
    }
  }
  return true;
}

bool eighth_ycc_batches_apply(const ScanContext& ctx) {
  const JPEG_PROPERTIES* p = ctx.props;
  if (ctx.scale != 8 || ctx.coef != nullptr || ctx.plan_blocks == 0 || region_active(p)) {
    return false;
  }
  // Any luma sampling whose chroma is one sample an MCU, or 4:2:0 with its
  // chroma reconstructed at 2 x 2.
  return fused_scaled_ycc_applies(p, false, ctx.enlarge_single_blocks) ||
         (!ctx.enlarge_single_blocks && single_block_chroma_ycc(p, false));
}

bool write_eighth_ycc_batch(const ScanContext& ctx, int32_t col, int32_t row, int32_t count,
                            const int16_t* mcus, int32_t room) {
  if (count <= 0) return true;
  const JPEG_PROPERTIES* p = ctx.props;
  const int across = p->frame.max_h, down = p->frame.max_v;
  // The batch's rows of samples: across pixels an MCU.
  constexpr int32_t kLongest = kMcuBufferBlocks;
  if (int64_t{count} * across > kLongest) return false;
  uint8_t* position = nullptr;
  if (!whole_inside(p, across, down, col, row, count, 3, &position)) return false;
  // Chroma: 2 x 2 samples an MCU where reconstructed at the luma's size
  // (4:2:0, luma 2 x 2), else one.
  const bool chroma_2x2 = ctx.enlarge_single_blocks;
  const YccRowFn convert = ycc_row_kernel_for(p->routines, p->out_color == ColorBgr);
  // The blocks' DCs as decoded (see dc_samples_in_writer), or their samples.
  const bool from_dc = ctx.dc_samples_in_writer;
  auto sample = [from_dc](int16_t v) -> int16_t { return from_dc ? accurate_dc_sample(v) : v; };
  // Every row is gathered before any is converted (as in
  // write_reduced_ycc_batch).
  alignas(32) int16_t samples[4][3][kLongest];
  for (int y = 0; y < down; ++y) {
    int16_t* y_row = samples[y][0];
    int16_t* cb_row = samples[y][1];
    int16_t* cr_row = samples[y][2];
    int32_t x_out = 0;
    for (int32_t m = 0; m < count; ++m, x_out += across) {
      // Luma: block (y, x) of the MCU, one sample each.
      const int16_t* luma = mcus + int64_t{room} * m;
      const int16_t* cb = luma + 64 * across * down;
      const int16_t* cr = cb + 64;
      for (int x = 0; x < across; ++x) y_row[x_out + x] = sample(luma[64 * (y * across + x)]);
      // Each element on its own: a copy of a row's two would be a library
      // call.
      if (chroma_2x2) {
        cb_row[x_out] = sample(cb[8 * y]);
        cb_row[x_out + 1] = sample(cb[8 * y + 1]);
        cr_row[x_out] = sample(cr[8 * y]);
        cr_row[x_out + 1] = sample(cr[8 * y + 1]);
        continue;
      }
      const int16_t b = sample(cb[0]), r = sample(cr[0]);
      for (int x = 0; x < across; ++x) {
        cb_row[x_out + x] = b;
        cr_row[x_out + x] = r;
      }
    }
  }
  for (int y = 0; y < down; ++y) {
    convert(samples[y][0], samples[y][1], samples[y][2],
            position + static_cast<intptr_t>(y) * p->out_line_bytes, count * across);
  }
  return true;
}

}  // namespace jpegcodec
