// MCU input of the encoder: one MCU of the caller's pixels to its
// components' blocks of level-shifted samples (-128..127, natural order),
// Y's h × v blocks first, then each other component's, as T.81 A.2.3 orders
// them. Colour conversion (T.81/JFIF: Y = 0.299 R + 0.587 G + 0.114 B, Cb and
// Cr offset by 128) and downsampling (the mean of each 2 × 2 or 2 × 1 block,
// rounded half up and half down by turns, so that a flat colour stays
// exactly what it was) happen on the way.
#pragma once

#include <cstdint>

namespace jpegcodec {

// 128 · 2^15 + 2^14 - 1: the chroma offset with its rounding, in the
// conversion's 15-bit fixed point (mcu_input.cpp gives the constants).
inline constexpr int32_t kChromaOffset = (128 << 15) + (1 << 14) - 1;

// How the generic input turns a pixel's bytes into component values.
enum class InputConversion : int32_t {
  Copy,        // component c is byte c
  GrayToYcc,   // Y is byte 0, Cb and Cr 128
  RgbToYcc,    // red, green, blue at `order`'s offsets
  RgbToGray,   // Y alone, from red, green, blue at `order`'s offsets
  RgbToRgb,    // red, green, blue at `order`'s offsets, unconverted
  CmykToYcck,  // 255 - C, 255 - M, 255 - Y as red, green, blue; K kept
};

// One MCU of the caller's image and what the frame makes of it.
struct McuSource {
  const uint8_t* pixels;  // the MCU's first pixel
  int32_t stride;         // bytes from a line to the next (negative: bottom-up)
  int32_t channels;       // bytes a pixel
  InputConversion conversion;
  int32_t order[3];  // offsets of red, green and blue within a pixel
  int32_t components;
  int32_t h[4], v[4];  // sampling factors (1 or 2)
  int32_t max_h, max_v;
};

// The MCU input kernels of the routine table's enc_input slots, in slot
// order (1 to 15), and the generic one in the last slot.
void enc_gray(const McuSource* source, int16_t* blocks);         // 1: one channel, one component
void enc_rgb_ycc(const McuSource* source, int16_t* blocks);      // 2: RGB to YCbCr, 1x1
void enc_rgb_ycc422(const McuSource* source, int16_t* blocks);   // 3: Y 2x1
void enc_rgb_ycc420(const McuSource* source, int16_t* blocks);   // 4: Y 2x2
void enc_bgr_ycc(const McuSource* source, int16_t* blocks);      // 5
void enc_bgr_ycc422(const McuSource* source, int16_t* blocks);   // 6
void enc_bgr_ycc420(const McuSource* source, int16_t* blocks);   // 7
void enc_rgbx_ycc(const McuSource* source, int16_t* blocks);     // 8: four bytes a pixel
void enc_rgbx_ycc422(const McuSource* source, int16_t* blocks);  // 9
void enc_rgbx_ycc420(const McuSource* source, int16_t* blocks);  // 10
void enc_rgb_gray(const McuSource* source, int16_t* blocks);     // 11
void enc_bgr_gray(const McuSource* source, int16_t* blocks);     // 12
void enc_copy3(const McuSource* source, int16_t* blocks);        // 13: three 1x1 components
void enc_cmyk_ycck(const McuSource* source, int16_t* blocks);    // 14: 1x1
void enc_generic(const McuSource* source, int16_t* blocks);      // 15: any of the above

}  // namespace jpegcodec
