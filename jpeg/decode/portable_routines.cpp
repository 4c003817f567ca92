#include "jpeg/decode/portable_routines.h"

#include "jpeg/cpu/routine_table.h"
#include "jpeg/decode/huffman.h"
#include "jpeg/decode/quantize.h"

void install_portable_decoding_routines(RoutineTable* t) {
  t->decode_block = decode_block_portable;
  t->decode_block_dc_only = decode_block_dc_only_portable;
  t->quantize_fast = quantize_fast_portable;
  t->quantize_accurate = quantize_accurate_portable;
}
