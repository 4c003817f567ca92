// The generic writers: each component is upsampled into a plane of up to
// 32 x 32 samples (stride 32) on the MCU's pixel grid, and each plane is
// written into one channel of the caller's image. They serve every case
// the specialised routines do not, at full and at reduced scale, and the
// components of sequential frames that arrive in separate scans.

#include <cstring>

#include "jpeg/cpu/routine_table.h"
#include "jpeg/decode/image_output.h"
#include "jpeg/decode/output_internal.h"
#include "jpeg/decode/portable_routines.h"
#include "jpeg/decode/smooth_output.h"

namespace jpegcodec {

namespace {

constexpr int kPlaneStride = 32;

struct Plane {
  uint8_t samples[kPlaneStride * kPlaneStride];
};

bool is_progressive(const JPEG_PROPERTIES* p) {
  return p->progressive_scans != 0;
}

// Writes a plane into one channel of the visible pixels; `position` points
// at that channel's byte of the MCU's top-left pixel.
void write_channel(const JPEG_PROPERTIES* p, const ClipRect& visible, int32_t channel,
                   uint8_t* position, const Plane& plane) {
  const int32_t n = p->out_channels;
  const int32_t j = p->jpeg_color, o = p->out_color;
  const int32_t stride = p->out_line_bytes;
  // A channel past the pixel would be written into the next pixel or past
  // the row; no output layout has one.
  if (channel < 0 || channel >= n) return;
  // Grey spreads over the pixel only from its first byte (a later frame of
  // a broken file can bring more components than the grey it announced).
  const bool spread = j == ColorGray && channel == 0;
  for (int y = visible.top; y < visible.bottom; ++y) {
    uint8_t* row = position + static_cast<intptr_t>(y) * stride;
    const uint8_t* in = plane.samples + y * kPlaneStride;
    for (int x = visible.left; x < visible.right; ++x) {
      const uint8_t sample = in[x];
      if (spread && o == ColorFourChannel && n == 4) {
        uint8_t* px = row + 4 * x;
        px[0] = px[1] = px[2] = sample;
        px[3] = 255;
      } else if ((j == ColorYcbcr || j == ColorRgb) && o == ColorFourChannel) {
        row[n * x] = channel > 2 ? 255 : sample;
      } else if (spread && (o == ColorRgb || o == ColorBgr) && n == 3) {
        uint8_t* px = row + 3 * x;
        px[0] = px[1] = px[2] = sample;
      } else {
        row[n * x] = sample;
      }
    }
  }
}

// Upsamples component `n` of `layout` into `plane` for blocks of w x w
// samples. With simple sampling a component of one block per MCU was
// reconstructed at its pixel size already and is copied as it is.
void build_plane(const JPEG_PROPERTIES* p, const McuLayout& layout, int n, int w, bool simple,
                 int max_h, int max_v, Plane* plane) {
  const int h = layout.h[n], v = layout.v[n];
  int rh = max_h / h, rv = max_v / v;
  if (rh < 1) rh = 1;
  if (rv < 1) rv = 1;
  const bool direct = simple && h * v == 1 && (rh > 1 || rv > 1);
  for (int bi = 0; bi < v; ++bi) {
    for (int bj = 0; bj < h; ++bj) {
      const int16_t* block = block_at(p, layout.first_block[n] + bi * h + bj);
      const int width = w * rh, height = w * rv;
      const int x_off = bj * width, y_off = bi * height;
      for (int y = 0; y < height && y_off + y < kPlaneStride; ++y) {
        uint8_t* out = plane->samples + (y_off + y) * kPlaneStride + x_off;
        const int sy = direct ? y : y / rv;
        for (int x = 0; x < width && x_off + x < kPlaneStride; ++x) {
          const int sx = direct ? x : x / rh;
          out[x] = static_cast<uint8_t>(block[8 * sy + sx]);
        }
      }
    }
  }
}

// The generic writer, for w x w blocks: `all` takes the frame's components
// (progressive images), otherwise the scan's.
JpegStatus upsampled_writer(JPEG_PROPERTIES* p, int32_t col, int32_t row, int w, bool all,
                            bool simple) {
  if (w == 8 && smoothing_applies(p)) return output_smoothed(p, col, row);
  const ScanHeader* scan = p->saved_scan;
  const McuLayout layout = all || scan == nullptr ? frame_layout(p) : scan_layout(p, scan);
  const int max_h = p->frame.max_h, max_v = p->frame.max_v;
  const int mcu_w = w * max_h, mcu_h = w * max_v;
  const int32_t n_out = p->out_channels;
  uint8_t* position = nullptr;
  ClipRect visible;
  JpegStatus status = clip_mcu(p, mcu_w, mcu_h, col, row, n_out, &position, &visible);
  if (status != JpegSuccess) return status;
  if (visible.empty()) return JpegSuccess;

  const bool reversed = p->out_color == ColorBgr && p->jpeg_color == ColorRgb;
  int32_t channel = reversed ? 2 : 0;
  const int step = reversed ? -1 : 1;
  Plane plane;
  int written = 0;
  const int limit = layout.count < n_out ? layout.count : n_out;
  for (int n = 0; n < limit; ++n) {
    build_plane(p, layout, n, w, simple, max_h, max_v, &plane);
    write_channel(p, visible, channel, position + channel, plane);
    channel += step;
    ++written;
  }
  // Channels beyond the components: alpha 255, or copies of grey.
  if (p->out_color == ColorOther && p->jpeg_color == ColorOther) return JpegSuccess;
  const int first = written;
  if (written == 0) return JpegSuccess;
  // Grey to RGB, BGR or four channels fills the whole pixel from channel 0
  // already; writing the remaining channels at their offsets would run two
  // or three bytes past the last pixel of each row.
  if (p->jpeg_color == ColorGray &&
      (p->out_color == ColorRgb || p->out_color == ColorBgr || p->out_color == ColorFourChannel)) {
    return JpegSuccess;
  }
  for (int32_t c = first; c < n_out; ++c) write_channel(p, visible, c, position + c, plane);
  return JpegSuccess;
}

// The generic copy at reduced scale: w x w MCUs of one block per component.
JpegStatus scaled_copy(JPEG_PROPERTIES* p, int32_t col, int32_t row, int w) {
  const int32_t n_out = p->out_channels;
  uint8_t* position = nullptr;
  ClipRect visible;
  const JpegStatus status = clip_mcu(p, w, w, col, row, n_out, &position, &visible);
  if (status != JpegSuccess) return status;
  const int32_t nc = p->frame.component_count;
  if (n_out == 1 && nc >= 1) {
    // One channel, the first component's samples (grey images, mostly).
    const int16_t* samples = block_at(p, 0);
    for (int y = visible.top; y < visible.bottom; ++y) {
      uint8_t* out = position + static_cast<intptr_t>(y) * p->out_line_bytes;
      for (int x = visible.left; x < visible.right; ++x) {
        out[x] = static_cast<uint8_t>(samples[8 * y + x]);
      }
    }
    return JpegSuccess;
  }
  const bool reversed = p->out_color == ColorBgr && p->jpeg_color == ColorRgb;
  const bool gray = p->jpeg_color == ColorGray;
  for (int32_t d = 0; d < n_out; ++d) {
    for (int y = visible.top; y < visible.bottom; ++y) {
      uint8_t* out = position + static_cast<intptr_t>(y) * p->out_line_bytes;
      for (int x = visible.left; x < visible.right; ++x) {
        uint8_t* px = out + n_out * x;
        if (gray && d > 0) {
          px[d] = d == 3 ? 255 : px[d - 1];
        } else if (d < nc) {
          px[reversed ? 2 - d : d] = static_cast<uint8_t>(block_at(p, d)[8 * y + x]);
        } else if (d == 3 && p->out_color == ColorFourChannel) {
          px[3] = 255;
        }
      }
    }
  }
  return JpegSuccess;
}

}  // namespace

McuLayout frame_layout(const JPEG_PROPERTIES* p) {
  McuLayout layout;
  int32_t block = 0;
  for (int n = 0; n < p->frame.component_count && n < 4; ++n) {
    layout.first_block[n] = block;
    layout.h[n] = p->frame.components[n].h;
    layout.v[n] = p->frame.components[n].v;
    layout.frame_index[n] = n;
    block += layout.h[n] * layout.v[n];
    layout.count = n + 1;
  }
  return layout;
}

McuLayout scan_layout(const JPEG_PROPERTIES*, const ScanHeader* scan) {
  McuLayout layout;
  const bool one = scan->component_count == 1;
  int32_t block = 0;
  for (int n = 0; n < scan->component_count && n < 4; ++n) {
    const ScanComponent& c = scan->components[n];
    layout.first_block[n] = block;
    layout.h[n] = c.h;
    layout.v[n] = c.v;
    layout.frame_index[n] = c.frame_index;
    // A single-component scan's MCU is one block of its component.
    block += one ? 1 : c.h * c.v;
    layout.count = n + 1;
  }
  return layout;
}

JpegStatus output_upsampled(JPEG_PROPERTIES* p, int32_t col, int32_t row) {
  return upsampled_writer(p, col, row, 8, false, false);
}

JpegStatus output_upsampled_all(JPEG_PROPERTIES* p, int32_t col, int32_t row) {
  return upsampled_writer(p, col, row, 8, true, false);
}

namespace {

// YCbCr whose chroma has one sample per MCU (4:4:0, 4:1:1, 4x2, 1x4 and
// the like: luma h x v blocks, chroma 1x1) straight to RGB, BGR or
// RGBA pixels: the bytes the upsampling writer and the conversion in place
// give, without their planes. Each chroma sample's terms are computed once
// for the h x v pixels it covers.
template <int kBytes, bool kBgr, int h, int v>
void any_sampling_kernel(const int16_t* y, const int16_t* cb, const int16_t* cr, uint8_t* out,
                         int32_t stride) {
  for (int cy = 0; cy < 8; ++cy) {
    const ChromaRowTerms terms(cb, cr, cy);
    for (int half = 0; half < v; ++half) {
      const int py = v * cy + half;
      const int16_t* luma_row = y + 64 * ((py >> 3) * h) + 8 * (py & 7);
      uint8_t* o = out + static_cast<intptr_t>(py) * stride;
      for (int cx = 0; cx < 8; ++cx) {
        const ChromaTerms& t = terms.at[cx];
        for (int i = 0; i < h; ++i) {
          const int px = h * cx + i;
          const int32_t luma = luma_row[64 * (px >> 3) + (px & 7)];
          uint8_t* pixel = o + kBytes * px;
          pixel[kBgr ? 2 : 0] = t.red(luma);
          pixel[1] = t.green(luma);
          pixel[kBgr ? 0 : 2] = t.blue(luma);
          if constexpr (kBytes == 4) pixel[3] = 255;
        }
      }
    }
  }
}

using AnyKernel = AnySamplingFn;

// The kernel of a luma sampling h x v (1 to 4 each), its loops unrolled.
template <int kBytes, bool kBgr>
AnyKernel any_kernel(int h, int v) {
  static constexpr AnyKernel kKernels[4][4] = {
      {any_sampling_kernel<kBytes, kBgr, 1, 1>, any_sampling_kernel<kBytes, kBgr, 1, 2>,
       any_sampling_kernel<kBytes, kBgr, 1, 3>, any_sampling_kernel<kBytes, kBgr, 1, 4>},
      {any_sampling_kernel<kBytes, kBgr, 2, 1>, any_sampling_kernel<kBytes, kBgr, 2, 2>,
       any_sampling_kernel<kBytes, kBgr, 2, 3>, any_sampling_kernel<kBytes, kBgr, 2, 4>},
      {any_sampling_kernel<kBytes, kBgr, 3, 1>, any_sampling_kernel<kBytes, kBgr, 3, 2>,
       any_sampling_kernel<kBytes, kBgr, 3, 3>, any_sampling_kernel<kBytes, kBgr, 3, 4>},
      {any_sampling_kernel<kBytes, kBgr, 4, 1>, any_sampling_kernel<kBytes, kBgr, 4, 2>,
       any_sampling_kernel<kBytes, kBgr, 4, 3>, any_sampling_kernel<kBytes, kBgr, 4, 4>}};
  return kKernels[h - 1][v - 1];
}

}  // namespace

AnySamplingFn any_sampling_portable(int bytes, bool bgr, int h, int v) {
  if (bytes == 4) return any_kernel<4, false>(h, v);
  return bgr ? any_kernel<3, true>(h, v) : any_kernel<3, false>(h, v);
}

namespace {

// The reduced-scale kernel: blocks of w x w samples (4 or 2; row stride 8),
// the same walk as the full-size one.
template <int kBytes, bool kBgr, int h, int w>
void any_sampling_scaled(const int16_t* y, const int16_t* cb, const int16_t* cr, int v,
                         uint8_t* out, int32_t stride) {
  for (int cy = 0; cy < w; ++cy) {
    for (int half = 0; half < v; ++half) {
      const int py = v * cy + half;
      const int16_t* luma_row = y + 64 * ((py / w) * h) + 8 * (py % w);
      uint8_t* o = out + static_cast<intptr_t>(py) * stride;
      for (int cx = 0; cx < w; ++cx) {
        const ChromaTerms t(cb[8 * cy + cx], cr[8 * cy + cx]);
        for (int i = 0; i < h; ++i) {
          const int px = h * cx + i;
          const int32_t luma = luma_row[64 * (px / w) + px % w];
          uint8_t* pixel = o + kBytes * px;
          pixel[kBgr ? 2 : 0] = t.red(luma);
          pixel[1] = t.green(luma);
          pixel[kBgr ? 0 : 2] = t.blue(luma);
          if constexpr (kBytes == 4) pixel[3] = 255;
        }
      }
    }
  }
}

using ScaledAnyFn = void (*)(const int16_t*, const int16_t*, const int16_t*, int, uint8_t*,
                             int32_t);

// The reduced-scale kernel for luma h blocks across (1 to 4) and blocks of
// w x w samples (4, 2 or 1), its divisions by w shifts.
template <int kBytes, bool kBgr>
ScaledAnyFn scaled_any_kernel(int h, int w) {
  static constexpr ScaledAnyFn kKernels[4][3] = {
      {any_sampling_scaled<kBytes, kBgr, 1, 4>, any_sampling_scaled<kBytes, kBgr, 1, 2>,
       any_sampling_scaled<kBytes, kBgr, 1, 1>},
      {any_sampling_scaled<kBytes, kBgr, 2, 4>, any_sampling_scaled<kBytes, kBgr, 2, 2>,
       any_sampling_scaled<kBytes, kBgr, 2, 1>},
      {any_sampling_scaled<kBytes, kBgr, 3, 4>, any_sampling_scaled<kBytes, kBgr, 3, 2>,
       any_sampling_scaled<kBytes, kBgr, 3, 1>},
      {any_sampling_scaled<kBytes, kBgr, 4, 4>, any_sampling_scaled<kBytes, kBgr, 4, 2>,
       any_sampling_scaled<kBytes, kBgr, 4, 1>}};
  return kKernels[h - 1][w == 4 ? 0 : (w == 2 ? 1 : 2)];
}

}  // namespace

void any_sampling_reduced_portable(int bytes, bool bgr, int h, int v, int w, const int16_t* y,
                                   const int16_t* cb, const int16_t* cr, uint8_t* out,
                                   int32_t stride) {
  const ScaledAnyFn kernel = bytes == 4 ? scaled_any_kernel<4, false>(h, w)
                             : bgr      ? scaled_any_kernel<3, true>(h, w)
                                        : scaled_any_kernel<3, false>(h, w);
  kernel(y, cb, cr, v, out, stride);
}

namespace {

// Whether the caller's image is one the one-pass writers fill: YCbCr data
// to three-channel RGB or BGR, or to four channels.
bool any_sampling_output(const JPEG_PROPERTIES* p) {
  const int32_t n = p->out_channels, o = p->out_color;
  return p->jpeg_color == ColorYcbcr && p->frame.component_count == 3 &&
         ((n == 3 && (o == ColorRgb || o == ColorBgr)) || (n == 4 && o == ColorFourChannel));
}

// Whether the MCU holds the frame's components in order, luma h x v (up to
// 4 x 4) and chroma 1x1, as the one-pass writers take them.
bool any_sampling_fits(const JPEG_PROPERTIES* p, const McuLayout& layout) {
  const int h = p->frame.max_h, v = p->frame.max_v;
  bool fits = layout.count == 3 && h <= 4 && v <= 4;
  for (int n = 0; n < 3 && fits; ++n) {
    fits = layout.frame_index[n] == n && layout.h[n] == (n == 0 ? h : 1) &&
           layout.v[n] == (n == 0 ? v : 1);
  }
  return fits;
}

// One MCU of w x w blocks through the one-pass kernels (layout checked).
JpegStatus any_sampling_writer(JPEG_PROPERTIES* p, const McuLayout& layout, int32_t col,
                               int32_t row, int w) {
  const int h = p->frame.max_h, v = p->frame.max_v;
  const int32_t n_out = p->out_channels;
  const int mcu_w = w * h, mcu_h = w * v;
  uint8_t* position = nullptr;
  ClipRect visible;
  const JpegStatus status = clip_mcu(p, mcu_w, mcu_h, col, row, n_out, &position, &visible);
  if (status != JpegSuccess) return status;
  if (visible.empty()) return JpegSuccess;
  const int16_t* y = block_at(p, layout.first_block[0]);
  const int16_t* cb = block_at(p, layout.first_block[1]);
  const int16_t* cr = block_at(p, layout.first_block[2]);
  const bool bgr = p->out_color == ColorBgr;
  AnyKernel full = nullptr;
#if KNOT_X86_SIMD
  if (p->routines->out_ycc_rgb == out_ycc_rgb_avx2) {
    if (w == 8) full = any_sampling_avx2(n_out, bgr, h, v);
    if (w == 4) full = any_sampling_half_avx2(n_out, bgr, h, v);
  }
#endif
  if (w == 8 && full == nullptr) full = any_sampling_portable(n_out, bgr, h, v);
  auto kernel = [&](uint8_t* out, int32_t stride) {
    if (full != nullptr) {
      full(y, cb, cr, out, stride);
    } else {
      any_sampling_reduced_portable(n_out, bgr, h, v, w, y, cb, cr, out, stride);
    }
  };
  write_clipped_mcu(position, p->out_line_bytes, visible, mcu_w, mcu_h, n_out, kernel);
  return JpegSuccess;
}

}  // namespace

JpegStatus output_ycc_any_sampling(JPEG_PROPERTIES* p, int32_t col, int32_t row) {
  const ScanHeader* scan = p->saved_scan;
  const McuLayout layout =
      is_progressive(p) || scan == nullptr ? frame_layout(p) : scan_layout(p, scan);
  // Anything else (a scan that lists the components otherwise) goes the
  // generic way.
  if (!any_sampling_fits(p, layout)) return output_upsampled_convert(p, col, row);
  return any_sampling_writer(p, layout, col, row, 8);
}

JpegStatus output_upsampled_convert(JPEG_PROPERTIES* p, int32_t col, int32_t row) {
  // The smoothing writer converts what it writes itself.
  if (smoothing_applies(p)) return output_smoothed(p, col, row);
  const JpegStatus status = upsampled_writer(p, col, row, 8, is_progressive(p), false);
  if (status != JpegSuccess) return status;
  return convert_mcu_in_place(p, col, row, 8);
}

JpegStatus convert_mcu_in_place(JPEG_PROPERTIES* p, int32_t col, int32_t row, int32_t w) {
  const int32_t o = p->out_color, j = p->jpeg_color, n = p->out_channels;
  if (o != ColorRgb && o != ColorBgr && o != ColorFourChannel) return JpegSuccess;
  uint8_t* position = nullptr;
  ClipRect visible;
  const JpegStatus status =
      clip_mcu(p, w * p->frame.max_h, w * p->frame.max_v, col, row, n, &position, &visible);
  if (status != JpegSuccess) return status;
  for (int y = visible.top; y < visible.bottom; ++y) {
    uint8_t* out = position + static_cast<intptr_t>(y) * p->out_line_bytes;
    for (int x = visible.left; x < visible.right; ++x) convert_pixel_in_place(out + n * x, n, o, j);
  }
  return JpegSuccess;
}

bool single_block_chroma_ycc(const JPEG_PROPERTIES* p, bool all) {
  const FrameHeader& f = p->frame;
  if (f.component_count != 3 || p->jpeg_color != ColorYcbcr || p->convert_color != 1) return false;
  if (p->out_channels != 3 || (p->out_color != ColorRgb && p->out_color != ColorBgr)) return false;
  if (!all && (p->saved_scan == nullptr || p->saved_scan->component_count != 3)) return false;
  for (int n = 1; n < 3; ++n) {
    if (f.components[n].h != 1 || f.components[n].v != 1) return false;
  }
  return true;
}

bool fused_scaled_ycc_applies(const JPEG_PROPERTIES* p, bool all, bool simple) {
  if (!single_block_chroma_ycc(p, all)) return false;
  const FrameHeader& f = p->frame;
  // Luma of one block, or two across, two down or both; chroma
  // reconstructed at the luma's size (4:2:0 under simple sampling) or
  // repeated over the pixels it covers.
  const FrameComponent& y = f.components[0];
  return (y.h == 1 || y.h == 2) && (y.v == 1 || y.v == 2) && (simple || y.h * y.v < 4);
}

namespace {

template <bool kBgr>
void scaled_ycc_portable(const int16_t* y, const int16_t* cb, const int16_t* cr, uint8_t* out,
                         int32_t stride, int32_t rows) {
  for (int row = 0; row < rows; ++row) {
    uint8_t* px = out + static_cast<intptr_t>(row) * stride;
    for (int x = 0; x < 8; ++x, px += 3) {
      const int at = 8 * row + x;
      uint8_t r, g, b;
      convert_in_place_rgb(y[at], cb[at], cr[at], &r, &g, &b);
      px[0] = kBgr ? b : r;
      px[1] = g;
      px[2] = kBgr ? r : b;
    }
  }
}

// Rows of the reduced blocks (W samples of each, stride 8) side by side in
// tiles of stride 8; chroma rows whole (8 samples, past the tile's width
// unused) or each sample twice.
template <int W>
inline void gather_tile(const int16_t* luma, const int16_t* cb, const int16_t* cr, int32_t across,
                        int tile_height, int chroma_x, int chroma_y, int16_t* y_tile,
                        int16_t* cb_tile, int16_t* cr_tile) {
  for (int ty = 0; ty < tile_height; ++ty) {
    // Whole rows of eight, the part past the tile's width zero: the kernel
    // converts eight pixels a row.
    std::memset(y_tile + 8 * ty, 0, sizeof(int16_t) * 8);
    const int16_t* luma_row = luma + 64 * ((ty / W) * across) + 8 * (ty % W);
    for (int b = 0; b < across; ++b) {
      std::memcpy(y_tile + 8 * ty + W * b, luma_row + 64 * b, sizeof(int16_t) * W);
    }
    const int16_t* cb_row = cb + 8 * (ty >> chroma_y);
    const int16_t* cr_row = cr + 8 * (ty >> chroma_y);
    if (chroma_x == 0) {
      std::memcpy(cb_tile + 8 * ty, cb_row, sizeof(int16_t) * 8);
      std::memcpy(cr_tile + 8 * ty, cr_row, sizeof(int16_t) * 8);
    } else {
      std::memset(cb_tile + 8 * ty, 0, sizeof(int16_t) * 8);
      std::memset(cr_tile + 8 * ty, 0, sizeof(int16_t) * 8);
      for (int i = 0; i < W; ++i) {
        cb_tile[8 * ty + 2 * i] = cb_tile[8 * ty + 2 * i + 1] = cb_row[i];
        cr_tile[8 * ty + 2 * i] = cr_tile[8 * ty + 2 * i + 1] = cr_row[i];
      }
    }
  }
}

// At 1/2 and 1/4 the MCU's reduced blocks are the w x w corners of 8 x 8
// blocks. They are gathered into one tile of at most 8 x 8 samples per
// component (chroma repeated where it serves two pixels), converted by the
// kernel as a whole and copied where visible: the bytes of the per-pixel
// path below in a fraction of its time (the 4:2:0 writer at 1/2: 12 ms of
// a 12 MP picture's 40 before).
JpegStatus scaled_ycc_tiled(JPEG_PROPERTIES* p, const ScaledYccKernels& kernels, int32_t w,
                            int chroma_x, int chroma_y, const ClipRect& visible,
                            uint8_t* position) {
  const int32_t across = p->frame.max_h, down = p->frame.max_v;
  const int tile_width = w * across, tile_height = w * down;
  const int16_t* luma = p->mcu_samples;
  const int16_t* cb = luma + 64 * across * down;
  const int16_t* cr = cb + 64;
  // Rows past the tile's height are neither read nor written.
  alignas(32) int16_t y_tile[64], cb_tile[64], cr_tile[64];
  if (w == 4) {
    gather_tile<4>(luma, cb, cr, across, tile_height, chroma_x, chroma_y, y_tile, cb_tile, cr_tile);
  } else {
    gather_tile<2>(luma, cb, cr, across, tile_height, chroma_x, chroma_y, y_tile, cb_tile, cr_tile);
  }
  const ScaledYccFn kernel = p->out_color == ColorBgr ? kernels.bgr : kernels.rgb;
  const int32_t rows = tile_height;  // 2, 4 or 8: the kernels convert rows in pairs
  const bool whole = tile_width == 8 && tile_height == 8 && visible.left == 0 && visible.top == 0 &&
                     visible.right == 8 && visible.bottom == 8;
  if (whole) {
    kernel(y_tile, cb_tile, cr_tile, position, p->out_line_bytes, 8);
    return JpegSuccess;
  }
  uint8_t pixels[8 * 24];
  kernel(y_tile, cb_tile, cr_tile, pixels, 24, rows);
  for (int y = visible.top; y < visible.bottom; ++y) {
    std::memcpy(position + static_cast<intptr_t>(y) * p->out_line_bytes + 3 * visible.left,
                pixels + 24 * y + 3 * visible.left,
                3 * static_cast<size_t>(visible.right - visible.left));
  }
  return JpegSuccess;
}

JpegStatus fused_scaled_ycc(JPEG_PROPERTIES* p, int32_t col, int32_t row, int32_t w, bool simple) {
  const int32_t across = p->frame.max_h;
  const ChromaShift shift_to_chroma = chroma_shift(p->frame, simple);
  const int chroma_x = shift_to_chroma.x, chroma_y = shift_to_chroma.y;
  uint8_t* position = nullptr;
  ClipRect visible;
  const JpegStatus status =
      clip_mcu(p, w * across, w * p->frame.max_v, col, row, 3, &position, &visible);
  if (status != JpegSuccess) return status;
  const ScaledYccKernels kernels = scaled_ycc_kernels_for(p->routines);
  if (w >= 2 && kernels.rgb != nullptr) {
    return scaled_ycc_tiled(p, kernels, w, chroma_x, chroma_y, visible, position);
  }
  const int shift = w == 4 ? 2 : (w == 2 ? 1 : 0);
  const int16_t* luma = p->mcu_samples;
  const int16_t* cb = luma + 64 * across * p->frame.max_v;
  const int16_t* cr = cb + 64;
  const bool bgr = p->out_color == ColorBgr;
  for (int y = visible.top; y < visible.bottom; ++y) {
    uint8_t* out = position + static_cast<intptr_t>(y) * p->out_line_bytes;
    // Luma: block (y / w, x / w) of the MCU, sample (y % w, x % w) of the
    // reduced block; chroma at the same reduced resolution, row stride 8.
    const int16_t* luma_row = luma + 64 * ((y >> shift) * across) + 8 * (y & (w - 1));
    for (int x = visible.left; x < visible.right; ++x) {
      const int32_t at = 8 * (y >> chroma_y) + (x >> chroma_x);
      put_ycc_pixel(out + 3 * x, luma_row[64 * (x >> shift) + (x & (w - 1))], cb[at], cr[at], bgr);
    }
  }
  return JpegSuccess;
}

}  // namespace

void scaled_ycc_rgb_portable(const int16_t* y, const int16_t* cb, const int16_t* cr, uint8_t* out,
                             int32_t stride, int32_t rows) {
  scaled_ycc_portable<false>(y, cb, cr, out, stride, rows);
}
void scaled_ycc_bgr_portable(const int16_t* y, const int16_t* cb, const int16_t* cr, uint8_t* out,
                             int32_t stride, int32_t rows) {
  scaled_ycc_portable<true>(y, cb, cr, out, stride, rows);
}

void ycc_row_rgb_portable(const int16_t* y, const int16_t* cb, const int16_t* cr, uint8_t* out,
                          int32_t pixels) {
  for (int32_t x = 0; x < pixels; ++x, out += 3) put_ycc_pixel(out, y[x], cb[x], cr[x], false);
}
void ycc_row_bgr_portable(const int16_t* y, const int16_t* cb, const int16_t* cr, uint8_t* out,
                          int32_t pixels) {
  for (int32_t x = 0; x < pixels; ++x, out += 3) put_ycc_pixel(out, y[x], cb[x], cr[x], true);
}

YccRowFn ycc_row_kernel_for(const RoutineTable* t, bool bgr) {
#if KNOT_X86_SIMD
  if (t->out_ycc_rgb == out_ycc_rgb_avx2) return bgr ? ycc_row_bgr_avx2 : ycc_row_rgb_avx2;
#else
  (void)t;
#endif
  return bgr ? ycc_row_bgr_portable : ycc_row_rgb_portable;
}

ScaledYccKernels scaled_ycc_kernels_for(const RoutineTable* t) {
#if KNOT_X86_SIMD
  if (t->out_ycc_rgb == out_ycc_rgb_avx2) return {scaled_ycc_rgb_avx2, scaled_ycc_bgr_avx2};
#else
  (void)t;
#endif
  return {};
}

JpegStatus output_scaled(JPEG_PROPERTIES* p, int32_t col, int32_t row, int32_t w, bool simple) {
  const bool progressive = is_progressive(p);
  const bool upsample = p->upsample == 1, convert = p->convert_color == 1;
  const int32_t ss = p->saved_scan != nullptr ? p->saved_scan->ss : 0;
  // The writer over the frame's components for progressive images (whose
  // MCU holds them all) and bands past DC; the scan's otherwise.
  const bool all = progressive || ss != 0;
  // 4:4:0 at 1/2 goes to its one-pass AVX2 kernel where the table holds
  // the AVX2 kernels: rows of four pixels cost it less than the fused
  // writer's tiles of eight.
  bool one_pass_440 = false;
#if KNOT_X86_SIMD
  one_pass_440 = w == 4 && p->frame.max_h == 1 && p->routines->out_ycc_rgb == out_ycc_rgb_avx2 &&
                 any_sampling_half_avx2(3, false, 1, p->frame.max_v) != nullptr;
#endif
  if (w < 8 && !one_pass_440 && fused_scaled_ycc_applies(p, all, simple)) {
    return fused_scaled_ycc(p, col, row, w, simple);
  }
  JpegStatus status;
  // Chroma of one sample per MCU to RGB, BGR or RGBA: in one pass.
  if (w < 8 && upsample && convert && !simple && any_sampling_output(p)) {
    const McuLayout layout =
        all || p->saved_scan == nullptr ? frame_layout(p) : scan_layout(p, p->saved_scan);
    if (any_sampling_fits(p, layout)) return any_sampling_writer(p, layout, col, row, w);
  }
  // Subsampled colour data: upsample, then convert in place.
  if (upsample && convert) {
    status = upsampled_writer(p, col, row, w, all, simple);
    return status != JpegSuccess ? status : convert_mcu_in_place(p, col, row, w);
  }
  // Full-resolution colour data: copy, then convert in place.
  if (!upsample && convert) {
    status = scaled_copy(p, col, row, w);
    return status != JpegSuccess ? status : convert_mcu_in_place(p, col, row, w);
  }
  // No conversion: upsample what is subsampled; copy what is not, unless the
  // caller keeps YCbCr, which the upsampling writer lays out.
  if (upsample) return upsampled_writer(p, col, row, w, all, simple);
  if (p->out_color != ColorYcbcr) return scaled_copy(p, col, row, w);
  return upsampled_writer(p, col, row, w, all, simple);
}

}  // namespace jpegcodec
