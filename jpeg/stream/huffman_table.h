// Huffman decoding tables (T.81 Annex C).
#pragma once

#include <cstdint>

#include "jpeg/api/jpegcodec.h"

namespace jpegcodec {

// Skip tables, for blocks read for their DC alone: indexed by the next
// kHuffSkipBits bits, the bits that the AC symbols starting there (up to
// three, each resolved by the lookahead) take with their magnitudes (bits
// 0-4; 0: none resolved), the zig-zag positions they advance (bits 5-10),
// and bit 11 set when the last ends the block.
inline constexpr int kHuffSkipBits = 13;

// Fast tables, for the AC coefficients of sequential blocks: indexed by
// the next kHuffFastBits bits, the bits a symbol takes with its magnitude
// (bits 0-4; 0: not resolved within them, the lookahead's way then), bit 5
// set for the end of the block, the zig-zag positions passed over before
// the value is stored (bits 8-11: the run; 15 for sixteen zeros, which
// store a zero) and the extended value (bits 16-31).
//
// The DC fast tables, 16 bits an entry: the bits taken (bits 0-3; 0: not
// resolved) and the difference (bits 4-15, signed).
inline constexpr int kHuffFastBits = 11;
inline constexpr uint32_t kHuffFastEnd = 32;

// The symbol of a lookahead entry whose code length is not 0.
inline int lookahead_symbol(uint32_t entry) {
  return static_cast<int>((entry & 0xF0) | ((entry >> 12) & 15));
}

// Builds `table` for class `table_class` and identifier `id` from the 16
// code-length counts L1..L16 of a DHT table and its symbols in order.
// Returns 0, or -6 ("Bad Huffman table") when the counts add up to more than
// 257 codes (the table is then left partly built).
JpegStatus huff_build_decode_table(const uint8_t counts[16], const uint8_t* symbols,
                                   int32_t table_class, int32_t id, HuffDecodeTable* table);

// The skip table of an AC table (1 << kHuffSkipBits entries), for blocks
// read for their DC alone: see kHuffSkipBits.
void huff_build_skip_table(const HuffDecodeTable* table, uint16_t* skip);

// The fast table of an AC table (1 << kHuffFastBits entries): see
// kHuffFastBits.
void huff_build_fast_table(const HuffDecodeTable* table, uint32_t* fast);
// The fast table of a DC table (1 << kHuffFastBits entries).
void huff_build_fast_dc_table(const HuffDecodeTable* table, uint16_t* fast);

}  // namespace jpegcodec
