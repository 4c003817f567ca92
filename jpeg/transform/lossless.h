// Lossless transforms of an image's quantized coefficients: each block of
// the result is a block of the source, moved on the block grid and turned.
// In the DCT's basis a mirror negates the odd frequencies across it and a
// transpose swaps the horizontal and vertical frequencies, so nothing is
// requantized. Used by jpeg_transform.
#pragma once

#include <cstddef>
#include <cstdint>

#include "jpeg/api/jpegcodec.h"

namespace jpegcodec {

// An image's coefficient planes, laid out as JpegCoefOutput lays them out.
struct CoefficientFrame {
  int32_t width, height;
  int32_t count;  // components, 1 to 4
  int32_t h[4], v[4];
  int32_t max_h, max_v;
  int32_t mcus_per_row, mcu_rows;
  // Plane c: blocks_across(c) * 8 values a line, blocks_down(c) * 8 lines.
  int32_t blocks_across(int32_t c) const { return mcus_per_row * h[c]; }
  int32_t blocks_down(int32_t c) const { return mcu_rows * v[c]; }
};

// Sets max_h, max_v, mcus_per_row and mcu_rows from the sizes and factors.
void set_frame_geometry(CoefficientFrame* frame);

// A transform worked out for one source: what the result is, and where its
// blocks come from.
struct TransformPlan {
  // The transform as a transpose followed by mirrors, in the result's
  // coordinates: a rotation by 90 degrees is a transpose mirrored left to
  // right.
  bool transpose, mirror_x, mirror_y;
  CoefficientFrame result;  // its size, components and factors
  // The transformed image's size before any crop or trim: a mirror moves
  // the blocks of its whole MCUs only, and the partial MCU at its far
  // edge stays in place.
  int32_t full_width, full_height;
  // The crop's top-left corner in the result's MCUs.
  int32_t crop_col, crop_row;
};

// Plans `t` (its kind, crop, grayscale, trim and perfect; auto-orient
// already turned into a kind) for a source of colour `color`. 0, or -8 for
// a crop outside the image or a request out of range, -12 for a perfect
// transform that cannot be or a grey result from colours without luma;
// `why` says which (`room` bytes).
JpegStatus plan_transform(const CoefficientFrame& source, int32_t color, const JpegTransform& t,
                          TransformPlan* plan, char* why, size_t room);

// The part of the source, in its pixels (left, top, right, bottom; right
// and bottom exclusive), that holds every block the result takes.
void source_region(const CoefficientFrame& source, const TransformPlan& plan, int32_t region[4]);

// The source's coefficients as a transform reads them: component c's
// blocks [first_col, first_col + cols) x [first_row, first_row + rows) of
// its block grid, cols * 8 values a line; blocks outside read as zeros.
struct SourceBlocks {
  const int16_t* planes[4];
  int32_t first_col[4], first_row[4];
  int32_t cols[4], rows[4];
};
// The blocks of each component that cover `region` (source pixels, as
// source_region gives them), or all of them for a null region.
void blocks_of_region(const CoefficientFrame& source, const int32_t* region, SourceBlocks* blocks);

// The result's blocks, MCU after MCU, each MCU's blocks component by
// component and row by row (what a coefficient write's store holds;
// allocated by the caller), from the source's. Values are held to what an
// 8-bit frame holds (DC -1024..1023, AC -1023..1023): only damaged data
// go past them.
void transform_blocks(const SourceBlocks& blocks, const TransformPlan& plan, int16_t* mcus);

// The transform that makes an image of EXIF orientation 1 to 8 look as
// intended.
JpegTransformKind transform_for_orientation(int32_t orientation);

}  // namespace jpegcodec
