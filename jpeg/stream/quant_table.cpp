// Quantization tables prepared for a transform family: take 64 values in
// zig-zag order, give the dequantizers' tables. Called by the job's tables.

#include "jpeg/stream/quant_table.h"

#include <cmath>

#include "jpeg/stream/coding_tables.h"

namespace jpegcodec {

namespace {

struct ScaleFactors {
  double value[64];
  ScaleFactors() {
    auto s = [](int k) { return k == 0 ? 1.0 : std::sqrt(2.0) * std::cos(k * M_PI / 16.0); };
    for (int i = 0; i < 64; ++i) {
      const int n = natural_order[i];
      value[i] = s(n % 8) * s(n / 8) / 8.0;
    }
  }
};

const ScaleFactors& factors() {
  static const ScaleFactors table;
  return table;
}

}  // namespace

double quant_scale_factor(int zigzag_index) {
  return factors().value[zigzag_index];
}

void prepare_quant_accurate(int16_t* table) {
  int16_t zigzag[64];
  for (int i = 0; i < 64; ++i) zigzag[i] = table[i];
  for (int i = 0; i < 64; ++i) table[natural_order[i]] = zigzag[i];
  for (int i = 64; i < 80; ++i) table[i] = 0;
}

void prepare_quant_fast(int16_t* table) {
  int16_t zigzag[64];
  for (int i = 0; i < 64; ++i) zigzag[i] = table[i];
  for (int i = 0; i < 64; ++i) {
    // Values of 16-bit tables run to 65535: read them unsigned.
    const double q = static_cast<uint16_t>(zigzag[i]);
    const double scaled = q * factors().value[i] * (1.0 / 16.0) * 32768.0 + 0.5;
    // Quantizers above about 66 at the lowest frequencies (127 at DC) scale
    // past 16 bits; they saturate rather than wrap to a negative step.
    const int32_t value = static_cast<int32_t>(scaled);
    table[natural_order[i]] = static_cast<int16_t>(value > 32767 ? 32767 : value);
  }
  for (int i = 64; i < 80; ++i) table[i] = 0;
}

}  // namespace jpegcodec
