// Forward transforms of the encoder (the routine table's fdct slots): 64
// level-shifted samples (-128..127, natural order) in, 64 coefficients out,
// in place.
#pragma once

#include <cstdint>

namespace jpegcodec {

// The accurate family: 8 × F(u,v) of T.81 A.3.3, rounded; the quantizer's
// table divides by 8 × Q.
void fdct_accurate_portable(int16_t* block);

// The fast family (the Arai-Agui-Nakajima flow graph): 8 × F(u,v) × s(u) ×
// s(v) with s(0) = 1 and s(k) = √2·cos(kπ/16); the quantizer's table
// divides those factors out with Q.
void fdct_fast_portable(int16_t* block);

// The factors s(k) of the fast family, k = 0..7.
extern const double kFastScale[8];

}  // namespace jpegcodec
