// Lossless transforms of coefficient planes: the plan (the result's frame,
// the crop moved to the MCU grid, the edges trimmed or refused) and the
// blocks moved and turned. Called by jpeg_transform.

#include "jpeg/transform/lossless.h"

#include <cstdio>
#include <cstring>

namespace jpegcodec {

void set_frame_geometry(CoefficientFrame* frame) {
  frame->max_h = frame->max_v = 1;
  for (int32_t c = 0; c < frame->count; ++c) {
    frame->max_h = frame->h[c] > frame->max_h ? frame->h[c] : frame->max_h;
    frame->max_v = frame->v[c] > frame->max_v ? frame->v[c] : frame->max_v;
  }
  frame->mcus_per_row = (frame->width + 8 * frame->max_h - 1) / (8 * frame->max_h);
  frame->mcu_rows = (frame->height + 8 * frame->max_v - 1) / (8 * frame->max_v);
}

JpegTransformKind transform_for_orientation(int32_t orientation) {
  switch (orientation) {
    case 2:
      return TransformFlipHorizontal;
    case 3:
      return TransformRotate180;
    case 4:
      return TransformFlipVertical;
    case 5:
      return TransformTranspose;
    case 6:
      return TransformRotate90;
    case 7:
      return TransformTransverse;
    case 8:
      return TransformRotate270;
    default:
      return TransformNone;
  }
}

JpegStatus plan_transform(const CoefficientFrame& source, int32_t color, const JpegTransform& t,
                          TransformPlan* plan, char* why, size_t room) {
  why[0] = '\0';
  const int32_t kind = t.kind;
  if (kind < TransformNone || kind > TransformRotate270) {
    snprintf(why, room, "the transform kind must be 0 to 7, is %d", kind);
    return JpegInvalidProperties;
  }
  plan->transpose = kind == TransformTranspose || kind == TransformTransverse ||
                    kind == TransformRotate90 || kind == TransformRotate270;
  plan->mirror_x = kind == TransformFlipHorizontal || kind == TransformTransverse ||
                   kind == TransformRotate90 || kind == TransformRotate180;
  plan->mirror_y = kind == TransformFlipVertical || kind == TransformTransverse ||
                   kind == TransformRotate180 || kind == TransformRotate270;
  CoefficientFrame& r = plan->result;
  r = CoefficientFrame{};
  if (t.grayscale) {
    // The luma alone, which must be the frame's full-resolution component.
    const bool luma = source.count == 1 || (source.count == 3 && color == ColorYcbcr);
    if (!luma || source.h[0] != source.max_h || source.v[0] != source.max_v) {
      snprintf(why, room, "a grey result needs YCbCr or grey data with full-resolution luma");
      return JpegNotSupported;
    }
  }
  r.count = t.grayscale ? 1 : source.count;
  for (int32_t c = 0; c < r.count; ++c) {
    // A sole component's MCU is one block whatever its factors say.
    const bool sole = r.count == 1;
    r.h[c] = sole ? 1 : (plan->transpose ? source.v[c] : source.h[c]);
    r.v[c] = sole ? 1 : (plan->transpose ? source.h[c] : source.v[c]);
  }
  int32_t mcu_w = 8, mcu_h = 8;
  for (int32_t c = 0; c < r.count; ++c) {
    mcu_w = 8 * r.h[c] > mcu_w ? 8 * r.h[c] : mcu_w;
    mcu_h = 8 * r.v[c] > mcu_h ? 8 * r.v[c] : mcu_h;
  }
  plan->full_width = plan->transpose ? source.height : source.width;
  plan->full_height = plan->transpose ? source.width : source.height;
  const int32_t fw = plan->full_width, fh = plan->full_height;
  if (t.perfect && ((plan->mirror_x && fw % mcu_w != 0) || (plan->mirror_y && fh % mcu_h != 0))) {
    snprintf(why, room,
             "the transform is not perfect: a %dx%d image has partial MCUs of %dx%d at an edge "
             "it mirrors",
             source.width, source.height, mcu_w, mcu_h);
    return JpegNotSupported;
  }
  int32_t width = fw, height = fh;
  plan->crop_col = plan->crop_row = 0;
  const bool crop = t.crop_width != 0 || t.crop_height != 0 || t.crop_x != 0 || t.crop_y != 0;
  if (crop) {
    if (t.crop_width <= 0 || t.crop_height <= 0 || t.crop_x < 0 || t.crop_y < 0) {
      snprintf(why, room, "a crop needs a size above 0 and an offset of 0 or more, is %dx%d+%d+%d",
               t.crop_width, t.crop_height, t.crop_x, t.crop_y);
      return JpegInvalidProperties;
    }
    if (t.crop_x >= fw || t.crop_y >= fh) {
      snprintf(why, room, "the crop starts at %d,%d, outside the %dx%d image", t.crop_x, t.crop_y,
               fw, fh);
      return JpegInvalidProperties;
    }
    if (t.crop_width > fw - t.crop_x || t.crop_height > fh - t.crop_y) {
      snprintf(why, room, "the crop %dx%d+%d+%d reaches past the %dx%d image", t.crop_width,
               t.crop_height, t.crop_x, t.crop_y, fw, fh);
      return JpegInvalidProperties;
    }
    // The corner moves up and left to the grid; the size grows by as much.
    width = t.crop_width + t.crop_x % mcu_w;
    height = t.crop_height + t.crop_y % mcu_h;
    plan->crop_col = t.crop_x / mcu_w;
    plan->crop_row = t.crop_y / mcu_h;
  }
  if (t.trim) {
    // A result that reaches the partial MCU at a mirrored edge loses it.
    const int32_t cols = width / mcu_w, rows = height / mcu_h;
    if (plan->mirror_x && cols > 0 && plan->crop_col + cols == fw / mcu_w) width = cols * mcu_w;
    if (plan->mirror_y && rows > 0 && plan->crop_row + rows == fh / mcu_h) height = rows * mcu_h;
  }
  r.width = width;
  r.height = height;
  set_frame_geometry(&r);
  return JpegSuccess;
}

namespace {

// Where the result's block (x, y) of component c comes from: the source
// block's column and row, and whether it is mirrored across x and y.
struct BlockSource {
  int32_t col, row;
  bool mirror_x, mirror_y;
};

struct BlockMap {
  const TransformPlan& plan;
  int32_t c;
  int32_t offset_x, offset_y;  // the crop, in the component's blocks
  int32_t mirrored_across;     // the blocks a mirror moves: whole MCUs only
  int32_t mirrored_down;

