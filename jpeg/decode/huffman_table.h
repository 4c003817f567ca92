// Huffman decoding tables (T.81 Annex C).
#pragma once

#include <cstdint>

#include "jpeg/api/jpegcodec.h"
#include "jpeg/decode/huffman.h"

namespace jpegcodec {

// Builds `table` for class `table_class` and identifier `id` from the 16
// code-length counts L1..L16 of a DHT table and its symbols in order.
// Returns 0, or -6 ("Bad Huffman table") when the counts add up to more than
// 257 codes (the table is then left partly built).
JpegStatus huff_build_decode_table(const uint8_t counts[16], const uint8_t* symbols,
                                   int32_t table_class, int32_t id, HuffDecodeTable* table);

// The skip table of an AC table (1 << kHuffSkipBits entries), for blocks
// read for their DC alone: see kHuffSkipBits.
void huff_build_skip_table(const HuffDecodeTable* table, uint16_t* skip);

}  // namespace jpegcodec
