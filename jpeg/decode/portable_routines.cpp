#include "jpeg/decode/portable_routines.h"

#include "jpeg/cpu/routine_table.h"
#include "jpeg/decode/quantize.h"

void install_portable_decoding_routines(RoutineTable* t) {
  t->quantize_fast = quantize_fast_portable;
  t->quantize_accurate = quantize_accurate_portable;
}
