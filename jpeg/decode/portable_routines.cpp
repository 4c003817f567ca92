// The decoding stages' installers: their portable routines in every table,
// their variants where the processor has them. Called by fill_routine_table.

#include "jpeg/decode/portable_routines.h"

#include "jpeg/cpu/cpu.h"
#include "jpeg/cpu/routine_table.h"
#include "jpeg/decode/huffman.h"
#include "jpeg/decode/idct.h"
#include "jpeg/decode/output_internal.h"

namespace jpegcodec {

void install_portable_decoding_routines(RoutineTable* t) {
  t->idct_fast_8x8 = idct_fast_8x8;
  t->idct_fast_4x4 = idct_fast_4x4;
  t->idct_fast_2x2 = idct_fast_2x2;
  t->idct_fast_1x1 = idct_fast_1x1;
  t->idct_accurate_8x8 = idct_accurate_8x8;
  t->idct_accurate_4x4 = idct_accurate_4x4;
  t->idct_accurate_2x2 = idct_accurate_2x2;
  t->idct_accurate_1x1 = idct_accurate_1x1;
  t->dequantize_fast = dequantize_fast;
  t->dequantize_accurate = dequantize_accurate;
  install_output_kernels(t);
  t->decode_block = decode_block_portable;
  t->decode_block_dc_only = decode_block_dc_only_portable;
}

void install_decoding_variants(RoutineTable* t, const VectorSupport& support) {
#if KNOT_X86_SIMD
  if (support.avx2) {
    install_output_kernels_avx2(t);
    install_transforms_avx2(t);
  } else if (support.sse2) {
    install_transforms_sse2(t);
  }
  if (support.bmi2) install_entropy_bmi2(t);
#else
  (void)t;
  (void)support;
#endif
}

}  // namespace jpegcodec
