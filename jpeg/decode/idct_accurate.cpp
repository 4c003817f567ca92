// The accurate family. Multipliers are cos(kπ/16)·2^15 (32138, 27246, 18205,
// 6393), √2·cos(π/8)·2^15 = 42813, √2·sin(π/8)·2^15 = 17734 and √2·2^12 =
// 5793. Sums run in 64 bits: valid data never leaves 32 bits, and corrupt
// coefficients cannot overflow.

#include "jpeg/decode/idct.h"

#include <initializer_list>

namespace jpegcodec {

namespace {

using Acc = int64_t;

inline int16_t clamp_sample(Acc x) {
  return static_cast<int16_t>(x < 0 ? 0 : (x > 255 ? 255 : x));
}

// One 8-point line: the even part E0..E3 and odd parts T1, T2, A, B.
struct Line {
  Acc e0, e1, e2, e3, t1, t2, a, b;
};

inline Line transform_line(Acc c0, Acc c1, Acc c2, Acc c3, Acc c4, Acc c5, Acc c6, Acc c7) {
  const Acc h = 32138 * c1 + 6393 * c7;
  const Acc f = 6393 * c1 - 32138 * c7;
  const Acc l = 18205 * c5 + 27246 * c3;
  const Acc g = 27246 * c5 - 18205 * c3;
  Line out;
  out.t1 = ((h + l + 2048) >> 12) * 5793;
  out.t2 = ((f + g + 2048) >> 12) * 5793;
  out.a = (h - l) + (f - g);
  out.b = (h - l) - (f - g);
  const Acc w = 42813 * c2 + 17734 * c6;
  const Acc z = 17734 * c2 - 42813 * c6;
  out.e0 = ((c0 + c4) << 15) + w;
  out.e3 = ((c0 + c4) << 15) - w;
  out.e1 = ((c0 - c4) << 15) + z;
  out.e2 = ((c0 - c4) << 15) - z;
  return out;
}

}  // namespace

void idct_accurate_8x8(int16_t* block) {
  // A block of the DC alone (most of a photo's flat parts) is one value:
  // every sum below reduces to c0 << 18.
  bool dc_only = true;
  for (int i = 1; i < 64 && dc_only; ++i) dc_only = block[i] == 0;
  if (dc_only) {
    const int16_t value = clamp_sample(((Acc{block[0]} + 4) >> 3) + 128);
    for (int i = 0; i < 64; ++i) block[i] = value;
    return;
  }
  // Row pass: the output carries a gain of 8 (>> 12 of a 2^15 scale).
  alignas(32) Acc work[64];
  for (int r = 0; r < 8; ++r) {
    const int16_t* c = block + 8 * r;
    Acc* out = work + 8 * r;
    if (c[1] == 0 && c[2] == 0 && c[3] == 0 && c[4] == 0 && c[5] == 0 && c[6] == 0 && c[7] == 0) {
      // A row of its first coefficient alone: (c0 << 15 + 2048) >> 12 = 8 c0.
      for (int x = 0; x < 8; ++x) out[x] = 8 * Acc{c[0]};
      continue;
    }
    const Line s = transform_line(c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7]);
    out[0] = (s.e0 + s.t1 + 2048) >> 12;
    out[1] = (s.e1 + s.a + 2048) >> 12;
    out[2] = (s.e2 + s.b + 2048) >> 12;
    out[3] = (s.e3 + s.t2 + 2048) >> 12;
    out[4] = (s.e3 - s.t2 + 2048) >> 12;
    out[5] = (s.e2 - s.b + 2048) >> 12;
    out[6] = (s.e1 - s.a + 2048) >> 12;
    out[7] = (s.e0 - s.t1 + 2048) >> 12;
  }
  // Column pass: divide by 2^21 (the row gain of 8 and the 2^15 scale, and
  // the 1/8 of the 2-D transform), level shift, clamp.
  for (int x = 0; x < 8; ++x) {
    const Acc* c = work + x;
    const Line s = transform_line(c[0], c[8], c[16], c[24], c[32], c[40], c[48], c[56]);
    const Acc sums[8] = {s.e0 + s.t1, s.e1 + s.a, s.e2 + s.b, s.e3 + s.t2,
                         s.e3 - s.t2, s.e2 - s.b, s.e1 - s.a, s.e0 - s.t1};
    for (int y = 0; y < 8; ++y)
      block[8 * y + x] = clamp_sample(((sums[y] + (1 << 20)) >> 21) + 128);
  }
}

