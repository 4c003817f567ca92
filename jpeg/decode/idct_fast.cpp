// The fast family (Arai-Agui-Nakajima): the scale factors s(u)·s(v) sit in
// the dequantization table, so a line needs five multiplications, each a
// Q15 product (x·k + 2^14) >> 15 by one of the factorisation's constants
// (25080, 46341, 85627, 35468). Column results are kept as 16-bit values;
// the row pass's final shift by 4 removes the table's remaining scale.

#include "jpeg/decode/idct.h"

#include <initializer_list>

namespace jpegcodec {

namespace {

using Acc = int64_t;

inline int16_t clamp_sample(Acc x) {
  x += 128;
  return static_cast<int16_t>(x < 0 ? 0 : (x > 255 ? 255 : x));
}
// (x·k + 0x4000) >> 15
inline Acc q15(Acc x, Acc k) {
  return (x * k + 0x4000) >> 15;
}
inline int16_t wrap16(Acc x) {
  return static_cast<int16_t>(static_cast<uint16_t>(x));
}

}  // namespace

void idct_fast_8x8(int16_t* block) {
  for (int x = 0; x < 8; ++x) {
    int16_t* col = block + x;
    const Acc r0 = col[0], r1 = col[8], r2 = col[16], r3 = col[24];
    const Acc r4 = col[32], r5 = col[40], r6 = col[48], r7 = col[56];
    const Acc e = q15(r5 + r7 - r3 - r1, 25080);
    const Acc f = q15(r1 + r7 - r5 - r3, 46341);
    const Acc g = r5 + r3 + r1 + r7;
    const Acc h = e - q15(r5 - r3, 85627);
    const Acc l = q15(r1 - r7, 35468) - e - g;
    const Acc u = r2 + r6;
    const Acc v = q15(r2 - r6, 46341) - u;
    const Acc d = r0 - r4;
    col[0] = wrap16(g + u + r4 + r0);
    col[8] = wrap16(v + d + l);
    col[16] = wrap16(d + f - v - l);
    col[24] = wrap16((r4 + r0 - u) - (h + f - l));
    col[32] = wrap16((r4 + r0 - u) + (h + f - l));
    col[40] = wrap16((d - v) - (f - l));
    col[48] = wrap16((v + d) - l);
    col[56] = wrap16((u + r4 + r0) - g);
  }
  for (int y = 0; y < 8; ++y) {
    int16_t* row = block + 8 * y;
    const Acc p0 = row[0], p1 = row[1], p2 = row[2], p3 = row[3];
    const Acc p4 = row[4], p5 = row[5], p6 = row[6], p7 = row[7];
    Acc k = q15(p5 + p7 - p3 - p1, 25080);
    const Acc e = p5 + p3 + p1 + p7;
    const Acc f = q15(p1 + p7 - p5 - p3, 46341);
    const Acc g = q15(p1 - p7, 35468) - k - e;
    k = k - q15(p5 - p3, 85627);
    const Acc r = p2 + p6;
    const Acc t = p0 + p4;
    const Acc v = q15(p2 - p6, 46341) - r;
    const Acc w = v + p0 - p4;
    const Acc v2 = p0 - p4 - v;
    const Acc f2 = f - g;
    row[0] = clamp_sample((e + r + t + 8) >> 4);
    row[1] = clamp_sample((w + g + 8) >> 4);
    row[2] = clamp_sample((v2 + f2 + 8) >> 4);
    row[3] = clamp_sample((t - r - k - f2 + 8) >> 4);
    row[4] = clamp_sample((t + k + f2 - r + 8) >> 4);
    row[5] = clamp_sample((v2 - f2 + 8) >> 4);
    row[6] = clamp_sample((w - g + 8) >> 4);
    row[7] = clamp_sample((r + t - e + 8) >> 4);
  }
}

namespace {

// The 4-point half of the fast 4x4 transform on a line b0..b7 (b4 unused).
struct Half {
  Acc c, hi, m;
};

inline Half half_4x4(Acc b1, Acc b2, Acc b3, Acc b5, Acc b6, Acc b7) {
  Half h;
  h.c = q15(b2 - b6, 46341) / 2;  // truncating toward zero
  const Acc m = b5 - b3;
  const Acc n = b1 - b7;
  h.hi = (n * 60548 - m * 25080 + 0x8000) >> 16;
  h.m = (m * 60547 + n * 25080 + 0x8000) >> 16;
  return h;
}

}  // namespace

void idct_fast_4x4(int16_t* block) {
  for (int x : {0, 1, 2, 3, 5, 6, 7}) {
    int16_t* col = block + x;
    const Acc b0 = col[0];
    const Half h = half_4x4(col[8], col[16], col[24], col[40], col[48], col[56]);
    col[0] = wrap16(b0 + h.c + h.hi);
    col[8] = wrap16(b0 + h.m - h.c);
    col[16] = wrap16(b0 - h.c - h.m);
    col[24] = wrap16(b0 + h.c - h.hi);
  }
  for (int y = 0; y < 4; ++y) {
    int16_t* row = block + 8 * y;
    const Acc b0 = row[0];
    const Half h = half_4x4(row[1], row[2], row[3], row[5], row[6], row[7]);
    row[0] = clamp_sample((b0 + h.c + h.hi + 8) >> 4);
    row[1] = clamp_sample((b0 - h.c + h.m + 8) >> 4);
    row[2] = clamp_sample((b0 - h.c - h.m + 8) >> 4);
    row[3] = clamp_sample((b0 + h.c - h.hi + 8) >> 4);
  }
}

void idct_fast_2x2(int16_t* block) {
  auto k_of = [](Acc a, Acc b, Acc c, Acc d) {
    return ((a - b) * 85627 + (c - d) * 35468 + 0x10000) >> 17;
  };
  for (int x : {0, 1, 3, 5, 7}) {
    int16_t* col = block + x;
    const Acc k = k_of(col[8], col[56], col[40], col[24]);
    const Acc r0 = col[0];
    col[0] = wrap16(r0 + k);
    col[8] = wrap16(r0 - k);
  }
  for (int y = 0; y < 2; ++y) {
    int16_t* row = block + 8 * y;
    const Acc k = k_of(row[1], row[7], row[5], row[3]);
    const Acc p0 = row[0];
    row[0] = clamp_sample((p0 + k + 8) >> 4);
    row[1] = clamp_sample((p0 - k + 8) >> 4);
  }
}

void idct_fast_1x1(int16_t* block) {
  block[0] = clamp_sample((Acc{block[0]} + 8) >> 4);
}

}  // namespace jpegcodec
