// The smoothing upsampler (smooth_upsampling = 1) for frames whose first
// component is 2x1 or 2x2 and the others 1x1: chroma is interpolated
// ("triangle" filtering) instead of repeated.
//
//   2x1: each chroma sample c with its horizontal neighbours l and r gives
//        (3c + l + 1) >> 2 and (3c + r + 2) >> 2.
//   2x2: each chroma sample gives four, (9c + 3a + 3b + d + k) >> 4, with a
//        the horizontal and b the vertical neighbour on the output's side,
//        d the diagonal one between them, k = 8 for the left and 7 for the
//        right output column.
//
// Edges: a neighbour beyond the image (beyond the last chroma sample that
// covers an image pixel) is the edge sample itself, so the filter never
// reads data that only pads the last MCU.
//
// Delay: an MCU can be finished only when the MCU to its right (and, for
// 2x2, the one below) has been decoded. The samples of three MCU rows are
// kept in bands (the delay buffers); each call stores its MCU and writes the
// one to its left (and one row up), and the decoders' extra calls with
// col = mcus_per_row and row = mcu_rows flush the last column and row.

#include <stdlib.h>
#include <string.h>

#include "jpeg/cpu/memory.h"
#include "jpeg/decode/output_internal.h"
#include "jpeg/decode/smooth_output.h"

