// The decoding pipeline's portable inner loops, as installed in every
// routine table before any processor-specific variant.
#pragma once

struct RoutineTable;

void install_portable_decoding_routines(RoutineTable* table);