namespace {

// The 4-point half of the 4x4 transform. Frequency 4 has zero weight in every
// 2x2 mean, so c4 is never read.
struct Half {
  Acc e0, e1, o0, o1;
};

inline Half half_4x4(Acc c0, Acc c1, Acc c2, Acc c3, Acc c5, Acc c6, Acc c7) {
  Half h;
  const Acc even = 15137 * c2 - 6270 * c6;
  h.e0 = (c0 << 14) + even;
  h.e1 = (c0 << 14) - even;
  h.o0 = 20995 * c1 + 7373 * c3 - 4926 * c5 - 4176 * c7;
  h.o1 = 8697 * c1 - 17799 * c3 + 11893 * c5 - 1730 * c7;
  return h;
}

}  // namespace

void idct_accurate_4x4(int16_t* block) {
  Acc work[4][8] = {};
  for (int x : {0, 1, 2, 3, 5, 6, 7}) {
    const int16_t* c = block + x;
    if (c[8] == 0 && c[16] == 0 && c[24] == 0 && c[40] == 0 && c[48] == 0 && c[56] == 0) {
      for (int y = 0; y < 4; ++y) work[y][x] = 4 * Acc{c[0]};
      continue;
    }
    const Half h = half_4x4(c[0], c[8], c[16], c[24], c[40], c[48], c[56]);
    work[0][x] = (h.e0 + h.o0 + 2048) >> 12;
    work[1][x] = (h.e1 + h.o1 + 2048) >> 12;
    work[2][x] = (h.e1 - h.o1 + 2048) >> 12;
    work[3][x] = (h.e0 - h.o0 + 2048) >> 12;
  }
  for (int y = 0; y < 4; ++y) {
    const Acc* c = work[y];
    int16_t* out = block + 8 * y;
    if (c[1] == 0 && c[2] == 0 && c[3] == 0 && c[5] == 0 && c[6] == 0 && c[7] == 0) {
      const int16_t value = clamp_sample(((c[0] + 16) >> 5) + 128);
      for (int x = 0; x < 4; ++x) out[x] = value;
      continue;
    }
    const Half h = half_4x4(c[0], c[1], c[2], c[3], c[5], c[6], c[7]);
    out[0] = clamp_sample(((h.e0 + h.o0 + 0x40000) >> 19) + 128);
    out[1] = clamp_sample(((h.e1 + h.o1 + 0x40000) >> 19) + 128);
    out[2] = clamp_sample(((h.e1 - h.o1 + 0x40000) >> 19) + 128);
    out[3] = clamp_sample(((h.e0 - h.o0 + 0x40000) >> 19) + 128);
  }
}

void idct_accurate_2x2(int16_t* block) {
  // Only frequencies 0, 1, 3, 5, 7 weigh in a 4x4 mean.
  auto odd = [](Acc c1, Acc c3, Acc c5, Acc c7) {
    return 29692 * c1 - 10426 * c3 + 6967 * c5 - 5906 * c7;
  };
  Acc work[2][8] = {};
  for (int x : {0, 1, 3, 5, 7}) {
    const int16_t* c = block + x;
    if (c[8] == 0 && c[24] == 0 && c[40] == 0 && c[56] == 0) {
      work[0][x] = work[1][x] = 4 * Acc{c[0]};
      continue;
    }
    const Acc o = odd(c[8], c[24], c[40], c[56]);
    work[0][x] = ((Acc{c[0]} << 15) + o + 0x1000) >> 13;
    work[1][x] = ((Acc{c[0]} << 15) - o + 0x1000) >> 13;
  }
  for (int y = 0; y < 2; ++y) {
    const Acc* c = work[y];
    int16_t* out = block + 8 * y;
    if (c[1] == 0 && c[3] == 0 && c[5] == 0 && c[7] == 0) {
      out[0] = out[1] = clamp_sample(((c[0] + 16) >> 5) + 128);
      continue;
    }
    const Acc o = odd(c[1], c[3], c[5], c[7]);
    out[0] = clamp_sample((((c[0] << 15) + o + 0x80000) >> 20) + 128);
    out[1] = clamp_sample((((c[0] << 15) - o + 0x80000) >> 20) + 128);
  }
}

void idct_accurate_1x1(int16_t* block) {
  block[0] = accurate_dc_sample(block[0]);
}

}  // namespace jpegcodec
