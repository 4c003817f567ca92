// Dequantization, table preparation and the inverse DCT at every size, in
// both families: known answers, accuracy against a double-precision
// reference, and box means for the reduced sizes.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "jpeg/api/routines.h"
#include "jpeg/cpu/routine_table.h"
#include "jpeg/decode/huffman.h"
#include "jpeg/decode/idct.h"
#include "jpeg/stream/quant_table.h"

using namespace jpegcodec;

namespace {

using Idct = void (*)(int16_t*);

struct Family {
  const char* name;
  Idct sizes[4];  // 8x8, 4x4, 2x2, 1x1
};

const Family kAccurate = {
    "accurate", {idct_accurate_8x8, idct_accurate_4x4, idct_accurate_2x2, idct_accurate_1x1}};
const Family kFast = {"fast", {idct_fast_8x8, idct_fast_4x4, idct_fast_2x2, idct_fast_1x1}};
const int kSize[4] = {8, 4, 2, 1};

// The fast family's input: natural-order coefficients times s(u)·s(v)·2,
// as a table from prepare_quant_fast and dequantize_fast leave them.
void to_fast_input(const int16_t* coefficients, int16_t* out) {
  int16_t ones[80];
  for (int i = 0; i < 64; ++i) ones[i] = 1;
  prepare_quant_fast(ones);
  for (int i = 0; i < 64; ++i) {
    out[i] = static_cast<int16_t>((int32_t{coefficients[i]} * ones[i] + 64) >> 7);
  }
}

// T.81 A.3.3 in double precision, with the level shift.
void reference_idct(const int16_t* coefficients, double* samples) {
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 8; ++x) {
      double sum = 0;
      for (int v = 0; v < 8; ++v) {
        for (int u = 0; u < 8; ++u) {
          const double cu = u == 0 ? std::sqrt(0.5) : 1.0;
          const double cv = v == 0 ? std::sqrt(0.5) : 1.0;
          sum += cu * cv * coefficients[8 * v + u] * std::cos((2 * x + 1) * u * M_PI / 16) *
                 std::cos((2 * y + 1) * v * M_PI / 16);
        }
      }
      samples[8 * y + x] = sum / 4 + 128;
    }
  }
}

}  // namespace

TEST(Idct, DcOnlyBlocksAtEverySize) {
  const std::pair<int, int> cases[] = {{0, 128}, {-1020, 1}, {-1021, 0}, {1011, 254}, {1012, 255}};
  for (const auto& [dc, expected] : cases) {
    for (int size = 0; size < 4; ++size) {
      int16_t block[64] = {};
      block[0] = static_cast<int16_t>(dc);
      kAccurate.sizes[size](block);
      const int n = kSize[size];
      for (int y = 0; y < n; ++y) {
        for (int x = 0; x < n; ++x) {
          ASSERT_EQ(block[8 * y + x], expected) << "accurate " << n << "x" << n << " D=" << dc;
        }
      }
    }
  }
  // The fast family with its own DC scaling: a DC of 8·D/... through the
  // table of all 1s (256 at DC) and dequantization by 2^-7 doubles D.
  int16_t block[64] = {};
  block[0] = 16;  // (D=8)·256/128
  idct_fast_8x8(block);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(block[i], 129);
  int16_t one[64] = {};
  one[0] = 16;
  idct_fast_1x1(one);
  EXPECT_EQ(one[0], 129);
}

TEST(Idct, FrequencyFourHasNoWeightInTwoByTwoMeans) {
  for (const Family* family : {&kAccurate, &kFast}) {
    for (int index : {4, 32, 36}) {  // horizontal 4, vertical 4, both
      int16_t block[64] = {};
      block[index] = 500;
      family->sizes[1](block);
      for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 4; ++x) {
          ASSERT_EQ(block[8 * y + x], 128) << family->name << " coefficient " << index;
        }
      }
    }
  }
}

TEST(Idct, ReducedSizesLeaveTheRestOfTheBlock) {
  for (int size = 1; size < 4; ++size) {
    int16_t block[64];
    for (int i = 0; i < 64; ++i) block[i] = static_cast<int16_t>(i % 7 - 3);
    int16_t before[64];
    std::memcpy(before, block, sizeof block);
    kAccurate.sizes[size](block);
    const int n = kSize[size];
    for (int y = 0; y < 8; ++y) {
      for (int x = 0; x < 8; ++x) {
        if (y < n && x < n) continue;
        ASSERT_EQ(block[8 * y + x], before[8 * y + x]) << n << "x" << n << " at " << x << "," << y;
      }
    }
  }
}

