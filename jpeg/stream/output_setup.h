// The output set-up run after every frame header, Adobe segment and scan
// header: conversion and upsampling flags, MCU geometry, and the choice of
// the MCU output routine.
#pragma once

#include "jpeg/api/jpegcodec.h"

// 0, -8 (YCbCr output of a YCbCr image that is not 4:2:2) or -14.
JpegStatus select_mcu_output(JPEG_PROPERTIES* properties);
