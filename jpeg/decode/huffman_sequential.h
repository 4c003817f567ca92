// Sequential Huffman decoding with the bit state in registers: the code the
// portable block decoders and their processor-specific twins are built
// from. Everything here has internal linkage and is inlined into the entry
// points that include it, so that each is compiled for its own processor
// (an entry point built for more instructions never lends its copy of a
// helper to the portable one).
#pragma once

#include <cstdint>
#include <cstring>

#include "jpeg/decode/huffman.h"

namespace jpegcodec {

// The careful paths, symbol by symbol through the stream, where zero bits
// may stand in for data that stop: a block's DC difference, its AC
// coefficients from zig-zag `position` on, and a whole block.
JpegStatus sequential_dc_careful(InputStream* stream, const HuffDecodeTable* dc_table,
                                 int16_t* dc_pred);
JpegStatus sequential_ac_careful(InputStream* stream, const HuffDecodeTable* ac_table,
                                 int16_t* block, int position, bool keep_ac);
JpegStatus sequential_block_careful(InputStream* stream, const HuffDecodeTable* dc_table,
                                    const HuffDecodeTable* ac_table, int16_t* dc_pred,
                                    int16_t* block, bool keep_ac);

namespace {

// The bit state of sequential decoding in registers, the next bit at the
// top of `bits_` and `count_` bits held: peeking is one shift, whatever the
// count. Whole words come straight from the data while they hold no 0xFF
// (bits below the count are then the next bytes' own, so a later word laid
// over them agrees); stuffing, markers, a file's buffer and the end of the
// data go through the stream's refill.
class RegisterBits {
 public:
  [[gnu::always_inline]] explicit RegisterBits(InputStream* s) : s_(s) { load(); }
  RegisterBits(const RegisterBits&) = delete;
  RegisterBits& operator=(const RegisterBits&) = delete;

  // Back to the stream's form: the held bits at the bottom of bit_acc.
  [[gnu::always_inline]] void store() {
    s_->bit_acc = count_ != 0 ? bits_ >> (64 - count_) : 0;
    s_->bit_count = count_;
    const int32_t taken = static_cast<int32_t>(next_ - s_->next);
    s_->next = next_;
    s_->available -= taken;
    s_->consumed += taken;
  }
  // What store() would leave in the stream, with the DC predictions, as
  // `mark` (the stream itself unchanged).
  [[gnu::always_inline]] void mark(BatchMark* mark, const int32_t* dc_pred) const {
    mark->bit_acc = count_ != 0 ? bits_ >> (64 - count_) : 0;
    mark->bit_count = count_;
    mark->next = next_;
    mark->consumed = s_->consumed + static_cast<int32_t>(next_ - s_->next);
    mark->pending_marker = static_cast<uint8_t>(s_->pending_marker);
    mark->out_of_data = (s_->data_ended & kOutOfData) != 0;
    for (int i = 0; i < 4; ++i) mark->dc_pred[i] = dc_pred[i];
  }
  [[gnu::always_inline]] void load() {
    count_ = s_->bit_count;
    bits_ = count_ != 0 ? s_->bit_acc << (64 - count_) : 0;
    next_ = s_->next;
    // Whole words may be taken up to 8 bytes before the data held end, and
    // not at all past a marker already met.
    word_end_ = s_->pending_marker == 0 && s_->available >= 8
                    ? reinterpret_cast<uintptr_t>(next_ + (s_->available - 7))
                    : 0;
  }

  // Whether 32 bits are held, enough for any symbol with its magnitude
  // bits, after a refill if needed; false near a marker or the end.
  [[gnu::always_inline]] bool enough() {
    if (count_ >= 32) return true;
    if (reinterpret_cast<uintptr_t>(next_) < word_end_) {
      uint64_t word;
      memcpy(&word, next_, 8);
      word = __builtin_bswap64(word);
      const uint64_t ones = 0x0101010101010101u;
      if ((((~word) - ones) & word & (ones << 7)) == 0) {
        bits_ |= word >> count_;
        const int bytes = (63 - count_) >> 3;
        next_ += bytes;
        count_ += bytes * 8;
        return true;
      }
    }
    store();
    bits_take(s_);
    load();
    return count_ >= 32;
  }

