// Every processor-specific routine this machine supports against its
// portable twin: the same bytes for random and extreme inputs.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "jpeg/api/routines.h"
#include "jpeg/cpu/cpu.h"
#include "jpeg/cpu/routine_table.h"
#include "jpeg/decode/huffman.h"
#include "jpeg/decode/idct.h"
#include "jpeg/decode/output_internal.h"
#include "jpeg/encode/huffman_encode.h"
#include "jpeg/encode/mcu_input.h"
#include "jpeg/encode/simd_encode.h"
#include "jpeg/stream/huffman_table.h"
#include "jpeg/stream/input_stream.h"
#include "jpeg/stream/standard_tables.h"
#include "tests/jpeg_test_util.h"

using namespace jpegcodec;

namespace {

struct Tables {
  RoutineTable portable{};
  RoutineTable vector{};
  Tables() {
    fill_routine_table(&portable, CpuGeneric);
    fill_routine_table(&vector, CpuGeneric);
    install_vector_variants(&vector);
  }
};

// Sample blocks as the inverse transform leaves them: 0..255, random or at
// the extremes (all 0, all 255, alternating).
void fill_samples(int16_t* samples, size_t count, int pattern, std::mt19937& random) {
  for (size_t i = 0; i < count; ++i) {
    switch (pattern) {
      case 0:
        samples[i] = 0;
        break;
      case 1:
        samples[i] = 255;
        break;
      case 2:
        samples[i] = (i & 1) ? 255 : 0;
        break;
      default:
        samples[i] = static_cast<int16_t>(random() % 256);
        break;
    }
  }
}

}  // namespace

TEST(VectorRoutines, ColourKernelsGiveThePortableBytes) {
  Tables t;
  struct Slot {
    const char* name;
    OutKernel3Fn RoutineTable::*slot;
    int width, height, channels;
  };
  const Slot slots[] = {
      {"out_ycc_rgb", &RoutineTable::out_ycc_rgb, 8, 8, 3},
      {"out_ycc422_rgb", &RoutineTable::out_ycc422_rgb, 16, 8, 3},
      {"out_ycc420_rgb", &RoutineTable::out_ycc420_rgb, 16, 16, 3},
      {"out_ycc_bgr", &RoutineTable::out_ycc_bgr, 8, 8, 3},
      {"out_ycc422_bgr", &RoutineTable::out_ycc422_bgr, 16, 8, 3},
      {"out_ycc420_bgr", &RoutineTable::out_ycc420_bgr, 16, 16, 3},
      {"out_ycc_rgba", &RoutineTable::out_ycc_rgba, 8, 8, 4},
      {"out_ycc422_rgba", &RoutineTable::out_ycc422_rgba, 16, 8, 4},
      {"out_ycc420_rgba", &RoutineTable::out_ycc420_rgba, 16, 16, 4},
  };
  std::mt19937 random(99);
  int compared = 0;
  for (const Slot& s : slots) {
    const OutKernel3Fn portable = t.portable.*s.slot;
    const OutKernel3Fn vector = t.vector.*s.slot;
    if (vector == portable) continue;  // no variant on this processor
    // Rows with bytes after them, which neither kernel may touch.
    const int32_t stride = s.width * s.channels + 5;
    for (int round = 0; round < 300; ++round) {
      alignas(32) int16_t y[4 * 64], cb[64], cr[64];
      const int pattern = round < 27 ? round % 9 : 9;
      fill_samples(y, 4 * 64, pattern / 3 == 0 ? pattern % 3 : 3, random);
      fill_samples(cb, 64, pattern % 3, random);
      fill_samples(cr, 64, round < 27 ? (pattern + 1) % 3 : 3, random);
      std::vector<uint8_t> a(static_cast<size_t>(stride) * s.height, 0x5A), b = a;
      portable(y, cb, cr, a.data(), stride);
      vector(y, cb, cr, b.data(), stride);
      ASSERT_TRUE(a == b) << s.name << " round " << round;
    }
    ++compared;
  }
  if (!vector_support().avx2) GTEST_SKIP() << "no AVX2 here: nothing to compare";
  EXPECT_EQ(compared, 9);
}

