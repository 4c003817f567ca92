// Huffman table builders (T.81 Annex C): take a DHT table's counts and
// symbols, give the decoders' lookup tables. Called by the segment reader.

#include "jpeg/stream/huffman_table.h"

#include <atomic>

#include "jpeg/stream/coding_tables.h"

namespace jpegcodec {

namespace {
constexpr int kMaxCodes = 257;
}  // namespace

JpegStatus huff_build_decode_table(const uint8_t counts[16], const uint8_t* symbols,
                                   int32_t table_class, int32_t id, HuffDecodeTable* table) {
  table->table_class = table_class;
  table->table_id = id;
  // What was derived from the table before is stale from now on.
  static std::atomic<uint32_t> builds{0};
  uint32_t generation = ++builds;
  if (generation == 0) generation = ++builds;
  table->generation = generation;

  // Code sizes, one per code, terminated by 0 (T.81 Figure C.1).
  uint8_t sizes[kMaxCodes + 1];
  int count = 0;
  for (int length = 1; length <= 16; ++length) {
    for (int i = 0; i < counts[length - 1]; ++i) {
      if (count >= kMaxCodes) return JpegBadHuffmanTable;
      sizes[count++] = static_cast<uint8_t>(length);
    }
  }
  sizes[count] = 0;

  // Codes (T.81 Figure C.2): consecutive within a size, doubled at each new size.
  uint32_t codes[kMaxCodes];
  uint32_t code = 0;
  int k = 0;
  int size = sizes[0];
  while (sizes[k] != 0) {
    while (sizes[k] == size) codes[k++] = code++;
    // More codes of a size than its bits can tell apart: the table is
    // over-subscribed, and its codes would index past the lookahead.
    if (code > (1u << size)) return JpegBadHuffmanTable;
    code <<= 1;
    ++size;
  }

  for (int length = 0; length < 17; ++length) {
    table->min_code[length] = 0;
    table->val_ptr[length] = 0;
  }
  for (int length = 0; length < 18; ++length) table->max_code[length] = 0;
  int next = 0;
  for (int length = 1; length <= 16; ++length) {
    const int n = counts[length - 1];
    if (n == 0) {
      table->max_code[length] = -1;
      continue;
    }
    table->val_ptr[length] = static_cast<uint16_t>(next);
    table->min_code[length] = static_cast<uint16_t>(codes[next]);
    for (int i = 0; i < n; ++i) {
      if (next + i >= kMaxCodes) return JpegBadHuffmanTable;
      // A DC symbol is a magnitude category: above 15 it has no meaning
      // (T.81 F.1.2.1), and the difference it would extend is garbage.
      if (table_class == 0 && symbols[next + i] > 15) return JpegBadHuffmanTable;
      table->values[next + i] = symbols[next + i];
    }
    // Codes of 16 bits from 0x8000 on are stored as negative 16-bit values;
    // the decoder reads anything below -1 as unsigned.
    table->max_code[length] = static_cast<int16_t>(codes[next + n - 1]);
    next += n;
  }
  table->max_code[17] = -1;

  // Every code of up to 9 bits resolves with one lookup of the next 9 bits;
  // with its magnitude bits too when they fit in them.
  constexpr int kBits = JPEG_HUFF_LOOKAHEAD_BITS;
  for (uint32_t& entry : table->lookahead) entry = 0;
  for (int i = 0; i < count && sizes[i] <= kBits; ++i) {
    const int length = sizes[i];
    const uint32_t symbol = table->values[i];
    const int magnitude = static_cast<int>(symbol & 15);
    const uint32_t first = codes[i] << (kBits - length);
    const uint32_t span = 1u << (kBits - length);
    for (uint32_t j = 0; j < span; ++j) {
      uint32_t entry = (symbol & 0xF0) | static_cast<uint32_t>(length) << 8 | (symbol & 15) << 12;
      if (magnitude != 0 && length + magnitude <= kBits) {
        const uint32_t bits = (j >> (kBits - length - magnitude)) & ((1u << magnitude) - 1);
        const auto value = static_cast<uint16_t>(huff_extend(bits, magnitude));
        entry |= static_cast<uint32_t>(length + magnitude) | uint32_t{value} << 16;
      }
      table->lookahead[first + j] = entry;
    }
  }
  return JpegSuccess;
}

namespace {

// One AC symbol at the top of `bits` (`width` bits known, the rest zero):
// the bits it takes with its magnitude, the positions it advances, whether
// it ends the block; false when the lookahead cannot resolve it within them.
struct SkipStep {
  int used, advance;
  bool end;
};
bool skip_step(const HuffDecodeTable* table, uint32_t bits, int width, SkipStep* step) {
  constexpr int kBits = JPEG_HUFF_LOOKAHEAD_BITS;
  const uint32_t entry = table->lookahead[(bits >> (kHuffSkipBits - kBits)) & ((1u << kBits) - 1)];
  const int length = static_cast<int>(entry >> 8) & 15;
  if (length == 0 || length > width) return false;
  const int symbol = lookahead_symbol(entry);
  const int r = symbol >> 4, s = symbol & 15;
  if (s == 0) {
    // 16 zeros, or the end of the block (any other run without a value).
    step->used = length;
    step->advance = r == 15 ? 16 : 0;
    step->end = r != 15;
    return true;
  }
  if (length + s > width) return false;
  step->used = length + s;
  step->advance = r + 1;
  step->end = false;
  return true;
}

}  // namespace

void huff_build_skip_table(const HuffDecodeTable* table, uint16_t* skip) {
  constexpr int kWidth = kHuffSkipBits;
  constexpr uint32_t kMask = (1u << kWidth) - 1;
  for (uint32_t v = 0; v <= kMask; ++v) {
    // As many symbols as the bits resolve, up to three.
    int used = 0, advance = 0;
    bool end = false;
    SkipStep step{};
    for (int n = 0; n < 3 && !end && skip_step(table, (v << used) & kMask, kWidth - used, &step);
         ++n) {
      used += step.used;
      advance += step.advance;
      end = step.end;
    }
    skip[v] = static_cast<uint16_t>(used | advance << 5 | (end ? 1 << 11 : 0));
  }
}

namespace {

// Calls step(length, symbol, j) for every code of up to kHuffFastBits bits
// and every value j of the bits that follow it, and stores what it gives
// at fast[(code << (kHuffFastBits - length)) + j]; the other entries are 0.
template <typename Entry, typename Step>
void build_fast(const HuffDecodeTable* table, Entry* fast, Step step) {
  constexpr int kBits = kHuffFastBits;
  for (uint32_t i = 0; i < (1u << kBits); ++i) fast[i] = 0;
  for (int length = 1; length <= kBits; ++length) {
    if (table->max_code[length] < 0) continue;
    const int first = table->min_code[length];
    const int last = static_cast<uint16_t>(table->max_code[length]);
    for (int code = first; code <= last; ++code) {
      const int symbol = table->values[table->val_ptr[length] + code - first];
      const uint32_t start = static_cast<uint32_t>(code) << (kBits - length);
      for (uint32_t j = 0; j < (1u << (kBits - length)); ++j) {
        fast[start + j] = step(length, symbol, j);
      }
    }
  }
}

// The extended value of the `magnitude` bits that follow a code of
// `length` bits within the kHuffFastBits bits `j` ends.
int32_t fast_value(int length, int magnitude, uint32_t j) {
  const uint32_t bits = (j >> (kHuffFastBits - length - magnitude)) & ((1u << magnitude) - 1);
  return huff_extend(bits, magnitude);
}

}  // namespace

void huff_build_fast_table(const HuffDecodeTable* table, uint32_t* fast) {
  build_fast(table, fast, [](int length, int symbol, uint32_t j) -> uint32_t {
    const int run = symbol >> 4, magnitude = symbol & 15;
    if (magnitude == 0) {
      // Sixteen zeros, or the end of the block.
      return static_cast<uint32_t>(length) | (run == 15 ? 15u << 8 : kHuffFastEnd);
    }
    if (length + magnitude > kHuffFastBits) return 0;
    const auto value = static_cast<uint16_t>(fast_value(length, magnitude, j));
    return static_cast<uint32_t>(length + magnitude) | static_cast<uint32_t>(run) << 8 |
           uint32_t{value} << 16;
  });
}

void huff_build_fast_dc_table(const HuffDecodeTable* table, uint16_t* fast) {
  build_fast(table, fast, [](int length, int symbol, uint32_t j) -> uint16_t {
    // A category above 15 from a corrupt table reads as its low four bits,
    // as the lookahead's way has it.
    const int magnitude = symbol & 15;
    if (length + magnitude > kHuffFastBits) return 0;
    const int32_t value = magnitude == 0 ? 0 : fast_value(length, magnitude, j);
    return static_cast<uint16_t>(static_cast<uint32_t>(length + magnitude) |
                                 static_cast<uint32_t>(value) << 4);
  });
}

}  // namespace jpegcodec
