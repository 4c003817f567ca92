// Byte input for the parser and the bit input: a memory buffer, or a file
// read through the stream's 4096-byte buffer. `consumed` counts the bytes
// taken since the start of the data; for a file it is the file offset of
// `next`.
#pragma once

#include <cstdint>

#include "jpeg/api/jpegcodec.h"

// Starts over on the stream's current data: a file stream holds nothing
// (its first take refills); a memory stream holds all its data. Clears the
// bit input.
void stream_reset(InputStream* stream);

// File input: reads the next part of the file into the buffer, after the
// bytes not yet taken (which move to its front). -23 when the read fails or
// yields nothing.
JpegStatus stream_refill(InputStream* stream);

// Takes n bytes that lie in the buffer: *bytes points at them. Memory input
// without n bytes left gives -5; file input refills once and gives -24 if n
// bytes are still not there.
JpegStatus stream_take(InputStream* stream, int32_t n, const uint8_t** bytes);

// The next n bytes of a segment (n <= 65535), contiguous: in place when they
// lie in the buffer, otherwise in a copy the caller frees when *copied is
// set. -5 when the copy cannot be allocated, -21 when the data run out.
JpegStatus segment_bytes(InputStream* stream, int32_t n, const uint8_t** bytes, bool* copied);

// The 16-bit big-endian length of the segment that starts here.
JpegStatus read_length(InputStream* stream, int32_t* length);

// Passes over a segment whose marker has been taken; -21 when its bytes run
// out. A length below 2 counts as an empty segment.
JpegStatus skip_segment(InputStream* stream);

// The next marker's code (the byte after 0xFF, fill bytes and stuffed zeros
// passed over), a pending marker first; 256 when there is none. A negative
// status when the data end during the search (-5 memory, -23 file).
JpegStatus next_marker(InputStream* stream, int32_t* code);

// Frees a scan header and its components; null is allowed.
void free_scan_header(ScanHeader* scan);
