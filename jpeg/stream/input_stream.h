// Byte input for the parser and the bit input: a memory buffer, or a file
// read through the stream's 4096-byte buffer. `consumed` counts the bytes
// taken since the start of the data; for a file it is the file offset of
// `next`.
#pragma once

#include <cstdint>

#include "jpeg/api/jpegcodec.h"

namespace jpegcodec {

// InputStream::data_ended bits: the scan's data ended (decoding stops); an
// interval's data ended at its restart marker, or the restart markers were
// out of order or missing (decoding goes on, resynchronised); an interval's
// data met a marker code no segment starts with, damage inside the data
// (decoding goes on at the next restart marker, or stops in a scan
// without restart intervals).
inline constexpr int32_t kDataEnded = 1;
inline constexpr int32_t kIntervalCut = 2;
inline constexpr int32_t kRestartDamaged = 4;
inline constexpr int32_t kStrayMarker = 8;
// The interval's data are used up: its later MCUs are not decoded (they
// keep zero coefficients, or what earlier scans stored) until a restart
// marker starts the next interval.
inline constexpr int32_t kOutOfData = 16;
// This scan's data are over: it stops (later scans are decoded as usual).
inline constexpr int32_t kScanOver = 32;
// The bits that last one scan; the others are kept for the read's status.
inline constexpr int32_t kScanBits = kOutOfData | kScanOver;

// The status a read ends with for the damage its data showed: 0 for none,
// -11 when the data ended early, -25 for damage around restart markers.
inline JpegStatus damage_status(const InputStream* stream) {
  if (stream->data_ended & kDataEnded) return JpegEofError;
  if (stream->data_ended & (kIntervalCut | kRestartDamaged | kStrayMarker)) return JpegBadRstMarker;
  return JpegSuccess;
}

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
