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

namespace {

// Bits asked for past a marker or past the end of the input: the entropy-
// coded data ended before the scan did (kDataEnded: the decoders stop and
// the read reports -11 after writing what it decoded), or, at a restart
// marker, before its interval did (kIntervalCut: decoding goes on after the
// marker, and the read reports the damage at the end).
inline JpegStatus marker_reached(InputStream* s) {
  const bool restart = s->pending_marker >= 0xD0 && s->pending_marker <= 0xD7;
  s->data_ended |= restart ? kIntervalCut : kDataEnded;
  return kMarkerReached;
}

}  // namespace

JpegStatus bits_fill(InputStream* s, int need) {
  while (s->bit_count <= 24) {
    if (s->pending_marker != 0) {
      if (s->bit_count >= need) return JpegSuccess;
      return marker_reached(s);
    }
    if (s->available <= 0) {
      // Input that ends (memory, or a file that yields no more bytes): zero
      // bits follow and the scan completes.
      if (s->file == nullptr || stream_refill(s) != JpegSuccess) {
        if (s->bit_count < need) s->data_ended |= kDataEnded;
        return JpegSuccess;
      }
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
        if (s->bit_count >= need) return JpegSuccess;
        return marker_reached(s);
      }
      // FF 00: a data byte 0xFF.
    }
    s->bit_acc = (s->bit_acc << 8) | byte;
    s->bit_count += 8;
  }
  return JpegSuccess;
}
