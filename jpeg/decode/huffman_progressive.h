// Progressive Huffman decoding with the bit state in registers from block
// to block: the code the portable band and DC decoders and their
// processor-specific twins are built from. As in huffman_sequential.h,
// everything here has internal linkage and is inlined into the entry
// points that include it, each compiled for its own processor.
#pragma once

#include <cstdint>

#include "jpeg/decode/huffman.h"
#include "jpeg/decode/huffman_sequential.h"

namespace jpegcodec {

namespace {

// Zig-zag positions [from, to) as mask bits (to at most 64).
inline uint64_t positions(int from, int to) {
  if (from >= to) return 0;
  const uint64_t below_to = to >= 64 ? ~uint64_t{0} : (uint64_t{1} << to) - 1;
  return below_to & ~((uint64_t{1} << from) - 1);
}

// Set bits of x, without the library call a generic x86-64 build makes of
// __builtin_popcountll.
inline int bit_count(uint64_t x) {
  x -= (x >> 1) & 0x5555555555555555u;
  x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
  return static_cast<int>((x * 0x0101010101010101u) >> 56);
}

inline uint64_t position_bit(int k) {
  return uint64_t{1} << (k < 63 ? k : 63);
}

// The bit state of a run of progressive blocks in registers. Past a marker
// or the end of the data, zero bits stand in for the missing ones as the
// stream's own refill gives them, but only count as missing (and are
// recorded in data_ended) once a block really takes one: a block that ends
// just before the marker decodes as it would bit by bit.
class PaddedBits : public RegisterBits {
 public:
  explicit PaddedBits(InputStream* s) : RegisterBits(s) {}

  // At least 32 bits held, zero bits standing in where the data have none.
  [[gnu::always_inline]] void ensure() {
    if (count_ >= 32) return;
    if (phantom_ == 0) {
      if (enough()) return;
    } else if (count_ < phantom_) {
      used_ = true;
      phantom_ = count_;
    }
    // The bits below the held ones are zero after a load or a shift.
    phantom_ += 64 - count_;
    count_ = 64;
  }
  // Whether a zero bit standing in has been taken.
  [[gnu::always_inline]] bool ran_out() const {
    return phantom_ != 0 && (used_ || count_ < phantom_);
  }
  // The data's own bits back to the stream; when some were missing, the
  // stream records why and holds zero bits from here on.
  [[gnu::always_inline]] void store() {
    if (phantom_ == 0) {
      RegisterBits::store();
      return;
    }
    const bool missing = ran_out();
    count_ = missing ? 0 : count_ - phantom_;
    phantom_ = 0;
    used_ = false;
    RegisterBits::store();
    if (missing) bits_fill(s_, 1);
  }
  // The next symbol (after ensure()); at least 16 bits are held after it.
  [[gnu::always_inline]] int symbol(const HuffDecodeTable* table) {
    const uint32_t entry = table->lookahead[peek(JPEG_HUFF_LOOKAHEAD_BITS)];
    if (const int length = static_cast<int>(entry >> 8) & 15; length != 0) {
      drop(length);
      return lookahead_symbol(entry);
    }
    store();
    int rs = 0;
    huff_decode_slow(s_, table, &rs, JPEG_HUFF_LOOKAHEAD_BITS + 1);
    load();
    ensure();  // the magnitude or run bits after a long code
    return rs;
  }

