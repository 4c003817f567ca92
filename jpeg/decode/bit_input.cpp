// Bit input: takes entropy-coded bytes from the input stream (stuffing
// and markers removed), gives bits to the block decoders. Called by them.

#include <cstring>

#include "jpeg/decode/huffman.h"
#include "jpeg/stream/input_stream.h"

namespace jpegcodec {

namespace {

// Whether the bit input has a byte to take, refilling a file's buffer when
// it is empty. Input that cannot give one has ended, from memory and from a
// file alike.
inline bool more_input(InputStream* s) {
  return s->available > 0 || (s->file != nullptr && stream_refill(s) == JpegSuccess);
}

}  // namespace

namespace {

// Bits asked for past a marker or past the end of the input. Zero bits
// stand in for the missing ones, so the MCU being decoded is finished from
// them (as other decoders do), and kOutOfData makes the decoders leave the
// interval's later MCUs alone. Why the bits are missing: the entropy-coded
// data ended before the scan did (kDataEnded: the decoders stop and the
// read reports -11 after writing what it decoded); at a restart marker,
// before the interval did (kIntervalCut: decoding goes on after the marker,
// and the read reports the damage at the end); or at a code that is no
// marker at all (kStrayMarker: the restart search passes over it).
inline JpegStatus bits_missing(InputStream* s, int32_t why) {
  s->data_ended |= why | kOutOfData | (why == kDataEnded ? kScanOver : 0);
  while (s->bit_count <= 56) {
    s->bit_acc <<= 8;
    s->bit_count += 8;
  }
  return JpegSuccess;
}

inline int32_t why_marker_stops(uint8_t code) {
  if (code >= 0xD0 && code <= 0xD7) return kIntervalCut;
  // No segment starts with such a code: damaged data, not their end.
  if (code < 0xC0) return kStrayMarker;
  return kDataEnded;
}

}  // namespace

void bits_take(InputStream* s) {
  while (s->bit_count <= 56 && s->pending_marker == 0) {
    // A file's buffer is topped up before it runs dry, so that whole words
    // can be taken (what is left stays, moved to the front).
    if (s->available < 8 && s->file != nullptr && s->end_of_file == 0) stream_refill(s);
    // As many bytes as the accumulator has room for, at once, when the
    // next eight hold no 0xFF (no stuffing, no marker).
    const int bytes = (63 - s->bit_count) >> 3;
    if (s->available >= 8 && bytes > 0) {
      uint64_t word;
      memcpy(&word, s->next, 8);
      word = __builtin_bswap64(word);
      const uint64_t ones = 0x0101010101010101u;
      if ((((~word) - ones) & word & (ones << 7)) == 0) {
        s->bit_acc = (s->bit_acc << (bytes * 8)) | (word >> (64 - bytes * 8));
        s->bit_count += bytes * 8;
        s->next += bytes;
        s->available -= bytes;
        s->consumed += bytes;
        continue;
      }
    }
    // Byte by byte: stuffed zeros, fill bytes, markers, the end of the data.
    if (!more_input(s)) return;
    uint32_t byte = *s->next++;
    --s->available;
    ++s->consumed;
    if (byte == 0xFF) {
      uint32_t after;
      do {
        // Input that ends between 0xFF and the byte after it has ended.
        if (!more_input(s)) return;
        after = *s->next++;
        --s->available;
        ++s->consumed;
      } while (after == 0xFF);
      if (after != 0) {
        s->pending_marker = static_cast<uint8_t>(after);
        return;
      }
      // FF 00: a data byte 0xFF.
    }
    s->bit_acc = (s->bit_acc << 8) | byte;
    s->bit_count += 8;
  }
}

JpegStatus bits_fill(InputStream* s, int need) {
  bits_take(s);
  if (s->bit_count >= need) return JpegSuccess;
  return bits_missing(s, s->pending_marker != 0 ? why_marker_stops(s->pending_marker) : kDataEnded);
}

int64_t stream_bit(const InputStream* s) {
  // The bits held came from the whole bytes before `next`; a stuffed zero
  // gave none.
  const uint8_t* q = s->next;
  int32_t held = s->bit_count;
  while (held > 0) {
    --q;
    if (*q == 0 && q > s->data_start && q[-1] == 0xFF) --q;
    held -= 8;
  }
  return (q - s->data_start) * int64_t{8} - held;
}

void stream_to_bit(InputStream* s, int64_t bit) {
  const uint8_t* byte = s->data_start + (bit >> 3);
  const int32_t used = static_cast<int32_t>(bit & 7);
  if (used == 0) {
    s->next = byte;
    s->bit_acc = 0;
    s->bit_count = 0;
  } else {
    s->next = byte + (byte[0] == 0xFF ? 2 : 1);
    s->bit_count = 8 - used;
    s->bit_acc = byte[0] & ((1u << s->bit_count) - 1);
  }
  s->consumed = static_cast<int32_t>(s->next - s->data_start);
  s->available = s->data_size - s->consumed;
  s->pending_marker = 0;
}

const uint8_t* entropy_data_end(const uint8_t* from, const uint8_t* end, int32_t* restarts) {
  *restarts = 0;
  for (const uint8_t* q = from;;) {
    q = static_cast<const uint8_t*>(memchr(q, 0xFF, static_cast<size_t>(end - q)));
    if (q == nullptr || end - q < 2) return nullptr;
    if (q[1] == 0x00) {
      q += 2;
    } else if (q[1] == 0xFF) {
      q += 1;
    } else if (q[1] >= 0xD0 && q[1] <= 0xD7) {
      ++*restarts;
      q += 2;
    } else {
      return q;
    }
  }
}

}  // namespace jpegcodec
