// The smoothing upsampler (see smooth_output.cpp).
#pragma once

#include "jpeg/api/jpegcodec.h"

namespace jpegcodec {

// True when the smoothing upsampler serves this frame: smooth_upsampling is
// 1, the frame's scans are interleaved, and its sampling is 2x1 or 2x2 for
// the first component (and the fourth) and 1x1 for the others.
bool smoothing_applies(const JPEG_PROPERTIES* properties);

// Stores MCU (col, row) and writes the MCU it completes, delayed by one
// column (and one row for 2x2). Calls with col = mcus_per_row or row =
// mcu_rows store nothing and flush.
JpegStatus output_smoothed(JPEG_PROPERTIES* properties, int32_t col, int32_t row);

// The delay buffers, sized for the current frame (reallocated when a frame
// of another size comes), and their release.
JpegStatus allocate_smoothing(JPEG_PROPERTIES* properties);
void free_smoothing(JPEG_PROPERTIES* properties);

}  // namespace jpegcodec
