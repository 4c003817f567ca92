// Full-scale MCU output: region clipping, the specialised routines with
// their whole-MCU kernels, and the generic copy.
//
// Every specialised routine clips its MCU; a whole MCU goes through the
// kernel in its routine-table slot, a cut one through the per-pixel path
// quadrant by quadrant. Both paths run the same pixel function over a
// rectangle, so a pixel's bytes never depend on the path.

#include <cstring>
#include <initializer_list>

#include "jpeg/cpu/routine_table.h"
#include "jpeg/decode/output_internal.h"

namespace jpegcodec {

namespace {

// ---- where samples are ----------------------------------------------------

// Luminance blocks side by side: hb blocks across (1 or 2) and vb down.
enum class Sampling { H1V1, H2V1, H2V2 };

template <Sampling S>
struct Geometry;
template <>
struct Geometry<Sampling::H1V1> {
  static constexpr int kWidth = 8, kHeight = 8, kBlocksAcross = 1, kLumaBlocks = 1;
  static int chroma(int x, int y) { return 8 * y + x; }
};
template <>
struct Geometry<Sampling::H2V1> {
  static constexpr int kWidth = 16, kHeight = 8, kBlocksAcross = 2, kLumaBlocks = 2;
  static int chroma(int x, int y) { return 8 * y + (x >> 1); }
};
template <>
struct Geometry<Sampling::H2V2> {
  static constexpr int kWidth = 16, kHeight = 16, kBlocksAcross = 2, kLumaBlocks = 4;
  static int chroma(int x, int y) { return 8 * (y >> 1) + (x >> 1); }
};

template <Sampling S>
inline int32_t luma(const int16_t* blocks, int x, int y) {
  const int block = (y >> 3) * Geometry<S>::kBlocksAcross + (x >> 3);
  return blocks[64 * block + 8 * (y & 7) + (x & 7)];
}

// ---- pixel layouts ----------------------------------------------------------

enum class Layout { Rgb, Bgr, Rgba, Ycck, Copy3, Copy3To4, Copy4, Gray, Packed, GrayTo3, GrayTo4 };

template <Layout L>
constexpr int kBytes = L == Layout::Gray     ? 1
                       : L == Layout::Packed ? 2
                       : (L == Layout::Rgba || L == Layout::Ycck || L == Layout::Copy3To4 ||
                          L == Layout::Copy4 || L == Layout::GrayTo4)
                           ? 4
                           : 3;

// Stores one converted pixel, for the per-pixel path and the kernels alike.
template <Layout L>
inline void put_converted(uint8_t* px, int32_t y, const ChromaTerms& terms, int32_t k) {
  const uint8_t r = terms.red(y), g = terms.green(y), b = terms.blue(y);
  if constexpr (L == Layout::Rgb || L == Layout::Rgba) {
    px[0] = r;
    px[1] = g;
    px[2] = b;
    if constexpr (L == Layout::Rgba) px[3] = 255;
  } else if constexpr (L == Layout::Bgr) {
    px[0] = b;
    px[1] = g;
    px[2] = r;
  } else {  // YCCK: inverted colours, K as stored
    px[0] = static_cast<uint8_t>(255 - r);
    px[1] = static_cast<uint8_t>(255 - g);
    px[2] = static_cast<uint8_t>(255 - b);
    px[3] = static_cast<uint8_t>(k);
  }
}

// Writes pixels [x0, x1) x [y0, y1) of the MCU, in MCU coordinates.
template <Layout L, Sampling S>
void write_region(const int16_t* c0, const int16_t* c1, const int16_t* c2, const int16_t* c3,
                  uint8_t* position, int32_t stride, int x0, int x1, int y0, int y1) {
  for (int y = y0; y < y1; ++y) {
    uint8_t* out = position + static_cast<intptr_t>(y) * stride;
    for (int x = x0; x < x1; ++x) {
      uint8_t* px = out + kBytes<L> * x;
      const int32_t y_sample = luma<S>(c0, x, y);
      if constexpr (L == Layout::Gray) {
        px[0] = clamp_byte(y_sample);
      } else if constexpr (L == Layout::Packed) {
        // Y, Cb, Y, Cr for each pair of pixels.
        px[0] = static_cast<uint8_t>(y_sample);
        const int chroma = Geometry<S>::chroma(x, y);
        px[1] = static_cast<uint8_t>((x & 1) == 0 ? c1[chroma] : c2[chroma]);
      } else if constexpr (L == Layout::Copy3 || L == Layout::Copy3To4 || L == Layout::Copy4) {
        const int chroma = Geometry<S>::chroma(x, y);
        px[0] = static_cast<uint8_t>(y_sample);
        px[1] = static_cast<uint8_t>(c1[chroma]);
        px[2] = static_cast<uint8_t>(c2[chroma]);
        if constexpr (L == Layout::Copy3To4) px[3] = 255;
        if constexpr (L == Layout::Copy4) px[3] = static_cast<uint8_t>(luma<S>(c3, x, y));
      } else {
        const int chroma = Geometry<S>::chroma(x, y);
        int32_t k = 0;
        if constexpr (L == Layout::Ycck) k = luma<S>(c3, x, y);
        put_converted<L>(px, y_sample, ChromaTerms(c1[chroma], c2[chroma]), k);
      }
    }
  }
}

// ---- kernels (routine-table slots): one whole MCU ---------------------------

// The conversion kernels walk the MCU chroma row by chroma row: the chroma
// terms of a row are computed once and serve the two (h2v2) or one luma
// rows over it, and each chroma sample its two (h2v1, h2v2) or one pixels.
// The per-pixel path gives the same bytes (tested); this only saves work.
template <Layout L, Sampling S>
void convert_kernel(const int16_t* y, const int16_t* cb, const int16_t* cr, const int16_t* k,
                    uint8_t* out, int32_t stride) {
  constexpr int kAcross = Geometry<S>::kBlocksAcross;  // luma blocks across
  constexpr int kRowsPerChroma = S == Sampling::H2V2 ? 2 : 1;
  constexpr int kPixelsPerChroma = kAcross;  // 2 for h2v*, 1 for h1v1
  for (int cy = 0; cy < 8; ++cy) {
    const ChromaRowTerms terms(cb, cr, cy);
    for (int half = 0; half < kRowsPerChroma; ++half) {
      const int py = kRowsPerChroma * cy + half;
      // Luma row py: blocks (py / 8) * kAcross .. + kAcross - 1, row py % 8.
      const int16_t* luma_row = y + 64 * ((py >> 3) * kAcross) + 8 * (py & 7);
      const int16_t* k_row = k != nullptr ? k + 64 * ((py >> 3) * kAcross) + 8 * (py & 7) : nullptr;
      uint8_t* o = out + static_cast<intptr_t>(py) * stride;
      for (int cx = 0; cx < 8; ++cx) {
        for (int i = 0; i < kPixelsPerChroma; ++i) {
          const int px = kPixelsPerChroma * cx + i;
          const int offset = 64 * (px >> 3) + (px & 7);
          put_converted<L>(o + kBytes<L> * px, luma_row[offset], terms.at[cx],
                           k_row != nullptr ? k_row[offset] : 0);
        }
      }
    }
  }
}

template <Layout L, Sampling S>
void kernel1(const int16_t* c0, uint8_t* out, int32_t stride) {
  write_region<L, S>(c0, nullptr, nullptr, nullptr, out, stride, 0, Geometry<S>::kWidth, 0,
                     Geometry<S>::kHeight);
}
template <Layout L, Sampling S>
void kernel3(const int16_t* c0, const int16_t* c1, const int16_t* c2, uint8_t* out,
             int32_t stride) {
  if constexpr (L == Layout::Rgb || L == Layout::Bgr || L == Layout::Rgba) {
    convert_kernel<L, S>(c0, c1, c2, nullptr, out, stride);
  } else {
    write_region<L, S>(c0, c1, c2, nullptr, out, stride, 0, Geometry<S>::kWidth, 0,
                       Geometry<S>::kHeight);
  }
}
template <Layout L, Sampling S>
void kernel4(const int16_t* c0, const int16_t* c1, const int16_t* c2, const int16_t* c3,
             uint8_t* out, int32_t stride) {
  if constexpr (L == Layout::Ycck) {
    convert_kernel<L, S>(c0, c1, c2, c3, out, stride);
  } else {
    write_region<L, S>(c0, c1, c2, c3, out, stride, 0, Geometry<S>::kWidth, 0,
                       Geometry<S>::kHeight);
  }
}

// ---- the MCU routines -------------------------------------------------------

using Kernel1Slot = OutKernel1Fn RoutineTable::*;
using Kernel3Slot = OutKernel3Fn RoutineTable::*;
using Kernel4Slot = OutKernel4Fn RoutineTable::*;

// Component blocks of an interleaved MCU: Y (h·v blocks), then the others.
template <Sampling S>
void component_pointers(const JPEG_PROPERTIES* p, const int16_t** c) {
  const int16_t* base = p->mcu_samples;
  c[0] = base;
  c[1] = base + 64 * Geometry<S>::kLumaBlocks;
  c[2] = c[1] + 64;
  c[3] = c[2] + 64;  // the fourth component has Y's sampling
}

template <Layout L, Sampling S, typename Kernel>
JpegStatus specialised(JPEG_PROPERTIES* p, int32_t col, int32_t row, Kernel kernel) {
  constexpr int kW = Geometry<S>::kWidth, kH = Geometry<S>::kHeight;
  uint8_t* position = nullptr;
  ClipRect visible;
  const JpegStatus status = clip_mcu(p, kW, kH, col, row, kBytes<L>, &position, &visible);
  if (status != JpegSuccess) return status;
  const int16_t* c[4];
  component_pointers<S>(p, c);
  write_clipped_mcu(position, p->out_line_bytes, visible, kW, kH, kBytes<L>,
                    [&](uint8_t* out, int32_t stride) { kernel(c, out, stride); });
  return JpegSuccess;
}

template <Layout L, Sampling S, Kernel3Slot kSlot>
JpegStatus output3(JPEG_PROPERTIES* p, int32_t col, int32_t row) {
  const RoutineTable* t = p->routines;
  return specialised<L, S>(p, col, row, [t](const int16_t** c, uint8_t* out, int32_t stride) {
    (t->*kSlot)(c[0], c[1], c[2], out, stride);
  });
}
template <Layout L, Sampling S, Kernel4Slot kSlot>
JpegStatus output4(JPEG_PROPERTIES* p, int32_t col, int32_t row) {
  const RoutineTable* t = p->routines;
  return specialised<L, S>(p, col, row, [t](const int16_t** c, uint8_t* out, int32_t stride) {
    (t->*kSlot)(c[0], c[1], c[2], c[3], out, stride);
  });
}
// Grey samples into three equal channels (and 255 as a fourth), a row of
// eight pixels at a time.
template <int kChannels>
void gray_spread_kernel(const int16_t* y, uint8_t* out, int32_t stride) {
  for (int row = 0; row < 8; ++row) {
    const int16_t* s = y + 8 * row;
    uint8_t line[8 * kChannels];
    for (int x = 0; x < 8; ++x) {
      const auto v = static_cast<uint8_t>(s[x]);
      line[kChannels * x] = v;
      line[kChannels * x + 1] = v;
      line[kChannels * x + 2] = v;
      if constexpr (kChannels == 4) line[4 * x + 3] = 255;
    }
    memcpy(out + static_cast<intptr_t>(row) * stride, line, sizeof line);
  }
}

}  // namespace

JpegStatus output_gray_spread(JPEG_PROPERTIES* p, int32_t col, int32_t row) {
  if (p->out_channels == 4) {
    return specialised<Layout::GrayTo4, Sampling::H1V1>(
        p, col, row, [](const int16_t** c, uint8_t* out, int32_t stride) {
          gray_spread_kernel<4>(c[0], out, stride);
        });
  }
  return specialised<Layout::GrayTo3, Sampling::H1V1>(
      p, col, row, [](const int16_t** c, uint8_t* out, int32_t stride) {
        gray_spread_kernel<3>(c[0], out, stride);
      });
}

namespace {

JpegStatus output_gray(JPEG_PROPERTIES* p, int32_t col, int32_t row) {
  const RoutineTable* t = p->routines;
  return specialised<Layout::Gray, Sampling::H1V1>(
      p, col, row,
      [t](const int16_t** c, uint8_t* out, int32_t stride) { t->out_gray(c[0], out, stride); });
}

}  // namespace

// ---- clipping -------------------------------------------------------------------

JpegStatus clip_mcu(const JPEG_PROPERTIES* p, int32_t mcu_width, int32_t mcu_height, int32_t col,
                    int32_t row, int32_t bytes_per_pixel, uint8_t** position, ClipRect* visible) {
  const int64_t x0 = int64_t{col} * mcu_width;
  const int64_t y0 = int64_t{row} * mcu_height;
  const int64_t stride = p->out_line_bytes;
  const int64_t rows = p->out_height < 0 ? -int64_t{p->out_height} : p->out_height;
  auto min3 = [](int64_t a, int64_t b, int64_t c) {
    return a < b ? (a < c ? a : c) : (b < c ? b : c);
  };
  int64_t left = 0, top = 0, right, bottom, origin_x = x0, origin_y = y0;
  if (p->roi_left == 0 && p->roi_top == 0 && p->roi_right == 0 && p->roi_bottom == 0) {
    right = mcu_width < p->out_width - x0 ? mcu_width : p->out_width - x0;
    bottom = mcu_height < rows - y0 ? mcu_height : rows - y0;
  } else {
    if (x0 >= p->roi_right || x0 + mcu_width < p->roi_left || y0 >= p->roi_bottom ||
        y0 + mcu_height < p->roi_top) {
      return JpegInvalidProperties;
    }
    origin_x = x0 - p->roi_left;
    origin_y = y0 - p->roi_top;
    left = p->roi_left - x0 > 0 ? p->roi_left - x0 : 0;
    top = p->roi_top - y0 > 0 ? p->roi_top - y0 : 0;
    right = min3(mcu_width, p->roi_right - x0, p->roi_left - x0 + p->out_width);
    bottom = min3(mcu_height, p->roi_bottom - y0, p->roi_top - y0 + rows);
  }
  visible->left = static_cast<int32_t>(left);
  visible->top = static_cast<int32_t>(top);
  visible->right = static_cast<int32_t>(right > left ? right : left);
  visible->bottom = static_cast<int32_t>(bottom > top ? bottom : top);
  // The position may point outside the buffer for a cut MCU; it is only
  // ever added to with visible offsets, which land inside.
  const intptr_t offset = static_cast<intptr_t>(origin_x * bytes_per_pixel + origin_y * stride);
  *position = reinterpret_cast<uint8_t*>(reinterpret_cast<uintptr_t>(p->stream.out_start) +
                                         static_cast<uintptr_t>(offset));
  return JpegSuccess;
}

// ---- generic copy -------------------------------------------------------------------

JpegStatus output_generic_copy(JPEG_PROPERTIES* p, int32_t col, int32_t row) {
  const int32_t n_out = p->out_channels;
  uint8_t* position = nullptr;
  ClipRect visible;
  const JpegStatus status = clip_mcu(p, 8, 8, col, row, n_out, &position, &visible);
  if (status != JpegSuccess) return status;
  const int32_t nc = p->frame.component_count;
  const int32_t stride = p->out_line_bytes;
  const bool reversed = p->out_color == ColorBgr && p->jpeg_color == ColorRgb;
  const bool gray = p->jpeg_color == ColorGray;
  for (int32_t d = 0; d < n_out; ++d) {
    for (int y = visible.top; y < visible.bottom; ++y) {
      uint8_t* out = position + static_cast<intptr_t>(y) * stride;
      for (int x = visible.left; x < visible.right; ++x) {
        uint8_t* px = out + n_out * x;
        if (gray && d > 0) {
          // Grey data: Y in every colour channel, 255 as the fourth.
          px[d] = d == 3 ? 255 : px[d - 1];
        } else if (d < nc) {
          const int16_t sample = block_at(p, d)[8 * y + x];
          px[reversed ? 2 - d : d] = static_cast<uint8_t>(sample);
        } else if (d == 3 && p->out_color == ColorFourChannel) {
          px[3] = 255;
        }
      }
    }
  }
  return JpegSuccess;
}

// ---- the table of specialised routines -----------------------------------------

void install_output_kernels(RoutineTable* t) {
  using enum Layout;
  using enum Sampling;
  t->out_gray = kernel1<Gray, H1V1>;
  t->out_ycc_rgb = kernel3<Rgb, H1V1>;
  t->out_ycc422_rgb = kernel3<Rgb, H2V1>;
  t->out_ycc420_rgb = kernel3<Rgb, H2V2>;
  t->out_ycc_bgr = kernel3<Bgr, H1V1>;
  t->out_ycc422_bgr = kernel3<Bgr, H2V1>;
  t->out_ycc420_bgr = kernel3<Bgr, H2V2>;
  t->out_ycc_rgba = kernel3<Rgba, H1V1>;
  t->out_ycc422_rgba = kernel3<Rgba, H2V1>;
  t->out_ycc420_rgba = kernel3<Rgba, H2V2>;
  t->out_copy3 = kernel3<Copy3, H1V1>;
  t->up422_copy = kernel3<Copy3, H2V1>;
  t->up420_copy = kernel3<Copy3, H2V2>;
  t->out_copy3to4 = kernel3<Copy3To4, H1V1>;
  t->out_ycc422_packed = kernel3<Packed, H2V1>;
  t->out_ycck = kernel4<Ycck, H1V1>;
  t->out_ycck422 = kernel4<Ycck, H2V1>;
  t->out_ycck420 = kernel4<Ycck, H2V2>;
  t->out_copy4 = kernel4<Copy4, H1V1>;
}

McuOutputFn specialised_output(OutputLayout layout) {
  using enum Layout;
  using enum Sampling;
  switch (layout) {
    case kYccToRgb:
      return output3<Rgb, H1V1, &RoutineTable::out_ycc_rgb>;
    case kYccToBgr:
      return output3<Bgr, H1V1, &RoutineTable::out_ycc_bgr>;
    case kYcc420ToRgb:
      return output3<Rgb, H2V2, &RoutineTable::out_ycc420_rgb>;
    case kYcc420ToBgr:
      return output3<Bgr, H2V2, &RoutineTable::out_ycc420_bgr>;
    case kYcc422ToRgb:
      return output3<Rgb, H2V1, &RoutineTable::out_ycc422_rgb>;
    case kYcc422ToBgr:
      return output3<Bgr, H2V1, &RoutineTable::out_ycc422_bgr>;
    case kYccToRgba:
      return output3<Rgba, H1V1, &RoutineTable::out_ycc_rgba>;
    case kYcc420ToRgba:
      return output3<Rgba, H2V2, &RoutineTable::out_ycc420_rgba>;
    case kYcc422ToRgba:
      return output3<Rgba, H2V1, &RoutineTable::out_ycc422_rgba>;
    case kYcckToCmyk:
      return output4<Ycck, H1V1, &RoutineTable::out_ycck>;
    case kYcck420ToCmyk:
      return output4<Ycck, H2V2, &RoutineTable::out_ycck420>;
    case kYcck422ToCmyk:
      return output4<Ycck, H2V1, &RoutineTable::out_ycck422>;
    case kCopy3To4:
      return output3<Copy3To4, H1V1, &RoutineTable::out_copy3to4>;
    case kCopy4:
      return output4<Copy4, H1V1, &RoutineTable::out_copy4>;
    case kCopy3:
      return output3<Copy3, H1V1, &RoutineTable::out_copy3>;
    case kUpsample420Copy:
      return output3<Copy3, H2V2, &RoutineTable::up420_copy>;
    case kUpsample422Copy:
      return output3<Copy3, H2V1, &RoutineTable::up422_copy>;
    case kGreyCopy:
      return output_gray;
    case kYcc422Packed:
      return output3<Packed, H2V1, &RoutineTable::out_ycc422_packed>;
    case kLayoutGeneric:
      break;
  }
  return nullptr;
}

}  // namespace jpegcodec