TEST(Idct, FastTablePreparation) {
  int16_t table[80];
  for (int i = 0; i < 80; ++i) table[i] = i < 64 ? 1 : 99;
  prepare_quant_fast(table);
  EXPECT_EQ(table[0], 256);
  // s(1)·s(0)/8·2048 = 1.387·256 = 355.1, at zig-zag 1, natural 1.
  EXPECT_EQ(table[1], 355);
  EXPECT_EQ(table[8], 355);
  for (int i = 64; i < 80; ++i) EXPECT_EQ(table[i], 0);
  // Every entry of a table of mixed quantizers: q·s(u)·s(v)/8·2048, rounded
  // half up, at the entry's natural position (saturated at 32767).
  auto s = [](int k) { return k == 0 ? 1.0 : std::sqrt(2.0) * std::cos(k * M_PI / 16); };
  int16_t mixed[80] = {};
  for (int i = 0; i < 64; ++i) mixed[i] = static_cast<int16_t>(1 + (i * 37) % 120);
  int16_t prepared[80];
  std::memcpy(prepared, mixed, sizeof mixed);
  prepare_quant_fast(prepared);
  for (int i = 0; i < 64; ++i) {
    const int n = natural_order[i], u = n % 8, v = n / 8;
    const double exact = mixed[i] * s(u) * s(v) / 8 * 2048;
    EXPECT_EQ(prepared[n], std::min(32767, static_cast<int>(std::floor(exact + 0.5))))
        << "zig-zag " << i << " (" << exact << ")";
  }
  EXPECT_DOUBLE_EQ(quant_scale_factor(0), 0.125);
  // The accurate preparation is the zig-zag to natural reordering.
  int16_t zigzag[80];
  for (int i = 0; i < 80; ++i) zigzag[i] = static_cast<int16_t>(i);
  prepare_quant_accurate(zigzag);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(zigzag[natural_order[i]], i);
  // Very coarse quantizers saturate instead of wrapping negative.
  int16_t coarse[80] = {255};
  prepare_quant_fast(coarse);
  EXPECT_EQ(coarse[0], 32767);
}

TEST(Idct, Dequantization) {
  int16_t block[64], table[64];
  for (int i = 0; i < 64; ++i) {
    block[i] = static_cast<int16_t>(i - 32);
    table[i] = static_cast<int16_t>(i + 1);
  }
  int16_t accurate[64], fast[64];
  std::memcpy(accurate, block, sizeof block);
  std::memcpy(fast, block, sizeof block);
  dequantize_accurate(accurate, table);
  dequantize_fast(fast, table);
  for (int i = 0; i < 64; ++i) {
    EXPECT_EQ(accurate[i], (i - 32) * (i + 1));
    EXPECT_EQ(fast[i], ((i - 32) * (i + 1) + 64) >> 7);
  }
  // A product beyond 16 bits (no encoder writes one) is held to them, the
  // nearest the block comes to the exact product, not wrapped around.
  int16_t big[64] = {1000, -1000, 200};
  int16_t wide[64] = {1000, 1000, 163};
  dequantize_accurate(big, wide);
  EXPECT_EQ(big[0], 32767);
  EXPECT_EQ(big[1], -32768);
  EXPECT_EQ(big[2], 32600);
}

TEST(Idct, AccurateFamilyMeetsTheClassicAccuracyLimits) {
  // Random coefficient blocks, as in the classic IDCT accuracy test: peak
  // error at most 1 per sample, per-sample mean-square error at most 0.06
  // and overall at most 0.02, per-sample mean error at most 0.015 and
  // overall at most 0.0015.
  std::mt19937 random(1180);
  std::uniform_int_distribution<int> value(-256, 255);
  const int kBlocks = 10000;
  double sum_error[64] = {}, sum_square[64] = {};
  int peak = 0;
  for (int b = 0; b < kBlocks; ++b) {
    int16_t coefficients[64];
    // Sparse blocks like real data: the low frequencies, then a few others.
    for (int i = 0; i < 64; ++i)
      coefficients[i] = (i < 10 || random() % 8 == 0) ? value(random) : 0;
    double reference[64];
    reference_idct(coefficients, reference);
    int16_t block[64];
    std::memcpy(block, coefficients, sizeof block);
    idct_accurate_8x8(block);
    for (int i = 0; i < 64; ++i) {
      const double expected = std::clamp(std::round(reference[i]), 0.0, 255.0);
      const double error = block[i] - expected;
      peak = std::max(peak, static_cast<int>(std::fabs(error)));
      sum_error[i] += error;
      sum_square[i] += error * error;
    }
  }
  double total_error = 0, total_square = 0;
  for (int i = 0; i < 64; ++i) {
    EXPECT_LE(std::fabs(sum_error[i] / kBlocks), 0.015) << "sample " << i;
    EXPECT_LE(sum_square[i] / kBlocks, 0.06) << "sample " << i;
    total_error += sum_error[i];
    total_square += sum_square[i];
  }
  EXPECT_LE(peak, 1);
  EXPECT_LE(std::fabs(total_error / (64.0 * kBlocks)), 0.0015);
  EXPECT_LE(total_square / (64.0 * kBlocks), 0.02);
}