TEST(VectorRoutines, ReducedScaleColourKernelsGiveThePortableBytes) {
  const Tables t;
  const ScaledYccKernels vector = scaled_ycc_kernels_for(&t.vector);
  if (vector.rgb == nullptr) GTEST_SKIP() << "no vector variant on this processor";
  const ScaledYccFn portable[2] = {scaled_ycc_rgb_portable, scaled_ycc_bgr_portable};
  const ScaledYccFn variant[2] = {vector.rgb, vector.bgr};
  std::mt19937 random(5);
  for (int order = 0; order < 2; ++order) {
    for (int rows : {2, 4, 8}) {
      // Rows with bytes after them and rows below the ones asked for, which
      // neither kernel may touch.
      constexpr int32_t kStride = 8 * 3 + 5;
      for (int round = 0; round < 200; ++round) {
        alignas(32) int16_t y[64], cb[64], cr[64];
        const int pattern = round < 27 ? round % 9 : 9;
        fill_samples(y, 64, pattern / 3 == 0 ? pattern % 3 : 3, random);
        fill_samples(cb, 64, pattern % 3, random);
        fill_samples(cr, 64, round < 27 ? (pattern + 1) % 3 : 3, random);
        std::vector<uint8_t> a(kStride * 9, 0x5A), b = a;
        portable[order](y, cb, cr, a.data(), kStride, rows);
        variant[order](y, cb, cr, b.data(), kStride, rows);
        ASSERT_TRUE(a == b) << (order ? "bgr" : "rgb") << " rows " << rows << " round " << round;
        EXPECT_EQ(a[kStride * rows], 0x5A);
      }
    }
  }
  // The batch writers' row converter, over rows of every length a batch
  // gives: whole vectors, a last vector laid over the one before, and rows
  // shorter than one; nothing past the row is written.
  int compared = 0;
  for (bool bgr : {false, true}) {
    const YccRowFn row = ycc_row_kernel_for(&t.vector, bgr);
    const YccRowFn twin = ycc_row_kernel_for(&t.portable, bgr);
    ASSERT_EQ(twin, bgr ? ycc_row_bgr_portable : ycc_row_rgb_portable);
    for (int pixels = 1; pixels <= 130; ++pixels) {
      std::vector<int16_t> y(pixels), cb(pixels), cr(pixels);
      fill_samples(y.data(), pixels, pixels % 4, random);
      fill_samples(cb.data(), pixels, (pixels + 1) % 4, random);
      fill_samples(cr.data(), pixels, (pixels + 2) % 4, random);
      std::vector<uint8_t> a(3 * pixels + 7, 0x5A), b = a;
      twin(y.data(), cb.data(), cr.data(), a.data(), pixels);
      row(y.data(), cb.data(), cr.data(), b.data(), pixels);
      ASSERT_TRUE(a == b) << (bgr ? "bgr" : "rgb") << " pixels " << pixels;
      EXPECT_EQ(b[3 * pixels], 0x5A);
      ++compared;
    }
  }
  EXPECT_EQ(compared, 260);
}

TEST(VectorRoutines, AnySamplingKernelsGiveThePortableBytes) {
  // Luma h x v blocks, chroma one block: every kernel this processor has a
  // variant of, at full size and 1/2, to RGB, BGR and RGBA, over extreme and
  // random samples (at 1/2 the rest of each block is samples too, which no
  // kernel may read as its own).
  const Tables t;
  if (t.vector.out_ycc_rgb == t.portable.out_ycc_rgb) GTEST_SKIP() << "no AVX2 MCU kernels here";
  std::mt19937 random(17);
  int compared = 0;
  for (int h = 1; h <= 4; ++h) {
    for (int v = 1; v <= 4; ++v) {
      for (int bytes : {3, 4}) {
        for (bool bgr : {false, true}) {
          if (bytes == 4 && bgr) continue;
          // At full size and at 1/2 (blocks of 4 x 4 samples).
          for (int w : {8, 4}) {
            const AnySamplingFn variant = w == 8 ? any_sampling_avx2(bytes, bgr, h, v)
                                                 : any_sampling_half_avx2(bytes, bgr, h, v);
            if (variant == nullptr) continue;
            const AnySamplingFn portable = any_sampling_portable(bytes, bgr, h, v);
            const int32_t stride = w * h * bytes + 7;
            for (int round = 0; round < 60; ++round) {
              std::vector<int16_t> y(64 * h * v), cb(64), cr(64);
              const int pattern = round < 27 ? round % 9 : 9;
              fill_samples(y.data(), 64 * h * v, pattern / 3 == 0 ? pattern % 3 : 3, random);
              fill_samples(cb.data(), 64, pattern % 3, random);
              fill_samples(cr.data(), 64, round < 27 ? (pattern + 1) % 3 : 3, random);
              std::vector<uint8_t> a(static_cast<size_t>(stride) * (w * v + 1), 0x5A), b = a;
              if (w == 8) {
                portable(y.data(), cb.data(), cr.data(), a.data(), stride);
              } else {
                any_sampling_reduced_portable(bytes, bgr, h, v, w, y.data(), cb.data(), cr.data(),
                                              a.data(), stride);
              }
              variant(y.data(), cb.data(), cr.data(), b.data(), stride);
              ASSERT_TRUE(a == b) << h << "x" << v << " at 1/" << 8 / w << " bytes " << bytes
                                  << (bgr ? " bgr" : "") << " round " << round;
            }
            ++compared;
          }
        }
      }
    }
  }
  EXPECT_GE(compared, 2 * 6 * 3)
      << "4:4:0, 1x4, 4:1:1, 4x2, 4x3 and 4x4 in three layouts, at full size and 1/2";
}

namespace {

// Random and extreme coefficient blocks through both routines.
void expect_same_transform(IdctFn portable, IdctFn vector, const char* name) {
  std::mt19937 random(7);
  // Coefficient ranges: those of real data, those near where 32-bit sums
  // stop being exact, and every 16-bit value.
  const int ranges[] = {64, 1024, 4096, 8192, 16384, 32768};
  for (int round = 0; round < 60000; ++round) {
    alignas(32) int16_t block[64] = {};
    const int range = ranges[round % 6];
    auto value = [&] {
      return static_cast<int16_t>(static_cast<int32_t>(random() % (2 * range)) - range);
    };
    switch (round % 5) {
      case 0:  // every coefficient
        for (int16_t& c : block) c = value();
        break;
      case 1:  // a few, as in real blocks
        for (int n = 0; n < 6; ++n) block[random() % 64] = value();
        break;
      case 2:  // the DC alone, or nothing at all
        block[0] = round % 10 == 2 ? value() : 0;
        break;
      case 3:  // the first column alone: every row of its DC alone
        for (int r = 0; r < 8; ++r) block[8 * r] = value();
        break;
      default:  // the extremes
        for (int16_t& c : block) c = (random() & 1) ? 32767 : -32768;
        block[random() % 64] = 0;
        break;
    }
    alignas(32) int16_t a[64], b[64];
    std::memcpy(a, block, sizeof a);
    std::memcpy(b, block, sizeof b);
    portable(a);
    vector(b);
    // The whole block: a reduced size leaves the rest of it as it was.
    ASSERT_EQ(std::memcmp(a, b, sizeof a), 0) << name << ", round " << round;
  }
}

}  // namespace

