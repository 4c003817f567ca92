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

void blocks_of_region(const CoefficientFrame& source, const int32_t* region, SourceBlocks* blocks) {
  for (int32_t c = 0; c < source.count; ++c) {
    blocks->first_col[c] = blocks->first_row[c] = 0;
    blocks->cols[c] = source.blocks_across(c);
    blocks->rows[c] = source.blocks_down(c);
    if (region == nullptr) continue;
    // Pixels to the component's blocks: a block spans 8 * max / h pixels.
    const int32_t across = 8 * source.max_h / source.h[c];
    const int32_t down = 8 * source.max_v / source.v[c];
    blocks->first_col[c] = region[0] / across;
    blocks->first_row[c] = region[1] / down;
    blocks->cols[c] = (region[2] + across - 1) / across - blocks->first_col[c];
    blocks->rows[c] = (region[3] + down - 1) / down - blocks->first_row[c];
  }
}

namespace {

// Signs of the 64 frequencies of a block under no mirror, a mirror across
// x (odd u negated), across y (odd v) and both.
struct MirrorSigns {
  int16_t sign[4][64];
  int16_t most[64], least[64];  // what an 8-bit frame holds: DC -1024..1023, AC -1023..1023
  MirrorSigns() {
    for (int32_t i = 0; i < 64; ++i) {
      const bool odd_u = (i % 8) & 1, odd_v = (i / 8) & 1;
      sign[0][i] = 1;
      sign[1][i] = odd_u ? -1 : 1;
      sign[2][i] = odd_v ? -1 : 1;
      sign[3][i] = odd_u != odd_v ? -1 : 1;
      most[i] = 1023;
      least[i] = i == 0 ? -1024 : -1023;
    }
  }
};
const MirrorSigns kSigns;

// One block of the result from the source's block at `in` (`line` values a
// line): transposed when asked, signed for its mirrors, held to range.
void turn_block(const int16_t* in, int64_t line, bool transpose, int32_t mirrors, int16_t* out) {
  alignas(32) int16_t block[64];
  for (int32_t y = 0; y < 8; ++y) memcpy(block + 8 * y, in + y * line, 16);
  alignas(32) int16_t turned[64];
  if (transpose) {
    for (int32_t v = 0; v < 8; ++v) {
      for (int32_t u = 0; u < 8; ++u) turned[8 * v + u] = block[8 * u + v];
    }
  } else {
    memcpy(turned, block, sizeof turned);
  }
  const int16_t* sign = kSigns.sign[mirrors];
  for (int32_t i = 0; i < 64; ++i) {
    const int16_t value = static_cast<int16_t>(turned[i] * sign[i]);
    const int16_t most = kSigns.most[i], least = kSigns.least[i];
    out[i] = value > most ? most : (value < least ? least : value);
  }
}

}  // namespace

void transform_blocks(const SourceBlocks& blocks, const TransformPlan& plan, int16_t* mcus) {
  const CoefficientFrame& r = plan.result;
  int32_t blocks_per_mcu = 0, first[4] = {};
  for (int32_t c = 0; c < r.count; ++c) {
    first[c] = blocks_per_mcu;
    blocks_per_mcu += r.h[c] * r.v[c];
  }
  for (int32_t c = 0; c < r.count; ++c) {
    const BlockMap map(plan, c);
    const int64_t source_line = int64_t{blocks.cols[c]} * 8;
    for (int32_t y = 0; y < r.blocks_down(c); ++y) {
      for (int32_t x = 0; x < r.blocks_across(c); ++x) {
        // Block (x, y) of the component is block (y % v) * h + x % h of
        // its part of MCU (x / h, y / v).
        const int64_t mcu = int64_t{y / r.v[c]} * r.mcus_per_row + x / r.h[c];
        const int32_t index = first[c] + (y % r.v[c]) * r.h[c] + x % r.h[c];
        int16_t* out = mcus + (mcu * blocks_per_mcu + index) * 64;
        const BlockSource s = map(x, y);
        const int32_t col = s.col - blocks.first_col[c], row = s.row - blocks.first_row[c];
        if (col < 0 || col >= blocks.cols[c] || row < 0 || row >= blocks.rows[c]) {
          // Past what was read (only where the result's last MCU reaches
          // beyond the image or the crop): zero.
          memset(out, 0, 64 * sizeof(int16_t));
          continue;
        }
        const int16_t* in = blocks.planes[c] + int64_t{row} * 8 * source_line + int64_t{col} * 8;
        turn_block(in, source_line, plan.transpose, (s.mirror_x ? 1 : 0) | (s.mirror_y ? 2 : 0),
                   out);
      }
    }
  }
}

}  // namespace jpegcodec
