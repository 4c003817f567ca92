// The encoding stages' installers: their portable routines in every table,
// their variants where the processor has them. Called by fill_routine_table.

#include "jpeg/encode/portable_encoding.h"

#include "jpeg/cpu/cpu.h"
#include "jpeg/cpu/routine_table.h"
#include "jpeg/encode/fdct.h"
#include "jpeg/encode/huffman_encode.h"
#include "jpeg/encode/mcu_input.h"
#include "jpeg/encode/output_sink.h"
#include "jpeg/encode/quantize.h"
#include "jpeg/encode/simd_encode.h"

namespace jpegcodec {

void install_portable_encoding_routines(RoutineTable* t) {
  t->fdct_fast = fdct_fast_portable;
  t->fdct_accurate = fdct_accurate_portable;
  t->enc_prepare = build_encode_table;
  t->enc_write_bytes = sink_write_portable;
  t->enc_block = encode_block_portable;
  t->quantize_fast = quantize_fast_portable;
  t->quantize_accurate = quantize_accurate_portable;
  const McuInputFn inputs[15] = {enc_gray,        enc_rgb_ycc,     enc_rgb_ycc422, enc_rgb_ycc420,
                                 enc_bgr_ycc,     enc_bgr_ycc422,  enc_bgr_ycc420, enc_rgbx_ycc,
                                 enc_rgbx_ycc422, enc_rgbx_ycc420, enc_rgb_gray,   enc_bgr_gray,
                                 enc_copy3,       enc_cmyk_ycck,   enc_generic};
  for (int i = 0; i < 15; ++i) t->enc_input[i] = inputs[i];
}

void install_encoding_variants(RoutineTable* t, const VectorSupport& support) {
#if KNOT_X86_SIMD
  if (support.avx2) install_encoding_avx2(t);
  if (support.avx2 && support.bmi2) t->enc_block = encode_block_avx2;
#else
  (void)t;
  (void)support;
#endif
}

}  // namespace jpegcodec
