// Bit input, Huffman tables and the block decoders, on crafted bit streams.

#include <gtest/gtest.h>

#include <vector>

#include "jpeg/cpu/routine_table.h"
#include "jpeg/decode/huffman.h"
#include "jpeg/decode/huffman_table.h"
#include "jpeg/stream/input_stream.h"
#include "tests/jpeg_test_util.h"

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
  ASSERT_EQ(decode_ac_first(&m.stream, block, &nonzero, &ac, 1, 63, 0), JpegSuccess);
  EXPECT_EQ(m.stream.eob_run, 0);
  ASSERT_EQ(decode_ac_first(&m.stream, block, &nonzero, &ac, 1, 63, 0), JpegSuccess);
  EXPECT_EQ(m.stream.eob_run, 12) << "this block and the next 12";
  for (int i = 0; i < 12; ++i) {
    ASSERT_EQ(decode_ac_first(&m.stream, block, &nonzero, &ac, 1, 63, 0), 0);
  }
  EXPECT_EQ(m.stream.eob_run, 0);
  ASSERT_EQ(decode_ac_first(&m.stream, block, &nonzero, &ac, 1, 63, 0), JpegSuccess);
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
  ASSERT_EQ(decode_ac_refine(&refine.stream, block, &nonzero, &ac, 1, 63, 0), JpegSuccess);
  EXPECT_EQ(block[natural_order[1]], 3);
  EXPECT_EQ(block[natural_order[5]], -3);
  EXPECT_EQ(refine.stream.eob_run, 0);
}
