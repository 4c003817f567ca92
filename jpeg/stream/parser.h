// The marker parser: reads JPEG data through the input stream, stores what
// each segment defines, and drives the decoding of each scan.
#pragma once

#include "jpeg/api/jpegcodec.h"

// Parses for the I/O type in properties->io_type. Returns 0, 1 (interrupted),
// 2 (region done) or a negative status.
JpegStatus parse_stream(JPEG_PROPERTIES* properties);

// Takes tables a caller supplied through the table exchange into the
// decoder's tables, for an image read. Returns 0 or -6.
JpegStatus load_caller_tables(JPEG_PROPERTIES* properties);

// Resets the table statistics.
void clear_table_statistics(JPEG_PROPERTIES* properties);
