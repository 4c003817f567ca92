// The example Huffman tables of T.81 Annex K.3 (Tables K.3 to K.6), which
// motion-JPEG frames rely on without carrying a DHT segment.
#pragma once

#include <cstdint>

namespace jpegcodec {

struct StandardHuffmanTable {
  uint8_t counts[16];
  const uint8_t* symbols;
};

// Class 0 (DC) or 1 (AC); luminance for id 0, chrominance for the others.
const StandardHuffmanTable& standard_huffman_table(int table_class, int id);

}  // namespace jpegcodec
