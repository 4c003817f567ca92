// The sequential block decoders with BMI2's shifts (a shift by a register's
// count in one instruction that leaves the flags alone): the same code as
// the portable decoders, compiled for processors that have them. Only these
// entry points are built for BMI2; the helpers are inlined into them.

#include "jpeg/cpu/routine_table.h"
#include "jpeg/decode/huffman.h"
#include "jpeg/decode/huffman_progressive.h"
#include "jpeg/decode/huffman_sequential.h"
#include "jpeg/decode/portable_routines.h"

namespace jpegcodec {

[[gnu::target("bmi2")]] JpegStatus decode_block_bmi2(InputStream* stream,
                                                     const HuffDecodeTable* dc_table,
                                                     const HuffDecodeTable* ac_table,
                                                     int16_t* dc_pred, int16_t* block) {
  return sequential_block<true>(stream, dc_table, ac_table, dc_pred, block);
}

[[gnu::target("bmi2")]] JpegStatus decode_block_dc_only_bmi2(InputStream* stream,
                                                             const HuffDecodeTable* dc_table,
                                                             const HuffDecodeTable* ac_table,
                                                             int16_t* dc_pred, int16_t* block) {
  return sequential_block<false>(stream, dc_table, ac_table, dc_pred, block);
}

[[gnu::target("bmi2")]] JpegStatus decode_mcu_bmi2(InputStream* stream, const SequentialBlock* plan,
                                                   int32_t count, int32_t* dc_pred, int16_t* blocks,
                                                   bool pass_over) {
  return sequential_mcu(stream, plan, count, dc_pred, blocks, pass_over);
}

[[gnu::target("bmi2")]] int32_t decode_mcus_bmi2(InputStream* stream, const SequentialBlock* plan,
                                                 int32_t count, int32_t* dc_pred, int16_t* blocks,
                                                 int32_t stride, int32_t mcus, JpegStatus* status,
                                                 BatchStep* step, BatchMarks* marks) {
  return sequential_mcus(stream, plan, count, dc_pred, blocks, stride, mcus, status, CallStep{step},
                         marks);
}

// Processors with BMI2 all count bits in one instruction too.
[[gnu::target("bmi2,popcnt")]] int32_t decode_ac_band_bmi2(InputStream* stream, const BandRow& row,
                                                           const BandScan& scan, int32_t from,
                                                           int32_t to) {
  return ac_band_in_registers<true>(stream, row, scan, from, to);
}

[[gnu::target("bmi2,popcnt")]] int32_t decode_dc_mcus_bmi2(InputStream* stream, const DcBlock* plan,
                                                           int32_t count, int32_t from, int32_t to,
                                                           int32_t* dc_pred, int ah, int al) {
  return dc_mcus_in_registers(stream, plan, count, from, to, dc_pred, ah, al);
}

void install_entropy_bmi2(RoutineTable* t) {
  t->decode_block = decode_block_bmi2;
  t->decode_block_dc_only = decode_block_dc_only_bmi2;
}

}  // namespace jpegcodec
