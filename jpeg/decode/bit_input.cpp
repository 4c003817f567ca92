#include "jpeg/decode/huffman.h"
#include "jpeg/stream/input_stream.h"

namespace {

// Whether the bit input has a byte to take, refilling a file's buffer when
// it is empty. Input that cannot give one has ended, from memory and from a
// file alike.
inline bool more_input(InputStream* s) {
  return s->available > 0 || (s->file != nullptr && stream_refill(s) == JpegSuccess);
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
    // Input that ends, even between 0xFF and the byte after it: zero bits
    // follow and the scan completes.
    if (!more_input(s)) {
      if (s->bit_count < need) s->data_ended |= kDataEnded;
      return JpegSuccess;
    }
    uint32_t byte = *s->next++;
    --s->available;
    ++s->consumed;
    if (byte == 0xFF) {
      uint32_t after;
      do {
        if (!more_input(s)) {
          if (s->bit_count < need) s->data_ended |= kDataEnded;
          return JpegSuccess;
        }
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
