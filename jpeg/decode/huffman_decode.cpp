// Huffman decoding of blocks (T.81 F.2.2, G.2): takes bits and a table,
// gives a block's coefficients. Called by the scan decoders through the table.

#include "jpeg/decode/huffman.h"

#include <cstring>

#include "jpeg/cpu/routine_table.h"
#include "jpeg/decode/huffman_progressive.h"
#include "jpeg/decode/huffman_sequential.h"
#include "jpeg/decode/idct.h"

namespace jpegcodec {

namespace {

// max_code as the search compares it: -1 means no code of that length;
// below -1 the 16-bit value stands for an unsigned code from 0x8000 on.
inline int32_t max_code_at(const HuffDecodeTable* table, int length) {
  const int32_t value = table->max_code[length];
  return value < -1 ? (value & 0xFFFF) : value;
}

// A symbol's magnitude bits: 0 after a fill, or the fill's result.
inline JpegStatus ensure_bits(InputStream* s, int n) {
  if (s->bit_count >= n) return JpegSuccess;
  return bits_fill(s, n);
}

}  // namespace

JpegStatus huff_decode_slow(InputStream* s, const HuffDecodeTable* table, int* symbol, int length) {
  if (s->bit_count < length) {
    const JpegStatus status = bits_fill(s, length);
    if (status != JpegSuccess) return status;
  }
  int32_t code = static_cast<int32_t>(bits_get(s, length));
  while (length <= 16 && code > max_code_at(table, length)) {
    if (s->bit_count <= 0) {
      const JpegStatus status = bits_fill(s, 1);
      if (status != JpegSuccess) return status;
    }
    code = code * 2 + static_cast<int32_t>(bits_get(s, 1));
    ++length;
  }
  if (length == 17) {
    *symbol = 0;  // no code of 16 bits or fewer matched
    return JpegSuccess;
  }
  const int32_t index = table->val_ptr[length] + code - table->min_code[length];
  *symbol = (index >= 0 && index < 257) ? table->values[index] : 0;
  return JpegSuccess;
}

JpegStatus huff_decode(InputStream* s, const HuffDecodeTable* table, int* symbol) {
  // Fast path: with 9 bits held, one lookup resolves every code of up to 9
  // bits, which is nearly all of them.
  constexpr int kBits = JPEG_HUFF_LOOKAHEAD_BITS;
  if (s->bit_count < kBits) {
    bits_take(s);
    if (s->bit_count < kBits) return huff_decode_slow(s, table, symbol, 1);
  }
  const uint32_t entry = table->lookahead[bits_peek(s, kBits)];
  const int length = static_cast<int>(entry >> 8) & 15;
  if (length != 0) {
    s->bit_count -= length;
    *symbol = lookahead_symbol(entry);
    return JpegSuccess;
  }
  return huff_decode_slow(s, table, symbol, kBits + 1);
}

namespace {

// Reads s magnitude bits and extends them; `value` is untouched on a marker.
inline JpegStatus receive_extend(InputStream* stream, int s, int32_t* value) {
  const JpegStatus status = ensure_bits(stream, s);
  if (status != JpegSuccess) return status;
  *value = huff_extend(bits_get(stream, s), s);
  return JpegSuccess;
}

// DC difference: the predictor moves by it (16-bit wrap).
inline JpegStatus decode_dc(InputStream* stream, const HuffDecodeTable* dc_table,
                            int16_t* dc_pred) {
  int t = 0;
  JpegStatus status = huff_decode(stream, dc_table, &t);
  if (status != JpegSuccess) return status;
  // A category above 15 from a corrupt table reads as its low four bits;
  // category 0 is no difference at all.
  if ((t & 15) != 0) {
    int32_t diff = 0;
    status = receive_extend(stream, t & 15, &diff);
    if (status != JpegSuccess) return status;
    *dc_pred = static_cast<int16_t>(*dc_pred + diff);
  }
  return JpegSuccess;
}

// The AC coefficients of a sequential block from `position` on, symbol by
// symbol through the stream: the careful path, where zero bits may stand
// in for data that stop.
template <bool kKeepAc>
JpegStatus decode_ac_careful(InputStream* stream, const HuffDecodeTable* ac_table, int16_t* block,
                             int position) {
  // position stays below 64 + 16, so a write index never passes 63 + 15.
  while (position < 64) {
    int rs = 0;
    JpegStatus status = huff_decode(stream, ac_table, &rs);
    if (status != JpegSuccess) return status;
    const int r = rs >> 4;
    const int s = rs & 15;
    if (s != 0) {
      position += r;
      int32_t value = 0;
      status = receive_extend(stream, s, &value);
      if (status != JpegSuccess) return status;
      if (kKeepAc) block[natural_order[position]] = static_cast<int16_t>(value);
      ++position;
    } else if (r == 15) {
      position += 16;
    } else {
      break;  // end of block
    }
  }
  return JpegSuccess;
}

template <bool kKeepAc>
JpegStatus decode_sequential_careful(InputStream* stream, const HuffDecodeTable* dc_table,
                                     const HuffDecodeTable* ac_table, int16_t* dc_pred,
                                     int16_t* block) {
  const JpegStatus status = decode_dc(stream, dc_table, dc_pred);
  if (status != JpegSuccess) return status;
  block[0] = *dc_pred;
  return decode_ac_careful<kKeepAc>(stream, ac_table, block, 1);
}

}  // namespace

JpegStatus sequential_dc_careful(InputStream* stream, const HuffDecodeTable* dc_table,
                                 int16_t* dc_pred) {
  return decode_dc(stream, dc_table, dc_pred);
}

JpegStatus sequential_ac_careful(InputStream* stream, const HuffDecodeTable* ac_table,
                                 int16_t* block, int position, bool keep_ac) {
  return keep_ac ? decode_ac_careful<true>(stream, ac_table, block, position)
                 : decode_ac_careful<false>(stream, ac_table, block, position);
}

JpegStatus sequential_block_careful(InputStream* stream, const HuffDecodeTable* dc_table,
                                    const HuffDecodeTable* ac_table, int16_t* dc_pred,
                                    int16_t* block, bool keep_ac) {
  return keep_ac ? decode_sequential_careful<true>(stream, dc_table, ac_table, dc_pred, block)
                 : decode_sequential_careful<false>(stream, dc_table, ac_table, dc_pred, block);
}

JpegStatus decode_block_portable(InputStream* stream, const HuffDecodeTable* dc_table,
                                 const HuffDecodeTable* ac_table, int16_t* dc_pred,
                                 int16_t* block) {
  return sequential_block<true>(stream, dc_table, ac_table, dc_pred, block);
}

JpegStatus decode_block_dc_only_portable(InputStream* stream, const HuffDecodeTable* dc_table,
                                         const HuffDecodeTable* ac_table, int16_t* dc_pred,
                                         int16_t* block) {
  return sequential_block<false>(stream, dc_table, ac_table, dc_pred, block);
}

JpegStatus decode_mcu_portable(InputStream* stream, const SequentialBlock* plan, int32_t count,
                               int32_t* dc_pred, int16_t* blocks, bool pass_over) {
  return sequential_mcu(stream, plan, count, dc_pred, blocks, pass_over);
}

int32_t decode_mcus_portable(InputStream* stream, const SequentialBlock* plan, int32_t count,
                             int32_t* dc_pred, int16_t* blocks, int32_t stride, int32_t mcus,
                             JpegStatus* status, BatchStep* step, BatchMarks* marks) {
  return sequential_mcus(stream, plan, count, dc_pred, blocks, stride, mcus, status, CallStep{step},
                         marks);
}

McuBatchFn mcu_batch_decoder_for(const RoutineTable* t) {
  const McuDecodeFn single = mcu_decoder_for(t);
#if KNOT_X86_SIMD
  if (single == decode_mcu_bmi2) {
    return t->idct_accurate_8x8 == idct_accurate_8x8_avx2 ? decode_mcus_avx2 : decode_mcus_bmi2;
  }
#endif
  return single == decode_mcu_portable ? decode_mcus_portable : nullptr;
}

McuDecodeFn mcu_decoder_for(const RoutineTable* t) {
  if (t->decode_block == decode_block_portable &&
      t->decode_block_dc_only == decode_block_dc_only_portable) {
    return decode_mcu_portable;
  }
#if KNOT_X86_SIMD
  if (t->decode_block == decode_block_bmi2 &&
      t->decode_block_dc_only == decode_block_dc_only_bmi2) {
    return decode_mcu_bmi2;
  }
#endif
  return nullptr;
}

JpegStatus decode_dc_first(InputStream* stream, const HuffDecodeTable* dc_table,
                           int16_t* coefficient, int16_t* dc_pred, int al) {
  const JpegStatus status = decode_dc(stream, dc_table, dc_pred);
  if (status != JpegSuccess) return status;
  *coefficient = static_cast<int16_t>(static_cast<uint32_t>(*dc_pred) << al);
  return JpegSuccess;
}

JpegStatus decode_dc_refine(InputStream* stream, int16_t* coefficient, int al) {
  const JpegStatus status = ensure_bits(stream, 1);
  if (status != JpegSuccess) return status;
  if (bits_get(stream, 1) != 0) *coefficient = static_cast<int16_t>(*coefficient | (1 << al));
  return JpegSuccess;
}

int32_t decode_dc_mcus_portable(InputStream* stream, const DcBlock* plan, int32_t count,
                                int32_t from, int32_t to, int32_t* dc_pred, int ah, int al) {
  return dc_mcus_in_registers(stream, plan, count, from, to, dc_pred, ah, al);
}

int32_t decode_ac_band_portable(InputStream* stream, const BandRow& row, const BandScan& scan,
                                int32_t from, int32_t to) {
  return ac_band_in_registers<false>(stream, row, scan, from, to);
}

ProgressiveDecoders progressive_decoders_for(const RoutineTable* t) {
#if KNOT_X86_SIMD
  if (t->decode_block == decode_block_bmi2) return {decode_ac_band_bmi2, decode_dc_mcus_bmi2};
#else
  (void)t;
#endif
  return {decode_ac_band_portable, decode_dc_mcus_portable};
}

}  // namespace jpegcodec
