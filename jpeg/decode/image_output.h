// Storing decoded MCUs in the caller's image.
#pragma once

#include "jpeg/api/jpegcodec.h"

namespace jpegcodec {

// Whether data of `jpeg_color` with `jpeg_channels` components can be
// decoded into an image of `out_color` with `out_channels` bytes a pixel:
// the combinations the output routines serve.
bool decode_combination_allowed(int32_t jpeg_color, int32_t jpeg_channels, int32_t out_color,
                                int32_t out_channels);

// Picks the MCU output routine (routine-table slot mcu_output) and
// output_layout for the frame, colours and scan in the properties.
JpegStatus choose_mcu_output(JPEG_PROPERTIES* properties);

// Output of one MCU reconstructed at a reduced scale: blocks of w x w
// samples (4, 2 or 1). With `simple` sampling, components of one block per
// MCU were reconstructed one size larger and are copied without repetition.
JpegStatus output_scaled(JPEG_PROPERTIES* properties, int32_t mcu_col, int32_t mcu_row, int32_t w,
                         bool simple);

}  // namespace jpegcodec
