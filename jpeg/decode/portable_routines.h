// The decoding pipeline's portable inner loops, as installed in every
// routine table before any processor-specific variant.
#pragma once

struct RoutineTable;

namespace jpegcodec {

void install_portable_decoding_routines(RoutineTable* table);

// Processor-specific variants, each beside its portable twin; the fill
// installs them for the kinds and processors that allow them.
void install_output_kernels_avx2(RoutineTable* table);
void install_transforms_avx2(RoutineTable* table);
void install_transforms_sse2(RoutineTable* table);
void install_entropy_bmi2(RoutineTable* table);

}  // namespace jpegcodec
