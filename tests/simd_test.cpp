// Every processor-specific routine this machine supports against its
// portable twin: the same bytes for random and extreme inputs.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "jpeg/cpu/cpu.h"
#include "jpeg/cpu/routine_table.h"

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