TEST(VectorRoutines, GreyKernelGivesThePortableBytes) {
  Tables t;
  if (t.vector.out_gray == t.portable.out_gray) GTEST_SKIP() << "no grey kernel variant here";
  std::mt19937 random(3);
  const int32_t stride = 8 + 5;  // bytes after each row, which neither kernel may touch
  for (int round = 0; round < 100; ++round) {
    alignas(32) int16_t y[64];
    fill_samples(y, 64, round < 12 ? round % 4 : 3, random);
    std::vector<uint8_t> a(static_cast<size_t>(stride) * 8, 0x5A), b = a;
    t.portable.out_gray(y, a.data(), stride);
    t.vector.out_gray(y, b.data(), stride);
    ASSERT_TRUE(a == b) << "round " << round;
  }
}

TEST(VectorRoutines, TransformsGiveThePortableValues) {
  Tables t;
  struct Pair {
    const char* name;
    IdctFn portable, vector;
  };
  std::vector<Pair> pairs;
  if (t.vector.idct_accurate_8x8 != t.portable.idct_accurate_8x8) {
    pairs.push_back({"8x8", t.portable.idct_accurate_8x8, t.vector.idct_accurate_8x8});
  }
  if (t.vector.idct_accurate_4x4 != t.portable.idct_accurate_4x4) {
    pairs.push_back({"4x4", t.portable.idct_accurate_4x4, t.vector.idct_accurate_4x4});
  }
  if (t.vector.idct_accurate_2x2 != t.portable.idct_accurate_2x2) {
    pairs.push_back({"2x2", t.portable.idct_accurate_2x2, t.vector.idct_accurate_2x2});
  }
#if defined(__x86_64__) || defined(__i386__)
  // The SSE2 transform serves processors without AVX2: tested wherever SSE2 is.
  if (vector_support().sse2) {
    pairs.push_back({"8x8 SSE2", t.portable.idct_accurate_8x8, idct_accurate_8x8_sse2});
  }
#endif
  if (pairs.empty()) GTEST_SKIP() << "no transform variant on this processor";
  for (const Pair& pair : pairs) expect_same_transform(pair.portable, pair.vector, pair.name);
}

TEST(VectorRoutines, DequantizationGivesThePortableValues) {
  Tables t;
  if (t.vector.dequantize_accurate == t.portable.dequantize_accurate) {
    GTEST_SKIP() << "no dequantization variant on this processor";
  }
  std::mt19937 random(11);
  for (int round = 0; round < 2000; ++round) {
    alignas(32) int16_t block[64], table[64], a[64], b[64];
    for (int i = 0; i < 64; ++i) {
      // Real tables (1..255) and real coefficients, then products beyond
      // 16 bits: every 16-bit value on both sides.
      const bool wide = round % 2 == 1;
      block[i] = static_cast<int16_t>(wide ? random() : static_cast<int>(random() % 2048) - 1024);
      table[i] = static_cast<int16_t>(wide ? random() : 1 + random() % 255);
    }
    std::memcpy(a, block, sizeof a);
    std::memcpy(b, block, sizeof b);
    t.portable.dequantize_accurate(a, table);
    t.vector.dequantize_accurate(b, table);
    ASSERT_EQ(std::memcmp(a, b, sizeof a), 0) << "round " << round;
  }
}

