// Storing decoded MCUs in the caller's image.
#pragma once

#include "jpeg/api/jpegcodec.h"

// Picks the MCU output routine (routine-table slot mcu_output) and
// output_layout for the frame, colours and scan in the properties.
JpegStatus choose_mcu_output(JPEG_PROPERTIES* properties);

// Converts the whole output image in place, for a frame whose components
// came in separate scans and were stored unconverted.
void convert_whole_image(JPEG_PROPERTIES* properties);
