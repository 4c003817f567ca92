// MCU input: takes the caller's pixels, gives level-shifted blocks (colour
// converted and downsampled). Called by the encoder through the table.

#include "jpeg/encode/mcu_input.h"

namespace jpegcodec {

namespace {

// RGB to YCbCr in 15-bit fixed point, so that every constant fits a signed
// 16-bit lane: 0.299·2^15 = 9798, 0.587·2^15 = 19235, 0.114·2^15 = 3735
// (summing to 2^15, so grey stays grey); 0.168736·2^15 = 5529,
// 0.331264·2^15 = 10855, 0.418688·2^15 = 13720, 0.081312·2^15 = 2664 (each
// chroma row summing to 0). Chroma rounds with 2^14 - 1, which keeps pure
// blue and pure red at 255 rather than 256.
inline uint8_t luma(int32_t r, int32_t g, int32_t b) {
  return static_cast<uint8_t>((9798 * r + 19235 * g + 3735 * b + 16384) >> 15);
}
inline uint8_t chroma_b(int32_t r, int32_t g, int32_t b) {
  return static_cast<uint8_t>((-5529 * r - 10855 * g + 16384 * b + kChromaOffset) >> 15);
}
inline uint8_t chroma_r(int32_t r, int32_t g, int32_t b) {
  return static_cast<uint8_t>((16384 * r - 13720 * g - 2664 * b + kChromaOffset) >> 15);
}

// The MCU's samples at full resolution, one plane a component: 8·max_h
// across, 8·max_v down.
struct Planes {
  uint8_t sample[4][256];
};

// One pixel's component values.
inline void convert_pixel(const uint8_t* px, InputConversion conversion, const int32_t* order,
                          int32_t components, uint8_t* out) {
  switch (conversion) {
    case InputConversion::Copy:
      for (int32_t c = 0; c < components; ++c) out[c] = px[c];
      break;
    case InputConversion::GrayToYcc:
      out[0] = px[0];
      out[1] = out[2] = 128;
      break;
    case InputConversion::RgbToYcc: {
      const int32_t r = px[order[0]], g = px[order[1]], b = px[order[2]];
      out[0] = luma(r, g, b);
      out[1] = chroma_b(r, g, b);
      out[2] = chroma_r(r, g, b);
      break;
    }
    case InputConversion::RgbToGray:
      out[0] = luma(px[order[0]], px[order[1]], px[order[2]]);
      break;
    case InputConversion::RgbToRgb:
      for (int c = 0; c < 3; ++c) out[c] = px[order[c]];
      break;
    case InputConversion::CmykToYcck: {
      // As stored by the decoder: 255 - R, 255 - G, 255 - B and K.
      const int32_t r = 255 - px[0], g = 255 - px[1], b = 255 - px[2];
      out[0] = luma(r, g, b);
      out[1] = chroma_b(r, g, b);
      out[2] = chroma_r(r, g, b);
      out[3] = px[3];
      break;
    }
  }
}

// A component's blocks from its full-resolution plane (`width` samples a
// line): whole, or each output sample the mean of fx × fy samples, rounded
// up and down by turns along the line.
inline int16_t* put_component(const uint8_t* plane, int32_t width, int32_t h, int32_t v, int32_t fx,
                              int32_t fy, int16_t* block) {
  for (int32_t by = 0; by < v; ++by) {
    for (int32_t bx = 0; bx < h; ++bx, block += 64) {
      for (int y = 0; y < 8; ++y) {
        const uint8_t* line = plane + (by * 8 + y) * fy * width + bx * 8 * fx;
        int16_t* out = block + 8 * y;
        if (fx == 1 && fy == 1) {
          for (int x = 0; x < 8; ++x) out[x] = static_cast<int16_t>(line[x] - 128);
        } else if (fx == 2 && fy == 2) {
          const uint8_t* below = line + width;
          for (int x = 0; x < 8; ++x) {
            const int32_t sum = line[2 * x] + line[2 * x + 1] + below[2 * x] + below[2 * x + 1];
            out[x] = static_cast<int16_t>(((sum + 1 + (x & 1)) >> 2) - 128);
          }
        } else if (fx == 2) {
          for (int x = 0; x < 8; ++x) {
            const int32_t sum = line[2 * x] + line[2 * x + 1];
            out[x] = static_cast<int16_t>(((sum + (x & 1)) >> 1) - 128);
          }
        } else {
          const uint8_t* below = line + width;
          for (int x = 0; x < 8; ++x) {
            out[x] = static_cast<int16_t>(((line[x] + below[x] + (x & 1)) >> 1) - 128);
          }
        }
      }
    }
  }
  return block;
}

// The whole MCU: pixels to planes, planes to blocks. The template
// parameters fix what the generic kernel reads from the source, so that
// each slot's kernel is compiled for its own case.
template <InputConversion kConversion, int kBytes, int kR, int kG, int kB, int kComponents,
          int kMaxH, int kMaxV>
inline void mcu_of(const McuSource* s, int16_t* blocks) {
  constexpr int32_t kWidth = 8 * kMaxH, kHeight = 8 * kMaxV;
  Planes planes;
  const int32_t order[3] = {kR, kG, kB};
  for (int32_t y = 0; y < kHeight; ++y) {
    const uint8_t* px = s->pixels + static_cast<intptr_t>(y) * s->stride;
    for (int32_t x = 0; x < kWidth; ++x, px += kBytes) {
      uint8_t values[4];
      convert_pixel(px, kConversion, order, kComponents, values);
      for (int c = 0; c < kComponents; ++c) planes.sample[c][y * kWidth + x] = values[c];
    }
  }
  // Luma (and a fourth component) at the MCU's own size; chroma 1x1.
  for (int c = 0; c < kComponents; ++c) {
    const bool full = c == 0 || c == 3;
    const int32_t h = full ? kMaxH : 1, v = full ? kMaxV : 1;
    blocks = put_component(planes.sample[c], kWidth, h, v, kMaxH / h, kMaxV / v, blocks);
  }
}

}  // namespace

void enc_gray(const McuSource* s, int16_t* b) {
  mcu_of<InputConversion::Copy, 1, 0, 0, 0, 1, 1, 1>(s, b);
}
void enc_rgb_ycc(const McuSource* s, int16_t* b) {
  mcu_of<InputConversion::RgbToYcc, 3, 0, 1, 2, 3, 1, 1>(s, b);
}
void enc_rgb_ycc422(const McuSource* s, int16_t* b) {
  mcu_of<InputConversion::RgbToYcc, 3, 0, 1, 2, 3, 2, 1>(s, b);
}
void enc_rgb_ycc420(const McuSource* s, int16_t* b) {
  mcu_of<InputConversion::RgbToYcc, 3, 0, 1, 2, 3, 2, 2>(s, b);
}
void enc_bgr_ycc(const McuSource* s, int16_t* b) {
  mcu_of<InputConversion::RgbToYcc, 3, 2, 1, 0, 3, 1, 1>(s, b);
}
void enc_bgr_ycc422(const McuSource* s, int16_t* b) {
  mcu_of<InputConversion::RgbToYcc, 3, 2, 1, 0, 3, 2, 1>(s, b);
}
void enc_bgr_ycc420(const McuSource* s, int16_t* b) {
  mcu_of<InputConversion::RgbToYcc, 3, 2, 1, 0, 3, 2, 2>(s, b);
}
void enc_rgbx_ycc(const McuSource* s, int16_t* b) {
  mcu_of<InputConversion::RgbToYcc, 4, 0, 1, 2, 3, 1, 1>(s, b);
}
void enc_rgbx_ycc422(const McuSource* s, int16_t* b) {
  mcu_of<InputConversion::RgbToYcc, 4, 0, 1, 2, 3, 2, 1>(s, b);
}
void enc_rgbx_ycc420(const McuSource* s, int16_t* b) {
  mcu_of<InputConversion::RgbToYcc, 4, 0, 1, 2, 3, 2, 2>(s, b);
}
void enc_rgb_gray(const McuSource* s, int16_t* b) {
  mcu_of<InputConversion::RgbToGray, 3, 0, 1, 2, 1, 1, 1>(s, b);
}
void enc_bgr_gray(const McuSource* s, int16_t* b) {
  mcu_of<InputConversion::RgbToGray, 3, 2, 1, 0, 1, 1, 1>(s, b);
}
void enc_copy3(const McuSource* s, int16_t* b) {
  mcu_of<InputConversion::Copy, 3, 0, 0, 0, 3, 1, 1>(s, b);
}
void enc_cmyk_ycck(const McuSource* s, int16_t* b) {
  mcu_of<InputConversion::CmykToYcck, 4, 0, 0, 0, 4, 1, 1>(s, b);
}

void enc_generic(const McuSource* s, int16_t* blocks) {
  const int32_t width = 8 * s->max_h, height = 8 * s->max_v;
  Planes planes;
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* px = s->pixels + static_cast<intptr_t>(y) * s->stride;
    for (int32_t x = 0; x < width; ++x, px += s->channels) {
      uint8_t values[4];
      convert_pixel(px, s->conversion, s->order, s->components, values);
      for (int32_t c = 0; c < s->components; ++c) planes.sample[c][y * width + x] = values[c];
    }
  }
  for (int32_t c = 0; c < s->components; ++c) {
    blocks = put_component(planes.sample[c], width, s->h[c], s->v[c], s->max_h / s->h[c],
                           s->max_v / s->v[c], blocks);
  }
}

}  // namespace jpegcodec
