// Bit input, Huffman tables and the block decoders, on crafted bit streams.

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "jpeg/api/routines.h"
#include "jpeg/cpu/routine_table.h"
#include "jpeg/decode/huffman.h"
#include "jpeg/decode/huffman_progressive.h"
#include "jpeg/stream/huffman_table.h"
#include "jpeg/stream/input_stream.h"
#include "jpeg/stream/standard_tables.h"
#include "tests/jpeg_test_util.h"

using namespace jpegcodec;

namespace {

struct MemoryStream {
  explicit MemoryStream(std::vector<uint8_t> data) : bytes(std::move(data)) {
    stream.data_start = bytes.data();
    stream.data_size = static_cast<int32_t>(bytes.size());
    stream_reset(&stream);
  }
  std::vector<uint8_t> bytes;
  InputStream stream{};
};

HuffDecodeTable build(std::vector<uint8_t> counts, std::vector<uint8_t> symbols, int table_class) {
  counts.resize(16, 0);
  HuffDecodeTable table{};
  EXPECT_EQ(huff_build_decode_table(counts.data(), symbols.data(), table_class, 0, &table),
            JpegSuccess);
  return table;
}

// DC: category 0 as "0", category 1 as "1".
HuffDecodeTable dc_table() {
  return build({2}, {0, 1}, 0);
}

}  // namespace

TEST(BitInput, StuffedZeroIsADataByte) {
  MemoryStream m({0xFF, 0x00, 0x80});
  ASSERT_EQ(bits_fill(&m.stream, 0), JpegSuccess);
  EXPECT_EQ(m.stream.bit_count, 16);
  EXPECT_EQ(bits_get(&m.stream, 8), 0xFFu);
  EXPECT_EQ(bits_get(&m.stream, 8), 0x80u);
  EXPECT_EQ(m.stream.pending_marker, 0);
}

TEST(BitInput, FillBytesThenAMarkerStopTheFill) {
  MemoryStream m({0xAA, 0xFF, 0xFF, 0xFF, 0xD3, 0x11});
  ASSERT_EQ(bits_fill(&m.stream, 0), JpegSuccess);
  EXPECT_EQ(m.stream.bit_count, 8);
  EXPECT_EQ(m.stream.pending_marker, 0xD3);
  EXPECT_EQ(bits_get(&m.stream, 8), 0xAAu);
  // Past the marker: zero bits, and the interval is marked cut.
  EXPECT_EQ(bits_fill(&m.stream, 1), JpegSuccess);
  EXPECT_EQ(bits_get(&m.stream, 16), 0u);
  EXPECT_EQ(m.stream.data_ended, kIntervalCut | kOutOfData);
  EXPECT_EQ(m.stream.available, 1) << "nothing is read past the marker";
}

TEST(BitInput, MemoryEndGivesZeroBitsAndAFinalFFEndsTheData) {
  MemoryStream zeros({0xF0});
  ASSERT_EQ(bits_fill(&zeros.stream, 0), JpegSuccess);
  EXPECT_EQ(bits_get(&zeros.stream, 8), 0xF0u);
  ASSERT_EQ(bits_fill(&zeros.stream, 4), JpegSuccess);
  EXPECT_EQ(bits_get(&zeros.stream, 4), 0u);
  EXPECT_EQ(bits_get(&zeros.stream, 16), 0u);
  // Cut between 0xFF and the byte after it: the byte before is data, the
  // data have ended, as when a file ends there.
  MemoryStream last_ff({0x12, 0xFF});
  ASSERT_EQ(bits_fill(&last_ff.stream, 16), JpegSuccess);
  EXPECT_EQ(bits_get(&last_ff.stream, 8), 0x12u);
  EXPECT_NE(last_ff.stream.data_ended & kDataEnded, 0);
}

