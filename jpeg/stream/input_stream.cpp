// The input stream: takes a file or a buffer, gives bytes, markers and
// segment payloads. Called by the marker loop, the segment readers and the
// bit input.

#include "jpeg/stream/input_stream.h"
#include "jpeg/cpu/memory.h"

#include <stdlib.h>
#include <string.h>

#include "jpeg/cpu/file_io.h"

namespace jpegcodec {

namespace {

constexpr int32_t kBufferSize = sizeof(InputStream::file_buffer);

// Takes one byte: 0, or -11 (the data ended) / a refill's failure.
inline JpegStatus take_byte(InputStream* s, uint32_t* byte) {
  if (s->available <= 0) {
    if (s->file == nullptr) return JpegEofError;
    const JpegStatus status = stream_refill(s);
    if (status != JpegSuccess) return status;
  }
  *byte = *s->next++;
  --s->available;
  ++s->consumed;
  return JpegSuccess;
}

inline void advance(InputStream* s, int32_t n) {
  s->next += n;
  s->available -= n;
  s->consumed += n;
}

}  // namespace

void stream_reset(InputStream* s) {
  if (s->file != nullptr) {
    s->next = s->file_buffer + kBufferSize;
    s->data_end = s->next;
    s->available = 0;
  } else {
    s->next = s->data_start;
    s->data_end = s->data_start == nullptr ? nullptr : s->data_start + s->data_size;
    s->available = s->data_start == nullptr ? 0 : s->data_size;
  }
  s->bit_acc = 0;
  s->bit_count = 0;
  s->pending_marker = 0;
  s->components_done = 0;
  s->data_ended = 0;
  s->end_of_file = 0;
}

JpegStatus stream_refill(InputStream* s) {
  if (s->file == nullptr) return JpegEofError;
  // Bytes not yet taken stay: they move to the front of the buffer.
  int32_t kept = s->available > 0 ? s->available : 0;
  if (kept > 0 && s->next != s->file_buffer) memmove(s->file_buffer, s->next, kept);
  uint32_t count = 0;
  const bool read =
      s->end_of_file == 0 && file_read(s->file, s->file_buffer + kept,
                                       static_cast<uint32_t>(kBufferSize - kept), &count) != 0;
  if (!read || count == 0) {
    s->next = s->file_buffer;
    s->available = kept;
    s->data_end = s->file_buffer + kept;
    if (read || s->end_of_file != 0) {
      s->end_of_file = 1;  // the end of the data, not a failure to read it
      return JpegEofError;
    }
    return JpegFileError;
  }
  s->next = s->file_buffer;
  s->available = kept + static_cast<int32_t>(count);
  s->data_end = s->file_buffer + s->available;
  return JpegSuccess;
}

JpegStatus stream_take(InputStream* s, int32_t n, const uint8_t** bytes) {
  if (n < 0) return JpegInternalError;
  if (n > s->available) {
    if (s->file == nullptr) return JpegEofError;
    if (n > kBufferSize) return JpegInternalError;
    const JpegStatus status = stream_refill(s);
    if (status != JpegSuccess) return status;
    if (n > s->available) return JpegEofError;
  }
  *bytes = s->next;
  advance(s, n);
  return JpegSuccess;
}

JpegStatus segment_bytes(InputStream* s, int32_t n, const uint8_t** bytes, bool* copied) {
  *copied = false;
  if (n < 0 || n > 65535) return JpegDataError;
  if (n <= s->available) {
    *bytes = s->next;
    advance(s, n);
    return JpegSuccess;
  }
  auto* copy = static_cast<uint8_t*>(codec_malloc(n > 0 ? n : 1));
  if (copy == nullptr) return JpegMemoryError;
  int32_t have = s->available > 0 ? s->available : 0;
  memcpy(copy, s->next, have);
  advance(s, have);
  while (have < n) {
    const int32_t piece = n - have < kBufferSize ? n - have : kBufferSize;
    const uint8_t* part = nullptr;
    const JpegStatus status = stream_take(s, piece, &part);
    if (status != JpegSuccess) {
      free(copy);
      return status == JpegEofError || status == JpegFileError ? status : JpegDataError;
    }
    memcpy(copy + have, part, piece);
    have += piece;
  }
  *bytes = copy;
  *copied = true;
  return JpegSuccess;
}

JpegStatus read_length(InputStream* s, int32_t* length) {
  uint32_t high = 0, low = 0;
  JpegStatus status = take_byte(s, &high);
  if (status == JpegSuccess) status = take_byte(s, &low);
  if (status != JpegSuccess) return status;
  *length = static_cast<int32_t>((high << 8) | low);
  return JpegSuccess;
}

JpegStatus skip_segment(InputStream* s) {
  int32_t length = 0;
  JpegStatus status = read_length(s, &length);
  if (status != JpegSuccess) return status;
  // A length below 2 is broken; the segment counts as empty and the data go
  // on after its length field.
  if (length < 2) return JpegSuccess;
  int32_t left = length - 2;
  const int32_t here = left < s->available ? left : (s->available > 0 ? s->available : 0);
  advance(s, here);
  left -= here;
  while (left > 0) {
    const int32_t piece = left < kBufferSize ? left : kBufferSize;
    const uint8_t* part = nullptr;
    const JpegStatus status = stream_take(s, piece, &part);
    if (status != JpegSuccess) return status;
    left -= piece;
  }
  return JpegSuccess;
}

JpegStatus next_marker(InputStream* s, int32_t* code) {
  if (s->pending_marker != 0) {
    *code = s->pending_marker;
    s->pending_marker = 0;
    return JpegSuccess;
  }
  for (;;) {
    if (s->available <= 0) {
      if (s->file == nullptr) return JpegEofError;
      const JpegStatus status = stream_refill(s);
      if (status != JpegSuccess) return status;
    }
    // Passing over a scan's data: straight to the next 0xFF.
    const auto* ff =
        static_cast<const uint8_t*>(memchr(s->next, 0xFF, static_cast<size_t>(s->available)));
    if (ff == nullptr) {
      advance(s, s->available);
      continue;
    }
    advance(s, static_cast<int32_t>(ff - s->next) + 1);
    // Look at the byte after 0xFF without taking it.
    for (;;) {
      if (s->available <= 0) {
        if (s->file == nullptr || stream_refill(s) != JpegSuccess) {
          *code = 256;  // no code byte: no more markers
          return JpegSuccess;
        }
      }
      const uint32_t after = *s->next;
      if (after == 0xFF) {  // a fill byte; the search goes on from it
        advance(s, 1);
        continue;
      }
      advance(s, 1);
      if (after == 0x00) break;  // stuffed zero in entropy-coded data
      *code = static_cast<int32_t>(after);
      return JpegSuccess;
    }
  }
}

void free_scan_header(ScanHeader* scan) {
  if (scan == nullptr) return;
  free(scan->components);
  free(scan);
}

}  // namespace jpegcodec