// The encoder's forward transform over samples (-128..127: random, flat at
// both ends, checkerboards) and its quantizers over every 16-bit value,
// with tables of real quantization values and of any 16-bit value.
TEST(VectorRoutines, EncoderRoutinesGiveThePortableValues) {
  Tables t;
  if (t.vector.fdct_accurate == t.portable.fdct_accurate &&
      t.vector.quantize_accurate == t.portable.quantize_accurate) {
    GTEST_SKIP() << "no encoder variant on this processor";
  }
  std::mt19937 random(29);
#if defined(__x86_64__) || defined(__i386__)
  int16_t last[64] = {};
#endif
  for (int round = 0; round < 4000; ++round) {
    alignas(32) int16_t samples[64], a[64], b[64];
    fill_level_shifted(samples, round % 6, random);
    for (const bool accurate : {true, false}) {
      std::memcpy(a, samples, sizeof a);
      std::memcpy(b, samples, sizeof b);
      (accurate ? t.portable.fdct_accurate : t.portable.fdct_fast)(a);
      (accurate ? t.vector.fdct_accurate : t.vector.fdct_fast)(b);
      ASSERT_EQ(std::memcmp(a, b, sizeof a), 0)
          << (accurate ? "accurate" : "fast") << " transform, round " << round;
    }
#if defined(__x86_64__) || defined(__i386__)
    // Two blocks at once (this one and the last round's): each its own
    // values, as the portable transform gives them.
    if (vector_support().avx2 && round > 0) {
      alignas(32) int16_t first[64], second[64], expected[64];
      std::memcpy(first, samples, sizeof first);
      std::memcpy(second, last, sizeof second);
      fdct_accurate_pair_avx2(first, second);
      std::memcpy(expected, samples, sizeof expected);
      t.portable.fdct_accurate(expected);
      ASSERT_EQ(std::memcmp(first, expected, sizeof first), 0) << "pair, first, round " << round;
      std::memcpy(expected, last, sizeof expected);
      t.portable.fdct_accurate(expected);
      ASSERT_EQ(std::memcmp(second, expected, sizeof second), 0) << "pair, second, round " << round;
    }
    std::memcpy(last, samples, sizeof last);
#endif

    alignas(32) uint16_t table[64];
    for (int i = 0; i < 64; ++i) {
      samples[i] = static_cast<int16_t>(random());
      // Reciprocals of real values (2^15 / 8Q), of the fast family's
      // (up to 2^15 - 1), and any 16-bit value at all.
      table[i] = static_cast<uint16_t>(round % 3 == 0   ? 4096 / (1 + random() % 255)
                                       : round % 3 == 1 ? random() % 32768
                                                        : random());
    }
    for (const bool accurate : {true, false}) {
      std::memcpy(a, samples, sizeof a);
      std::memcpy(b, samples, sizeof b);
      (accurate ? t.portable.quantize_accurate : t.portable.quantize_fast)(a, table);
      (accurate ? t.vector.quantize_accurate : t.vector.quantize_fast)(b, table);
      ASSERT_EQ(std::memcmp(a, b, sizeof a), 0)
          << (accurate ? "accurate" : "fast") << " quantizer, round " << round;
    }
  }
}

// The encoder's MCU input kernels over random pixels, lines further apart
// than the MCU is wide: each slot's blocks as the portable kernel gives them.
TEST(VectorRoutines, McuInputKernelsGiveThePortableBlocks) {
  Tables t;
  struct Slot {
    int index, bytes, max_h, max_v, blocks;
  };
  const Slot slots[] = {{1, 3, 1, 1, 3}, {2, 3, 2, 1, 4}, {3, 3, 2, 2, 6},
                        {4, 3, 1, 1, 3}, {5, 3, 2, 1, 4}, {6, 3, 2, 2, 6},
                        {7, 4, 1, 1, 3}, {8, 4, 2, 1, 4}, {9, 4, 2, 2, 6}};
  int compared = 0;
  std::mt19937 random(31);
  for (const Slot& slot : slots) {
    if (t.vector.enc_input[slot.index] == t.portable.enc_input[slot.index]) continue;
    ++compared;
    for (int round = 0; round < 300; ++round) {
      const int stride = 16 * slot.bytes + 7;
      std::vector<uint8_t> pixels(static_cast<size_t>(stride) * 16);
      for (uint8_t& p : pixels) {
        // Random, or the extremes of each channel.
        p = static_cast<uint8_t>(round % 4 == 0 ? (random() & 1) * 255 : random());
      }
      McuSource source{};
      source.pixels = pixels.data();
      source.stride = stride;
      source.channels = slot.bytes;
      source.max_h = slot.max_h;
      source.max_v = slot.max_v;
      alignas(32) int16_t a[6 * 64], b[6 * 64];
      std::memset(a, 0x11, sizeof a);
      std::memset(b, 0x11, sizeof b);
      t.portable.enc_input[slot.index](&source, a);
      t.vector.enc_input[slot.index](&source, b);
      ASSERT_EQ(std::memcmp(a, b, sizeof a), 0) << "slot " << slot.index + 1 << ", round " << round;
    }
  }
  if (compared == 0) GTEST_SKIP() << "no MCU input variant on this processor";
}

// The block Huffman encoder over quantized blocks dense and sparse, with
// long runs (ZRL), the last coefficient set or not, and values of every
// category: the same bytes and the same bits held.
TEST(VectorRoutines, BlockEncoderGivesThePortableBits) {
  Tables t;
  if (t.vector.enc_block == t.portable.enc_block) GTEST_SKIP() << "no block encoder variant";
  HuffEncodeTable dc, ac;
  const StandardHuffmanTable& dc_standard = standard_huffman_table(0, 0);
  const StandardHuffmanTable& ac_standard = standard_huffman_table(1, 0);
  build_encode_table(dc_standard.counts, dc_standard.symbols, &dc);
  build_encode_table(ac_standard.counts, ac_standard.symbols, &ac);
  std::mt19937 random(37);
  std::vector<uint8_t> a_bytes(64 * 1024), b_bytes(64 * 1024);
  EntropyWriter a{0, 0, a_bytes.data()}, b{0, 0, b_bytes.data()};
  int16_t pred_a = 0, pred_b = 0;
  for (int round = 0; round < 3000; ++round) {
    alignas(32) int16_t block[64] = {};
    const int density = round % 5;  // 0: DC alone ... 4: every coefficient
    for (int i = 0; i < 64; ++i) {
      if (i != 0 && density != 4 && static_cast<int>(random() % 8) >= density * 2) continue;
      const int category = 1 + static_cast<int>(random() % (i == 0 ? 11 : 10));
      int value = (1 << (category - 1)) + static_cast<int>(random() % (1u << (category - 1)));
      if (random() & 1) value = -value;
      block[i] = static_cast<int16_t>(value);
    }
    if (round % 7 == 0) block[63] = 5;  // no end of block
    t.portable.enc_block(&a, block, &pred_a, &dc, &ac);
    t.vector.enc_block(&b, block, &pred_b, &dc, &ac);
    ASSERT_EQ(a.next - a_bytes.data(), b.next - b_bytes.data()) << "round " << round;
    ASSERT_EQ(a.count, b.count);
    ASSERT_EQ(a.bits & ((uint64_t{1} << a.count) - 1), b.bits & ((uint64_t{1} << b.count) - 1));
    ASSERT_EQ(pred_a, pred_b);
    if (a.next - a_bytes.data() > 60 * 1024) {
      ASSERT_TRUE(std::equal(a_bytes.data(), a.next, b_bytes.data())) << "round " << round;
      a.next = a_bytes.data();
      b.next = b_bytes.data();
    }
  }
  ASSERT_TRUE(std::equal(a_bytes.data(), a.next, b_bytes.data()));
}