// Where a threaded read cuts data without restart markers, decoders that
// hold different numbers of bits must agree on where they stand, stuffed
// zeros included, and a stream put at such a place reads on from there.
TEST(BitInput, AStreamsBitIsTheSameHoweverManyBitsItHolds) {
  const std::vector<uint8_t> data{0x12, 0xFF, 0x00, 0x34, 0xFF, 0x00, 0xFF, 0x00, 0x56,
                                  0x78, 0x9A, 0xFF, 0x00, 0xBC, 0xDE, 0xF0, 0x11, 0x22};
  // The raw byte of each data byte: stuffed zeros are none.
  const std::vector<int64_t> raw{0, 1, 3, 4, 6, 8, 9, 10, 11, 13, 14, 15, 16, 17};
  for (int32_t taken = 0; taken < 64; ++taken) {
    // One reader tops up whenever it holds less than it takes, seven bits
    // at a time; another a bit at a time, topping up only when it holds
    // none: at the same place they hold different bits.
    MemoryStream whole(data), piecemeal(data);
    for (int32_t t = 0; t < taken; t += 7) {
      const int32_t n = taken - t < 7 ? taken - t : 7;
      if (whole.stream.bit_count < n) {
        ASSERT_EQ(bits_fill(&whole.stream, n), JpegSuccess);
      }
      bits_get(&whole.stream, n);
    }
    for (int32_t t = 0; t < taken; ++t) {
      if (piecemeal.stream.bit_count == 0) {
        ASSERT_EQ(bits_fill(&piecemeal.stream, 1), JpegSuccess);
      }
      bits_get(&piecemeal.stream, 1);
    }
    const int64_t expected = raw[taken / 8] * 8 + taken % 8;
    EXPECT_EQ(stream_bit(&whole.stream), expected) << taken << " bits taken";
    EXPECT_EQ(stream_bit(&piecemeal.stream), expected) << taken << " bits taken, a bit at a time";
    MemoryStream moved(data);
    stream_to_bit(&moved.stream, expected);
    EXPECT_EQ(stream_bit(&moved.stream), expected);
    ASSERT_EQ(bits_fill(&moved.stream, 16), JpegSuccess);
    ASSERT_EQ(bits_fill(&whole.stream, 16), JpegSuccess);
    EXPECT_EQ(bits_get(&moved.stream, 16), bits_get(&whole.stream, 16)) << taken << " bits taken";
  }
}

TEST(HuffmanTables, LongCodesLeaveTheLookaheadEmpty) {
  // Two 10-bit codes only: 0000000000 and 0000000001.
  HuffDecodeTable table = build({0, 0, 0, 0, 0, 0, 0, 0, 0, 2}, {0x21, 0x42}, 1);
  for (uint32_t entry : table.lookahead) ASSERT_EQ(entry >> 8 & 15, 0u);
  BitWriter w;
  w.put(1, 10).put(0, 10);
  MemoryStream m(w.bytes());
  int symbol = -1;
  ASSERT_EQ(huff_decode(&m.stream, &table, &symbol), JpegSuccess);
  EXPECT_EQ(symbol, 0x42);
  ASSERT_EQ(huff_decode(&m.stream, &table, &symbol), JpegSuccess);
  EXPECT_EQ(symbol, 0x21);
}

TEST(HuffmanTables, ACodeThatMatchesNothingIsSymbolZeroAfter17Bits) {
  HuffDecodeTable table = build({1}, {0x55}, 1);  // the only code is "0"
  BitWriter w;
  w.put(0x1FFFF, 17).put(0, 1);
  MemoryStream m(w.bytes());
  int symbol = -1;
  ASSERT_EQ(huff_decode(&m.stream, &table, &symbol), JpegSuccess);
  EXPECT_EQ(symbol, 0);
  ASSERT_EQ(huff_decode(&m.stream, &table, &symbol), JpegSuccess);
  EXPECT_EQ(symbol, 0x55) << "exactly 17 bits were taken";
}

TEST(HuffmanTables, SixteenBitCodesAboveHalfTheRange) {
  // One 1-bit code, then 16-bit codes, the largest 0x8000 and more: their
  // max_code is stored negative and must still compare as unsigned.
  std::vector<uint8_t> counts(16, 0);
  counts[0] = 1;
  counts[15] = 3;
  HuffDecodeTable table = build(counts, {1, 2, 3, 4}, 1);
  EXPECT_LT(table.max_code[16], -1);
  BitWriter w;
  w.put(0x8002, 16);
  MemoryStream m(w.bytes());
  int symbol = -1;
  ASSERT_EQ(huff_decode(&m.stream, &table, &symbol), JpegSuccess);
  EXPECT_EQ(symbol, 4);
}

