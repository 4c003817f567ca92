// The encoder's portable inner loops, as installed in every routine table
// before any processor-specific variant.
#pragma once

struct RoutineTable;

namespace jpegcodec {

struct VectorSupport;

void install_portable_encoding_routines(RoutineTable* table);
// The encoding variants `support` allows, over the portable routines.
void install_encoding_variants(RoutineTable* table, const VectorSupport& support);

}  // namespace jpegcodec
