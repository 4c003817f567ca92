// The one place the routine table is filled: for a processor kind, the
// portable routine in every slot of the decoder and the encoder, then the
// variants the kind allows. Called by jpeg_init (and tests).
#pragma once

#include "jpeg/cpu/routine_table.h"

namespace jpegcodec {

void fill_routine_table(RoutineTable* table, CpuKind kind);
// The processor-specific variants this processor supports, over whatever
// the table holds (the fill's step for the SIMD kinds; tests use it to
// compare each variant with its portable twin).
void install_vector_variants(RoutineTable* table);

}  // namespace jpegcodec