TEST(BlockDecoders, FiveBitsBeforeAMarker) {
  // "0000" is a 4-bit code; the next code of this table is 9 bits long.
  HuffDecodeTable table = build({0, 0, 0, 1, 0, 0, 0, 0, 1}, {0x11, 0x22}, 1);
  MemoryStream m({0x01, 0xFF, 0xD0});  // 000 | 0000 | 1, then RST0
  ASSERT_EQ(bits_fill(&m.stream, 0), JpegSuccess);
  bits_get(&m.stream, 3);
  ASSERT_EQ(m.stream.bit_count, 5);
  int symbol = -1;
  ASSERT_EQ(huff_decode(&m.stream, &table, &symbol), JpegSuccess);
  EXPECT_EQ(symbol, 0x11);
  // "1" and then zero bits: no code of 16 bits or fewer, symbol 0.
  EXPECT_EQ(huff_decode(&m.stream, &table, &symbol), JpegSuccess);
  EXPECT_EQ(symbol, 0);
  EXPECT_EQ(m.stream.pending_marker, 0xD0);
  EXPECT_NE(m.stream.data_ended & kOutOfData, 0);
}

TEST(BlockDecoders, AMarkerBeforeTheDcDecodesZeroBits) {
  HuffDecodeTable dc = dc_table();
  HuffDecodeTable ac = build({1}, {0x00}, 1);
  MemoryStream m({0xFF, 0xD1});
  int16_t block[64];
  for (int16_t& c : block) c = 99;
  int16_t pred = 37;
  RoutineTable routines{};
  fill_routine_table(&routines, CpuGeneric);
  EXPECT_EQ(routines.decode_block(&m.stream, &dc, &ac, &pred, block), JpegSuccess);
  // "0": DC difference 0, then "0": end of block.
  EXPECT_EQ(block[0], 37);
  for (int i = 1; i < 64; ++i) ASSERT_EQ(block[i], 0);
  EXPECT_EQ(pred, 37);
  EXPECT_EQ(m.stream.pending_marker, 0xD1);
  EXPECT_EQ(m.stream.data_ended, kIntervalCut | kOutOfData);
}

TEST(BlockDecoders, SequentialBlockWithAValueAndEndOfBlock) {
  HuffDecodeTable dc = dc_table();
  // AC: "0" end of block, "10" run 1 size 2, "11" size 1.
  HuffDecodeTable ac = build({1, 2}, {0x00, 0x12, 0x01}, 1);
  BitWriter w;
  w.put(1, 1).put(0, 1);  // DC category 1, bits "0": -1
  w.put(2, 2).put(2, 2);  // run 1, size 2, bits "10": 2
  w.put(3, 2).put(0, 1);  // size 1, bits "0": -1
  w.put(0, 1);            // end of block
  MemoryStream m(w.bytes());
  int16_t block[64] = {};
  int16_t pred = 10;
  ASSERT_EQ(decode_block_portable(&m.stream, &dc, &ac, &pred, block), JpegSuccess);
  EXPECT_EQ(pred, 9);
  EXPECT_EQ(block[0], 9);
  EXPECT_EQ(block[natural_order[2]], 2);
  EXPECT_EQ(block[natural_order[3]], -1);
  int nonzero = 0;
  for (int16_t c : block) nonzero += c != 0;
  EXPECT_EQ(nonzero, 3);
}

TEST(BlockDecoders, AnAcRunPastPosition63WritesCoefficient63) {
  HuffDecodeTable dc = dc_table();
  HuffDecodeTable ac = build({2}, {0xF0, 0xF1}, 1);  // "0" ZRL, "1" run 15 size 1
  BitWriter w;
  w.put(0, 1);                      // DC difference 0
  w.put(0, 1).put(0, 1).put(0, 1);  // three zero runs of 16: position 49
  w.put(1, 1).put(1, 1);            // run 15, value 1: position 64
  MemoryStream m(w.bytes());
  int16_t block[64] = {};
  int16_t pred = 0;
  ASSERT_EQ(decode_block_portable(&m.stream, &dc, &ac, &pred, block), JpegSuccess);
  EXPECT_EQ(block[63], 1);
  for (int i = 1; i < 63; ++i) ASSERT_EQ(block[i], 0) << i;
}

TEST(BlockDecoders, DcOnlyDecodeKeepsTheRestOfTheBlock) {
  HuffDecodeTable dc = dc_table();
  HuffDecodeTable ac = build({1, 2}, {0x00, 0x12, 0x01}, 1);
  BitWriter w;
  w.put(1, 1).put(1, 1).put(2, 2).put(2, 2).put(0, 1);  // DC +1, one AC value, EOB
  w.put(1, 1).put(0, 1).put(0, 1);                      // the next block: DC -1, EOB
  MemoryStream m(w.bytes());
  int16_t block[64];
  for (int16_t& c : block) c = 7;
  int16_t pred = 0;
  ASSERT_EQ(decode_block_dc_only_portable(&m.stream, &dc, &ac, &pred, block), JpegSuccess);
  EXPECT_EQ(block[0], 1);
  for (int i = 1; i < 64; ++i) ASSERT_EQ(block[i], 7) << i;
  // The bit position is the one decode_block would leave.
  ASSERT_EQ(decode_block_portable(&m.stream, &dc, &ac, &pred, block), JpegSuccess);
  EXPECT_EQ(block[0], 0);
}