 private:
  int phantom_ = 0;  // zero bits standing in at the bottom of the held ones
  bool used_ = false;
};

// The first AC scan of a band of one block.
[[gnu::always_inline]] inline void first_in_registers(PaddedBits& bits, int16_t* block,
                                                      uint64_t* nonzero,
                                                      const HuffDecodeTable* table, int ss, int se,
                                                      int al, int32_t* eob_run) {
  uint64_t mask = *nonzero;
  for (int k = ss; k <= se;) {
    bits.ensure();
    const uint32_t entry = table->lookahead[bits.peek(JPEG_HUFF_LOOKAHEAD_BITS)];
    if (const int whole = static_cast<int>(entry & 15); whole != 0) {
      // The symbol with its magnitude bits, in one look.
      bits.drop(whole);
      k += static_cast<int>(entry >> 4) & 15;
      const auto coefficient = static_cast<int16_t>(static_cast<uint32_t>(entry >> 16) << al);
      block[natural_order[k]] = coefficient;
      if (coefficient != 0) mask |= position_bit(k);
      ++k;
      continue;
    }
    const int rs = bits.symbol(table);
    const int r = rs >> 4;
    const int s = rs & 15;
    if (s != 0) {
      k += r;
      const int32_t value = extend(bits.take(s), s);
      const auto coefficient = static_cast<int16_t>(static_cast<uint32_t>(value) << al);
      block[natural_order[k]] = coefficient;
      if (coefficient != 0) mask |= position_bit(k);
      ++k;
    } else if (r == 15) {
      k += 16;
    } else {
      // This block ends the first of the run.
      *eob_run = (int32_t{1} << r) + (r > 0 ? static_cast<int32_t>(bits.take(r)) : 0) - 1;
      break;
    }
  }
  *nonzero = mask;
}

// One correction bit for each coefficient `m` names, in zig-zag order.
template <bool kPopcnt>
[[gnu::always_inline]] inline void correct_in_registers(PaddedBits& bits, int16_t* block,
                                                        uint64_t m, int32_t p1, int32_t m1) {
  while (m != 0) {
    bits.ensure();
    const int left = kPopcnt ? __builtin_popcountll(m) : bit_count(m);
    const int n = left < 32 ? left : 32;
    uint32_t chunk = bits.take(n) << (32 - n);
    for (int i = 0; i < n; ++i, chunk <<= 1, m &= m - 1) {
      int16_t* c = &block[natural_order[__builtin_ctzll(m)]];
      if ((chunk >> 31) != 0 && (*c & p1) == 0) *c = static_cast<int16_t>(*c + (*c >= 0 ? p1 : m1));
    }
  }
}

// A refinement scan of a band of one block.
template <bool kPopcnt>
[[gnu::always_inline]] inline void refine_in_registers(PaddedBits& bits, int16_t* block,
                                                       uint64_t* nonzero,
                                                       const HuffDecodeTable* table, int ss, int se,
                                                       int al, int32_t* eob_run) {
  const int32_t p1 = 1 << al;
  const int32_t m1 = static_cast<int32_t>(static_cast<uint32_t>(-1) << al);
  uint64_t mask = *nonzero;
  // Zig-zag positions up to the band's end; k stays at most se (at most 63)
  // inside the loop.
  const uint64_t band_to = positions(0, se + 1);
  int k = ss;
  if (*eob_run == 0) {
    while (k <= se) {
      bits.ensure();
      const int rs = bits.symbol(table);
      const int r = rs >> 4;
      const int s = rs & 15;
      int32_t new_value = 0;
      if (s != 0) {
        new_value = bits.take(1) != 0 ? p1 : m1;
      } else if (r < 15) {
        *eob_run = (int32_t{1} << r) + (r > 0 ? static_cast<int32_t>(bits.take(r)) : 0);
        break;
      }
      // Pass over r zero coefficients, correcting the non-zero ones met, to
      // the zero after them (or past the band when there are not so many).
      const uint64_t ahead = band_to & (~uint64_t{0} << k);
      if (const int next = k + r; next <= se && (mask & ahead & ((uint64_t{2} << next) - 1)) == 0) {
        // Most runs meet no non-zero coefficient: the zero wanted is r on.
        k = next;
      } else {
        uint64_t zeros = ~mask & ahead;
        for (int i = 0; i < r && zeros != 0; ++i) zeros &= zeros - 1;
        int target = se + 1;
        uint64_t passed = mask & ahead;
        if (zeros != 0) {
          target = __builtin_ctzll(zeros);
          passed &= (uint64_t{1} << target) - 1;
        }
        correct_in_registers<kPopcnt>(bits, block, passed, p1, m1);
        k = target;
      }
      if (new_value != 0) {
        block[natural_order[k]] = static_cast<int16_t>(new_value);
        mask |= position_bit(k);
      }
      ++k;
    }
  }
  if (*eob_run > 0) {
    if (k <= se)
      correct_in_registers<kPopcnt>(bits, block, mask & band_to & (~uint64_t{0} << k), p1, m1);
    --*eob_run;
  }
  *nonzero = mask;
}

// How far ahead refinement fetches the store's blocks, in MCUs.
constexpr int32_t kPrefetchMcus = 4;

template <bool kRefine, bool kPopcnt>
[[gnu::always_inline]] inline int32_t band_blocks(InputStream* stream, const BandRow& row,
                                                  const BandScan& scan, int32_t from, int32_t to) {
  PaddedBits bits(stream);
  int32_t eob_run = stream->eob_run;
  const uint64_t band = positions(scan.ss, scan.se + 1);
  const int64_t stride = int64_t{row.mcu_blocks} - row.across;
  int64_t at = int64_t{from / row.across} * row.mcu_blocks + from % row.across;
  int32_t within = from % row.across;
  int32_t j = from;
  while (j < to) {
    int16_t* block = row.blocks + at * 64;
    uint64_t* nonzero = row.masks + at;
    ++j;
    at += ++within < row.across ? 1 : (within = 0, stride + 1);
    if (eob_run > 0 && (!kRefine || (*nonzero & band) == 0)) {
      // Inside an end-of-band run: nothing to read for a block that has no
      // coefficient in the band to correct.
      --eob_run;
      continue;
    }
    if (kRefine) {
      // Refinement reads coefficients all over a store far larger than the
      // caches: the block a few MCUs on is fetched ahead.
      const int16_t* ahead = block + int64_t{kPrefetchMcus} * row.mcu_blocks * 64;
      __builtin_prefetch(ahead);
      __builtin_prefetch(ahead + 32);
      refine_in_registers<kPopcnt>(bits, block, nonzero, scan.table, scan.ss, scan.se, scan.al,
                                   &eob_run);
    } else {
      first_in_registers(bits, block, nonzero, scan.table, scan.ss, scan.se, scan.al, &eob_run);
    }
    if (bits.ran_out() || (stream->data_ended & kOutOfData) != 0) break;
  }
  stream->eob_run = eob_run;
  bits.store();
  return j - from;
}

template <bool kRefine>
[[gnu::always_inline]] inline int32_t dc_mcus(InputStream* stream, const DcBlock* plan,
                                              int32_t count, int32_t from, int32_t to,
                                              int32_t* dc_pred, int al) {
  PaddedBits bits(stream);
  int32_t mcu = from;
  while (mcu < to) {
    for (int32_t i = 0; i < count; ++i) {
      const DcBlock& at = plan[i];
      int16_t* block = at.first + int64_t{mcu} * at.stride;
      if (kRefine) {
        // A bit a block: 32 held serve an MCU (at most 10 blocks).
        if ((i & 31) == 0) bits.ensure();
        if (bits.take(1) != 0) *block = static_cast<int16_t>(*block | (1 << al));
        continue;
      }
      bits.ensure();
      if (at.mask != nullptr) {
        zero_block(block);
        at.mask[int64_t{mcu} * (at.stride / 64)] = 0;  // the block starts anew
      }
      int32_t diff = 0;
      const uint32_t entry = at.table->lookahead[bits.peek(JPEG_HUFF_LOOKAHEAD_BITS)];
      if (const int whole = static_cast<int>(entry & 15); whole != 0) {
        bits.drop(whole);
        diff = static_cast<int16_t>(entry >> 16);
      } else {
        // A category above 15 from a corrupt table reads as its low four bits.
        const int t = bits.symbol(at.table) & 15;
        if (t != 0) diff = extend(bits.take(t), t);
      }
      const auto pred = static_cast<int16_t>(dc_pred[at.component] + diff);
      dc_pred[at.component] = pred;
      *block = static_cast<int16_t>(static_cast<uint32_t>(pred) << al);
    }
    ++mcu;
    if (bits.ran_out() || (stream->data_ended & kOutOfData) != 0) break;
  }
  bits.store();
  return mcu - from;
}

// The entry points' bodies: kPopcnt counts bits with the processor's
// instruction.
template <bool kPopcnt>
[[gnu::always_inline]] inline int32_t ac_band_in_registers(InputStream* stream, const BandRow& row,
                                                           const BandScan& scan, int32_t from,
                                                           int32_t to) {
  // (An empty band, Ss above Se, reads nothing: its blocks only count down
  // an end-of-band run.)
  if (scan.ss == 0) return 0;
  return scan.ah != 0 ? band_blocks<true, kPopcnt>(stream, row, scan, from, to)
                      : band_blocks<false, kPopcnt>(stream, row, scan, from, to);
}

[[gnu::always_inline]] inline int32_t dc_mcus_in_registers(InputStream* stream, const DcBlock* plan,
                                                           int32_t count, int32_t from, int32_t to,
                                                           int32_t* dc_pred, int ah, int al) {
  return ah != 0 ? dc_mcus<true>(stream, plan, count, from, to, dc_pred, al)
                 : dc_mcus<false>(stream, plan, count, from, to, dc_pred, al);
}

}  // namespace

}  // namespace jpegcodec
