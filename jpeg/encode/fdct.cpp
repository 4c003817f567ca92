// Forward transforms. Both compute, on each row and then each column,
// U[k] = √2·c(k)·Σ x[n]·cos((2n+1)kπ/16), which is 2√2 times the
// one-dimensional transform of T.81 A.3.3, so that two passes give 8·F(u,v).
// With s_n = x[n] + x[7-n] and d_n = x[n] - x[7-n], and a_j = √2·cos(jπ/16):
//   U0 = s0 + s1 + s2 + s3            U4 = s0 - s1 - s2 + s3
//   U2 = a2 (s0 - s3) + a6 (s1 - s2)  U6 = a6 (s0 - s3) - a2 (s1 - s2)
//   U1 = a1 d0 + a3 d1 + a5 d2 + a7 d3
//   U3 = a3 d0 - a7 d1 - a1 d2 - a5 d3
//   U5 = a5 d0 - a1 d1 + a7 d2 + a3 d3
//   U7 = a7 d0 - a5 d1 + a3 d2 - a1 d3

#include "jpeg/encode/fdct.h"

namespace jpegcodec {

const double kFastScale[8] = {1.0, 1.387039845, 1.306562965, 1.175875602,
                              1.0, 0.785694958, 0.541196100, 0.275899379};

namespace {

// a_j · 2^13.
constexpr int32_t kA1 = 11363;  // √2·cos(π/16)
constexpr int32_t kA2 = 10703;  // √2·cos(2π/16)
constexpr int32_t kA3 = 9633;   // √2·cos(3π/16)
constexpr int32_t kA5 = 6436;   // √2·cos(5π/16)
constexpr int32_t kA6 = 4433;   // √2·cos(6π/16)
constexpr int32_t kA7 = 2260;   // √2·cos(7π/16)
constexpr int kConstBits = 13;
// The row pass keeps two bits below the point for the column pass.
constexpr int kRowBits = 2;

// One pass over eight values `stride` apart: U[k] scaled by 2^`up`, the
// products rounded after `down` bits. Row pass: up 2, down 11; column
// pass: up 0 (and the exact sums shifted down by 2), down 15.
template <int kUp, int kDown>
inline void pass(const int32_t* in, int32_t* out, int stride) {
  const int32_t x0 = in[0], x1 = in[stride], x2 = in[2 * stride], x3 = in[3 * stride];
  const int32_t x4 = in[4 * stride], x5 = in[5 * stride], x6 = in[6 * stride], x7 = in[7 * stride];
  const int32_t s0 = x0 + x7, s1 = x1 + x6, s2 = x2 + x5, s3 = x3 + x4;
  const int32_t d0 = x0 - x7, d1 = x1 - x6, d2 = x2 - x5, d3 = x3 - x4;
  constexpr int32_t kRound = int32_t{1} << (kDown - 1);
  auto product = [](int32_t sum) { return (sum + kRound) >> kDown; };
  // The exact sums: scaled up for the row pass, rounded down for the column pass.
  auto exact = [](int32_t sum) {
    if constexpr (kUp > 0) {
      return sum * (int32_t{1} << kUp);
    } else {
      return (sum + (int32_t{1} << (kRowBits - 1))) >> kRowBits;
    }
  };
  out[0] = exact(s0 + s1 + s2 + s3);
  out[4 * stride] = exact(s0 - s1 - s2 + s3);
  const int32_t e0 = s0 - s3, e1 = s1 - s2;
  out[2 * stride] = product(kA2 * e0 + kA6 * e1);
  out[6 * stride] = product(kA6 * e0 - kA2 * e1);
  out[stride] = product(kA1 * d0 + kA3 * d1 + kA5 * d2 + kA7 * d3);
  out[3 * stride] = product(kA3 * d0 - kA7 * d1 - kA1 * d2 - kA5 * d3);
  out[5 * stride] = product(kA5 * d0 - kA1 * d1 + kA7 * d2 + kA3 * d3);
  out[7 * stride] = product(kA7 * d0 - kA5 * d1 + kA3 * d2 - kA1 * d3);
}

}  // namespace

void fdct_accurate_portable(int16_t* block) {
  int32_t work[64];
  for (int i = 0; i < 64; ++i) work[i] = block[i];
  // Rows: 4·U, within ±2^13.
  for (int r = 0; r < 8; ++r) {
    pass<kRowBits, kConstBits - kRowBits>(work + 8 * r, work + 8 * r, 1);
  }
  // Columns: 8·F, within ±2^13.
  int32_t out[64];
  for (int c = 0; c < 8; ++c) pass<0, kConstBits + kRowBits>(work + c, out + c, 8);
  for (int i = 0; i < 64; ++i) block[i] = static_cast<int16_t>(out[i]);
}

namespace {

// The fast family's flow graph (Arai, Agui and Nakajima): five multiplies a
// line, constants · 2^10. Outputs U[k]·s(k).
constexpr int32_t kC4 = 724;    // cos(4π/16) = 0.707106781
constexpr int32_t kR6 = 392;    // cos(6π/16) = 0.382683433
constexpr int32_t kC26 = 554;   // cos(6π/16)·√2 = 0.541196100
constexpr int32_t kS26 = 1338;  // cos(2π/16)·√2 = 1.306562965
// Samples are taken with two more bits, dropped at the end.
constexpr int kFastBits = 2;

inline int32_t times(int32_t x, int32_t k) {
  return (x * k + 512) >> 10;
}

inline void fast_pass(int32_t* v, int stride) {
  const int32_t t0 = v[0] + v[7 * stride], t7 = v[0] - v[7 * stride];
  const int32_t t1 = v[stride] + v[6 * stride], t6 = v[stride] - v[6 * stride];
  const int32_t t2 = v[2 * stride] + v[5 * stride], t5 = v[2 * stride] - v[5 * stride];
  const int32_t t3 = v[3 * stride] + v[4 * stride], t4 = v[3 * stride] - v[4 * stride];
  // Even part.
  const int32_t e10 = t0 + t3, e13 = t0 - t3, e11 = t1 + t2, e12 = t1 - t2;
  v[0] = e10 + e11;
  v[4 * stride] = e10 - e11;
  const int32_t z1 = times(e12 + e13, kC4);
  v[2 * stride] = e13 + z1;
  v[6 * stride] = e13 - z1;
  // Odd part.
  const int32_t o10 = t4 + t5, o11 = t5 + t6, o12 = t6 + t7;
  const int32_t z5 = times(o10 - o12, kR6);
  const int32_t z2 = times(o10, kC26) + z5;
  const int32_t z4 = times(o12, kS26) + z5;
  const int32_t z3 = times(o11, kC4);
  const int32_t z11 = t7 + z3, z13 = t7 - z3;
  v[5 * stride] = z13 + z2;
  v[3 * stride] = z13 - z2;
  v[stride] = z11 + z4;
  v[7 * stride] = z11 - z4;
}

}  // namespace

void fdct_fast_portable(int16_t* block) {
  int32_t work[64];
  for (int i = 0; i < 64; ++i) work[i] = block[i] * (1 << kFastBits);
  for (int r = 0; r < 8; ++r) fast_pass(work + 8 * r, 1);
  for (int c = 0; c < 8; ++c) fast_pass(work + c, 8);
  constexpr int32_t kHalf = 1 << (kFastBits - 1);
  for (int i = 0; i < 64; ++i) block[i] = static_cast<int16_t>((work[i] + kHalf) >> kFastBits);
}

}  // namespace jpegcodec
