#include "jpeg/encode/quantize.h"

namespace jpegcodec {

void quantize_fast_portable(int16_t* block, const uint16_t* table) {
  // The fast family's table holds values below 2^15: as signed 16-bit.
  for (int i = 0; i < 64; ++i) {
    const int32_t product = int32_t{block[i]} * int32_t{static_cast<int16_t>(table[i])};
    block[i] = static_cast<int16_t>((product + 16384) >> 15);
  }
}

void quantize_accurate_portable(int16_t* block, const uint16_t* table) {
  for (int i = 0; i < 64; ++i) {
    const int64_t product = int64_t{block[i]} * int64_t{table[i]};
    block[i] = static_cast<int16_t>((product + 16384) >> 15);
  }
}

}  // namespace jpegcodec