namespace jpegcodec {

namespace {

constexpr int kRows = 3;  // bands: the row above, the row, the row below

struct SmoothBands {
  int32_t width, height, mcus_per_row;  // the frame the bands were made for
  int32_t sampling[4];                  // its components' h·16 + v
  int32_t components;
  int32_t stride[4];       // samples a band row, per component
  int32_t band_height[4];  // sample rows a band, per component
  int32_t extent_x[4];     // samples that cover image pixels, across
  int32_t extent_y[4];     // and down
  uint8_t* band[4][kRows];
};

SmoothBands* bands_of(JPEG_PROPERTIES* p) {
  return static_cast<SmoothBands*>(p->smooth_rows);
}

// Sample (x, y) of component n, y counted over the whole image; clamped to
// the samples that cover the image.
inline int sample_at(const SmoothBands* b, int n, int x, int y) {
  if (x < 0) x = 0;
  if (y < 0) y = 0;
  if (x >= b->extent_x[n]) x = b->extent_x[n] - 1;
  if (y >= b->extent_y[n]) y = b->extent_y[n] - 1;
  const int band_row = y / b->band_height[n];
  return b->band[n][band_row % kRows][(y % b->band_height[n]) * b->stride[n] + x];
}

void store_mcu(JPEG_PROPERTIES* p, SmoothBands* b, int32_t col, int32_t row) {
  const McuLayout layout = frame_layout(p);
  for (int n = 0; n < layout.count; ++n) {
    uint8_t* band = b->band[n][row % kRows];
    for (int bi = 0; bi < layout.v[n]; ++bi) {
      for (int bj = 0; bj < layout.h[n]; ++bj) {
        const int16_t* block = block_at(p, layout.first_block[n] + bi * layout.h[n] + bj);
        const int x0 = (col * layout.h[n] + bj) * 8, y0 = bi * 8;
        for (int y = 0; y < 8; ++y) {
          for (int x = 0; x < 8; ++x) {
            band[(y0 + y) * b->stride[n] + x0 + x] = static_cast<uint8_t>(block[8 * y + x]);
          }
        }
      }
    }
  }
}

// A whole MCU of YCbCr to three-channel RGB or BGR, the common case: the
// chroma around the MCU gathered once (edges clamped as sample_at clamps),
// filtered into 8 x 8 tiles beside the luma, and each tile converted by the
// reduced-scale writers' kernel (the in-place rule; a vector variant where
// the routine table has one). The same bytes as the general path below,
// without a lookup per sample.
void write_smoothed_rgb(JPEG_PROPERTIES* p, const SmoothBands* b, int32_t col, int32_t row,
                        uint8_t* position) {
  const int max_v = p->frame.max_v, mcu_h = 8 * max_v;
  const ScaledYccKernels vector = scaled_ycc_kernels_for(p->routines);
  const bool bgr = p->out_color == ColorBgr;
  ScaledYccFn convert = bgr ? vector.bgr : vector.rgb;
  if (convert == nullptr) convert = bgr ? scaled_ycc_bgr_portable : scaled_ycc_rgb_portable;
  // Chroma samples cx = col*8-1 .. col*8+8, cy = the MCU's rows (2x1) or
  // row*8-1 .. row*8+8 (2x2), each component.
  int16_t window[2][10][10];
  const int first_cx = col * 8 - 1;
  const int first_cy = max_v == 2 ? row * 8 - 1 : row * 8;
  const int chroma_rows = max_v == 2 ? 10 : 8;
  for (int n = 0; n < 2; ++n) {
    for (int j = 0; j < chroma_rows; ++j) {
      for (int i = 0; i < 10; ++i) {
        window[n][j][i] = static_cast<int16_t>(sample_at(b, n + 1, first_cx + i, first_cy + j));
      }
    }
  }
  const uint8_t* luma = b->band[0][(row * mcu_h / b->band_height[0]) % kRows];
  // Tiles of each 8 x 8 quadrant: [quadrant][sample], stride 8.
  alignas(32) int16_t y_tile[4][64], cb_tile[4][64], cr_tile[4][64];
  for (int y = 0; y < mcu_h; ++y) {
    const uint8_t* ys = luma + ((row * mcu_h + y) % b->band_height[0]) * b->stride[0] + col * 16;
    const int q = (y >> 3) * 2, at = (y & 7) * 8;
    for (int x = 0; x < 16; ++x) y_tile[q + (x >> 3)][at + (x & 7)] = ys[x];
    for (int n = 0; n < 2; ++n) {
      int16_t(*tile)[64] = n == 0 ? cb_tile : cr_tile;
      if (max_v == 1) {
        // 2x1: (3c + l + 1) >> 2 and (3c + r + 2) >> 2.
        const int16_t* w = window[n][y];
        for (int i = 0; i < 8; ++i) {
          const int c = 3 * w[i + 1];
          tile[q + (i >> 2)][at + 2 * (i & 3)] = static_cast<int16_t>((c + w[i] + 1) >> 2);
          tile[q + (i >> 2)][at + 2 * (i & 3) + 1] = static_cast<int16_t>((c + w[i + 2] + 2) >> 2);
        }
      } else {
        // 2x2: 9:3:3:1 of the four nearest, 8 and 7 for the left and right.
        const int j = (y >> 1) + 1, near = (y & 1) == 0 ? j - 1 : j + 1;
        const int16_t* w = window[n][j];
        const int16_t* v = window[n][near];
        for (int i = 0; i < 8; ++i) {
          const int c = 9 * w[i + 1] + 3 * v[i + 1];
          tile[q + (i >> 2)][at + 2 * (i & 3)] =
              static_cast<int16_t>((c + 3 * w[i] + v[i] + 8) >> 4);
          tile[q + (i >> 2)][at + 2 * (i & 3) + 1] =
              static_cast<int16_t>((c + 3 * w[i + 2] + v[i + 2] + 7) >> 4);
        }
      }
    }
  }
  const int32_t stride = p->out_line_bytes;
  for (int q = 0; q < 2 * max_v; ++q) {
    uint8_t* out = position + static_cast<intptr_t>(q >> 1) * 8 * stride + (q & 1) * 8 * 3;
    convert(y_tile[q], cb_tile[q], cr_tile[q], out, stride, 8);
  }
}

// Writes MCU (col, row) from the bands: full-resolution components as they
// are, the others through the filter.
JpegStatus write_smoothed(JPEG_PROPERTIES* p, const SmoothBands* b, int32_t col, int32_t row) {
  const int max_h = p->frame.max_h, max_v = p->frame.max_v;
  const int mcu_w = 8 * max_h, mcu_h = 8 * max_v;
  const int32_t n_out = p->out_channels;
  uint8_t* position = nullptr;
  ClipRect visible;
  JpegStatus status = clip_mcu(p, mcu_w, mcu_h, col, row, n_out, &position, &visible);
  if (status != JpegSuccess) return status;
  if (visible.empty()) return JpegSuccess;
  const bool whole =
      visible.left == 0 && visible.top == 0 && visible.right == mcu_w && visible.bottom == mcu_h;
  if (whole && b->components == 3 && n_out == 3 && p->jpeg_color == ColorYcbcr &&
      p->convert_color == 1 && (p->out_color == ColorRgb || p->out_color == ColorBgr)) {
    write_smoothed_rgb(p, b, col, row, position);
    return JpegSuccess;
  }
  const bool reversed = p->out_color == ColorBgr && p->jpeg_color == ColorRgb;
  const int limit = b->components < n_out ? b->components : n_out;
  for (int n = 0; n < limit; ++n) {
    const int h = p->frame.components[n].h, v = p->frame.components[n].v;
    const int channel = reversed ? 2 - n : n;
    for (int y = visible.top; y < visible.bottom; ++y) {
      uint8_t* out = position + static_cast<intptr_t>(y) * p->out_line_bytes + channel;
      const int py = row * mcu_h + y;  // image pixel row
      for (int x = visible.left; x < visible.right; ++x) {
        const int px = col * mcu_w + x;
        int value;
        if (h == max_h && v == max_v) {
          value = sample_at(b, n, px, py);
        } else if (max_v == 1) {
          // 2x1: horizontal triangle filter.
          const int cx = px >> 1, c = sample_at(b, n, cx, py);
          value = (px & 1) == 0 ? (3 * c + sample_at(b, n, cx - 1, py) + 1) >> 2
                                : (3 * c + sample_at(b, n, cx + 1, py) + 2) >> 2;
        } else {
          // 2x2: the four nearest chroma samples, 9:3:3:1.
          const int cx = px >> 1, cy = py >> 1;
          const int dx = (px & 1) == 0 ? -1 : 1, dy = (py & 1) == 0 ? -1 : 1;
          const int c = sample_at(b, n, cx, cy);
          const int a = sample_at(b, n, cx + dx, cy);
          const int vb = sample_at(b, n, cx, cy + dy);
          const int d = sample_at(b, n, cx + dx, cy + dy);
          value = (9 * c + 3 * a + 3 * vb + d + ((px & 1) == 0 ? 8 : 7)) >> 4;
        }
        out[n_out * x] = static_cast<uint8_t>(value);
      }
    }
  }
  // Alpha of four-channel output.
  if (n_out == 4 && p->out_color == ColorFourChannel && b->components == 3) {
    for (int y = visible.top; y < visible.bottom; ++y) {
      uint8_t* out = position + static_cast<intptr_t>(y) * p->out_line_bytes;
      for (int x = visible.left; x < visible.right; ++x) out[4 * x + 3] = 255;
    }
  }
  if (p->convert_color == 1) status = convert_mcu_in_place(p, col, row, 8);
  return status;
}

}  // namespace

bool smoothing_applies(const JPEG_PROPERTIES* p) {
  if (p->smooth_upsampling != 1) return false;
  const FrameHeader& f = p->frame;
  if (f.component_count < 3 || f.component_count > 4 || f.max_h != 2 || f.max_v > 2) return false;
  const FrameComponent* c = f.components;
  for (int n = 1; n < 3; ++n) {
    if (c[n].h != 1 || c[n].v != 1) return false;
  }
  return f.component_count == 3 || (c[3].h == c[0].h && c[3].v == c[0].v);
}

JpegStatus allocate_smoothing(JPEG_PROPERTIES* p) {
  if (SmoothBands* old = bands_of(p)) {
    bool same = old->width == p->jpeg_width && old->height == p->jpeg_height &&
                old->mcus_per_row == p->mcus_per_row;
    for (int n = 0; n < 4 && same; ++n) {
      const int32_t sampling = n < p->frame.component_count
                                   ? p->frame.components[n].h * 16 + p->frame.components[n].v
                                   : 0;
      same = old->sampling[n] == sampling;
    }
    if (same) return JpegSuccess;
    free_smoothing(p);
  }
  auto* b = static_cast<SmoothBands*>(codec_calloc(1, sizeof(SmoothBands)));
  if (b == nullptr) return JpegMemoryError;
  p->smooth_rows = b;  // freed by jpeg_free, with the bands below
  const FrameHeader& f = p->frame;
  b->width = p->jpeg_width;
  b->height = p->jpeg_height;
  b->mcus_per_row = p->mcus_per_row;
  b->components = f.component_count < 4 ? f.component_count : 4;
  for (int n = 0; n < b->components; ++n)
    b->sampling[n] = f.components[n].h * 16 + f.components[n].v;
  for (int n = 0; n < b->components; ++n) {
    const int h = f.components[n].h, v = f.components[n].v;
    b->stride[n] = p->mcus_per_row * h * 8;
    b->band_height[n] = v * 8;
    b->extent_x[n] = (p->jpeg_width * h + f.max_h - 1) / f.max_h;
    b->extent_y[n] = (p->jpeg_height * v + f.max_v - 1) / f.max_v;
    for (int r = 0; r < kRows; ++r) {
      b->band[n][r] = static_cast<uint8_t*>(
          codec_calloc(static_cast<size_t>(b->stride[n]) * b->band_height[n], 1));
      if (b->band[n][r] == nullptr) {
        // Half-made bands would pass for made ones at the next call.
        free_smoothing(p);
        return JpegMemoryError;
      }
    }
  }
  return JpegSuccess;
}

void free_smoothing(JPEG_PROPERTIES* p) {
  SmoothBands* b = bands_of(p);
  if (b == nullptr) return;
  for (int n = 0; n < 4; ++n) {
    for (int r = 0; r < kRows; ++r) free(b->band[n][r]);
  }
  free(b);
  p->smooth_rows = nullptr;
}

JpegStatus output_smoothed(JPEG_PROPERTIES* p, int32_t col, int32_t row) {
  if (allocate_smoothing(p) != JpegSuccess) return JpegMemoryError;
  SmoothBands* b = bands_of(p);
  if (col < p->mcus_per_row && row < p->mcu_rows) store_mcu(p, b, col, row);
  const bool row_delay = p->frame.max_v == 2;
  const int32_t target_col = col - 1;
  const int32_t target_row = row_delay ? row - 1 : row;
  if (target_col < 0 || target_row < 0 || target_row >= p->mcu_rows) return JpegSuccess;
  return write_smoothed(p, b, target_col, target_row);
}

}  // namespace jpegcodec
