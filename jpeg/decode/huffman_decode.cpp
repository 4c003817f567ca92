#include "jpeg/decode/huffman.h"

#include <cstring>

#include "jpeg/cpu/routine_table.h"
#include "jpeg/decode/huffman_progressive.h"
#include "jpeg/decode/huffman_sequential.h"

const int32_t natural_order[80] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40,
    48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22,
    15, 23, 30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62,
    63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63,  // overshoot guard
};

const int32_t extend_offset[16] = {
    0, -1, -3, -7, -15, -31, -63, -127, -255, -511, -1023, -2047, -4095, -8191, -16383, -32767,
};

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

namespace {

// The stream's bit state in registers for a progressive block decoder. Every
// step asks for exactly the bits it uses, as the stream's own functions do,
// so zero bits stand in, and the data's end is recorded, at the same places.
class LocalBits {
 public:
  explicit LocalBits(InputStream* stream)
      : s_(stream), acc_(stream->bit_acc), count_(stream->bit_count) {}
  ~LocalBits() { store(); }
  LocalBits(const LocalBits&) = delete;
  LocalBits& operator=(const LocalBits&) = delete;

  uint32_t get(int n) {
    if (count_ < n) {
      store();
      bits_fill(s_, n);
      load();
    }
    count_ -= n;
    return static_cast<uint32_t>(acc_ >> count_) & ((1u << n) - 1);
  }
  // n bits (1..31) when the buffer holds them, or can be topped up with
  // them from the data without zero bits standing in: false otherwise.
  bool try_get(int n, uint32_t* value) {
    if (count_ < n) {
      store();
      bits_take(s_);
      load();
      if (count_ < n) return false;
    }
    count_ -= n;
    *value = static_cast<uint32_t>(acc_ >> count_) & ((1u << n) - 1);
    return true;
  }
  int symbol(const HuffDecodeTable* table) {
    constexpr int kBits = JPEG_HUFF_LOOKAHEAD_BITS;
    if (count_ < kBits) {
      store();
      bits_take(s_);
      load();
    }
    if (count_ >= kBits) {
      const uint32_t entry = table->lookahead[(acc_ >> (count_ - kBits)) & ((1u << kBits) - 1)];
      const int length = static_cast<int>(entry >> 8) & 15;
      if (length != 0) {
        count_ -= length;
        return lookahead_symbol(entry);
      }
    }
    store();
    int result = 0;
    huff_decode_slow(s_, table, &result, count_ >= kBits ? kBits + 1 : 1);
    load();
    return result;
  }
  void set_eob_run(int32_t run) { s_->eob_run = run; }
  int32_t eob_run() const { return s_->eob_run; }

 private:
  void store() {
    s_->bit_acc = acc_;
    s_->bit_count = count_;
  }
  void load() {
    acc_ = s_->bit_acc;
    count_ = s_->bit_count;
  }
  InputStream* s_;
  uint64_t acc_;
  int count_;
};

// End-of-band run: 2^r, plus the next r bits as a number.
inline int32_t eob_run_of(LocalBits& bits, int r) {
  int32_t run = 1 << r;
  if (r > 0) run += static_cast<int32_t>(bits.get(r));
  return run;
}

}  // namespace

JpegStatus decode_ac_first(InputStream* stream, int16_t* block, uint64_t* nonzero,
                           const HuffDecodeTable* ac_table, int ss, int se, int al) {
  if (stream->eob_run > 0) {
    --stream->eob_run;
    return JpegSuccess;
  }
  LocalBits bits(stream);
  uint64_t mask = *nonzero;
  for (int k = ss; k <= se;) {
    const int rs = bits.symbol(ac_table);
    const int r = rs >> 4;
    const int s = rs & 15;
    if (s != 0) {
      k += r;
      const int32_t value = huff_extend(bits.get(s), s);
      const auto coefficient = static_cast<int16_t>(static_cast<uint32_t>(value) << al);
      block[natural_order[k]] = coefficient;
      if (coefficient != 0) mask |= position_bit(k);
      ++k;
    } else if (r == 15) {
      k += 16;
    } else {
      bits.set_eob_run(eob_run_of(bits, r) - 1);  // this block ends the first of the run
      break;
    }
  }
  *nonzero = mask;
  return JpegSuccess;
}

JpegStatus decode_ac_refine(InputStream* stream, int16_t* block, uint64_t* nonzero,
                            const HuffDecodeTable* ac_table, int ss, int se, int al) {
  const int32_t p1 = 1 << al;
  const int32_t m1 = static_cast<int32_t>(static_cast<uint32_t>(-1) << al);
  LocalBits bits(stream);
  uint64_t mask = *nonzero;
  // Each non-zero coefficient of zig-zag positions [from, to) gets one
  // correction bit, in order: read together while the data hold them, one
  // at a time (zero bits standing in past the end) otherwise.
  auto correct = [&](int from, int to) {
    uint64_t m = mask & positions(from, to);
    int left = bit_count(m);
    while (left > 0) {
      const int n = left < 24 ? left : 24;
      uint32_t chunk = 0;
      if (!bits.try_get(n, &chunk)) break;
      left -= n;
      for (uint32_t bit = 1u << (n - 1); bit != 0; bit >>= 1, m &= m - 1) {
        int16_t* c = &block[natural_order[__builtin_ctzll(m)]];
        if ((chunk & bit) != 0 && (*c & p1) == 0)
          *c = static_cast<int16_t>(*c + (*c >= 0 ? p1 : m1));
      }
    }
    for (; m != 0; m &= m - 1) {
      int16_t* c = &block[natural_order[__builtin_ctzll(m)]];
      if (bits.get(1) != 0 && (*c & p1) == 0) *c = static_cast<int16_t>(*c + (*c >= 0 ? p1 : m1));
    }
  };

  int k = ss;
  if (bits.eob_run() == 0 && ss <= se) {
    while (k <= se) {
      const int rs = bits.symbol(ac_table);
      const int r = rs >> 4;
      const int s = rs & 15;
      int32_t new_value = 0;
      if (s != 0) {
        new_value = bits.get(1) != 0 ? p1 : m1;
      } else if (r < 15) {
        bits.set_eob_run(eob_run_of(bits, r));
        break;
      }
      // Pass over r zero coefficients, correcting the non-zero ones met, to
      // the zero after them (or past the band when there are not so many).
      uint64_t zeros = ~mask & positions(k, se + 1);
      for (int i = 0; i < r && zeros != 0; ++i) zeros &= zeros - 1;
      const int target = zeros != 0 ? __builtin_ctzll(zeros) : se + 1;
      correct(k, target);
      k = target;
      if (new_value != 0) {
        block[natural_order[k]] = static_cast<int16_t>(new_value);
        mask |= position_bit(k);
      }
      ++k;
    }
  }
  if (bits.eob_run() > 0) {
    correct(k, se + 1);
    bits.set_eob_run(bits.eob_run() - 1);
  }
  *nonzero = mask;
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