namespace {

struct StreamOver {
  explicit StreamOver(const std::vector<uint8_t>& bytes) {
    stream.data_start = bytes.data();
    stream.data_size = static_cast<int32_t>(bytes.size());
    stream_reset(&stream);
  }
  InputStream stream{};
};

// What a decode left in the stream, besides the blocks: the held bits (as
// many as the count says), where the data stand, a marker met, damage.
std::vector<int64_t> stream_state(const InputStream& s) {
  const uint64_t held = s.bit_count >= 64  ? s.bit_acc
                        : s.bit_count <= 0 ? 0
                                           : s.bit_acc & ((uint64_t{1} << s.bit_count) - 1);
  return {static_cast<int64_t>(held), s.bit_count, s.next - s.data_start, s.available, s.consumed,
          s.pending_marker,           s.data_ended};
}

// The luminance DC and AC tables of T.81 Annex K, built for decoding.
void build_standard_tables(HuffDecodeTable* dc, HuffDecodeTable* ac) {
  const StandardHuffmanTable& dc_standard = standard_huffman_table(0, 0);
  const StandardHuffmanTable& ac_standard = standard_huffman_table(1, 0);
  ASSERT_EQ(huff_build_decode_table(dc_standard.counts, dc_standard.symbols, 0, 0, dc),
            JpegSuccess);
  ASSERT_EQ(huff_build_decode_table(ac_standard.counts, ac_standard.symbols, 1, 0, ac),
            JpegSuccess);
}

}  // namespace

TEST(VectorRoutines, EntropyDecodersGiveThePortableBlocks) {
  Tables t;
  if (t.vector.decode_block == t.portable.decode_block) {
    GTEST_SKIP() << "no entropy decoder variant on this processor";
  }
  HuffDecodeTable dc{}, ac{};
  build_standard_tables(&dc, &ac);
  const McuDecodeFn portable_mcu = mcu_decoder_for(&t.portable);
  const McuDecodeFn vector_mcu = mcu_decoder_for(&t.vector);
  ASSERT_NE(portable_mcu, nullptr);
  ASSERT_NE(vector_mcu, nullptr);
  std::mt19937 random(5);
  for (int round = 0; round < 600; ++round) {
    // Random entropy-coded data: mostly valid-looking bytes, some with
    // 0xFF (stuffed, fill, or a marker), some cut short.
    std::vector<uint8_t> data(4 + random() % 400);
    for (uint8_t& b : data) b = static_cast<uint8_t>(random());
    for (size_t i = 0; i + 1 < data.size(); ++i) {
      if (data[i] == 0xFF) data[i + 1] = (round % 3 == 0) ? 0x00 : data[i + 1];
    }
    SCOPED_TRACE("round " + std::to_string(round));
    // Block by block, through each table's block decoders.
    StreamOver a(data), b(data);
    int16_t pred_a = 0, pred_b = 0;
    for (int n = 0; n < 24; ++n) {
      alignas(32) int16_t block_a[64], block_b[64];
      std::memset(block_a, 0x55, sizeof block_a);
      std::memset(block_b, 0x55, sizeof block_b);
      const bool whole = n % 3 != 2;
      const DecodeBlockFn fa = whole ? t.portable.decode_block : t.portable.decode_block_dc_only;
      const DecodeBlockFn fb = whole ? t.vector.decode_block : t.vector.decode_block_dc_only;
      const JpegStatus sa = fa(&a.stream, &dc, &ac, &pred_a, block_a);
      const JpegStatus sb = fb(&b.stream, &dc, &ac, &pred_b, block_b);
      ASSERT_EQ(sa, sb) << "block " << n;
      ASSERT_EQ(pred_a, pred_b) << "block " << n;
      ASSERT_EQ(std::memcmp(block_a, block_b, sizeof block_a), 0) << "block " << n;
      ASSERT_EQ(stream_state(a.stream), stream_state(b.stream)) << "block " << n;
    }
    // MCU by MCU: four blocks whole, two of their DC alone, some of them
    // dequantized as they are decoded.
    alignas(32) int16_t quant[64];
    for (int16_t& q : quant) q = static_cast<int16_t>(1 + random() % 255);
    const SequentialBlock plan[6] = {{&dc, &ac, 0, true, quant, nullptr, nullptr, nullptr},
                                     {&dc, &ac, 0, true, nullptr, nullptr, nullptr, nullptr},
                                     {&dc, &ac, 0, true, quant, nullptr, nullptr, nullptr},
                                     {&dc, &ac, 0, true, nullptr, nullptr, nullptr, nullptr},
                                     {&dc, &ac, 1, false, quant, nullptr, nullptr, nullptr},
                                     {&dc, &ac, 2, false, nullptr, nullptr, nullptr, nullptr}};
    StreamOver c(data), d(data);
    int32_t preds_c[4] = {}, preds_d[4] = {};
    for (int n = 0; n < 6; ++n) {
      alignas(32) int16_t blocks_c[6 * 64], blocks_d[6 * 64];
      std::memset(blocks_c, 0x33, sizeof blocks_c);
      std::memset(blocks_d, 0x33, sizeof blocks_d);
      const bool pass_over = n == 3;
      ASSERT_EQ(portable_mcu(&c.stream, plan, 6, preds_c, blocks_c, pass_over),
                vector_mcu(&d.stream, plan, 6, preds_d, blocks_d, pass_over));
      ASSERT_EQ(std::memcmp(preds_c, preds_d, sizeof preds_c), 0) << "MCU " << n;
      ASSERT_EQ(std::memcmp(blocks_c, blocks_d, sizeof blocks_c), 0) << "MCU " << n;
      ASSERT_EQ(stream_state(c.stream), stream_state(d.stream)) << "MCU " << n;
    }
    // Dequantized as decoded is what the dequantizer gives afterwards.
    const SequentialBlock raw[1] = {{&dc, &ac, 0, true, nullptr, nullptr, nullptr, nullptr}};
    const SequentialBlock cooked[1] = {{&dc, &ac, 0, true, quant, nullptr, nullptr, nullptr}};
    StreamOver e(data), f(data);
    int32_t preds_e[4] = {}, preds_f[4] = {};
    for (int n = 0; n < 12; ++n) {
      alignas(32) int16_t block_e[64], block_f[64];
      ASSERT_EQ(portable_mcu(&e.stream, raw, 1, preds_e, block_e, false),
                portable_mcu(&f.stream, cooked, 1, preds_f, block_f, false));
      t.portable.dequantize_accurate(block_e, quant);
      ASSERT_EQ(std::memcmp(block_e, block_f, sizeof block_e), 0) << "block " << n;
    }
  }
}