TEST(ProgressiveDecoders, EndOfBandRuns) {
  HuffDecodeTable ac = build({2}, {0x00, 0x30}, 1);  // "0" EOB, "1" EOBRUN r=3
  BitWriter w;
  w.put(0, 1);            // r = 0: this block only
  w.put(1, 1).put(5, 3);  // r = 3, bits 101: 8 + 5 = 13 blocks
  w.put(1, 1).put(0, 3);  // the block after them: another run (8)
  MemoryStream m(w.bytes());
  int16_t block[64] = {};
  uint64_t nonzero = 0;
  const BandRow one{block, &nonzero, 1, 1};
  const BandScan scan{&ac, 1, 63, 0, 0};
  ASSERT_EQ(decode_ac_band_portable(&m.stream, one, scan, 0, 1), 1);
  EXPECT_EQ(m.stream.eob_run, 0);
  ASSERT_EQ(decode_ac_band_portable(&m.stream, one, scan, 0, 1), 1);
  EXPECT_EQ(m.stream.eob_run, 12) << "this block and the next 12";
  for (int i = 0; i < 12; ++i) ASSERT_EQ(decode_ac_band_portable(&m.stream, one, scan, 0, 1), 1);
  EXPECT_EQ(m.stream.eob_run, 0);
  ASSERT_EQ(decode_ac_band_portable(&m.stream, one, scan, 0, 1), 1);
  EXPECT_EQ(m.stream.eob_run, 7);
}

TEST(ProgressiveDecoders, FirstScansShiftAndRefinementsCorrect) {
  HuffDecodeTable dc = dc_table();
  BitWriter w;
  w.put(1, 1).put(1, 1);  // DC first: +1, shifted by Al 2
  w.put(1, 1);            // DC refine: bit 1 at Al 1
  MemoryStream m(w.bytes());
  int16_t coefficient = 0;
  int16_t pred = 0;
  ASSERT_EQ(decode_dc_first(&m.stream, &dc, &coefficient, &pred, 2), JpegSuccess);
  EXPECT_EQ(coefficient, 4);
  ASSERT_EQ(decode_dc_refine(&m.stream, &coefficient, 1), JpegSuccess);
  EXPECT_EQ(coefficient, 6);

  // AC refinement: an end of band corrects the non-zero coefficients left.
  HuffDecodeTable ac = build({1}, {0x00}, 1);  // "0": EOB, r = 0
  BitWriter r;
  r.put(0, 1).put(1, 1).put(1, 1);  // EOB, then correction bits for two coefficients
  MemoryStream refine(r.bytes());
  int16_t block[64] = {};
  block[natural_order[1]] = 2;
  block[natural_order[5]] = -2;
  uint64_t nonzero = uint64_t{1} << 1 | uint64_t{1} << 5;
  ASSERT_EQ(decode_ac_band_portable(&refine.stream, BandRow{block, &nonzero, 1, 1},
                                    BandScan{&ac, 1, 63, 1, 0}, 0, 1),
            1);
  EXPECT_EQ(block[natural_order[1]], 3);
  EXPECT_EQ(block[natural_order[5]], -3);
  EXPECT_EQ(refine.stream.eob_run, 0);
}

