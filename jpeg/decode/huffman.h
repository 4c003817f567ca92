// Bit input and Huffman decoding of entropy-coded data (T.81 Annex C, F.2.2
// and G.2).
//
// The accumulator holds the oldest bit most significant in its low
// `bit_count` bits. A fill tops it up a byte at a time, dropping stuffed
// zeros after 0xFF and fill bytes before a marker; a marker stops the fill
// and stays in `pending_marker` for the scan decoder. Bits asked for past a
// marker or the end of the data are zero bits.
#pragma once

#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "jpeg/api/jpegcodec.h"
#include "jpeg/stream/coding_tables.h"
#include "jpeg/stream/huffman_table.h"
#include "jpeg/stream/input_stream.h"

namespace jpegcodec {

// Takes bytes into the accumulator until it holds more than 56 bits, or a
// marker (left pending) or the end of the data stops it; adds no zero bits.
void bits_take(InputStream* stream);
// Where the next unread bit of a memory stream lies, counted in bits from
// its data's start (stuffed bytes included): the same place gives the same
// number however many bits the accumulator holds.
int64_t stream_bit(const InputStream* stream);
// Puts a memory stream at such a bit, the rest of its byte held, nothing
// pending.
void stream_to_bit(InputStream* stream, int64_t bit);
// Where entropy-coded data in memory from `from` end: the marker after
// them (not a stuffed zero, a fill byte or a restart marker, which are
// counted in *restarts); null when none comes before `end`.
const uint8_t* entropy_data_end(const uint8_t* from, const uint8_t* end, int32_t* restarts);
// Tops up the accumulator to more than 56 bits, with zero bits when the
// data stop short of `need` bits (at a marker or their end, which
// `data_ended` records). Returns 0.
JpegStatus bits_fill(InputStream* stream, int need);
// The next n bits (1..16), most significant first. When an exhausted memory
// source holds fewer than n bits, 0: the data continues with zero bits.
inline uint32_t bits_get(InputStream* s, int n) {
  if (s->bit_count < n) {
    s->bit_count = 0;
    return 0;
  }
  s->bit_count -= n;
  return static_cast<uint32_t>(s->bit_acc >> s->bit_count) & ((1u << n) - 1);
}
inline uint32_t bits_peek(const InputStream* s, int n) {
  if (s->bit_count < n) return 0;
  return static_cast<uint32_t>(s->bit_acc >> (s->bit_count - n)) & ((1u << n) - 1);
}

// One symbol through the 9-bit lookahead, or the bit-by-bit search.
JpegStatus huff_decode(InputStream* stream, const HuffDecodeTable* table, int* symbol);
JpegStatus huff_decode_slow(InputStream* stream, const HuffDecodeTable* table, int* symbol,
                            int first_length);

// Clears a block in place: a library call for 128 bytes would cost more
// than the stores.
[[gnu::always_inline]] inline void zero_block(int16_t* block) {
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  for (int i = 0; i < 64; i += 8) _mm_storeu_si128(reinterpret_cast<__m128i*>(block + i), zero);
#else
  memset(block, 0, 64 * sizeof(int16_t));
#endif
}

// Block decoders. Each returns 0 (also when a marker cut the block short:
// what was decoded stays, the marker stays pending) or a negative status.
JpegStatus decode_block_portable(InputStream* stream, const HuffDecodeTable* dc_table,
                                 const HuffDecodeTable* ac_table, int16_t* dc_pred, int16_t* block);
JpegStatus decode_block_dc_only_portable(InputStream* stream, const HuffDecodeTable* dc_table,
                                         const HuffDecodeTable* ac_table, int16_t* dc_pred,
                                         int16_t* block);

// One block of a sequential MCU: its tables, its component (the index of
// its predictor), whether its AC coefficients are kept, the table that
// dequantizes them as the accurate family does (null: kept as decoded),
// the AC table's skip table for a block read for its DC alone (or null),
// its fast table for a block kept whole (or null), and the DC table's fast
// table (or null; given whenever the AC fast table is).
struct SequentialBlock {
  const HuffDecodeTable* dc_table;
  const HuffDecodeTable* ac_table;
  int32_t component;
  bool keep_ac;
  const int16_t* quant;
  const uint16_t* skip;
  const uint32_t* fast;
  const uint16_t* fast_dc;
};
// The blocks of one sequential MCU, with the portable block decoders' results
// (a block whose AC coefficients are kept is cleared first; the others get
// their DC alone), the bit state kept in registers from block to block.
// `pass_over` keeps no AC coefficients at all.
JpegStatus decode_mcu_portable(InputStream* stream, const SequentialBlock* plan, int32_t count,
                               int32_t* dc_pred, int16_t* blocks, bool pass_over);
// The same three with BMI2's shifts, for processors that have them.
JpegStatus decode_block_bmi2(InputStream* stream, const HuffDecodeTable* dc_table,
                             const HuffDecodeTable* ac_table, int16_t* dc_pred, int16_t* block);
JpegStatus decode_block_dc_only_bmi2(InputStream* stream, const HuffDecodeTable* dc_table,
                                     const HuffDecodeTable* ac_table, int16_t* dc_pred,
                                     int16_t* block);
JpegStatus decode_mcu_bmi2(InputStream* stream, const SequentialBlock* plan, int32_t count,
                           int32_t* dc_pred, int16_t* blocks, bool pass_over);
using McuDecodeFn = JpegStatus (*)(InputStream* stream, const SequentialBlock* plan, int32_t count,
                                   int32_t* dc_pred, int16_t* blocks, bool pass_over);
// Work a batch decoder's caller does between blocks: after each block it
// decodes, the decoder calls `run` with the end of that block. Decoding is
// one long chain of dependent steps (each symbol's length gives where the
// next starts) that leaves most of the processor idle, and mispredicted
// branches at the ends of blocks; work on blocks decoded before, placed
// between blocks, goes on in the idle units and is not thrown away when a
// branch of the next block is mispredicted. The work is a pipeline's (see
// BatchPipeline in scan_context.h): each block transformed one behind the
// decoder, by `transforms` (one for each of an MCU's `blocks`), `next` the
// next block to transform and `in_mcu` its place in its MCU. A decoder
// built with the transforms does that work itself, inlined; `run` does it
// for the others.
struct BatchStep {
  void (*run)(BatchStep* self, const int16_t* decoded_end);
  void (*const* transforms)(int16_t*);
  int32_t blocks;
  int32_t in_mcu;
  int16_t* next;
};
// The step's next block to transform, its transform in *transform; the
// step moves past it.
inline int16_t* take_next(BatchStep& step, void (**transform)(int16_t*)) {
  int16_t* const block = step.next;
  *transform = step.transforms[step.in_mcu];
  step.next = block + 64;
  if (++step.in_mcu == step.blocks) step.in_mcu = 0;
  return block;
}
// The state of the data at an MCU's start, as the stream would hold it had
// a batch stopped there: where a later read can go on from (the restart
// index's checkpoints).
struct BatchMark {
  const uint8_t* next;
  int32_t consumed;
  int32_t bit_count;
  uint64_t bit_acc;
  int32_t dc_pred[4];
  uint8_t pending_marker;
  bool out_of_data;
};
// The MCUs whose starts a batch decoder marks: MCU `at` of the call (0 its
// first), then every `every` MCUs, `made` of them into `marks`, whose room
// the caller keeps by limiting the batch. Marking them in passing costs a
// test an MCU; stopping the batch there would cost a batch's start.
struct BatchMarks {
  int32_t at;
  int32_t every;
  int32_t made;
  BatchMark* marks;
};
// Up to `mcus` MCUs one after another, MCU m's blocks from blocks + m *
// stride (none passed over), as as many calls of the MCU decoder would
// give them: returns how many were decoded, stopping after one in which
// the data ran out (kOutOfData) or at one that fails (its status in
// *status, else 0). `step`, when not null, runs after every block;
// `marks`, when not null, are made before the MCUs they name.
using McuBatchFn = int32_t (*)(InputStream* stream, const SequentialBlock* plan, int32_t count,
                               int32_t* dc_pred, int16_t* blocks, int32_t stride, int32_t mcus,
                               JpegStatus* status, BatchStep* step, BatchMarks* marks);
int32_t decode_mcus_portable(InputStream* stream, const SequentialBlock* plan, int32_t count,
                             int32_t* dc_pred, int16_t* blocks, int32_t stride, int32_t mcus,
                             JpegStatus* status, BatchStep* step, BatchMarks* marks);
int32_t decode_mcus_bmi2(InputStream* stream, const SequentialBlock* plan, int32_t count,
                         int32_t* dc_pred, int16_t* blocks, int32_t stride, int32_t mcus,
                         JpegStatus* status, BatchStep* step, BatchMarks* marks);
// The same with AVX2 besides, the accurate 8x8 transform of a step inlined.
int32_t decode_mcus_avx2(InputStream* stream, const SequentialBlock* plan, int32_t count,
                         int32_t* dc_pred, int16_t* blocks, int32_t stride, int32_t mcus,
                         JpegStatus* status, BatchStep* step, BatchMarks* marks);
// The MCU decoder that gives what the table's block decoders give, or null
// when the table holds decoders it has no MCU form of; its batch form.
McuDecodeFn mcu_decoder_for(const RoutineTable* table);
McuBatchFn mcu_batch_decoder_for(const RoutineTable* table);
JpegStatus decode_dc_first(InputStream* stream, const HuffDecodeTable* dc_table,
                           int16_t* coefficient, int16_t* dc_pred, int al);
JpegStatus decode_dc_refine(InputStream* stream, int16_t* coefficient, int al);
// Blocks of one component along a row of its block grid in the
// coefficient store, as a progressive AC scan visits them: `across`
// blocks side by side in each MCU of `mcu_blocks` blocks.
struct BandRow {
  int16_t* blocks;  // the row's first block
  uint64_t* masks;  // that block's non-zero mask (the masks follow the blocks)
  int32_t across;
  int32_t mcu_blocks;
};
struct BandScan {
  const HuffDecodeTable* table;
  int ss, se, ah, al;
};
// Decodes blocks [from, to) of the row for an AC scan of a progressive
// frame (T.81 G.1.2.2 and G.1.2.3), with the bit state in registers: a
// first scan stores each coefficient with its point transform, a
// refinement adds a bit to those non-zero already and places the new ones;
// each block's `nonzero` mask (bit k: zig-zag position k non-zero) is kept
// up to date, and refinement visits only the coefficients it names. Past a
// marker or the end of the data zero bits stand in, as the stream's own
// refill gives them. Returns how many blocks it decoded: fewer when the
// data ran out in the last of them (data_ended says so), none for a DC
// band.
using AcBandFn = int32_t (*)(InputStream* stream, const BandRow& row, const BandScan& scan,
                             int32_t from, int32_t to);
int32_t decode_ac_band_portable(InputStream* stream, const BandRow& row, const BandScan& scan,
                                int32_t from, int32_t to);
int32_t decode_ac_band_bmi2(InputStream* stream, const BandRow& row, const BandScan& scan,
                            int32_t from, int32_t to);

// One block of an interleaved DC scan of a progressive frame, along a row
// of MCUs of the coefficient store.
struct DcBlock {
  int16_t* first;  // its coefficient in the row's first MCU
  uint64_t* mask;  // its non-zero mask there, or null for a DC kept alone
  int64_t stride;  // values from one MCU's block to the next's
  const HuffDecodeTable* table;
  int32_t component;  // the scan component whose predictor it moves
};
// Decodes MCUs [from, to) of the row as decode_dc_first (a block kept whole
// is cleared first) or decode_dc_refine would, block by block, with the
// bit state in registers; returns how many it decoded: fewer when the data
// ran out in the last of them (data_ended says so).
using DcMcusFn = int32_t (*)(InputStream* stream, const DcBlock* plan, int32_t count, int32_t from,
                             int32_t to, int32_t* dc_pred, int ah, int al);
int32_t decode_dc_mcus_portable(InputStream* stream, const DcBlock* plan, int32_t count,
                                int32_t from, int32_t to, int32_t* dc_pred, int ah, int al);
int32_t decode_dc_mcus_bmi2(InputStream* stream, const DcBlock* plan, int32_t count, int32_t from,
                            int32_t to, int32_t* dc_pred, int ah, int al);

// The progressive decoders that go with the table's block decoders: the
// BMI2 twins beside BMI2's sequential ones, the portable ones otherwise.
struct ProgressiveDecoders {
  AcBandFn ac_band;
  DcMcusFn dc_mcus;
};
ProgressiveDecoders progressive_decoders_for(const RoutineTable* table);

}  // namespace jpegcodec
