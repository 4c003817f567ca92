// Huffman coding of blocks (T.81 F.1.2): takes quantized coefficients and
// code tables, gives bits to the entropy writer. Called by the encoder.

#include "jpeg/encode/huffman_encode.h"

#include <cstring>

#include "jpeg/stream/coding_tables.h"

namespace jpegcodec {

namespace {

// The zig-zag position of each natural index.
constexpr std::array<uint8_t, 64> kZigzagOf = [] {
  std::array<uint8_t, 64> zigzag{};
  for (int k = 0; k < 64; ++k) zigzag[kNaturalOfZigzag[k]] = static_cast<uint8_t>(k);
  return zigzag;
}();

}  // namespace

const ZigzagRowMasks kZigzagRowMasks = [] {
  ZigzagRowMasks masks{};
  for (int row = 0; row < 8; ++row) {
    for (int columns = 0; columns < 256; ++columns) {
      uint64_t bits = 0;
      for (int column = 0; column < 8; ++column) {
        if ((columns >> column) & 1) bits |= uint64_t{1} << kZigzagOf[8 * row + column];
      }
      masks[row][columns] = bits;
    }
  }
  return masks;
}();

void build_encode_table(const uint8_t* counts, const uint8_t* symbols, HuffEncodeTable* table) {
  std::memset(table, 0, sizeof *table);
  // A symbol without a code still takes its value bits.
  for (int symbol = 0; symbol < 256; ++symbol)
    table->length_with_bits[symbol] = static_cast<uint8_t>(symbol & 15);
  // Canonical codes (T.81 C.2): each length's codes follow the last code of
  // the length before, shifted left by one.
  uint32_t code = 0;
  int k = 0;
  for (int length = 1; length <= 16; ++length) {
    for (int i = 0; i < counts[length - 1]; ++i, ++k) {
      // Codes past 2^length - 1 cannot be written in `length` bits: the
      // definition is broken from here on.
      if (code >= (1u << length) || k >= 256) return;
      const uint8_t symbol = symbols[k];
      table->code[symbol] = static_cast<uint16_t>(code);
      table->length[symbol] = static_cast<uint8_t>(length);
      const int value_bits = symbol & 15;
      table->code_before_bits[symbol] = code << value_bits;
      table->length_with_bits[symbol] = static_cast<uint8_t>(length + value_bits);
      ++code;
    }
    code <<= 1;
  }
}

void encode_block_portable(EntropyWriter* writer, const int16_t* block, int16_t* dc_pred,
                           const HuffEncodeTable* dc, const HuffEncodeTable* ac) {
  const uint64_t natural = nonzero_natural_portable(block) & ~uint64_t{1};
  encode_block_symbols(writer, block[0], zigzag_mask(natural), dc_pred, dc, ac,
                       ValuesInBlock{block});
}

void count_block_symbols(const int16_t* block, int16_t* dc_pred, SymbolCounts* dc,
                         SymbolCounts* ac) {
  const uint64_t natural = nonzero_natural_portable(block) & ~uint64_t{1};
  block_symbols(
      block[0], zigzag_mask(natural), dc_pred, ValuesInBlock{block},
      [&](int table, uint32_t symbol, uint32_t) { ++(table == 0 ? dc : ac)->count[symbol]; });
}

void optimal_table(const SymbolCounts& counts, HuffDefinition* definition) {
  // T.81 Figure K.1: the two least frequent symbols merge, again and again;
  // each merge makes every symbol of both groups one bit longer. Symbol 256
  // stands for the code point held back (count 1), so that no real symbol
  // gets the all-ones code.
  constexpr int kSymbols = 257;
  int64_t frequency[kSymbols];
  int code_size[kSymbols];
  int others[kSymbols];
  for (int i = 0; i < 256; ++i) frequency[i] = counts.count[i];
  frequency[256] = 1;
  for (int i = 0; i < kSymbols; ++i) {
    code_size[i] = 0;
    others[i] = -1;
  }
  for (;;) {
    // The least frequency, then the next least; on ties the higher symbol.
    int v1 = -1, v2 = -1;
    for (int i = 0; i < kSymbols; ++i) {
      if (frequency[i] > 0 && (v1 < 0 || frequency[i] <= frequency[v1])) v1 = i;
    }
    for (int i = 0; i < kSymbols; ++i) {
      if (i != v1 && frequency[i] > 0 && (v2 < 0 || frequency[i] <= frequency[v2])) v2 = i;
    }
    if (v2 < 0) break;
    frequency[v1] += frequency[v2];
    frequency[v2] = 0;
    ++code_size[v1];
    while (others[v1] >= 0) {
      v1 = others[v1];
      ++code_size[v1];
    }
    others[v1] = v2;
    ++code_size[v2];
    while (others[v2] >= 0) {
      v2 = others[v2];
      ++code_size[v2];
    }
  }
  // Figure K.2: codes of each length. A tree over 257 symbols is at most
  // 256 deep.
  int bits[257] = {};
  for (int i = 0; i < kSymbols; ++i) {
    if (code_size[i] > 0) ++bits[code_size[i]];
  }
  // Figure K.3: lengths above 16 are brought down, two codes of a long
  // length becoming one a bit shorter and one moved down next to a shorter
  // code, which then becomes two.
  for (int i = 256; i > 16; --i) {
    while (bits[i] > 0) {
      int j = i - 2;
      while (bits[j] == 0) --j;
      bits[i] -= 2;
      ++bits[i - 1];
      bits[j + 1] += 2;
      --bits[j];
    }
  }
  // The held-back code point goes: it has the longest code there is.
  int longest = 16;
  while (longest > 0 && bits[longest] == 0) --longest;
  if (longest > 0) --bits[longest];
  // Figure K.4: symbols by code length, in symbol order within a length.
  std::memset(definition, 0, sizeof *definition);
  for (int length = 1; length <= 16; ++length)
    definition->counts[length - 1] = static_cast<uint8_t>(bits[length]);
  int n = 0;
  for (int size = 1; size <= 256; ++size) {
    for (int i = 0; i < 256; ++i) {
      if (code_size[i] == size) definition->symbols[n++] = static_cast<uint8_t>(i);
    }
  }
  definition->symbol_count = n;
}

}  // namespace jpegcodec
