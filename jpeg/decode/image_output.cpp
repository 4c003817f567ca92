// The choice of MCU output routine, and the whole-image conversion.

#include "jpeg/decode/image_output.h"

#include "jpeg/cpu/routine_table.h"
#include "jpeg/decode/output_internal.h"
#include "jpeg/decode/smooth_output.h"

namespace jpegcodec {

bool decode_combination_allowed(int32_t jpeg_color, int32_t jpeg_channels, int32_t out_color,
                                int32_t out_channels) {
  const bool rgb3 = (out_color == ColorRgb || out_color == ColorBgr) && out_channels == 3;
  const bool four = out_color == ColorFourChannel && out_channels == 4;
  switch (jpeg_color) {
    case ColorGray:
      return jpeg_channels == 1 && ((out_color == ColorGray && out_channels == 1) || rgb3 || four);
    case ColorRgb:
      return jpeg_channels == 3 && (rgb3 || four);
    case ColorYcbcr:
      return jpeg_channels == 3 && ((out_color == ColorGray && out_channels == 1) || rgb3 || four ||
                                    out_color == ColorYcbcr);
    case ColorFourChannel:
    case ColorYcck:
      return jpeg_channels == 4 && four;
    case ColorOther:
      return out_color == ColorOther;
    default:
      return false;
  }
}

namespace {

bool factors(const FrameComponent& c, int h, int v) {
  return c.h == h && c.v == v;
}

// Component 0 at (h, v), components 1 and 2 at 1x1, and a fourth component
// sampled like the first.
bool sampled(const FrameHeader& frame, int h, int v) {
  const int nc = frame.component_count;
  if (nc < 3 || nc > 4) return false;
  const FrameComponent* c = frame.components;
  if (!factors(c[0], h, v) || !factors(c[1], 1, 1) || !factors(c[2], 1, 1)) return false;
  return nc == 3 || factors(c[3], h, v);
}

bool all_full_resolution(const FrameHeader& frame) {
  for (int i = 0; i < frame.component_count && i < 4; ++i) {
    if (!factors(frame.components[i], 1, 1)) return false;
  }
  return true;
}

}  // namespace

JpegStatus choose_mcu_output(JPEG_PROPERTIES* p) {
  RoutineTable* t = p->routines;
  const FrameHeader& frame = p->frame;
  const int32_t nc = frame.component_count, n = p->out_channels;
  const int32_t o = p->out_color;
  const bool progressive = p->progressive_scans != 0;
  const bool convert = p->convert_color == 1, upsample = p->upsample == 1;
  const bool smooth_off = p->smooth_upsampling == 0;
  const bool full = all_full_resolution(frame);
  const bool h2v2 = sampled(frame, 2, 2), h2v1 = sampled(frame, 2, 1);
  McuOutputFn generic = progressive ? output_upsampled_all : output_upsampled;
  p->output_layout = kLayoutGeneric;

  auto use = [&](OutputLayout layout) {
    p->output_layout = layout;
    t->mcu_output = specialised_output(layout);
    return JpegSuccess;
  };

  if (convert && progressive && !p->progressive_frame) {
    // A sequential frame whose components came in separate scans is
    // converted as one image: with the in-place rule (neutral chroma keeps
    // G = Y), not the MCU kernels' rounding.
    t->mcu_output = output_upsampled_convert;
    return JpegSuccess;
  }
  if (convert) {
    const bool rgb3 = nc == 3 && n == 3 && (o == ColorRgb || o == ColorBgr);
    const bool bgr = o == ColorBgr;
    if (rgb3 && full) return use(bgr ? kYccToBgr : kYccToRgb);
    if (rgb3 && h2v2 && smooth_off) return use(bgr ? kYcc420ToBgr : kYcc420ToRgb);
    if (rgb3 && h2v1 && smooth_off) return use(bgr ? kYcc422ToBgr : kYcc422ToRgb);
    const bool rgba = nc == 3 && n == 4 && o == ColorFourChannel;
    if (rgba && full) return use(kYccToRgba);
    if (rgba && h2v2 && smooth_off) return use(kYcc420ToRgba);
    if (rgba && h2v1 && smooth_off) return use(kYcc422ToRgba);
    const bool ycck = nc == 4 && n == 4 && o == ColorFourChannel;
    if (ycck && full) return use(kYcckToCmyk);
    if (ycck && h2v2 && smooth_off) return use(kYcck420ToCmyk);
    if (ycck && h2v1 && smooth_off) return use(kYcck422ToCmyk);
    // Any other sampling with chroma of one sample per MCU: one pass.
    const bool one_chroma = nc == 3 && frame.components[1].h == 1 && frame.components[1].v == 1 &&
                            frame.components[2].h == 1 && frame.components[2].v == 1 &&
                            frame.max_h <= 4 && frame.max_v <= 4;
    if ((rgb3 || rgba) && p->jpeg_color == ColorYcbcr && one_chroma && !smoothing_applies(p)) {
      t->mcu_output = output_ycc_any_sampling;
      return JpegSuccess;
    }
    // Any other sampling, or smoothing: upsample, then convert in place.
    // (Combinations no row names take the same writer.)
    t->mcu_output = output_upsampled_convert;
    return JpegSuccess;
  }

  if (!upsample && full) {
    if (nc == 1 && n == 1) {
      t->mcu_output = specialised_output(kGreyCopy);
      return JpegSuccess;
    }
    if (nc == 1 && (n == 3 || n == 4)) {
      t->mcu_output = output_gray_spread;
      return JpegSuccess;
    }
    if ((nc == 1 && n != 1) || nc == 2 || (nc == 3 && n == 1) ||
        (nc == 3 && n == 3 && o == ColorBgr) || (nc == 3 && n == 4 && o != ColorFourChannel) ||
        (nc == 4 && n == 3)) {
      t->mcu_output = output_generic_copy;
      return JpegSuccess;
    }
    if (nc == 3 && n == 3) return use(kCopy3);
    if (nc == 3 && n == 4) return use(kCopy3To4);
    if (nc == 4 && n == 4) return use(kCopy4);
  }
  if (!upsample && !full && o == ColorYcbcr && nc == 3 && h2v1) {
    // 4:2:2 YCbCr kept as YCbCr: packed two bytes a pixel, or three
    // channels with the chroma repeated (not three blocks read as one MCU).
    if (n == 2) return use(kYcc422Packed);
    if (n == 3) {
      p->output_layout = kUpsample422Copy;
      t->mcu_output = specialised_output(kUpsample422Copy);
      return JpegSuccess;
    }
  }
  if (upsample && nc == 3 && n == 3 && o != ColorBgr) {
    if (h2v2) {
      p->output_layout = kUpsample420Copy;  // recorded even when smoothing takes the generic path
      t->mcu_output = smooth_off ? specialised_output(kUpsample420Copy) : generic;
      return JpegSuccess;
    }
    if (h2v1) {
      p->output_layout = kUpsample422Copy;
      t->mcu_output = smooth_off ? specialised_output(kUpsample422Copy) : generic;
      return JpegSuccess;
    }
  }
  // Everything else (other samplings, progressive frames, combinations no
  // specialised routine covers) goes through the generic writer, which
  // handles any component and channel count.
  t->mcu_output = generic;
  return JpegSuccess;
}

}  // namespace jpegcodec
