// The encoder's portable inner loops, as installed in every routine table
// before any processor-specific variant.
#pragma once

struct RoutineTable;

namespace jpegcodec {

void install_portable_encoding_routines(RoutineTable* table);

}  // namespace jpegcodec
