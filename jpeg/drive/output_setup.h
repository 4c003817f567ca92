// The output set-up run after every frame header, Adobe segment and scan
// header: conversion and upsampling flags, MCU geometry, and the choice of
// the MCU output routine.
#pragma once

#include "jpeg/api/jpegcodec.h"

namespace jpegcodec {

// 0, -8 (YCbCr output of a YCbCr image that is not 4:2:2) or -14.
JpegStatus select_mcu_output(JPEG_PROPERTIES* properties);

// The colour of the frame's data, from its Adobe or JFIF segment or its
// component ids ('R', 'G', 'B' without either segment is RGB data); without
// such evidence the caller's jpeg_color stands. An image read keeps a
// caller's ColorOther (channels passed through as stored); a header read
// (`header_read`) reports what the data say.
void deduce_jpeg_color(JPEG_PROPERTIES* properties, bool header_read);

}  // namespace jpegcodec
