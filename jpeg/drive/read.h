// The read driver: what a jpeg_read does between its validation and its
// end, stage by stage.
#pragma once

#include "jpeg/api/jpegcodec.h"

namespace jpegcodec {

// Runs the read for the I/O type in properties->io_type from the stream's
// position (jpeg_read has set it up: the start of the data, or a saved scan
// to resume). Returns 0, 1 (interrupted), 2 (region done) or a negative
// status.
JpegStatus drive_read(JPEG_PROPERTIES* properties);

// A region read of a progressive frame whose coefficients an earlier read
// of the same data decoded completely: the region is written from them.
// Returns 2, or a negative status.
JpegStatus drive_region_again(JPEG_PROPERTIES* properties);

}  // namespace jpegcodec
