// Where a write's bytes go: the caller's buffer, or a file created for the
// write. Bytes are gathered in a staging buffer and handed on in blocks
// (enc_write_bytes); the entropy writer and the segment writers fill the
// staging buffer directly.
#pragma once

#include <cstddef>
#include <cstdint>

#include "jpeg/api/jpegcodec.h"

namespace jpegcodec {

struct OutputSink {
  // The destination: the caller's buffer of `capacity` bytes, or a file.
  uint8_t* buffer;
  int64_t capacity;
  void* file;
  int64_t written;  // bytes handed on so far
  // The staging buffer and how much of it is filled.
  uint8_t* staging;
  uint8_t* next;
  uint8_t* end;
  JpegStatus status;  // the first failure, or 0
};

inline constexpr size_t kStagingBytes = size_t{1} << 16;

// enc_write_bytes' portable routine: appends `count` bytes to the
// destination. -28 when a buffer has no room for them (nothing is written
// past its end), -23 when the file write fails.
JpegStatus sink_write_portable(OutputSink* sink, const uint8_t* bytes, size_t count);

// Hands the staging buffer's bytes on (through `write`, the routine
// table's enc_write_bytes) and empties it; the sink keeps the first failure.
using SinkWriteFn = JpegStatus (*)(OutputSink* sink, const uint8_t* bytes, size_t count);
JpegStatus sink_flush(OutputSink* sink, SinkWriteFn write);

// Room for `bytes` more in the staging buffer (at most kStagingBytes / 2),
// flushing it first when needed. False once the sink has failed.
bool sink_room(OutputSink* sink, size_t bytes, SinkWriteFn write);

}  // namespace jpegcodec