namespace {

// Entropy-coded bytes: random, stuffed; for one trial in three a marker
// (EOI or a restart marker) and more bytes after it, else just their end.
std::vector<uint8_t> random_entropy_data(std::mt19937& random, int most, int trial) {
  BitWriter w;
  const int length = static_cast<int>(random() % static_cast<uint32_t>(most));
  for (int i = 0; i < length; ++i) w.put(random() & 0xFF, 8);
  std::vector<uint8_t> bytes = w.bytes();
  if (trial % 3 == 0) {
    bytes.push_back(0xFF);
    bytes.push_back(trial % 6 == 0 ? 0xD9 : 0xD3);
    for (int i = 0; i < 16; ++i) bytes.push_back(static_cast<uint8_t>(random()));
  }
  return bytes;
}

// Both streams stand at the same bit: the bits that follow agree, and so
// does what they say of the data's end. Read from copies (memory streams
// only read their bytes), so that one reference serves several.
void expect_same_place(const InputStream& got_stream, const InputStream& expected_stream) {
  InputStream got = got_stream, expected = expected_stream;
  for (int i = 0; i < 4; ++i) {
    bits_fill(&got, 16);
    bits_fill(&expected, 16);
    ASSERT_EQ(bits_get(&got, 16), bits_get(&expected, 16)) << "word " << i;
  }
  ASSERT_EQ(got.data_ended, expected.data_ended);
}

HuffDecodeTable standard_table(int table_class) {
  const StandardHuffmanTable& standard = standard_huffman_table(table_class, 0);
  int symbol_count = 0;
  for (int i = 0; i < 16; ++i) symbol_count += standard.counts[i];
  return build(std::vector<uint8_t>(standard.counts, standard.counts + 16),
               std::vector<uint8_t>(standard.symbols, standard.symbols + symbol_count),
               table_class);
}

// The progressive decoders of each kind the processor has: the portable
// ones and the ones the vector fill installs (the same when it has none).
std::vector<ProgressiveDecoders> progressive_variants() {
  RoutineTable portable{}, vector{};
  fill_routine_table(&portable, CpuGeneric);
  fill_routine_table(&vector, CpuGeneric);
  install_vector_variants(&vector);
  std::vector<ProgressiveDecoders> variants = {progressive_decoders_for(&portable)};
  const ProgressiveDecoders other = progressive_decoders_for(&vector);
  if (other.ac_band != variants[0].ac_band) variants.push_back(other);
  return variants;
}

// The reference for the band decoder: the progressive AC decoders written
// block by block and bit by bit through the stream's own functions, which
// ask for exactly the bits each step uses (zero bits standing in past the
// data's end), the way the codec decoded these scans before its band
// decoder kept the bit state in registers.

// The stream's bit state in registers for a progressive block decoder. Every
// step asks for exactly the bits it uses, as the stream's own functions do,
// so zero bits stand in, and the data's end is recorded, at the same places.
class LocalBits {
 public:
  explicit LocalBits(InputStream* stream)
      : s_(stream), acc_(stream->bit_acc), count_(stream->bit_count) {}
  ~LocalBits() { store(); }
  LocalBits(const LocalBits&) = delete;
  LocalBits& operator=(const LocalBits&) = delete;

  uint32_t get(int n) {
    if (count_ < n) {
      store();
      bits_fill(s_, n);
      load();
    }
    count_ -= n;
    return static_cast<uint32_t>(acc_ >> count_) & ((1u << n) - 1);
  }
  // n bits (1..31) when the buffer holds them, or can be topped up with
  // them from the data without zero bits standing in: false otherwise.
  bool try_get(int n, uint32_t* value) {
    if (count_ < n) {
      store();
      bits_take(s_);
      load();
      if (count_ < n) return false;
    }
    count_ -= n;
    *value = static_cast<uint32_t>(acc_ >> count_) & ((1u << n) - 1);
    return true;
  }
  int symbol(const HuffDecodeTable* table) {
    constexpr int kBits = JPEG_HUFF_LOOKAHEAD_BITS;
    if (count_ < kBits) {
      store();
      bits_take(s_);
      load();
    }
    if (count_ >= kBits) {
      const uint32_t entry = table->lookahead[(acc_ >> (count_ - kBits)) & ((1u << kBits) - 1)];
      const int length = static_cast<int>(entry >> 8) & 15;
      if (length != 0) {
        count_ -= length;
        return lookahead_symbol(entry);
      }
    }
    store();
    int result = 0;
    huff_decode_slow(s_, table, &result, count_ >= kBits ? kBits + 1 : 1);
    load();
    return result;
  }
  void set_eob_run(int32_t run) { s_->eob_run = run; }
  int32_t eob_run() const { return s_->eob_run; }

