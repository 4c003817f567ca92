// Segment handlers of the marker parser. Each is called with the segment's
// marker taken and reads its length and payload.
#pragma once

#include "jpeg/api/jpegcodec.h"

namespace jpegcodec {

JpegStatus read_frame_header(JPEG_PROPERTIES* properties);
// Fills `scan` (its components allocated here, freed again on failure) and
// records the header's size, marker included, in the routine table.
JpegStatus read_scan_header(JPEG_PROPERTIES* properties, ScanHeader* scan);
JpegStatus read_dqt(JPEG_PROPERTIES* properties);
JpegStatus read_dht(JPEG_PROPERTIES* properties);
JpegStatus read_dri(JPEG_PROPERTIES* properties, int32_t* interval);
JpegStatus read_app0(JPEG_PROPERTIES* properties);
JpegStatus read_app14(JPEG_PROPERTIES* properties);
JpegStatus read_com(JPEG_PROPERTIES* properties);

}  // namespace jpegcodec
