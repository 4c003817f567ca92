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

// A quantized block's symbols and bits from its AC coefficients' non-zero
// mask in zig-zag order (bit k: position k): the DC difference, each
// non-zero coefficient with the run of zeros before it (sixteen at a time
// as ZRL), and the end of block unless position 63 is non-zero. `emit` is
// called with (table, symbol, bits, bit count), table 0 being the DC
// table. Writing and counting symbols, and the portable block encoder and
// its processor-specific twins, differ only in `emit` and in how they find
// the mask, and inline this for the rest.
template <typename Emit>
[[gnu::always_inline]] inline void block_symbols(const int16_t* block, uint64_t nonzero,
                                                 int16_t* dc_pred, Emit emit) {
  const int32_t diff = int32_t{block[0]} - *dc_pred;
  *dc_pred = block[0];
  const int dc_category = magnitude_category(diff);
  emit(0, dc_category, magnitude_bits(diff, dc_category), dc_category);
  int last = 0;
  while (nonzero != 0) {
    // The next position is taken off the mask before this one's symbol is
    // written: after it, the next position waits on the bit writer's
    // branches, and the block takes twice as long.
    const int k = __builtin_ctzll(nonzero);
    nonzero &= nonzero - 1;
    int run = k - last - 1;
    for (; run > 15; run -= 16) emit(1, 0xF0, 0, 0);  // sixteen zeros (ZRL)
    const int32_t value = block[natural_order[k]];
    const int category = magnitude_category(value);
    emit(1, (run << 4) | category, magnitude_bits(value, category), category);
    last = k;
  }
  if (last != 63) emit(1, 0x00, 0, 0);  // end of block
}

// Writes the block's symbols: the routine table's block encoders.
[[gnu::always_inline]] inline void encode_block_symbols(EntropyWriter* writer, const int16_t* block,
                                                        uint64_t nonzero, int16_t* dc_pred,
                                                        const HuffEncodeTable* dc,
                                                        const HuffEncodeTable* ac) {
  EntropyWriter w = *writer;
  // A symbol's code and its magnitude bits go out together (at most 16 +
  // 11 bits).
  block_symbols(block, nonzero, dc_pred, [&](int table, int symbol, uint32_t bits, int bit_count) {
    const HuffEncodeTable* t = table == 0 ? dc : ac;
    put_bits(w, static_cast<uint32_t>(t->code[symbol]) << bit_count | bits,
             t->length[symbol] + bit_count);
  });
  *writer = w;
}

}  // namespace jpegcodec