  BlockMap(const TransformPlan& p, int32_t component) : plan(p), c(component) {
    const CoefficientFrame& r = p.result;
    offset_x = p.crop_col * r.h[c];
    offset_y = p.crop_row * r.v[c];
    mirrored_across = p.full_width / (8 * r.max_h) * r.h[c];
    mirrored_down = p.full_height / (8 * r.max_v) * r.v[c];
  }

  BlockSource operator()(int32_t x, int32_t y) const {
    const int32_t fx = x + offset_x, fy = y + offset_y;
    BlockSource s;
    s.mirror_x = plan.mirror_x && fx < mirrored_across;
    s.mirror_y = plan.mirror_y && fy < mirrored_down;
    const int32_t ux = s.mirror_x ? mirrored_across - 1 - fx : fx;
    const int32_t uy = s.mirror_y ? mirrored_down - 1 - fy : fy;
    s.col = plan.transpose ? uy : ux;
    s.row = plan.transpose ? ux : uy;
    return s;
  }
};

}  // namespace

void source_region(const CoefficientFrame& source, const TransformPlan& plan, int32_t region[4]) {
  int32_t left = source.width, top = source.height, right = 0, bottom = 0;
  const CoefficientFrame& r = plan.result;
  for (int32_t c = 0; c < r.count; ++c) {
    const BlockMap map(plan, c);
    // A block of the source's component c covers this many source pixels.
    const int32_t across = 8 * source.max_h / source.h[c];
    const int32_t down = 8 * source.max_v / source.v[c];
    // Each edge of the result maps onto a line of source blocks, and the
    // blocks between onto what lies between: the corners and the seams of
    // the mirrored part bound it.
    const int32_t xs[4] = {0, r.blocks_across(c) - 1, map.mirrored_across - map.offset_x - 1,
                           map.mirrored_across - map.offset_x};
    const int32_t ys[4] = {0, r.blocks_down(c) - 1, map.mirrored_down - map.offset_y - 1,
                           map.mirrored_down - map.offset_y};
    for (int32_t x : xs) {
      if (x < 0 || x >= r.blocks_across(c)) continue;
      for (int32_t y : ys) {
        if (y < 0 || y >= r.blocks_down(c)) continue;
        const BlockSource s = map(x, y);
        left = s.col * across < left ? s.col * across : left;
        top = s.row * down < top ? s.row * down : top;
        right = (s.col + 1) * across > right ? (s.col + 1) * across : right;
        bottom = (s.row + 1) * down > bottom ? (s.row + 1) * down : bottom;
      }
    }
  }
  region[0] = left < source.width ? left : source.width - 1;
  region[1] = top < source.height ? top : source.height - 1;
  region[2] = right < source.width ? right : source.width;
  region[3] = bottom < source.height ? bottom : source.height;
}

void transform_planes(const CoefficientFrame& source, const int16_t* const* source_planes,
                      const TransformPlan& plan, int16_t* const* planes) {
  const CoefficientFrame& r = plan.result;
  for (int32_t c = 0; c < r.count; ++c) {
    const BlockMap map(plan, c);
    const int64_t line = int64_t{r.blocks_across(c)} * 8;
    const int64_t source_line = int64_t{source.blocks_across(c)} * 8;
    for (int32_t y = 0; y < r.blocks_down(c); ++y) {
      for (int32_t x = 0; x < r.blocks_across(c); ++x) {
        int16_t* out = planes[c] + int64_t{y} * 8 * line + int64_t{x} * 8;
        const BlockSource s = map(x, y);
        if (s.col >= source.blocks_across(c) || s.row >= source.blocks_down(c)) {
          // Past the source's blocks (only where the result's last MCU
          // reaches beyond the image): zero.
          for (int32_t i = 0; i < 8; ++i) memset(out + i * line, 0, 16);
          continue;
        }
        const int16_t* in =
            source_planes[c] + int64_t{s.row} * 8 * source_line + int64_t{s.col} * 8;
        for (int32_t v = 0; v < 8; ++v) {
          for (int32_t u = 0; u < 8; ++u) {
            // The result's frequency (u, v) is the source's (v, u) when
            // transposed; a mirror negates the odd ones across it.
            int32_t value = plan.transpose ? in[u * source_line + v] : in[v * source_line + u];
            if ((s.mirror_x && (u & 1)) != (s.mirror_y && (v & 1))) value = -value;
            const int32_t most = u == 0 && v == 0 ? 2047 : 1023;
            value = value > most ? most : (value < -most ? -most : value);
            out[v * line + u] = static_cast<int16_t>(value);
          }
        }
      }
    }
  }
}

}  // namespace jpegcodec