  [[gnu::always_inline]] uint32_t peek(int n) const {
    return static_cast<uint32_t>(bits_ >> (64 - n));
  }
  [[gnu::always_inline]] void drop(int n) {
    bits_ <<= n;
    count_ -= n;
  }
  [[gnu::always_inline]] uint32_t take(int n) {
    const uint32_t value = peek(n);
    drop(n);
    return value;
  }
  [[gnu::always_inline]] InputStream* stream() const { return s_; }

 protected:
  InputStream* s_;
  uint64_t bits_ = 0;
  int count_ = 0;
  const uint8_t* next_ = nullptr;
  uintptr_t word_end_ = 0;  // past the last place a whole word may be taken from, or 0
};

// EXTEND, inlined here (huff_extend may be compiled out of line elsewhere).
[[gnu::always_inline]] inline int32_t extend(uint32_t value, int s) {
  return (value & (1u << (s - 1))) == 0 ? static_cast<int32_t>(value) + extend_offset[s]
                                        : static_cast<int32_t>(value);
}

// A coefficient as the accurate dequantizer leaves it: the product, held
// to the 16 bits of the block (no encoder writes a coefficient whose
// product leaves them; data that do are brought as near the exact
// arithmetic as the block can hold, not wrapped around).
[[gnu::always_inline]] inline int16_t dequantized(int32_t value, int16_t q) {
  const int32_t product = static_cast<int16_t>(value) * int32_t{q};
  return static_cast<int16_t>(product < -32768 ? -32768 : (product > 32767 ? 32767 : product));
}

// Dequantizes zig-zag positions [from, 64) of a block the careful path
// wrote raw.
[[gnu::always_inline]] inline void dequantize_from(int16_t* block, const int16_t* quant, int from) {
  for (int k = from; k < 64; ++k) {
    const int32_t i = natural_order[k];
    block[i] = dequantized(block[i], quant[i]);
  }
}

// A sequential block with the bit state in registers. While 32 bits are
// held no zero bits can stand in, and each step is one lookup: most AC
// symbols come with their value from it. Near a marker or the end of the
// data, the rest of the block takes the careful path. With kDequantize
// (and kKeepAc) every coefficient is stored dequantized with `quant`, the
// accurate family's table.
template <bool kKeepAc, bool kDequantize = false, bool kFast = false>
[[gnu::always_inline]] inline JpegStatus block_in_registers(
    RegisterBits& bits, const HuffDecodeTable* dc_table, const HuffDecodeTable* ac_table,
    int16_t* dc_pred, int16_t* block, const int16_t* quant = nullptr,
    const uint16_t* skip = nullptr, const uint32_t* fast = nullptr,
    const uint16_t* fast_dc = nullptr) {
  // A block read for its DC alone passes over its AC symbols a few at a
  // time when it has a skip table. With kFast the DC difference, and for a
  // block kept whole most AC symbols (the end of block and sixteen zeros
  // among them), take one step through the fast tables.
  static_assert(kKeepAc || !kDequantize);
  constexpr int kBits = JPEG_HUFF_LOOKAHEAD_BITS;
  InputStream* s = bits.stream();
  if (!bits.enough()) {
    bits.store();
    const JpegStatus status =
        sequential_block_careful(s, dc_table, ac_table, dc_pred, block, kKeepAc);
    bits.load();
    if (kDequantize) dequantize_from(block, quant, 0);
    return status;
  }
  uint32_t entry = 0;
  if (const uint16_t step = kFast ? fast_dc[bits.peek(kHuffFastBits)] : 0; step != 0) {
    bits.drop(step & 15);
    *dc_pred = static_cast<int16_t>(*dc_pred + (static_cast<int16_t>(step) >> 4));
  } else if (entry = dc_table->lookahead[bits.peek(kBits)];
             const int whole = static_cast<int>(entry & 15)) {
    bits.drop(whole);
    *dc_pred = static_cast<int16_t>(*dc_pred + static_cast<int16_t>(entry >> 16));
  } else if (const int length = static_cast<int>(entry >> 8) & 15; length != 0) {
    bits.drop(length);
    // A category above 15 from a corrupt table reads as its low four bits.
    const int t = static_cast<int>(entry >> 12) & 15;
    if (t != 0) *dc_pred = static_cast<int16_t>(*dc_pred + extend(bits.take(t), t));
  } else {
    bits.store();
    const JpegStatus status = sequential_dc_careful(s, dc_table, dc_pred);
    bits.load();
    if (status != JpegSuccess) return status;
  }
  block[0] = kDequantize ? dequantized(*dc_pred, quant[0]) : *dc_pred;

  int position = 1;
  while (position < 64) {
    if (!bits.enough()) {
      bits.store();
      const JpegStatus status = sequential_ac_careful(s, ac_table, block, position, kKeepAc);
      bits.load();
      if (kDequantize) dequantize_from(block, quant, position);
      return status;
    }
    if (!kKeepAc && skip != nullptr) {
      // Symbols that leave the position inside the block: the last of a
      // block goes the usual way, so that the next block's bits are never
      // taken for this one's.
      const uint32_t step = skip[bits.peek(kHuffSkipBits)];
      const int advance = static_cast<int>(step >> 5) & 63;
      if ((step & 31) != 0 && position + advance <= 63) {
        bits.drop(static_cast<int>(step & 31));
        position += advance;
        if (step & (1u << 11)) break;  // end of block
        continue;
      }
    }
    if (kFast && kKeepAc) {
      const uint32_t step = fast[bits.peek(kHuffFastBits)];
      if (const int used = static_cast<int>(step & 31); used != 0) {
        bits.drop(used);
        // The end of the block stores nothing: the transform will read the
        // block at once, and a store it has to wait for would cost more
        // than this test.
        if (step & kHuffFastEnd) break;
        position += static_cast<int>(step >> 8) & 15;
        const int32_t i = natural_order[position];
        const int32_t value = static_cast<int16_t>(step >> 16);
        block[i] = kDequantize ? dequantized(value, quant[i]) : static_cast<int16_t>(value);
        ++position;
        continue;
      }
    }
    entry = ac_table->lookahead[bits.peek(kBits)];
    if (const int whole = static_cast<int>(entry & 15); whole != 0) {
      bits.drop(whole);
      position += static_cast<int>(entry >> 4) & 15;
      if (kKeepAc) {
        const int32_t i = natural_order[position];
        const int32_t value = static_cast<int16_t>(entry >> 16);
        block[i] = kDequantize ? dequantized(value, quant[i]) : static_cast<int16_t>(value);
      }
      ++position;
      continue;
    }
    int rs;
    if (const int length = static_cast<int>(entry >> 8) & 15; length != 0) {
      bits.drop(length);
      rs = lookahead_symbol(entry);
    } else {
      bits.store();
      const JpegStatus status = huff_decode_slow(s, ac_table, &rs, kBits + 1);
      bits.load();
      if (status != JpegSuccess) return status;
    }
    const int r = rs >> 4;
    const int t = rs & 15;
    if (t != 0) {
      position += r;
      const int32_t value = extend(bits.take(t), t);
      if (kKeepAc) {
        const int32_t i = natural_order[position];
        block[i] = kDequantize ? dequantized(value, quant[i]) : static_cast<int16_t>(value);
      }
      ++position;
    } else if (r == 15) {
      position += 16;
    } else {
      break;  // end of block
    }
  }
  return JpegSuccess;
}

// One block: with kKeepAc cleared and decoded whole, else its DC alone.
template <bool kKeepAc>
[[gnu::always_inline]] inline JpegStatus sequential_block(InputStream* s,
                                                          const HuffDecodeTable* dc_table,
                                                          const HuffDecodeTable* ac_table,
                                                          int16_t* dc_pred, int16_t* block) {
  if (kKeepAc) zero_block(block);
  RegisterBits bits(s);
  const JpegStatus status = block_in_registers<kKeepAc>(bits, dc_table, ac_table, dc_pred, block);
  bits.store();
  return status;
}

// What a batch decoder does after each block: nothing, or a step's run.
struct NoStep {
  [[gnu::always_inline]] void operator()(const int16_t*) const {}
};
struct CallStep {
  BatchStep* step;
  [[gnu::always_inline]] void operator()(const int16_t* decoded_end) const {
    if (step != nullptr) step->run(step, decoded_end);
  }
};

// The blocks of one MCU, with the bit state the caller keeps in registers;
// `after` follows each block.
template <typename Step = NoStep>
[[gnu::always_inline]] inline JpegStatus mcu_in_registers(RegisterBits& bits,
                                                          const SequentialBlock* plan,
                                                          int32_t count, int32_t* dc_pred,
                                                          int16_t* blocks, bool pass_over,
                                                          Step after = {}) {
  for (int32_t b = 0; b < count; ++b) {
    const SequentialBlock& at = plan[b];
    int16_t* block = blocks + 64 * b;
    int16_t pred = static_cast<int16_t>(dc_pred[at.component]);
    JpegStatus status;
    if (at.keep_ac && !pass_over) {
      zero_block(block);
      if (at.fast != nullptr) {
        status =
            at.quant != nullptr
                ? block_in_registers<true, true, true>(bits, at.dc_table, at.ac_table, &pred, block,
                                                       at.quant, nullptr, at.fast, at.fast_dc)
                : block_in_registers<true, false, true>(bits, at.dc_table, at.ac_table, &pred,
                                                        block, nullptr, nullptr, at.fast,
                                                        at.fast_dc);
      } else {
        status = at.quant != nullptr
                     ? block_in_registers<true, true>(bits, at.dc_table, at.ac_table, &pred, block,
                                                      at.quant)
                     : block_in_registers<true>(bits, at.dc_table, at.ac_table, &pred, block);
      }
    } else {
      status = at.fast_dc != nullptr ? block_in_registers<false, false, true>(
                                           bits, at.dc_table, at.ac_table, &pred, block, nullptr,
                                           at.skip, nullptr, at.fast_dc)
                                     : block_in_registers<false>(bits, at.dc_table, at.ac_table,
                                                                 &pred, block, nullptr, at.skip);
      if (at.quant != nullptr && !pass_over) block[0] = dequantized(pred, at.quant[0]);
    }
    dc_pred[at.component] = pred;
    if (status < 0) return status;
    after(block + 64);
  }
  return JpegSuccess;
}

// The blocks of one MCU, the bit state in registers throughout.
[[gnu::always_inline]] inline JpegStatus sequential_mcu(InputStream* s, const SequentialBlock* plan,
                                                        int32_t count, int32_t* dc_pred,
                                                        int16_t* blocks, bool pass_over) {
  RegisterBits bits(s);
  const JpegStatus status = mcu_in_registers(bits, plan, count, dc_pred, blocks, pass_over);
  bits.store();
  return status;
}

// Up to `mcus` MCUs in a row, MCU m's blocks from blocks + m * stride, the
// bit state in registers from the first to the last: stops after an MCU
// in which the data ran out (counted), or at one that fails (not counted;
// its status in *status, else 0). `after` follows each block.
template <typename Step>
[[gnu::always_inline]] inline int32_t sequential_mcus(InputStream* s, const SequentialBlock* plan,
                                                      int32_t count, int32_t* dc_pred,
                                                      int16_t* blocks, int32_t stride, int32_t mcus,
                                                      JpegStatus* status, Step after,
                                                      BatchMarks* marks) {
  RegisterBits bits(s);
  *status = JpegSuccess;
  int32_t m = 0;
  while (m < mcus) {
    if (marks != nullptr && m == marks->at) {
      bits.mark(&marks->marks[marks->made++], dc_pred);
      marks->at += marks->every;
    }
    *status =
        mcu_in_registers(bits, plan, count, dc_pred, blocks + int64_t{m} * stride, false, after);
    if (*status < 0) break;
    ++m;
    // The careful path, the only one that meets the end of the data, keeps
    // the stream's record of it up to date.
    if (s->data_ended & kOutOfData) break;
  }
  bits.store();
  return m;
}

}  // namespace

}  // namespace jpegcodec