 private:
  void store() {
    s_->bit_acc = acc_;
    s_->bit_count = count_;
  }
  void load() {
    acc_ = s_->bit_acc;
    count_ = s_->bit_count;
  }
  InputStream* s_;
  uint64_t acc_;
  int count_;
};

// End-of-band run: 2^r, plus the next r bits as a number.
inline int32_t eob_run_of(LocalBits& bits, int r) {
  int32_t run = 1 << r;
  if (r > 0) run += static_cast<int32_t>(bits.get(r));
  return run;
}

JpegStatus reference_ac_first(InputStream* stream, int16_t* block, uint64_t* nonzero,
                              const HuffDecodeTable* ac_table, int ss, int se, int al) {
  if (stream->eob_run > 0) {
    --stream->eob_run;
    return JpegSuccess;
  }
  LocalBits bits(stream);
  uint64_t mask = *nonzero;
  for (int k = ss; k <= se;) {
    const int rs = bits.symbol(ac_table);
    const int r = rs >> 4;
    const int s = rs & 15;
    if (s != 0) {
      k += r;
      const int32_t value = huff_extend(bits.get(s), s);
      const auto coefficient = static_cast<int16_t>(static_cast<uint32_t>(value) << al);
      block[natural_order[k]] = coefficient;
      if (coefficient != 0) mask |= position_bit(k);
      ++k;
    } else if (r == 15) {
      k += 16;
    } else {
      bits.set_eob_run(eob_run_of(bits, r) - 1);  // this block ends the first of the run
      break;
    }
  }
  *nonzero = mask;
  return JpegSuccess;
}

JpegStatus reference_ac_refine(InputStream* stream, int16_t* block, uint64_t* nonzero,
                               const HuffDecodeTable* ac_table, int ss, int se, int al) {
  const int32_t p1 = 1 << al;
  const int32_t m1 = static_cast<int32_t>(static_cast<uint32_t>(-1) << al);
  LocalBits bits(stream);
  uint64_t mask = *nonzero;
  // Each non-zero coefficient of zig-zag positions [from, to) gets one
  // correction bit, in order: read together while the data hold them, one
  // at a time (zero bits standing in past the end) otherwise.
  auto correct = [&](int from, int to) {
    uint64_t m = mask & positions(from, to);
    int left = bit_count(m);
    while (left > 0) {
      const int n = left < 24 ? left : 24;
      uint32_t chunk = 0;
      if (!bits.try_get(n, &chunk)) break;
      left -= n;
      for (uint32_t bit = 1u << (n - 1); bit != 0; bit >>= 1, m &= m - 1) {
        int16_t* c = &block[natural_order[__builtin_ctzll(m)]];
        if ((chunk & bit) != 0 && (*c & p1) == 0)
          *c = static_cast<int16_t>(*c + (*c >= 0 ? p1 : m1));
      }
    }
    for (; m != 0; m &= m - 1) {
      int16_t* c = &block[natural_order[__builtin_ctzll(m)]];
      if (bits.get(1) != 0 && (*c & p1) == 0) *c = static_cast<int16_t>(*c + (*c >= 0 ? p1 : m1));
    }
  };

  int k = ss;
  if (bits.eob_run() == 0 && ss <= se) {
    while (k <= se) {
      const int rs = bits.symbol(ac_table);
      const int r = rs >> 4;
      const int s = rs & 15;
      int32_t new_value = 0;
      if (s != 0) {
        new_value = bits.get(1) != 0 ? p1 : m1;
      } else if (r < 15) {
        bits.set_eob_run(eob_run_of(bits, r));
        break;
      }
      // Pass over r zero coefficients, correcting the non-zero ones met, to
      // the zero after them (or past the band when there are not so many).
      uint64_t zeros = ~mask & positions(k, se + 1);
      for (int i = 0; i < r && zeros != 0; ++i) zeros &= zeros - 1;
      const int target = zeros != 0 ? __builtin_ctzll(zeros) : se + 1;
      correct(k, target);
      k = target;
      if (new_value != 0) {
        block[natural_order[k]] = static_cast<int16_t>(new_value);
        mask |= position_bit(k);
      }
      ++k;
    }
  }
  if (bits.eob_run() > 0) {
    correct(k, se + 1);
    bits.set_eob_run(bits.eob_run() - 1);
  }
  *nonzero = mask;
  return JpegSuccess;
}

// A row of a progressive AC scan decoded block by block with the stream's
// own decoders, as a scan with restart intervals does: blocks in an
// end-of-band run with nothing to correct are passed over, and the row
// stops after the block in which the data ran out. Returns the blocks done.
int32_t band_block_by_block(InputStream* s, const BandRow& row, const BandScan& scan,
                            int32_t count) {
  const uint64_t band = scan.se >= 63
                            ? ~uint64_t{0} << scan.ss
                            : ((uint64_t{1} << (scan.se + 1)) - 1) & (~uint64_t{0} << scan.ss);
  for (int32_t j = 0; j < count; ++j) {
    const int64_t at = int64_t{j / row.across} * row.mcu_blocks + j % row.across;
    int16_t* block = row.blocks + at * 64;
    uint64_t* nonzero = row.masks + at;
    if (s->eob_run > 0 && (scan.ah == 0 || (*nonzero & band) == 0)) {
      --s->eob_run;
    } else if (scan.ah != 0) {
      reference_ac_refine(s, block, nonzero, scan.table, scan.ss, scan.se, scan.al);
    } else {
      reference_ac_first(s, block, nonzero, scan.table, scan.ss, scan.se, scan.al);
    }
    if (s->data_ended & kOutOfData) return j + 1;
  }
  return count;
}

}  // namespace

