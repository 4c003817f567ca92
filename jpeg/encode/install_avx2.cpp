// The encoder's AVX2 routines put in the table. Called by
// install_encoding_variants.

#include "jpeg/cpu/routine_table.h"
#include "jpeg/encode/simd_encode.h"

namespace jpegcodec {

void install_encoding_avx2(RoutineTable* t) {
  t->fdct_accurate = fdct_accurate_avx2;
  t->fdct_fast = fdct_fast_avx2;
  t->quantize_fast = quantize_fast_avx2;
  t->quantize_accurate = quantize_accurate_avx2;
  install_mcu_input_avx2(t);
}

}  // namespace jpegcodec
