// The output set-up for a frame: takes the frame and the caller's image,
// gives the conversion, upsampling, MCU geometry and output routine. Called
// by the read driver.

#include "jpeg/drive/output_setup.h"

#include "jpeg/decode/image_output.h"

namespace jpegcodec {

void deduce_jpeg_color(JPEG_PROPERTIES* p, bool header_read) {
  if (!header_read && p->jpeg_color == ColorOther) return;
  const FrameHeader& frame = p->frame;
  const int32_t count = p->jpeg_channels;
  const int32_t caller = p->jpeg_color;
  if (count == 1) {
    p->jpeg_color = ColorGray;
  } else if (count == 3) {
    if (p->adobe_seen) {
      p->jpeg_color = p->adobe_transform != 0 ? ColorYcbcr : ColorRgb;
    } else if (p->jfif_seen) {
      p->jpeg_color = ColorYcbcr;
    } else if (frame.component_count == 3 && frame.components[0].id == 'R' &&
               frame.components[1].id == 'G' && frame.components[2].id == 'B') {
      p->jpeg_color = ColorRgb;
    } else if (caller != ColorRgb && caller != ColorYcbcr) {
      p->jpeg_color = ColorYcbcr;  // what three components mean without other word
    }
  } else if (count == 4) {
    if (p->adobe_seen) {
      p->jpeg_color = p->adobe_transform != 0 ? ColorYcck : ColorFourChannel;
    } else if (caller != ColorFourChannel && caller != ColorYcck) {
      p->jpeg_color = ColorFourChannel;
    }
  } else {
    p->jpeg_color = ColorOther;
  }
}

JpegStatus select_mcu_output(JPEG_PROPERTIES* p) {
  FrameHeader& frame = p->frame;
  const int32_t count = frame.component_count;

  // The data's colour decides the conversion; an image read whose output
  // cannot be made from it is refused before anything is written.
  const bool image_read = p->io_type == IoReadImageFile || p->io_type == IoReadImageBuffer ||
                          p->io_type == IoReadAbbreviatedFile ||
                          p->io_type == IoReadAbbreviatedBuffer ||
                          (p->io_type >= IoReadHalfFile && p->io_type <= IoReadEighthBuffer);
  if (image_read) {
    deduce_jpeg_color(p, false);
    if (p->coef_output == nullptr &&
        !decode_combination_allowed(p->jpeg_color, count, p->out_color, p->out_channels)) {
      return JpegInvalidProperties;
    }
  }

  // Colour conversion is needed unless the data are already in their
  // final colours, or the caller wants grey or YCbCr.
  const int32_t j = p->jpeg_color;
  const int32_t o = p->out_color;
  p->convert_color = (j == ColorGray || j == ColorRgb || j == ColorFourChannel || j == ColorOther ||
                      o == ColorGray || o == ColorYcbcr)
                         ? 0
                         : 1;

  // Largest sampling factors; upsampling unless every component is 1x1
  // or the caller takes packed YCbCr.
  int32_t max_h = 1, max_v = 1;
  bool subsampled = false;
  for (int i = 0; i < count && i < 4; ++i) {
    const FrameComponent& c = frame.components[i];
    if (c.h > max_h) max_h = c.h;
    if (c.v > max_v) max_v = c.v;
    if (c.h != 1 || c.v != 1) subsampled = true;
  }
  frame.max_h = max_h;
  frame.max_v = max_v;
  // An image is upsampled by whole factors: a component whose sampling does
  // not divide the largest (2x2 beside 3x3) would leave part of the pixels
  // it covers unwritten.
  if (image_read && p->coef_output == nullptr) {
    for (int i = 0; i < count && i < 4; ++i) {
      const FrameComponent& c = frame.components[i];
      if (max_h % c.h != 0 || max_v % c.v != 0) return JpegCompError;
    }
  }
  p->upsample = subsampled && o != ColorYcbcr ? 1 : 0;

  frame.mcu_width_px = 8 * max_h;
  frame.mcu_height_px = 8 * max_v;
  p->mcus_per_row = (p->jpeg_width + 8 * max_h - 1) / (8 * max_h);
  p->mcu_rows = (p->jpeg_height + 8 * max_v - 1) / (8 * max_v);
  frame.frame_mcus_per_row = p->mcus_per_row;
  frame.frame_mcu_count = p->mcus_per_row * p->mcu_rows;
  p->output_layout = 0;

  // Packed YCbCr output exists for 4:2:2 data only.
  if (count == 3 && j == ColorYcbcr && o == ColorYcbcr) {
    const FrameComponent* c = frame.components;
    if (!(c[0].h == 2 && c[0].v == 1 && c[1].h == 1 && c[1].v == 1 && c[2].h == 1 && c[2].v == 1)) {
      return JpegInvalidProperties;
    }
  }
  // The count the output routines are made for.
  if (count < 1 || count > 255) return JpegCompError;
  // The routine that stores each MCU.
  return choose_mcu_output(p);
}

}  // namespace jpegcodec
