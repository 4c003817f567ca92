// Quantization-table preparation for the two transform families. The DQT
// handler stores a table's 64 values in zig-zag order and prepares it in
// place; entries 64..79 are always left 0.
#pragma once

#include <cstdint>

namespace jpegcodec {

// Accurate family: natural (row-major) order, values as read.
void prepare_quant_accurate(int16_t* table);
// Fast family: natural order, each value q × s(u)·s(v)/8 × 2048 rounded half
// up, where s(0) = 1 and s(k) = √2·cos(kπ/16) are the scale factors of the
// Arai-Agui-Nakajima factorisation, folded into the table so that the fast
// inverse transform needs fewer multiplications.
void prepare_quant_fast(int16_t* table);

// s(u)·s(v)/8 for zig-zag position i (entry 0 is 0.125).
double quant_scale_factor(int zigzag_index);

}  // namespace jpegcodec
