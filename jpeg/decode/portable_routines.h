// The decoding pipeline's portable inner loops, as installed in every
// routine table before any processor-specific variant.
#pragma once

#include <cstdint>

struct RoutineTable;

namespace jpegcodec {

struct VectorSupport;

void install_portable_decoding_routines(RoutineTable* table);
// The decoding variants `support` allows, over the portable routines.
void install_decoding_variants(RoutineTable* table, const VectorSupport& support);

// Processor-specific variants, each beside its portable twin.
void install_output_kernels_avx2(RoutineTable* table);
void install_transforms_avx2(RoutineTable* table);
void install_transforms_sse2(RoutineTable* table);
void install_entropy_bmi2(RoutineTable* table);
// The AVX2 kernel in slot out_ycc_rgb: where the table holds it, the
// reduced-scale writers take their AVX2 kernels too.
void out_ycc_rgb_avx2(const int16_t* y, const int16_t* cb, const int16_t* cr, uint8_t* out,
                      int32_t stride);

}  // namespace jpegcodec