TEST(EntropyDecoding, SkipAndFastEntriesDecodeAsTheLookaheadDoes) {
  // Blocks read for their DC alone with and without the skip entries, and
  // blocks kept whole (raw and dequantized) with and without the fast
  // entries, on random data and on tables with long codes, runs of zeros
  // and categories up to 15: the same coefficients, predictors and bits
  // taken after every MCU, with each table's block decoders.
  Tables t;
  std::mt19937 random(17);
  const StandardHuffmanTable& dc_standard = standard_huffman_table(0, 0);
  for (int table_kind = 0; table_kind < 3; ++table_kind) {
    HuffDecodeTable dc{}, plain{};
    ASSERT_EQ(huff_build_decode_table(dc_standard.counts, dc_standard.symbols, 0, 0, &dc),
              JpegSuccess);
    if (table_kind < 2) {
      const StandardHuffmanTable& ac_standard = standard_huffman_table(1, table_kind);
      ASSERT_EQ(huff_build_decode_table(ac_standard.counts, ac_standard.symbols, 1, 0, &plain),
                JpegSuccess);
    } else {
      // A table of its own: 2 codes of each length from 2 to 16 bits, the
      // symbols every run and size, end of block and 16 zeros among them.
      uint8_t counts[16] = {0, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2};
      std::vector<uint8_t> symbols = {0x00, 0xF0};
      while (symbols.size() < 30) symbols.push_back(static_cast<uint8_t>(1 + random() % 255));
      ASSERT_EQ(huff_build_decode_table(counts, symbols.data(), 1, 0, &plain), JpegSuccess);
    }
    std::vector<uint16_t> skip(size_t{1} << kHuffSkipBits);
    huff_build_skip_table(&plain, skip.data());
    std::vector<uint32_t> fast(size_t{1} << kHuffFastBits);
    huff_build_fast_table(&plain, fast.data());
    std::vector<uint16_t> fast_dc(size_t{1} << kHuffFastBits);
    huff_build_fast_dc_table(&dc, fast_dc.data());
    alignas(32) int16_t quant[64];
    for (int16_t& q : quant) q = static_cast<int16_t>(1 + random() % 255);
    for (const RoutineTable* table : {&t.portable, &t.vector}) {
      const McuDecodeFn decode = mcu_decoder_for(table);
      ASSERT_NE(decode, nullptr);
      for (int round = 0; round < 300; ++round) {
        std::vector<uint8_t> data(16 + random() % 600);
        for (uint8_t& b : data) b = static_cast<uint8_t>(random());
        for (size_t i = 0; i + 1 < data.size(); ++i) {
          if (data[i] == 0xFF) data[i + 1] = round % 4 == 0 ? data[i + 1] : 0x00;
        }
        const SequentialBlock without[4] = {
            {&dc, &plain, 0, false, nullptr, nullptr, nullptr, nullptr},
            {&dc, &plain, 1, false, nullptr, nullptr, nullptr, nullptr},
            {&dc, &plain, 2, true, nullptr, nullptr, nullptr, nullptr},
            {&dc, &plain, 2, true, quant, nullptr, nullptr, nullptr}};
        const SequentialBlock with[4] = {
            {&dc, &plain, 0, false, nullptr, skip.data(), nullptr, fast_dc.data()},
            {&dc, &plain, 1, false, nullptr, skip.data(), nullptr, nullptr},
            {&dc, &plain, 2, true, nullptr, nullptr, fast.data(), fast_dc.data()},
            {&dc, &plain, 2, true, quant, nullptr, fast.data(), fast_dc.data()}};
        StreamOver a(data), b(data);
        int32_t preds_a[4] = {}, preds_b[4] = {};
        for (int n = 0; n < 16; ++n) {
          alignas(32) int16_t blocks_a[4 * 64], blocks_b[4 * 64];
          ASSERT_EQ(decode(&a.stream, without, 4, preds_a, blocks_a, false),
                    decode(&b.stream, with, 4, preds_b, blocks_b, false));
          ASSERT_EQ(blocks_a[0], blocks_b[0]) << "table " << table_kind << " round " << round;
          ASSERT_EQ(blocks_a[64], blocks_b[64]);
          ASSERT_EQ(std::memcmp(blocks_a + 128, blocks_b + 128, 128 * sizeof(int16_t)), 0)
              << "table " << table_kind << " round " << round << " MCU " << n;
          ASSERT_EQ(std::memcmp(preds_a, preds_b, sizeof preds_a), 0);
          // The same data bits taken (how many the buffer holds ahead may
          // differ: fewer steps refill at other moments; stuffed zeros and
          // markers are no data).
          auto taken = [&data](const InputStream& s) {
            int64_t bits = 0;
            for (int32_t i = 0; i < s.consumed; ++i) {
              if (data[i] != 0xFF) {
                bits += (i > 0 && data[i - 1] == 0xFF) ? 0 : 8;  // a marker's code or stuffing
              } else if (i + 1 < static_cast<int32_t>(data.size()) && data[i + 1] == 0x00) {
                bits += 8;  // 0xFF as data
              }
            }
            return bits - s.bit_count;
          };
          ASSERT_EQ(taken(a.stream), taken(b.stream))
              << "table " << table_kind << " round " << round << " MCU " << n;
          ASSERT_EQ(a.stream.data_ended, b.stream.data_ended);
        }
      }
    }
  }
}

