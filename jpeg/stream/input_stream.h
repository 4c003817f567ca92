// Byte input for the parser and the bit input: a memory buffer, or a file
// read through the stream's 4096-byte buffer. `consumed` counts the bytes
// taken since the start of the data; for a file it is the file offset of
// `next`.
#pragma once

#include <cstdint>

#include "jpeg/api/jpegcodec.h"

namespace jpegcodec {

// Starts over on the stream's current data: a file stream holds nothing
// (its first take refills); a memory stream holds all its data. Clears the
// bit input.
void stream_reset(InputStream* stream);

// File input: reads the next part of the file into the buffer, after the
// bytes not yet taken (which move to its front). -11 at the end of the file
// (after which no read is tried until the file is moved), -23 when the read
// fails.
JpegStatus stream_refill(InputStream* stream);

// Takes n bytes that lie in the buffer: *bytes points at them. -11 when the
// data end before n bytes (file input refills once first).
JpegStatus stream_take(InputStream* stream, int32_t n, const uint8_t** bytes);

// The next n bytes of a segment (n <= 65535), contiguous: in place when they
// lie in the buffer, otherwise in a copy the caller frees when *copied is
// set. -5 when the copy cannot be allocated, -11 when the data run out.
JpegStatus segment_bytes(InputStream* stream, int32_t n, const uint8_t** bytes, bool* copied);

// The 16-bit big-endian length of the segment that starts here.
JpegStatus read_length(InputStream* stream, int32_t* length);

// Passes over a segment whose marker has been taken; -11 when its bytes run
// out. A length below 2 counts as an empty segment.
JpegStatus skip_segment(InputStream* stream);

// The next marker's code (the byte after 0xFF, fill bytes and stuffed zeros
// passed over), a pending marker first; 256 when there is none. -11 when
// the data end during the search, -23 when a file cannot be read.
JpegStatus next_marker(InputStream* stream, int32_t* code);

// Frees a scan header and its components; null is allowed.
void free_scan_header(ScanHeader* scan);

}  // namespace jpegcodec
