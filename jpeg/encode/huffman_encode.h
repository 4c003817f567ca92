// Huffman encoding of sequential blocks (T.81 F.1.2), the tables it uses,
// and optimised tables made from a first pass's symbol counts (T.81 K.2).
#pragma once

#include <array>
#include <cstdint>

#include "jpeg/api/jpegcodec.h"
#include "jpeg/encode/entropy_writer.h"

// A table's definition as a DHT segment holds it: 16 code-length counts and
// the symbols in code order.
struct HuffSpec {
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
void optimal_table(const SymbolCounts& counts, HuffSpec* spec);

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