TEST(EntropyDecoding, BatchesGiveWhatMcuAfterMcuGives) {
  // A batch of MCUs against the MCU decoder called once per MCU, on random
  // data (some too short for the batch, some with markers), with the fast
  // tables and without, raw and dequantized: the same MCUs counted, status,
  // coefficients, predictors and stream, with each table's decoders, and
  // the same stream and predictors at the MCUs the batch marks; and with a
  // pipeline's transforms, the same samples.
  Tables t;
  std::mt19937 random(29);
  HuffDecodeTable dc{}, ac{};
  build_standard_tables(&dc, &ac);
  std::vector<uint32_t> fast(size_t{1} << kHuffFastBits);
  std::vector<uint16_t> fast_dc(size_t{1} << kHuffFastBits);
  huff_build_fast_table(&ac, fast.data());
  huff_build_fast_dc_table(&dc, fast_dc.data());
  alignas(32) int16_t quant[64];
  for (int16_t& q : quant) q = static_cast<int16_t>(1 + random() % 255);
  const SequentialBlock plan[3] = {{&dc, &ac, 0, true, quant, nullptr, fast.data(), fast_dc.data()},
                                   {&dc, &ac, 1, true, nullptr, nullptr, nullptr, nullptr},
                                   {&dc, &ac, 2, false, nullptr, nullptr, nullptr, fast_dc.data()}};
  constexpr int32_t kMcus = 8, kStride = 3 * 64;
  for (const RoutineTable* table : {&t.portable, &t.vector}) {
    const McuDecodeFn single = mcu_decoder_for(table);
    const McuBatchFn batch = mcu_batch_decoder_for(table);
    ASSERT_NE(single, nullptr);
    ASSERT_NE(batch, nullptr);
    int32_t short_batches = 0;
    for (int round = 0; round < 400; ++round) {
      std::vector<uint8_t> data(8 + random() % 300);
      for (uint8_t& b : data) b = static_cast<uint8_t>(random() % 4 == 0 ? 0 : random());
      for (size_t i = 0; i + 1 < data.size(); ++i) {
        if (data[i] == 0xFF) data[i + 1] = round % 5 == 0 ? data[i + 1] : 0x00;
      }
      StreamOver a(data), b(data);
      int32_t preds_a[4] = {}, preds_b[4] = {};
      alignas(32) int16_t blocks_a[kMcus * kStride], blocks_b[kMcus * kStride];
      std::memset(blocks_a, 0x11, sizeof blocks_a);
      std::memset(blocks_b, 0x11, sizeof blocks_b);
      JpegStatus status_a = JpegSuccess;
      int32_t count_a = 0;
      // The stream and predictors before each MCU.
      std::vector<std::vector<int64_t>> before;
      while (count_a < kMcus) {
        before.push_back(stream_state(a.stream));
        before.back().insert(before.back().end(), preds_a, preds_a + 4);
        status_a = single(&a.stream, plan, 3, preds_a, blocks_a + count_a * kStride, false);
        if (status_a < 0) break;
        ++count_a;
        if (a.stream.data_ended & kOutOfData) break;
      }
      // The batch decoder's step sees each block once, in order, with its
      // final values (what a pipeline behind the decoder relies on).
      struct Recorder : BatchStep {
        const int16_t* base;
        const int16_t* last;
        bool in_order = true;
        int16_t copies[kMcus * kStride];
      } recorder;
      recorder.run = [](BatchStep* self, const int16_t* decoded_end) {
        Recorder& r = *static_cast<Recorder*>(self);
        r.in_order = r.in_order && decoded_end == r.last + 64;
        r.last = decoded_end;
        if (r.in_order) {
          std::memcpy(r.copies + (decoded_end - 64 - r.base), decoded_end - 64,
                      64 * sizeof(int16_t));
        }
      };
      recorder.transforms = nullptr;
      recorder.base = recorder.last = blocks_b;
      JpegStatus status_b = JpegSuccess;
      BatchMark marked[kMcus];
      BatchMarks marks{1 + round % 2, 2 + round % 3, 0, marked};
      const int32_t count_b = batch(&b.stream, plan, 3, preds_b, blocks_b, kStride, kMcus,
                                    &status_b, &recorder, &marks);
      // A mark for each MCU it names that the batch began (the one that
      // failed among them), holding what the stream and predictors were
      // before that MCU one at a time.
      const int32_t began = count_b + (status_b < 0 ? 1 : 0);
      int32_t expected_marks = 0;
      for (int32_t m = 1 + round % 2; m < began; m += 2 + round % 3) ++expected_marks;
      ASSERT_EQ(marks.made, expected_marks) << "round " << round;
      for (int32_t k = 0; k < marks.made; ++k) {
        const int32_t m = 1 + round % 2 + k * (2 + round % 3);
        InputStream at = b.stream;
        at.bit_acc = marked[k].bit_acc;
        at.bit_count = marked[k].bit_count;
        at.next = marked[k].next;
        at.consumed = marked[k].consumed;
        at.available = b.stream.available + static_cast<int32_t>(b.stream.next - at.next);
        at.pending_marker = marked[k].pending_marker;
        at.data_ended = marked[k].out_of_data ? kOutOfData : 0;
        std::vector<int64_t> state = stream_state(at);
        state.insert(state.end(), marked[k].dc_pred, marked[k].dc_pred + 4);
        std::vector<int64_t> expected = before[static_cast<size_t>(m)];
        expected[6] &= kOutOfData;  // of the data's end, a mark keeps this alone
        ASSERT_EQ(state, expected) << "round " << round << " mark " << k;
      }
      ASSERT_EQ(count_a, count_b) << "round " << round;
      ASSERT_EQ(status_a < 0 ? status_a : JpegSuccess, status_b) << "round " << round;
      ASSERT_EQ(std::memcmp(preds_a, preds_b, sizeof preds_a), 0) << "round " << round;
      ASSERT_EQ(std::memcmp(blocks_a, blocks_b, sizeof(int16_t) * kStride * count_a), 0)
          << "round " << round;
      ASSERT_EQ(stream_state(a.stream), stream_state(b.stream)) << "round " << round;
      ASSERT_TRUE(recorder.in_order) << "round " << round;
      ASSERT_GE(recorder.last - blocks_b, int64_t{count_b} * kStride) << "round " << round;
      ASSERT_EQ(std::memcmp(recorder.copies, blocks_b, sizeof(int16_t) * kStride * count_b), 0)
          << "round " << round;
      // A pipeline's step, which a decoder may do itself: the blocks come
      // out transformed, or left for the caller, as decoded and then
      // transformed one by one.
      void (*const transforms[3])(int16_t*) = {table->idct_accurate_8x8, table->idct_accurate_8x8,
                                               table->idct_accurate_4x4};
      StreamOver c(data);
      int32_t preds_c[4] = {};
      alignas(32) int16_t blocks_c[kMcus * kStride];
      std::memset(blocks_c, 0x11, sizeof blocks_c);
      BatchStep pipe{[](BatchStep* self, const int16_t* decoded_end) {
                       for (; self->next + 64 < decoded_end; self->next += 64) {
                         self->transforms[self->in_mcu](self->next);
                         self->in_mcu = (self->in_mcu + 1) % self->blocks;
                       }
                     },
                     transforms, 3, 0, blocks_c};
      JpegStatus status_c = JpegSuccess;
      const int32_t count_c =
          batch(&c.stream, plan, 3, preds_c, blocks_c, kStride, kMcus, &status_c, &pipe, nullptr);
      ASSERT_EQ(count_a, count_c) << "round " << round;
      for (; pipe.next < blocks_c + kStride * count_c; pipe.next += 64) {
        transforms[pipe.in_mcu](pipe.next);
        pipe.in_mcu = (pipe.in_mcu + 1) % 3;
      }
      for (int32_t k = 0; k < 3 * count_a; ++k) transforms[k % 3](blocks_a + 64 * k);
      ASSERT_EQ(std::memcmp(blocks_a, blocks_c, sizeof(int16_t) * kStride * count_a), 0)
          << "round " << round;
      if (count_b < kMcus) ++short_batches;
    }
    // Both ends were tried: batches cut short by the data, and whole ones.
    EXPECT_GT(short_batches, 20);
    EXPECT_LT(short_batches, 380);
  }
}
