#include "jpeg/decode/huffman.h"
#include "jpeg/stream/input_stream.h"

namespace {

// One more byte for the bit input: 0, or a negative status. A memory source
// that has run out gives `memory_end`.
inline JpegStatus ensure_byte(InputStream* s, JpegStatus memory_end) {
  if (s->available > 0) return JpegSuccess;
  if (s->file == nullptr) return memory_end;
  return stream_refill(s);
}

}  // namespace

JpegStatus bits_fill(InputStream* s, int need) {
  while (s->bit_count <= 24) {
    if (s->pending_marker != 0) return s->bit_count < need ? kMarkerReached : JpegSuccess;
    if (s->available <= 0) {
      // Input that ends (memory, or a file that yields no more bytes): zero
      // bits follow, the scan completes, and the marker search that comes
      // next reports where the data stopped.
      if (s->file == nullptr || stream_refill(s) != JpegSuccess) return JpegSuccess;
    }
    uint32_t byte = *s->next++;
    --s->available;
    ++s->consumed;
    if (byte == 0xFF) {
      uint32_t after;
      do {
        const JpegStatus status = ensure_byte(s, JpegDataError);
        if (status != JpegSuccess) return status;
        after = *s->next++;
        --s->available;
        ++s->consumed;
      } while (after == 0xFF);
      if (after != 0) {
        s->pending_marker = static_cast<uint8_t>(after);
        return s->bit_count < need ? kMarkerReached : JpegSuccess;
      }
      // FF 00: a data byte 0xFF.
    }
    s->bit_acc = (s->bit_acc << 8) | byte;
    s->bit_count += 8;
  }
  return JpegSuccess;
}