namespace {

// FNV-1a over the samples every routine of a family gives for a fixed set
// of blocks: small values, extremes (±32767 after dequantization would
// not occur, but the routines must still give the same bytes), DC-only and
// empty blocks.
uint32_t family_checksum(const Family& family, bool fast_input) {
  std::mt19937 random(2024);
  uint32_t hash = 2166136261u;
  for (int b = 0; b < 600; ++b) {
    int16_t coefficients[64] = {};
    const int kind = b % 6;
    for (int i = 0; i < 64; ++i) {
      if (kind == 0) {
        coefficients[i] = static_cast<int16_t>(static_cast<int>(random() % 401) - 200);
      } else if (kind == 1 && (i < 10 || random() % 8 == 0)) {
        coefficients[i] = static_cast<int16_t>(static_cast<int>(random() % 2049) - 1024);
      } else if (kind == 2 && random() % 4 == 0) {
        coefficients[i] = static_cast<int16_t>(random() % 2 == 0 ? 32767 : -32768);
      }
    }
    if (kind == 3) coefficients[0] = static_cast<int16_t>(static_cast<int>(random() % 4097) - 2048);
    if (kind == 5) coefficients[static_cast<int>(random() % 64)] = 1000;
    for (int size = 0; size < 4; ++size) {
      int16_t block[64];
      if (fast_input) {
        to_fast_input(coefficients, block);
      } else {
        std::memcpy(block, coefficients, sizeof block);
      }
      family.sizes[size](block);
      for (int y = 0; y < kSize[size]; ++y) {
        for (int x = 0; x < kSize[size]; ++x) {
          hash = (hash ^ static_cast<uint16_t>(block[8 * y + x])) * 16777619u;
        }
      }
    }
  }
  return hash;
}

}  // namespace

TEST(Idct, BothFamiliesGiveTheirKnownSamples) {
  // Known answers of the two transform families (the accuracy tests bound
  // their error; these pin their exact rounding). A routine that gives other
  // bytes, however close, changes the sum.
  EXPECT_EQ(family_checksum(kAccurate, false), 2796013305u) << "accurate family";
  EXPECT_EQ(family_checksum(kFast, true), 2211269826u) << "fast family";
}

TEST(Idct, FastFamilyStaysCloseToTheReference) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int> value(-200, 200);
  double total_square = 0;
  int peak = 0;
  const int kBlocks = 2000;
  for (int b = 0; b < kBlocks; ++b) {
    int16_t coefficients[64] = {};
    for (int i = 0; i < 64; ++i)
      coefficients[i] = (i < 6 || random() % 10 == 0) ? value(random) : 0;
    double reference[64];
    reference_idct(coefficients, reference);
    int16_t block[64];
    to_fast_input(coefficients, block);
    idct_fast_8x8(block);
    for (int i = 0; i < 64; ++i) {
      const double error = block[i] - std::clamp(std::round(reference[i]), 0.0, 255.0);
      peak = std::max(peak, static_cast<int>(std::fabs(error)));
      total_square += error * error;
    }
  }
  EXPECT_LE(peak, 3);
  EXPECT_LE(total_square / (64.0 * kBlocks), 0.5);
}

TEST(Idct, ReducedSizesAreBoxMeansOfTheFullBlock) {
  std::mt19937 random(42);
  std::uniform_int_distribution<int> value(-120, 120);
  for (const Family* family : {&kAccurate, &kFast}) {
    int tested = 0;
    for (int b = 0; b < 3000; ++b) {
      int16_t coefficients[64] = {};
      for (int i = 0; i < 64; ++i)
        coefficients[i] = (i < 10 || random() % 6 == 0) ? value(random) : 0;
      int16_t input[64];
      if (family == &kFast) {
        to_fast_input(coefficients, input);
      } else {
        std::memcpy(input, coefficients, sizeof input);
      }
      int16_t full[64];
      std::memcpy(full, input, sizeof full);
      family->sizes[0](full);
      // Skip blocks whose full-size samples clamp: a mean of clamped samples
      // is not the clamped mean.
      bool clamped = false;
      for (int16_t s : full) clamped |= s == 0 || s == 255;
      if (clamped) continue;
      ++tested;
      for (int size = 1; size < 4; ++size) {
        int16_t reduced[64];
        std::memcpy(reduced, input, sizeof reduced);
        family->sizes[size](reduced);
        const int n = kSize[size], box = 8 / n;
        for (int y = 0; y < n; ++y) {
          for (int x = 0; x < n; ++x) {
            double mean = 0;
            for (int j = 0; j < box; ++j) {
              for (int i = 0; i < box; ++i) mean += full[8 * (y * box + j) + x * box + i];
            }
            mean /= box * box;
            ASSERT_LE(std::fabs(reduced[8 * y + x] - mean), family == &kFast ? 2.0 : 1.0)
                << family->name << " " << n << "x" << n << " block " << b;
          }
        }
      }
    }
    EXPECT_GT(tested, 1000) << family->name;
  }
}

TEST(Idct, FamilySelectionPicksMatchingRoutines) {
  RoutineTable t{};
  fill_routine_table(&t, CpuGeneric);
  select_transform_family(&t, 1);
  EXPECT_EQ(t.idct_8x8, t.idct_accurate_8x8);
  EXPECT_EQ(t.idct_1x1, t.idct_accurate_1x1);
  EXPECT_EQ(t.dequantize_block, t.dequantize_accurate);
  select_transform_family(&t, 0);
  EXPECT_EQ(t.idct_4x4, t.idct_fast_4x4);
  EXPECT_EQ(t.dequantize_block, t.dequantize_fast);
}