// The band decoder keeps the bit state in registers and lets zero bits
// stand in past the data's end without asking for them one by one; it must
// give exactly what the block-by-block decoders give: coefficients, masks,
// the end-of-band run, where the data ran out and why, and the bits that
// follow (it may take a marker sooner, to hold it pending).
// Random data through the standard luminance AC table (long codes take the
// slow path), cut short or ended by a marker at random places; refinement
// starts from random earlier bands.
TEST(ProgressiveDecoders, BandDecoderGivesTheBlockByBlockResult) {
  const std::vector<ProgressiveDecoders> variants = progressive_variants();
  HuffDecodeTable table = standard_table(1);
  std::mt19937 random(20261208);
  constexpr int32_t kAcross = 2, kMcuBlocks = 6, kBlocks = 40;
  constexpr int64_t kStoreBlocks = (kBlocks / kAcross) * kMcuBlocks;
  int ran_out = 0, markers = 0, whole_rows = 0;
  for (int trial = 0; trial < 3000; ++trial) {
    BandScan scan{&table, 1 + static_cast<int>(random() % 20), 0, 0,
                  static_cast<int>(random() % 3)};
    scan.se = scan.ss + static_cast<int>(random() % (64 - scan.ss));
    if (trial % 2 == 1) scan.ah = scan.al + 1;
    const std::vector<uint8_t> bytes = random_entropy_data(random, 700, trial);
    // Earlier bands: coefficients that are multiples of 2^ah, now and then
    // one with bit al already set (damaged data), and their masks.
    std::vector<int16_t> store(kStoreBlocks * 64);
    std::vector<uint64_t> masks(kStoreBlocks);
    if (scan.ah != 0) {
      for (int64_t b = 0; b < kStoreBlocks; ++b) {
        for (int k = scan.ss; k <= scan.se; ++k) {
          if (random() % 3 != 0) continue;
          int32_t v = static_cast<int32_t>(random() % 200) - 100;
          v = random() % 50 == 0 ? v * (1 << scan.al) : v * (1 << scan.ah);
          store[b * 64 + natural_order[k]] = static_cast<int16_t>(v);
          if (v != 0) masks[b] |= uint64_t{1} << k;
        }
      }
    }
    const int32_t eob_run = random() % 4 == 0 ? static_cast<int32_t>(random() % 12) : 0;

    std::vector<int16_t> expected_store = store;
    std::vector<uint64_t> expected_masks = masks;
    MemoryStream expected(bytes);
    expected.stream.eob_run = eob_run;
    const int32_t expected_done = band_block_by_block(
        &expected.stream,
        BandRow{expected_store.data(), expected_masks.data(), kAcross, kMcuBlocks}, scan, kBlocks);
    SCOPED_TRACE(testing::Message() << "trial " << trial << " Ss " << scan.ss << " Se " << scan.se
                                    << " Ah " << scan.ah << " Al " << scan.al);
    for (size_t v = 0; v < variants.size(); ++v) {
      SCOPED_TRACE(testing::Message() << "variant " << v);
      std::vector<int16_t> got_store = store;
      std::vector<uint64_t> got_masks = masks;
      MemoryStream got(bytes);
      got.stream.eob_run = eob_run;
      const int32_t got_done = variants[v].ac_band(
          &got.stream, BandRow{got_store.data(), got_masks.data(), kAcross, kMcuBlocks}, scan, 0,
          kBlocks);
      ASSERT_EQ(got_done, expected_done);
      ASSERT_EQ(got_store, expected_store);
      ASSERT_EQ(got_masks, expected_masks);
      ASSERT_EQ(got.stream.eob_run, expected.stream.eob_run);
      ASSERT_EQ(got.stream.data_ended, expected.stream.data_ended);
      expect_same_place(got.stream, expected.stream);
      if (HasFatalFailure()) return;
    }
    ran_out += expected_done < kBlocks;
    markers += (expected.stream.data_ended & kIntervalCut) != 0;
    whole_rows += expected_done == kBlocks && expected.stream.data_ended == 0;
  }
  // The cases the comparison is about all came up.
  EXPECT_GT(ran_out, 100);
  EXPECT_GT(markers, 100);
  EXPECT_GT(whole_rows, 100);
}

