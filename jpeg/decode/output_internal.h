// What the MCU output routines share: clipping, block addressing and the
// colour arithmetic.
#pragma once

#include <cstring>

#include <cstdint>

#include "jpeg/api/jpegcodec.h"
#include "jpeg/cpu/routine_table.h"

namespace jpegcodec {

// The part of an MCU that lies inside the image and the region of interest,
// relative to the MCU's top-left corner; right and bottom exclusive.
struct ClipRect {
  int32_t left = 0, top = 0, right = 0, bottom = 0;
  bool empty() const { return right <= left || bottom <= top; }
};

// Where MCU (col, row) of mcu_width x mcu_height pixels lands in the caller's
// image: *position receives the address of its top-left pixel (it may lie
// outside the buffer when the MCU is cut; only visible pixels are written),
// *visible its visible pixels. -8 when the MCU lies outside the region.
JpegStatus clip_mcu(const JPEG_PROPERTIES* p, int32_t mcu_width, int32_t mcu_height, int32_t col,
                    int32_t row, int32_t bytes_per_pixel, uint8_t** position, ClipRect* visible);

inline uint8_t clamp_byte(int32_t x) {
  return static_cast<uint8_t>(x < 0 ? 0 : (x > 255 ? 255 : x));
}

// YCbCr to RGB, the three chroma terms computed once for the pixels that
// share a chroma sample: neutral chroma (Cb = Cr = 128) gives R = G = B = Y.
// Green is Y + ((34806 - 88 Cb - 183 Cr) >> 8), held as the term it
// subtracts, (88 Cb + 183 Cr - 34806 + 255) >> 8.
struct ChromaTerms {
  int32_t r, g, b;
  ChromaTerms(int32_t cb, int32_t cr)
      : r((359 * cr - 45813) >> 8),
        g((88 * cb + 183 * cr - 34806 + 255) >> 8),
        b((454 * cb - 57984) >> 8) {}
  uint8_t red(int32_t y) const { return clamp_byte(y + r); }
  uint8_t green(int32_t y) const { return clamp_byte(y - g); }
  uint8_t blue(int32_t y) const { return clamp_byte(y + b); }
};

// The terms of the eight chroma samples of row `cy` of a Cb and a Cr block.
struct ChromaRowTerms {
  ChromaTerms at[8];
  ChromaRowTerms(const int16_t* cb, const int16_t* cr, int cy)
      : at{{cb[8 * cy], cr[8 * cy]},         {cb[8 * cy + 1], cr[8 * cy + 1]},
           {cb[8 * cy + 2], cr[8 * cy + 2]}, {cb[8 * cy + 3], cr[8 * cy + 3]},
           {cb[8 * cy + 4], cr[8 * cy + 4]}, {cb[8 * cy + 5], cr[8 * cy + 5]},
           {cb[8 * cy + 6], cr[8 * cy + 6]}, {cb[8 * cy + 7], cr[8 * cy + 7]}} {}
};

// Writes an MCU of mcu_width x mcu_height pixels of `bytes` each through
// `kernel(out, stride)`, which writes it whole: straight into the image when
// all of it shows, otherwise into a buffer of its own (up to 32 x 32
// pixels of 4 bytes) whose visible part is then copied.
template <typename Kernel>
void write_clipped_mcu(uint8_t* position, int32_t stride, const ClipRect& visible, int mcu_width,
                       int mcu_height, int bytes, Kernel kernel) {
  if (visible.left == 0 && visible.top == 0 && visible.right == mcu_width &&
      visible.bottom == mcu_height) {
    // The lines two MCUs on are asked for now: the caller's image is mostly
    // out of the caches, and rows written a few bytes at a time in MCU
    // order leave the processor's own prefetching too short a run to learn.
    for (int y = 0; y < mcu_height; ++y) {
      __builtin_prefetch(position + 2 * mcu_width * bytes + static_cast<intptr_t>(y) * stride, 1);
    }
    kernel(position, stride);
    return;
  }
  const int line = mcu_width * bytes;
  alignas(32) uint8_t whole[32 * 32 * 4];
  kernel(whole, line);
  const size_t visible_bytes = static_cast<size_t>(visible.right - visible.left) * bytes;
  for (int y = visible.top; y < visible.bottom; ++y) {
    memcpy(position + static_cast<intptr_t>(y) * stride + visible.left * bytes,
           whole + y * line + visible.left * bytes, visible_bytes);
  }
}

// The same for one pixel, as the conversions in place compute it.
inline void convert_in_place_rgb(int32_t y, int32_t cb, int32_t cr, uint8_t* r, uint8_t* g,
                                 uint8_t* b) {
  *r = clamp_byte(y + ((359 * cr - 45813) >> 8));
  *g = clamp_byte(y + ((34806 - 88 * cb - 183 * cr) >> 8));
  *b = clamp_byte(y + ((454 * cb - 57984) >> 8));
}

// YCbCr of three components, chroma of one block an MCU, to three-channel
// RGB or BGR; `all` as for fused_scaled_ycc_applies.
bool single_block_chroma_ycc(const JPEG_PROPERTIES* p, bool all);
// YCbCr of 4:4:4, 4:2:2, 4:4:0 or 4:2:0 straight to three-channel RGB or
// BGR pixels at a reduced scale: the bytes the upsampling writer and the
// in-place conversion give, in one pass. `all`: the MCU holds the frame's
// components (progressive images); `simple`: chroma reconstructed at the
// luma's size (see simple_sampling).
bool fused_scaled_ycc_applies(const JPEG_PROPERTIES* p, bool all, bool simple);

// How far the fused writers shift a pixel's position to find its chroma
// sample: chroma samples each serve 2 pixels across (down) where the luma
// has two blocks across (down), unless reconstructed at the luma's size
// (`simple`).
struct ChromaShift {
  int x, y;
};
inline ChromaShift chroma_shift(const FrameHeader& frame, bool simple) {
  return {!simple && frame.max_h == 2 ? 1 : 0, !simple && frame.max_v == 2 ? 1 : 0};
}

// One pixel of YCbCr as three bytes, RGB or BGR, by the in-place rule.
inline void put_ycc_pixel(uint8_t* px, int32_t y, int32_t cb, int32_t cr, bool bgr) {
  uint8_t r, g, b;
  convert_in_place_rgb(y, cb, cr, &r, &g, &b);
  px[0] = bgr ? b : r;
  px[1] = g;
  px[2] = bgr ? r : b;
}

// The reduced-scale writers' kernels: `rows` (2, 4, 6 or 8) rows of eight
// pixels of three-channel RGB (or BGR) from 8 x 8 blocks of Y, Cb and Cr
// (stride 8), converted as ChromaTerms converts. Null where the
// table has no vector variants: the writers then convert pixel by pixel.
using ScaledYccFn = void (*)(const int16_t* y, const int16_t* cb, const int16_t* cr, uint8_t* out,
                             int32_t stride, int32_t rows);
struct ScaledYccKernels {
  ScaledYccFn rgb = nullptr;
  ScaledYccFn bgr = nullptr;
};
ScaledYccKernels scaled_ycc_kernels_for(const RoutineTable* table);
// The portable twins of the vector kernels.
void scaled_ycc_rgb_portable(const int16_t* y, const int16_t* cb, const int16_t* cr, uint8_t* out,
                             int32_t stride, int32_t rows);
void scaled_ycc_bgr_portable(const int16_t* y, const int16_t* cb, const int16_t* cr, uint8_t* out,
                             int32_t stride, int32_t rows);
void scaled_ycc_rgb_avx2(const int16_t* y, const int16_t* cb, const int16_t* cr, uint8_t* out,
                         int32_t stride, int32_t rows);
void scaled_ycc_bgr_avx2(const int16_t* y, const int16_t* cb, const int16_t* cr, uint8_t* out,
                         int32_t stride, int32_t rows);
// One row of `pixels` pixels of three-channel RGB (or BGR) from rows of Y,
// Cb and Cr at the same resolution, converted as the kernels above convert:
// the reduced-scale batch writers' converter. The AVX2 variant where the
// table holds the AVX2 kernels, the portable one otherwise.
using YccRowFn = void (*)(const int16_t* y, const int16_t* cb, const int16_t* cr, uint8_t* out,
                          int32_t pixels);
YccRowFn ycc_row_kernel_for(const RoutineTable* table, bool bgr);
void ycc_row_rgb_portable(const int16_t* y, const int16_t* cb, const int16_t* cr, uint8_t* out,
                          int32_t pixels);
void ycc_row_bgr_portable(const int16_t* y, const int16_t* cb, const int16_t* cr, uint8_t* out,
                          int32_t pixels);
void ycc_row_rgb_avx2(const int16_t* y, const int16_t* cb, const int16_t* cr, uint8_t* out,
                      int32_t pixels);
void ycc_row_bgr_avx2(const int16_t* y, const int16_t* cb, const int16_t* cr, uint8_t* out,
                      int32_t pixels);

// Converts one pixel of Y, Cb, Cr bytes in place:
// three channels to R,G,B or B,G,R; four channels from YCCK to 255-R,
// 255-G, 255-B (K kept) or from YCbCr to R,G,B (byte 3 as it is).
inline void convert_pixel_in_place(uint8_t* px, int32_t channels, int32_t out_color,
                                   int32_t jpeg_color) {
  uint8_t r, g, b;
  convert_in_place_rgb(px[0], px[1], px[2], &r, &g, &b);
  if (channels == 3) {
    px[0] = out_color == ColorBgr ? b : r;
    px[1] = g;
    px[2] = out_color == ColorBgr ? r : b;
  } else if (jpeg_color == ColorYcck) {
    px[0] = static_cast<uint8_t>(255 - r);
    px[1] = static_cast<uint8_t>(255 - g);
    px[2] = static_cast<uint8_t>(255 - b);
  } else if (jpeg_color == ColorYcbcr) {
    px[0] = r;
    px[1] = g;
    px[2] = b;
  }
}

// Blocks of the MCU in mcu_buffer: component by component, each with h·v
// blocks of 64 samples; `first_block[n]` is where component n starts.
struct McuLayout {
  int32_t count = 0;
  int32_t first_block[4] = {};
  int32_t h[4] = {};
  int32_t v[4] = {};
  int32_t frame_index[4] = {};
};
// The layout of the frame's components (progressive images), or the current
// scan's components.
McuLayout frame_layout(const JPEG_PROPERTIES* p);
McuLayout scan_layout(const JPEG_PROPERTIES* p, const ScanHeader* scan);

inline const int16_t* block_at(const JPEG_PROPERTIES* p, int32_t index) {
  return p->mcu_samples + 64 * index;
}

// The output layouts: the cases the output set-up records in output_layout
// (0: none of them, the generic writers), each with its MCU routine.
enum OutputLayout : int32_t {
  kLayoutGeneric = 0,
  kYccToRgb = 1,      // YCbCr 1x1 to RGB
  kYccToBgr = 2,      // YCbCr 1x1 to BGR
  kYcc420ToRgb = 3,   // 4:2:0 to RGB
  kYcc420ToBgr = 4,   // 4:2:0 to BGR
  kYcc422ToRgb = 5,   // 4:2:2 to RGB
  kYcc422ToBgr = 6,   // 4:2:2 to BGR
  kYccToRgba = 7,     // YCbCr 1x1 to RGB and 255
  kYcc420ToRgba = 8,  // 4:2:0 to RGB and 255
  kYcc422ToRgba = 9,  // 4:2:2 to RGB and 255
  kYcckToCmyk = 10,   // YCCK 1x1 to 255 - R, 255 - G, 255 - B, K
  kYcck420ToCmyk = 11,
  kYcck422ToCmyk = 12,
  kCopy3To4 = 13,         // three 1x1 components to four channels
  kCopy4 = 14,            // four 1x1 components unchanged
  kCopy3 = 15,            // three 1x1 components unchanged
  kUpsample420Copy = 16,  // 4:2:0 upsampled, without conversion
  kUpsample422Copy = 17,  // 4:2:2 upsampled, without conversion
  kGreyCopy = 18,         // one component to one channel
  kYcc422Packed = 19,     // 4:2:2 YCbCr as Y, Cb, Y, Cr
};

// The specialised MCU routines, chosen by the output set-up.
JpegStatus output_generic_copy(JPEG_PROPERTIES* p, int32_t col, int32_t row);
// A grey frame into three channels (Y, Y, Y) or four (Y, Y, Y, 255).
JpegStatus output_gray_spread(JPEG_PROPERTIES* p, int32_t col, int32_t row);
void install_output_kernels(RoutineTable* table);
McuOutputFn specialised_output(OutputLayout layout);

// Part of the generic writers used at full and reduced scale.
JpegStatus output_upsampled(JPEG_PROPERTIES* p, int32_t col, int32_t row);
JpegStatus output_upsampled_all(JPEG_PROPERTIES* p, int32_t col, int32_t row);
JpegStatus output_upsampled_convert(JPEG_PROPERTIES* p, int32_t col, int32_t row);
// YCbCr with luma of up to 4 x 4 blocks and chroma of one, to RGB, BGR or
// RGBA in one pass (the same bytes as output_upsampled_convert).
JpegStatus output_ycc_any_sampling(JPEG_PROPERTIES* p, int32_t col, int32_t row);
// Its whole-MCU kernels: Y, Cb, Cr blocks to `bytes` (3 or 4) a pixel.
using AnySamplingFn = void (*)(const int16_t* y, const int16_t* cb, const int16_t* cr, uint8_t* out,
                               int32_t stride);
// The portable kernel for luma h x v (1 to 4 each), and the AVX2 one where
// there is one (null otherwise); the writer takes the AVX2 kernels where the
// table holds the AVX2 MCU kernels.
AnySamplingFn any_sampling_portable(int bytes, bool bgr, int h, int v);
AnySamplingFn any_sampling_avx2(int bytes, bool bgr, int h, int v);
// The AVX2 grey kernel, and grey samples of `count` blocks `room` values
// apart (a row of `side`, 8 or 4, from `first` on) as bytes of three equal
// channels (and 255 as a fourth, `channels` 4): the blocks written, a
// multiple of 16 / side; the rest are the caller's.
void out_gray_avx2(const int16_t* y, uint8_t* out, int32_t stride);
int32_t grey_spread_avx2(const int16_t* first, int32_t room, int32_t count, int side, int channels,
                         uint8_t* out);
// The same at 1/2 (blocks of 4 x 4 samples, row stride 8), for luma of one
// or four blocks across: null for other samplings.
AnySamplingFn any_sampling_half_avx2(int bytes, bool bgr, int h, int v);
// The portable kernel at a reduced scale: blocks of w x w samples (4, 2 or
// 1; row stride 8).
void any_sampling_reduced_portable(int bytes, bool bgr, int h, int v, int w, const int16_t* y,
                                   const int16_t* cb, const int16_t* cr, uint8_t* out,
                                   int32_t stride);
JpegStatus convert_mcu_in_place(JPEG_PROPERTIES* p, int32_t col, int32_t row, int32_t w);

}  // namespace jpegcodec
