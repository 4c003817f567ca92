// Writing entropy-coded data: Huffman code tables for writing, and the bit
// writer that packs codes into bytes with a zero stuffed after every 0xFF
// (T.81 F.1.2.3 and B.1.1.5).
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace jpegcodec {

// The codes of one Huffman table, by symbol: code bits right-aligned and
// their length (0: the table has no code for the symbol). A symbol's low
// four bits count the value bits that follow its code in a sequential scan
// (the DC difference's category, the AC coefficient's), so the code is also
// kept shifted left by that count, with the two lengths added: writing a
// coefficient is then one or of its value bits and one put.
struct HuffEncodeTable {
  uint16_t code[256];
  uint8_t length[256];
  uint32_t code_before_bits[256];
  uint8_t length_with_bits[256];
};

// Bits not yet written sit right-aligned in `bits` (`count` of them, fewer
// than 64 between calls; bits above them are stale and never written);
// whole bytes go to `next`. The caller keeps room there for what it puts: a
// block needs at most 64 codes of 16 bits and values of 16, stuffed, which
// is under 520 bytes; the held bits with a restart's padding (at most 70
// bits), stuffed, up to 18 more.
struct EntropyWriter {
  uint64_t bits;
  int32_t count;
  uint8_t* next;
};

// The most bytes one block can add to an entropy writer.
inline constexpr int32_t kBlockBytesMost = 520;

// Writes `word` at `next` byte by byte, a zero stuffed after each 0xFF;
// returns where the bytes end. Kept out of line and given the pointer by
// value, so that a writer inlined into a loop stays in registers.
[[gnu::noinline, gnu::cold]] inline uint8_t* write_word_stuffed(uint8_t* next, uint64_t word) {
  for (int shift = 56; shift >= 0; shift -= 8) {
    const auto byte = static_cast<uint8_t>(word >> shift);
    *next++ = byte;
    if (byte == 0xFF) *next++ = 0;
  }
  return next;
}

// Writes `word` as eight bytes, each 0xFF followed by a stuffed zero.
inline void write_word(EntropyWriter& w, uint64_t word) {
  // A byte of 0xFF is a zero byte of the inverted word.
  const uint64_t inverted = ~word;
  const bool any_ff = ((inverted - 0x0101010101010101u) & ~inverted & 0x8080808080808080u) != 0;
  if (!any_ff) [[likely]] {  // eight bytes at once
    const uint64_t big_endian = __builtin_bswap64(word);
    std::memcpy(w.next, &big_endian, 8);
    w.next += 8;
    return;
  }
  w.next = write_word_stuffed(w.next, word);
}

// Appends the low `n` bits of `value` (n at most 32, value holding no
// higher bits). The held bits go out 64 at a time: half as many flushes,
// and branches, as 32 at a time.
inline void put_bits(EntropyWriter& w, uint32_t value, int n) {
  const int total = w.count + n;
  if (total < 64) {
    w.bits = (w.bits << n) | value;
    w.count = total;
    return;
  }
  // The held bits (at least 32 of them here) and the top of `value` make a
  // whole word; the rest of `value` stays.
  const int rest = total - 64;
  write_word(w, (w.bits << (n - rest)) | (value >> rest));
  w.bits = value;
  w.count = rest;
}

// Pads the held bits to a whole byte with 1 bits (T.81 F.1.2.3) and writes
// them out: the end of a scan or of a restart interval.
inline void pad_and_flush(EntropyWriter& w) {
  const int pad = (8 - (w.count & 7)) & 7;
  if (pad != 0) put_bits(w, (1u << pad) - 1, pad);
  while (w.count >= 8) {
    const auto byte = static_cast<uint8_t>(w.bits >> (w.count - 8));
    w.count -= 8;
    *w.next++ = byte;
    if (byte == 0xFF) *w.next++ = 0;
  }
  w.bits = 0;
}

// The number of bits of |value| (T.81's SSSS category): 0 for 0.
inline int magnitude_category(int32_t value) {
  const auto magnitude = static_cast<uint32_t>(value < 0 ? -value : value);
  return static_cast<int>(std::bit_width(magnitude));
}

// The bits that follow a category's code: the value itself when positive,
// value - 1 in the category's bits when negative (T.81 F.1.2.1).
inline uint32_t magnitude_bits(int32_t value, int category) {
  const int32_t bits = value + (value >> 31);  // value - 1 when negative
  return static_cast<uint32_t>(bits) & ((1u << category) - 1);
}

}  // namespace jpegcodec