// The same for the DC scans: MCUs of two whole blocks of one component and
// the DC kept alone of another, first scans and refinements.
TEST(ProgressiveDecoders, DcDecoderGivesTheBlockByBlockResult) {
  const std::vector<ProgressiveDecoders> variants = progressive_variants();
  HuffDecodeTable table = standard_table(0);
  std::mt19937 random(8122026);
  constexpr int32_t kMcus = 50, kWhole = 2;
  int ran_out = 0;
  for (int trial = 0; trial < 2000; ++trial) {
    const int al = static_cast<int>(random() % 4);
    const int ah = trial % 2 == 1 ? al + 1 : 0;
    const std::vector<uint8_t> bytes = random_entropy_data(random, 300, trial);
    std::vector<int16_t> whole(kMcus * kWhole * 64), alone(kMcus);
    for (int16_t& v : whole) v = static_cast<int16_t>(random());
    for (int16_t& v : alone) v = static_cast<int16_t>(random());
    std::vector<uint64_t> masks(kMcus * kWhole, ~uint64_t{0});
    int32_t start_pred[2] = {static_cast<int32_t>(random() % 100), -7};

    std::vector<int16_t> expected_whole = whole, expected_alone = alone;
    std::vector<uint64_t> expected_masks = masks;
    MemoryStream expected(bytes);
    int32_t expected_pred[2] = {start_pred[0], start_pred[1]};
    int32_t expected_done = kMcus;
    for (int32_t mcu = 0; mcu < kMcus; ++mcu) {
      for (int b = 0; b < 3; ++b) {
        const bool kept_whole = b < kWhole;
        int16_t* block =
            kept_whole ? &expected_whole[(mcu * kWhole + b) * 64] : &expected_alone[mcu];
        if (ah != 0) {
          decode_dc_refine(&expected.stream, block, al);
          continue;
        }
        if (kept_whole) {
          zero_block(block);
          expected_masks[mcu * kWhole + b] = 0;
        }
        int16_t pred = static_cast<int16_t>(expected_pred[kept_whole ? 0 : 1]);
        decode_dc_first(&expected.stream, &table, block, &pred, al);
        expected_pred[kept_whole ? 0 : 1] = pred;
      }
      if (expected.stream.data_ended & kOutOfData) {
        expected_done = mcu + 1;
        break;
      }
    }
    SCOPED_TRACE(testing::Message() << "trial " << trial << " Ah " << ah << " Al " << al);
    for (size_t v = 0; v < variants.size(); ++v) {
      SCOPED_TRACE(testing::Message() << "variant " << v);
      std::vector<int16_t> got_whole = whole, got_alone = alone;
      std::vector<uint64_t> got_masks = masks;
      const DcBlock plan[3] = {
          {got_whole.data(), got_masks.data(), kWhole * 64, &table, 0},
          {got_whole.data() + 64, got_masks.data() + 1, kWhole * 64, &table, 0},
          {got_alone.data(), nullptr, 1, &table, 1}};
      int32_t got_pred[2] = {start_pred[0], start_pred[1]};
      MemoryStream got(bytes);
      const int32_t got_done =
          variants[v].dc_mcus(&got.stream, plan, 3, 0, kMcus, got_pred, ah, al);
      ASSERT_EQ(got_done, expected_done);
      ASSERT_EQ(got_whole, expected_whole);
      ASSERT_EQ(got_alone, expected_alone);
      ASSERT_EQ(got_masks, expected_masks);
      ASSERT_EQ(got_pred[0], expected_pred[0]);
      ASSERT_EQ(got_pred[1], expected_pred[1]);
      expect_same_place(got.stream, expected.stream);
      if (HasFatalFailure()) return;
    }
    ran_out += expected_done < kMcus;
  }
  EXPECT_GT(ran_out, 100);
}
