// Fills a job's routine table for its processor kind: takes the kind, gives
// every slot its routine. Called by jpeg_init (and the tests).

#include "jpeg/api/routines.h"

#include "jpeg/cpu/cpu.h"
#include "jpeg/decode/portable_routines.h"
#include "jpeg/encode/portable_encoding.h"

namespace jpegcodec {

namespace {

// The portable kinds have no vector state to clear after a scan.
void end_of_scan_portable() {}

}  // namespace

void fill_routine_table(RoutineTable* t, CpuKind kind) {
  // Portable routines, for every kind.
  t->end_of_scan = end_of_scan_portable;
  install_portable_decoding_routines(t);
  install_portable_encoding_routines(t);

  // Slots set later by the pipeline: the current transforms and quantizer
  // before each scan, the MCU input and output routines with each frame.
  t->fdct_current = nullptr;
  t->idct_8x8 = nullptr;
  t->idct_4x4 = nullptr;
  t->idct_2x2 = nullptr;
  t->idct_1x1 = nullptr;
  t->mcu_input = nullptr;
  t->mcu_output = nullptr;

  // Then the variants this kind allows: the SIMD kinds get the widest the
  // processor and the operating system really support (a processor of
  // such a kind without them keeps the portable routines).
  switch (kind) {
    case CpuFamily5Simd64:
    case CpuFamily6Simd64:
    case CpuFamily6Simd64Plus:
    case CpuFamily15Simd128:
      install_vector_variants(t);
      break;
    case CpuGeneric:
    case CpuFamily5:
    case CpuFamily6:
      break;
  }
  // The current quantizer and dequantizer start as the fast family's, as
  // the kind left them.
  t->quantize_current = t->quantize_fast;
  t->dequantize_block = t->dequantize_fast;
}

void install_vector_variants(RoutineTable* t) {
  install_decoding_variants(t, vector_support());
  install_encoding_variants(t, vector_support());
}

}  // namespace jpegcodec
