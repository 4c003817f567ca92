// Huffman encoding of sequential blocks (T.81 F.1.2), the tables it uses,
// and optimised tables made from a first pass's symbol counts (T.81 K.2).
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "jpeg/api/jpegcodec.h"
#include "jpeg/encode/entropy_writer.h"
#include "jpeg/stream/coding_tables.h"

namespace jpegcodec {

// A table's definition as a DHT segment holds it: 16 code-length counts and
// the symbols in code order.
struct HuffDefinition {
  uint8_t counts[16];
  uint8_t symbols[256];
  int32_t symbol_count;
};

// The codes of a table definition (T.81 C.2): enc_prepare's portable routine.
// A definition whose codes do not fit their lengths leaves the table without
// codes past the point where they stop fitting.
void build_encode_table(const uint8_t* counts, const uint8_t* symbols, HuffEncodeTable* table);

// One quantized block (natural order) with the DC difference from *dc_pred,
// which becomes this block's DC: enc_block's portable routine.
void encode_block_portable(EntropyWriter* writer, const int16_t* block, int16_t* dc_pred,
                           const HuffEncodeTable* dc, const HuffEncodeTable* ac);

// Symbol counts of one table for an optimised definition: 256 symbols.
struct SymbolCounts {
  uint32_t count[256];
};
// Counts the symbols `encode_block_portable` would write for the block.
void count_block_symbols(const int16_t* block, int16_t* dc_pred, SymbolCounts* dc,
                         SymbolCounts* ac);

// An optimised definition for the counted symbols: code lengths by the
// procedure of T.81 K.2 (Figures K.1 to K.4), limited to 16 bits, with one
// code point held back so that no code is all 1 bits.
void optimal_table(const SymbolCounts& counts, HuffDefinition* definition);

// For row r of a block (natural order) and a byte of its columns as mask
// bits, the zig-zag positions of those coefficients as mask bits: a mask of
// a block's coefficients in natural order becomes one in zig-zag order
// with eight look-ups.
using ZigzagRowMasks = std::array<std::array<uint64_t, 256>, 8>;
extern const ZigzagRowMasks kZigzagRowMasks;
inline uint64_t zigzag_mask(uint64_t natural) {
  uint64_t zigzag = 0;
  for (int row = 0; row < 8; ++row) zigzag |= kZigzagRowMasks[row][(natural >> (8 * row)) & 0xFF];
  return zigzag;
}

// The block's AC coefficients that are not zero as mask bits in natural
// order (bit i: coefficient i), four at a time from 64-bit words: the
// portable way, and the way the symbol counts of optimised tables take.
inline uint64_t nonzero_natural_portable(const int16_t* block) {
  uint64_t mask = 0;
  for (int word = 0; word < 16; ++word) {
    uint64_t x;
    std::memcpy(&x, block + 4 * word, 8);
    // Each 16-bit lane's two bytes or-ed into its low byte, then 1 in the
    // lane's bit 8 when that byte is not zero.
    x = (x | x >> 8) & 0x00FF00FF00FF00FFu;
    x = ((x + 0x00FF00FF00FF00FFu) >> 8) & 0x0001000100010001u;
    // Bits 0, 16, 32 and 48 gathered to bits 45 to 48 by one product (no
    // two partial products meet, so nothing carries).
    uint64_t four = (x * 0x0000200040008001u) >> 45 & 0xF;
    // Big-endian words hold the four coefficients the other way round.
    if constexpr (std::endian::native == std::endian::big)
      four = 0xF7B3D591E6A2C480u >> (4 * four) & 0xF;
    mask |= four << (4 * word);
  }
  return mask;
}

// T.81 Figure A.6: the natural index of each zig-zag position.
inline constexpr uint8_t kNaturalOfZigzag[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// A coefficient as its symbol's low four bits and the bits after its code.
struct CodedValue {
  uint32_t category;
  uint32_t bits;
};

// The coded value of zig-zag position k read from the block itself: the
// portable block encoder's and the symbol counts' way.
struct ValuesInBlock {
  const int16_t* block;
  [[gnu::always_inline]] CodedValue operator()(uint32_t k) const {
    const int32_t value = block[kNaturalOfZigzag[k]];
    const int category = magnitude_category(value);
    return {static_cast<uint32_t>(category), magnitude_bits(value, category)};
  }
};

// A quantized block's symbols and bits from its AC coefficients' non-zero
// mask in zig-zag order (bit k: position k): the DC difference, each
// non-zero coefficient with the run of zeros before it (sixteen at a time
// as ZRL), and the end of block unless position 63 is non-zero. `value_at`
// gives a position's coded value; `emit` is called with (table, symbol,
// bits after the code), table 0 being the DC table. Writing and counting
// symbols, and the portable block encoder and its processor-specific twins,
// differ only in these two and in how they find the mask, and inline this
// for the rest.
template <typename ValueAt, typename Emit>
[[gnu::always_inline]] inline void block_symbols(int16_t dc, uint64_t nonzero, int16_t* dc_pred,
                                                 const ValueAt& value_at, Emit emit) {
  const int32_t diff = int32_t{dc} - *dc_pred;
  *dc_pred = dc;
  const int dc_category = magnitude_category(diff);
  emit(0, static_cast<uint32_t>(dc_category), magnitude_bits(diff, dc_category));
  const bool end_of_block = (nonzero >> 63) == 0;
  uint32_t last = 0;
  while (nonzero != 0) {
    // The next position is taken off the mask before this one's symbol is
    // written: after it, the next position waits on the bit writer's
    // branches, and the block takes twice as long.
    const auto k = static_cast<uint32_t>(__builtin_ctzll(nonzero));
    nonzero &= nonzero - 1;
    uint32_t run = k - last - 1;
    last = k;
    if (run > 15) [[unlikely]] {
      do {
        emit(1, 0xF0, 0);  // sixteen zeros (ZRL)
        run -= 16;
      } while (run > 15);
    }
    const CodedValue value = value_at(k);
    emit(1, run << 4 | value.category, value.bits);
  }
  if (end_of_block) emit(1, 0x00, 0);
}

// Writes the block's symbols: the routine table's block encoders.
template <typename ValueAt>
[[gnu::always_inline]] inline void encode_block_symbols(EntropyWriter* writer, int16_t dc,
                                                        uint64_t nonzero, int16_t* dc_pred,
                                                        const HuffEncodeTable* dc_table,
                                                        const HuffEncodeTable* ac_table,
                                                        const ValueAt& value_at) {
  EntropyWriter w = *writer;
  // A symbol's code and its value bits go out together (at most 16 + 15
  // bits).
  block_symbols(dc, nonzero, dc_pred, value_at, [&](int table, uint32_t symbol, uint32_t bits) {
    const HuffEncodeTable* t = table == 0 ? dc_table : ac_table;
    put_bits(w, t->code_before_bits[symbol] | bits, t->length_with_bits[symbol]);
  });
  *writer = w;
}

}  // namespace jpegcodec
