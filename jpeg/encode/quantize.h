// Quantizers of the routine table's encoder slots: each value becomes
// (value × table + 16384) >> 15, i.e. value × table / 2^15 rounded.
#pragma once

#include <cstdint>

namespace jpegcodec {

void quantize_fast_portable(int16_t* block, const uint16_t* table);
// Same formula; the accurate family's table is read as unsigned 16-bit values.
void quantize_accurate_portable(int16_t* block, const uint16_t* table);

}  // namespace jpegcodec
