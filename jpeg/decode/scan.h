// Decoding one scan.
#pragma once

#include "jpeg/api/jpegcodec.h"

// Decodes the scan in properties->saved_scan. Returns 0, 1 (interrupted), 2
// (region done) or a negative status; *marker receives the marker at which
// the scan stopped (0 if none).
JpegStatus decode_scan(JPEG_PROPERTIES* properties, ScanHeader* scan, int32_t* marker);

// Writes a progressive frame's image from the coefficients decoded so far,
// when no scan has written it (data that ended early, or scans that never
// complete every component).
void output_whole_progressive_image(JPEG_PROPERTIES* properties);

// Whether the restart index of the properties knows where MCU row `row`
// starts (false when there is no index yet).
bool restart_index_knows(const JPEG_PROPERTIES* properties, int32_t row);

// Forgets every row the restart index knows (new data, or a new frame).
void reset_restart_index(JPEG_PROPERTIES* properties);
